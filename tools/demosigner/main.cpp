// A stand-in for the product's signer programs, so that the tray can serve a page without
// them: it answers native messages on standard input with native messages on standard
// output, in the namespace of each request, and writes nothing else there.
//
// Methods (the last part of "method"):
//   Echo             "result" is the request's "args"
//   Generate         "result" is a text of args[0] characters
//   Log              writes args[0] to standard error; "result" is empty
//   Exit             exits with code args[0] without an answer
//   DisposeInstance  exits with code 0 without an answer
// Any other method is answered with "error": "Unknown method".
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace {
bool readExactly(char* data, size_t size)
{
    return std::fread(data, 1, size, stdin) == size;
}

// One frame: a 32-bit length in the machine's byte order, then that many bytes.
bool readMessage(QByteArray& payload)
{
    char header[4];
    if (!readExactly(header, sizeof header))
        return false;
    int32_t length = 0;
    std::memcpy(&length, header, sizeof length);
    if (length < 0)
        return false;
    payload.resize(length);
    return readExactly(payload.data(), size_t(length));
}

void writeMessage(const QJsonObject& message)
{
    const QByteArray payload = QJsonDocument(message).toJson(QJsonDocument::Compact);
    const int32_t length = int32_t(payload.size());
    std::fwrite(&length, sizeof length, 1, stdout);
    std::fwrite(payload.constData(), 1, size_t(payload.size()), stdout);
    std::fflush(stdout);
}

QString generatedText(qint64 size)
{
    static const QString pattern = QStringLiteral("0123456789abcdef");
    QString text;
    text.reserve(qsizetype(size));
    while (text.size() + pattern.size() <= size)
        text += pattern;
    text += pattern.left(qsizetype(size - text.size()));
    return text;
}
} // namespace

int main()
{
    QByteArray payload;
    while (readMessage(payload)) {
        const QJsonObject request = QJsonDocument::fromJson(payload).object();
        const QString method = request.value(QLatin1String("method")).toString();
        const QString name = method.section(QLatin1Char('.'), -1);
        const QJsonArray args = request.value(QLatin1String("args")).toArray();

        QJsonObject reply {{QStringLiteral("method"), method}};
        if (request.contains(QLatin1String("id")))
            reply.insert(QStringLiteral("id"), request.value(QLatin1String("id")));

        if (name == QLatin1String("DisposeInstance"))
            return 0;
        if (name == QLatin1String("Exit"))
            return args.at(0).toInt();
        if (name == QLatin1String("Echo")) {
            reply.insert(QStringLiteral("result"), args);
        } else if (name == QLatin1String("Generate")) {
            reply.insert(QStringLiteral("result"), generatedText(qint64(args.at(0).toDouble())));
        } else if (name == QLatin1String("Log")) {
            const QByteArray text = args.at(0).toString().toUtf8();
            std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
            std::fflush(stderr);
            reply.insert(QStringLiteral("result"), QString());
        } else {
            reply.insert(QStringLiteral("error"), QStringLiteral("Unknown method"));
            reply.insert(QStringLiteral("result"), QString());
        }
        writeMessage(reply);
    }
    return 0;
}
