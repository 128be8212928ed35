// A page's frames in arbitrary pieces, as TCP may cut them. What the session acts on must be what
// the same bytes give when they arrive at once, and never more than the protocol lets through.
#include "fuzzcheck.h"
#include "websocketframereader.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QBuffer>
#include <QByteArrayList>

namespace {
using Event = WebSocketFrameReader::Event;

QByteArrayList render(const QList<Event>& events)
{
    QByteArrayList rendered;
    for (const Event& event : events)
        rendered.append(QByteArray::number(event.kind) + ':' + QByteArray::number(event.code) + ':'
                        + event.payload);
    return rendered;
}

QList<Event> readPieces(const QByteArrayList& pieces, qint64 maxSize)
{
    QBuffer connection;
    connection.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    WebSocketFrameReader reader(maxSize);
    QList<Event> events;
    for (const QByteArray& piece : pieces) {
        connection.buffer().append(piece);
        events += reader.read(connection);
        // Everything is taken as it comes: nothing is left for anyone else to read.
        FUZZ_CHECK(connection.bytesAvailable() == 0);
    }
    return events;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const qint64 maxSize = provider.ConsumeIntegralInRange<qint64>(0, 4096);
    QByteArrayList pieces;
    QByteArray stream;
    while (provider.remaining_bytes() > 0) {
        const std::string piece
            = provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<size_t>(1, 64));
        pieces.append(QByteArray(piece.data(), qsizetype(piece.size())));
        stream.append(pieces.last());
    }

    const QList<Event> events = readPieces(pieces, maxSize);
    FUZZ_CHECK(render(events) == render(readPieces({stream}, maxSize)));
    for (qsizetype i = 0; i < events.size(); ++i) {
        // A close or a failure ends the reading; a message is whole text within the bound.
        FUZZ_CHECK(events[i].kind <= Event::Ping || i == events.size() - 1);
        FUZZ_CHECK(
            events[i].kind != Event::TextMessage
            || (events[i].payload.size() <= maxSize && QByteArrayView(events[i].payload).isValidUtf8()));
    }
    return 0;
}
