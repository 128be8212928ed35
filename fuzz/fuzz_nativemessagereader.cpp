// The frame reader fed arbitrary child output in arbitrary pieces. What the session passes on
// must be exactly what a plain reading of the whole stream gives, wherever the pipe cuts it.
#include "appexception.h"
#include "fuzzcheck.h"
#include "nativemessagereader.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QByteArrayList>
#include <QIODevice>
#include <QtEndian>

namespace {
// The read end of a pipe: bytes arrive piece by piece, and a read takes what has arrived.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }

    void feed(const QByteArray& piece) { m_data.append(piece); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return m_data.size() - m_read + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 size = qMin(maxSize, qint64(m_data.size()) - m_read);
        memcpy(data, m_data.constData() + m_read, size_t(size));
        m_read += size;
        return size;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_read = 0;
};

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
    Pipe pipe;
    NativeMessageReader reader;
    Outcome outcome;
    try {
        QByteArray payload;
        for (const QByteArray& piece : std::as_const(pieces)) {
            pipe.feed(piece);
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
