// The frame reader fed arbitrary child output in arbitrary pieces. What the session passes on
// must be exactly what a plain reading of the whole stream gives, wherever the pipe cuts it.
#include "appexception.h"
#include "fuzzcheck.h"
#include "nativemessagereader.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QBuffer>
#include <QByteArrayList>
#include <QtEndian>

namespace {
struct Outcome
{
    QByteArrayList messages;
    QString error;
};

// The frame format read in one go over the whole stream.
Outcome reference(const QByteArray& stream)
{
    Outcome outcome;
    qsizetype at = 0;
    while (at < stream.size()) {
        if (stream.size() - at < 4) {
            outcome.error = NativeMessageReader::framingError(4, stream.size() - at).generalMessage();
            return outcome;
        }
        const qint32 length = qFromLittleEndian<qint32>(stream.constData() + at);
        at += 4;
        if (length < 0) {
            outcome.error = NativeMessageReader::framingError(length, 0).generalMessage();
            return outcome;
        }
        if (length == 0)
            continue;
        if (length > NativeMessageReader::maxMessageSize) {
            outcome.error = NativeMessageReader::sizeError(length).generalMessage();
            return outcome;
        }
        if (stream.size() - at < length) {
            outcome.error = NativeMessageReader::framingError(length, stream.size() - at).generalMessage();
            return outcome;
        }
        outcome.messages.append(stream.mid(at, length));
        at += length;
    }
    return outcome;
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
    QByteArrayList pieces;
    QByteArray stream;
    while (provider.remaining_bytes() > 0) {
        const size_t length = provider.ConsumeIntegralInRange<size_t>(1, 512);
        const std::string piece = provider.ConsumeBytesAsString(length);
        pieces.append(QByteArray(piece.data(), qsizetype(piece.size())));
        stream.append(pieces.last());
    }

    // As the session reads: everything complete after each piece, then the rest when the
    // child's output ends.
    // The read end of a pipe: bytes arrive piece by piece, and a read takes what has arrived.
    QBuffer pipe;
    pipe.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    NativeMessageReader reader;
    Outcome outcome;
    try {
        QByteArray payload;
        for (const QByteArray& piece : std::as_const(pieces)) {
            pipe.buffer().append(piece);
            while (reader.readMessage(pipe, payload))
                outcome.messages.append(payload);
        }
        while (pipe.bytesAvailable() > 0) {
            while (reader.readMessage(pipe, payload))
                outcome.messages.append(payload);
        }
        reader.checkEnd();
    } catch (const AppException& error) {
        outcome.error = error.generalMessage();
    }

    const Outcome expected = reference(stream);
    FUZZ_CHECK(outcome.messages == expected.messages);
    FUZZ_CHECK(outcome.error == expected.error);
    return 0;
}
