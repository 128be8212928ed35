#include "httpresponse.h"

#include <QCoreApplication>
#include <QDebug>
#include <QVariant>
#include <QXmlStreamReader>

HttpResponse::HttpResponse()
    : m_version(QStringLiteral("0.0.0"))
{
}

bool HttpResponse::deserializeXml(const QByteArray& data)
{
    QXmlStreamReader xml(data);
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        const QStringView name = xml.name();
        if (xml.isStartElement()) {
            if (name == QLatin1String("url"))
                m_url = xml.readElementText().trimmed();
            else if (name == QLatin1String("version"))
                m_version = Version(xml.readElementText().trimmed());
            else if (name == QLatin1String("notice"))
                readLanguageElement(&xml);
        } else if (name == QLatin1String("Quillet")) {
            // Whatever follows the document element is not ours to read.
            break;
        }
    }
    if (xml.hasError()) {
        qWarning() << "Xmlstream error: " << xml.errorString();
        return false;
    }
    if (m_url.isEmpty()) {
        qWarning() << "Missing website url in http response";
        return false;
    }
    return true;
}

void HttpResponse::readLanguageElement(QXmlStreamReader* xml)
{
    const QVariant langProperty = QCoreApplication::instance()->property("lang");
    if (!langProperty.isValid()) {
        qWarning() << "Application language wasn't set";
        return;
    }
    const QString lang = langProperty.toString();
    qInfo().nospace() << lang << " language is set to app";
    while (!xml->atEnd() && !xml->hasError()) {
        xml->readNext();
        const QStringView name = xml->name();
        if (xml->isStartElement()) {
            if (name == lang)
                m_notice = xml->readElementText();
            else
                qInfo() << "Ignored language " << name.toString();
        } else if (name == QLatin1String("notice")) {
            break;
        }
    }
    if (m_notice.isNull())
        qWarning() << "Unable to find notice for app's language";
}
