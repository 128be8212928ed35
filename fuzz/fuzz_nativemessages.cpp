// The namespace and message inspection: a page's first message sets the namespace, and every
// later one is looked at for its method and id. Whatever the bytes, the member scan for
// CheckContext must agree with a full parse, and the replies built must be well-formed JSON
// that carries the id and the namespace back.
#include "fuzzcheck.h"
#include "nativemessages.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

namespace {
QJsonObject parse(const QByteArray& text)
{
    return QJsonDocument::fromJson(text).object();
}

QString methodOf(const QByteArray& message)
{
    return parse(message).value(QLatin1String("method")).toString();
}

void checkReply(const NativeMessages& messages, const QString& id, const QString& error)
{
    QJsonParseError parseError;
    const QJsonDocument document
        = QJsonDocument::fromJson(messages.checkContextReply(id, error).toUtf8(), &parseError);
    FUZZ_CHECK(parseError.error == QJsonParseError::NoError);
    const QJsonObject reply = document.object();
    FUZZ_CHECK(reply.value(QLatin1String("error")).toString() == error);
    FUZZ_CHECK(reply.value(QLatin1String("method")).toString()
               == messages.qualifiedName(QStringLiteral("CheckContext")));
    FUZZ_CHECK(reply.value(QLatin1String("result")) == QJsonValue(QString()));
    FUZZ_CHECK(reply.contains(QLatin1String("id")) == !id.isEmpty());
    FUZZ_CHECK(reply.value(QLatin1String("id")).toString() == id);
    FUZZ_CHECK(reply.size() == (id.isEmpty() ? 3 : 4));
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string first = provider.ConsumeRandomLengthString(512);
    const std::string second = provider.ConsumeRemainingBytesAsString();
    // Pages' messages reach the bridge as valid UTF-8: QWebSocket decodes them, the bridge encodes.
    const QByteArray announce = QString::fromUtf8(first.data(), qsizetype(first.size())).toUtf8();
    const QByteArray message = QString::fromUtf8(second.data(), qsizetype(second.size())).toUtf8();

    // The member scan may skip parsing only when the answer can't be yes; the id is a full parse's.
    // While no namespace is known, each message is parsed whole and may set it.
    NativeMessages messages;
    const NativeMessages::Request announced = messages.read(announce);
    FUZZ_CHECK(announced.isCheckContext
               == (methodOf(announce) == messages.qualifiedName(QStringLiteral("CheckContext"))));
    const NativeMessages::Request request = messages.read(message);
    const QString checkContext = messages.qualifiedName(QStringLiteral("CheckContext"));
    FUZZ_CHECK(request.isCheckContext == (methodOf(message) == checkContext));
    FUZZ_CHECK(messages.read(announce).isCheckContext == (methodOf(announce) == checkContext));
    const QJsonValue idValue = parse(message).value(QLatin1String("id"));
    const QString id = idValue.isString() ? idValue.toString() : QString();
    FUZZ_CHECK(!request.isCheckContext || request.id == id);

    static const QRegularExpression qualified(
        QStringLiteral("^[A-Za-z0-9_]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\\.[A-Za-z0-9_]+\\.QES\\.CheckContext$"));
    FUZZ_CHECK(!messages.isValid() || qualified.match(checkContext).hasMatch());
    FUZZ_CHECK(messages.isValid() || messages.appName().isEmpty());
    checkReply(messages, id, QString());
    checkReply(messages, id, QStringLiteral("Bad context!"));

    // A request built from the fuzzed id, plain and with an escaped method name, is recognised.
    const QString text = QString::fromUtf8(message);
    const QJsonObject built {{QStringLiteral("id"), text}, {QStringLiteral("method"), checkContext}};
    const NativeMessages::Request plain = messages.read(QJsonDocument(built).toJson(QJsonDocument::Compact));
    FUZZ_CHECK(plain.isCheckContext && plain.id == text);
    const QString escaped = QStringLiteral("{\"method\":\"\\u%1%2\"}")
                                .arg(checkContext.at(0).unicode(), 4, 16, QLatin1Char('0'))
                                .arg(checkContext.mid(1));
    FUZZ_CHECK(messages.read(escaped.toUtf8()).isCheckContext);

    const QJsonObject dispose = parse(messages.disposeMessage().toUtf8());
    FUZZ_CHECK(dispose.value(QLatin1String("args")) == QJsonArray());
    FUZZ_CHECK(dispose.value(QLatin1String("method")).toString()
               == messages.qualifiedName(QStringLiteral("DisposeInstance")));
    return 0;
}
