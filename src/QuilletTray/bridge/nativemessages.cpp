#include "nativemessages.h"

#include "logexcerpt.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
// A text that is not a JSON object reads as an empty object.
QJsonObject parseObject(const QString& message)
{
    return QJsonDocument::fromJson(message.toUtf8()).object();
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

bool NativeMessages::isValid() const
{
    return !m_appName.isEmpty() && !m_version.isEmpty() && !m_instanceId.isEmpty();
}

QString NativeMessages::appName() const
{
    return m_appName;
}

void NativeMessages::setNamespace(const QString& message)
{
    const QString method = parseObject(message).value(QLatin1String("method")).toString();
    if (method.isEmpty())
        qWarning() << "Unable to parse json message:" << logExcerpt(message);

    // Without Unicode properties \w and \d stay ASCII, as the signers expect.
    static const QRegularExpression pattern(
        QStringLiteral("^(\\w+)\\.(\\d+\\.\\d+\\.\\d+)\\.(\\w+)\\.QES\\.\\w+$"));
    const QRegularExpressionMatch match = pattern.match(method);
    if (!match.hasMatch()) {
        qWarning() << "Unable to find namespace in" << logExcerpt(method);
        return;
    }
    m_appName = match.captured(1);
    m_version = match.captured(2);
    m_instanceId = match.captured(3);
    m_checkContext = qualifiedName(QStringLiteral("CheckContext"));
}

QString NativeMessages::qualifiedName(const QString& name) const
{
    return QStringLiteral("%1.%2.%3.QES.%4").arg(m_appName, m_version, m_instanceId, name);
}

QString NativeMessages::messageId(const QString& message) const
{
    return parseObject(message).value(QLatin1String("id")).toString();
}

bool NativeMessages::isCheckContext(const QString& message) const
{
    const QString checkContext = isValid() ? m_checkContext : qualifiedName(QStringLiteral("CheckContext"));
    // Relayed messages can be documents of many megabytes: parse only when the name can be
    // in there, written plainly or with escapes (the JSON reader takes \. for . as well).
    if (!message.contains(checkContext) && !message.contains(QLatin1Char('\\')))
        return false;
    return parseObject(message).value(QLatin1String("method")).toString() == checkContext;
}

QString NativeMessages::checkContextReply(const QString& id, const QString& error) const
{
    QJsonObject reply {
        {QStringLiteral("error"), error},
        {QStringLiteral("method"), qualifiedName(QStringLiteral("CheckContext"))},
        {QStringLiteral("result"), QString()},
    };
    if (!id.isEmpty())
        reply.insert(QStringLiteral("id"), id);
    return compact(reply);
}

QString NativeMessages::disposeMessage() const
{
    return compact(QJsonObject {
        {QStringLiteral("args"), QJsonArray()},
        {QStringLiteral("method"), qualifiedName(QStringLiteral("DisposeInstance"))},
    });
}
