#pragma once

#include <QByteArray>
#include <QString>

// The namespace that a page announces in its first message (app.version.instance.QES.name),
// and the few messages that the bridge reads or builds itself. Everything else is relayed
// without being looked at beyond its top-level member names.
class NativeMessages
{
public:
    // What the session needs of a page's message (UTF-8 JSON).
    struct Request
    {
        bool isCheckContext = false;
        // The id of a CheckContext request when it is a text, else empty.
        QString id;
    };

    bool isValid() const;
    QString appName() const;

    // Reads a page's message. While no namespace is known, the message's method name sets it;
    // a method name that doesn't fit is logged and leaves the namespace as it was.
    Request read(const QByteArray& message);

    QString qualifiedName(const QString& name) const;
    QString checkContextReply(const QString& id, const QString& error) const;
    QString disposeMessage() const;

private:
    void setNamespace(const QString& method, const QByteArray& message);

    QString m_appName;
    QString m_version;
    QString m_instanceId;
    // qualifiedName("CheckContext"), which every page message is compared with.
    QString m_checkContext;
    QByteArray m_checkContextUtf8;
};
