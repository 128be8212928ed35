#pragma once

#include "version.h"

#include <QByteArray>
#include <QString>

class QXmlStreamReader;

// The update server's version document: newest version, the product's web page and a
// notice in the application's language. Reading a document changes only the fields
// whose elements it holds, so one object can read document after document.
class HttpResponse
{
public:
    HttpResponse();

    bool deserializeXml(const QByteArray& data);
    void readLanguageElement(QXmlStreamReader* xml);

    Version version() const { return m_version; }
    QString url() const { return m_url; }
    QString notice() const { return m_notice; }

private:
    Version m_version;
    QString m_url;
    QString m_notice;
};
