#pragma once

#include <QString>

// The namespace that a page announces in its first message (app.version.instance.QES.name),
// and the few messages that the bridge reads or builds itself. Everything else is relayed
// without being looked at.
class NativeMessages
{
public:
    bool isValid() const;
    QString appName() const;

    // Takes the namespace from the message's method name; logs and keeps the old one when
    // the name doesn't fit.
    void setNamespace(const QString& message);

    QString qualifiedName(const QString& name) const;
    QString messageId(const QString& message) const;
    bool isCheckContext(const QString& message) const;
    QString checkContextReply(const QString& id, const QString& error) const;
    QString disposeMessage() const;

private:
    QString m_appName;
    QString m_version;
    QString m_instanceId;
    // qualifiedName("CheckContext"), which every page message is compared with.
    QString m_checkContext;
};
