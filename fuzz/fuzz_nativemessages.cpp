// The namespace and message inspection: a page's first message sets the namespace, and every
// later one is looked at for its method and id. Whatever the bytes, the quick test for
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
QJsonObject parse(const QString& text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

QString methodOf(const QString& message)
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
    const QString announce = QString::fromUtf8(first.data(), qsizetype(first.size()));
    const QString message = QString::fromUtf8(second.data(), qsizetype(second.size()));

    NativeMessages messages;
    messages.setNamespace(announce);
    static const QRegularExpression qualified(
        QStringLiteral("^[A-Za-z0-9_]+\\.[0-9]+\\.[0-9]+\\.[0-9]+\\.[A-Za-z0-9_]+\\.QES\\.CheckContext$"));
    const QString checkContext = messages.qualifiedName(QStringLiteral("CheckContext"));
    FUZZ_CHECK(!messages.isValid() || qualified.match(checkContext).hasMatch());
    FUZZ_CHECK(messages.isValid() || messages.appName().isEmpty());

    // The quick test may skip parsing only when the answer can't be yes.
    FUZZ_CHECK(messages.isCheckContext(message) == (methodOf(message) == checkContext));
    FUZZ_CHECK(messages.isCheckContext(announce) == (methodOf(announce) == checkContext));

    const QString id = messages.messageId(message);
    const QJsonValue idValue = parse(message).value(QLatin1String("id"));
    FUZZ_CHECK(id == (idValue.isString() ? idValue.toString() : QString()));
    checkReply(messages, id, QString());
    checkReply(messages, id, QStringLiteral("Bad context!"));

    // A request built from the fuzzed id, plain and with an escaped method name, is recognised.
    const QJsonObject request {{QStringLiteral("id"), message}, {QStringLiteral("method"), checkContext}};
    const QString plain = QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));
    FUZZ_CHECK(messages.isCheckContext(plain));
    FUZZ_CHECK(messages.messageId(plain) == message);
    QString escaped = QStringLiteral("{\"method\":\"\\u%1%2\"}")
                          .arg(checkContext.at(0).unicode(), 4, 16, QLatin1Char('0'))
                          .arg(checkContext.mid(1));
    FUZZ_CHECK(messages.isCheckContext(escaped));

    const QJsonObject dispose = parse(messages.disposeMessage());
    FUZZ_CHECK(dispose.value(QLatin1String("args")) == QJsonArray());
    FUZZ_CHECK(dispose.value(QLatin1String("method")).toString()
               == messages.qualifiedName(QStringLiteral("DisposeInstance")));
    return 0;
}
