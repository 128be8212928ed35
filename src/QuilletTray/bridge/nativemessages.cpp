#include "nativemessages.h"

#include "logexcerpt.h"

#include <algorithm>
#include <cstring>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
// A text that is not a JSON object reads as an empty object.
QJsonObject parseObject(const QByteArray& message)
{
    return QJsonDocument::fromJson(message).object();
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Walks the members of a JSON object without decoding them: values are only skipped, so a
// document of many megabytes costs one search for its closing quote. It follows any valid
// JSON; on text that isn't, it may stop anywhere, which the callers allow for.
class MemberScanner
{
public:
    explicit MemberScanner(const QByteArray& text)
        : m_at(text.constData())
        , m_end(text.constData() + text.size())
    {
        // The JSON reader skips a byte order mark too.
        if (m_end - m_at >= 3 && std::memcmp(m_at, "\xEF\xBB\xBF", 3) == 0)
            m_at += 3;
        m_ok = take('{');
        m_empty = m_ok && take('}');
    }

    // The next member's name and value as they stand in the text, quotes and escapes included.
    bool next(QByteArrayView& name, QByteArrayView& value)
    {
        if (!m_ok || m_empty)
            return false;
        if (m_started && !take(','))
            return false;
        m_started = true;
        skipBlanks();
        const char* nameStart = m_at;
        if (!take('"') || !skipString())
            return stop();
        name = QByteArrayView(nameStart, m_at - nameStart);
        if (!take(':'))
            return stop();
        skipBlanks();
        const char* valueStart = m_at;
        if (!skipValue())
            return stop();
        value = QByteArrayView(valueStart, m_at - valueStart);
        return true;
    }

private:
    bool stop() { return m_ok = false; }

    void skipBlanks()
    {
        while (m_at < m_end && isBlank(*m_at))
            ++m_at;
    }

    bool take(char c)
    {
        skipBlanks();
        if (m_at == m_end || *m_at != c)
            return false;
        ++m_at;
        return true;
    }

    // From after an opening quote to after its closing quote.
    bool skipString()
    {
        const char* start = m_at;
        for (;;) {
            const auto* quote = static_cast<const char*>(std::memchr(m_at, '"', size_t(m_end - m_at)));
            if (!quote)
                return false;
            const char* escape = quote;
            while (escape > start && escape[-1] == '\\')
                --escape;
            m_at = quote + 1;
            if ((quote - escape) % 2 == 0)
                return true;
        }
    }

    // A string or container to after its end, anything else to the next delimiter.
    bool skipValue()
    {
        if (m_at == m_end || *m_at == ',' || *m_at == '}' || *m_at == ']')
            return false;
        const char* start = m_at;
        int depth = 0;
        while (m_at < m_end) {
            const char c = *m_at;
            if (depth == 0 && m_at > start && (c == ',' || c == '}' || c == ']' || isBlank(c)))
                return true;
            ++m_at;
            if (c == '"' && !skipString())
                return false;
            if (c == '{' || c == '[')
                ++depth;
            if ((c == '}' || c == ']') && --depth < 0)
                return false;
            if (depth == 0 && (c == '"' || c == '}' || c == ']'))
                return true;
        }
        return depth == 0;
    }

    const char* m_at;
    const char* m_end;
    bool m_ok = false;
    bool m_empty = false;
    bool m_started = false;
};

// Whether only a parse can tell what a name or text stands for: escapes, and non-ASCII bytes
// (the JSON reader drops a U+FEFF inside a text, for one).
bool needsDecoding(QByteArrayView text)
{
    return std::any_of(text.begin(), text.end(), [](char c) { return c == '\\' || (c & 0x80); });
}

// Whether a full parse could find this CheckContext name as the object's method: a member
// named "method" holds it, or a member name or method value needs decoding and only a parse can
// tell. Text that is no JSON object can't hold it, wherever the scan stops.
bool mayBeCheckContext(const QByteArray& message, const QByteArray& quotedName)
{
    static const QByteArrayView methodKey("\"method\"");
    MemberScanner scanner(message);
    QByteArrayView name;
    QByteArrayView value;
    while (scanner.next(name, value)) {
        if (needsDecoding(name))
            return true;
        if (name == methodKey && (value == quotedName || (value.startsWith('"') && needsDecoding(value))))
            return true;
    }
    return false;
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

NativeMessages::Request NativeMessages::read(const QByteArray& message)
{
    QJsonObject object;
    if (!isValid()) {
        object = parseObject(message);
        setNamespace(object.value(QLatin1String("method")).toString(), message);
    } else if (mayBeCheckContext(message, m_checkContextUtf8)) {
        object = parseObject(message);
    } else {
        return {};
    }
    const QString checkContext = isValid() ? m_checkContext : qualifiedName(QStringLiteral("CheckContext"));
    if (object.value(QLatin1String("method")).toString() != checkContext)
        return {};
    return {true, object.value(QLatin1String("id")).toString()};
}

void NativeMessages::setNamespace(const QString& method, const QByteArray& message)
{
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
    m_checkContextUtf8 = '"' + m_checkContext.toUtf8() + '"';
}

QString NativeMessages::qualifiedName(const QString& name) const
{
    return QStringLiteral("%1.%2.%3.QES.%4").arg(m_appName, m_version, m_instanceId, name);
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
