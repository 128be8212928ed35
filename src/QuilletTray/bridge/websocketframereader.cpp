#include "websocketframereader.h"

#include <cstring>
#include <QIODevice>
#include <QtEndian>
#include <utility>

namespace {
constexpr int opContinuation = 0x0;
constexpr int opText = 0x1;
constexpr int opBinary = 0x2;
constexpr int opClose = 0x8;
constexpr int opPing = 0x9;
constexpr int opPong = 0xA;
constexpr int maxControlPayload = 125;

bool isControl(int opcode)
{
    return opcode >= opClose;
}

// The codes a peer may send in a close frame: the registered ones up to 1011 except those that
// only describe a closed connection, and those for libraries and applications.
bool isValidCloseCode(quint16 code)
{
    if (code >= 3000 && code <= 4999)
        return true;
    return code >= 1000 && code <= 1011 && code != 1004 && code != 1005 && code != 1006;
}

// The mask is applied by the frame's byte offset: eight bytes at a time, then the rest.
void unmask(char* data, qint64 size, quint32 mask, qint64 offset)
{
    unsigned char key[4];
    qToBigEndian(mask, key);
    unsigned char rotated[8];
    for (int i = 0; i < 8; ++i)
        rotated[i] = key[(offset + i) % 4];
    quint64 word;
    std::memcpy(&word, rotated, sizeof word);
    qint64 i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 chunk;
        std::memcpy(&chunk, data + i, sizeof chunk);
        chunk ^= word;
        std::memcpy(data + i, &chunk, sizeof chunk);
    }
    for (; i < size; ++i)
        data[i] = char(data[i] ^ rotated[i % 8]);
}
} // namespace

WebSocketFrameReader::WebSocketFrameReader(qint64 maxSize)
    : maxMessageSize(maxSize)
{
}

bool WebSocketFrameReader::isInsideMessage() const
{
    return !ended && (messageOpcode >= 0 || headerBytes > 0);
}

QList<WebSocketFrameReader::Event> WebSocketFrameReader::read(QIODevice& device)
{
    QList<Event> events;
    while (!ended) {
        if (!inFrame) {
            if (!readHeader(device))
                break;
            inFrame = true;
            startFrame(events);
            if (ended)
                break;
        }
        readPayload(device);
        if (frameRead < frameLength)
            break;
        inFrame = false;
        finishFrame(events);
    }
    if (ended)
        device.skip(device.bytesAvailable());
    return events;
}

bool WebSocketFrameReader::readHeader(QIODevice& device)
{
    for (;;) {
        int needed = 2;
        if (headerBytes >= 2) {
            const int length = header[1] & 0x7F;
            needed += (length == 126 ? 2 : length == 127 ? 8 : 0) + ((header[1] & 0x80) ? 4 : 0);
        }
        if (headerBytes == needed)
            return true;
        const qint64 got = device.read(reinterpret_cast<char*>(header) + headerBytes, needed - headerBytes);
        if (got <= 0)
            return false;
        headerBytes += int(got);
    }
}

void WebSocketFrameReader::startFrame(QList<Event>& events)
{
    final = header[0] & 0x80;
    opcode = header[0] & 0x0F;
    const int length = header[1] & 0x7F;
    int at = 2;
    if (length == 126) {
        frameLength = qFromBigEndian<quint16>(header + at);
        at += 2;
    } else if (length == 127) {
        const quint64 longLength = qFromBigEndian<quint64>(header + at);
        if (longLength >> 63)
            return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "Invalid frame length.");
        frameLength = qint64(longLength);
        at += 8;
    } else {
        frameLength = length;
    }
    frameRead = 0;
    if (header[0] & 0x70)
        return fail(events, QWebSocketProtocol::CloseCodeProtocolError,
                    "Reserved bits set without an extension.");
    if (!(header[1] & 0x80))
        return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "A page's frame must be masked.");
    mask = qFromBigEndian<quint32>(header + at);
    if (isControl(opcode)) {
        if (opcode != opClose && opcode != opPing && opcode != opPong)
            return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "Invalid opcode.");
        if (!final || frameLength > maxControlPayload)
            return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "Invalid control frame.");
        control.resize(0);
        return;
    }
    if (opcode != opContinuation && opcode != opText && opcode != opBinary)
        return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "Invalid opcode.");
    if ((opcode == opContinuation) != (messageOpcode >= 0)) {
        return fail(events, QWebSocketProtocol::CloseCodeProtocolError,
                    opcode == opContinuation ? "A continuation frame without a message to continue."
                                             : "A new message inside a fragmented one.");
    }
    if (frameLength > maxMessageSize - messageLength)
        return fail(events, QWebSocketProtocol::CloseCodeTooMuchData, "Received message is too big.");
    messageLength += frameLength;
    if (opcode == opContinuation)
        return;
    messageOpcode = opcode;
    // A message in one frame gets its whole length at once, without regrowing and copying while
    // a large document arrives; pages not yet written take no memory. Later frames of a
    // fragmented message grow it as a QByteArray grows.
    if (opcode == opText)
        message.reserve(frameLength);
}

void WebSocketFrameReader::readPayload(QIODevice& device)
{
    const qint64 wanted = qMin(frameLength - frameRead, device.bytesAvailable());
    if (wanted <= 0)
        return;
    if (!isControl(opcode) && messageOpcode == opBinary) {
        frameRead += qMax<qint64>(device.skip(wanted), 0);
        return;
    }
    QByteArray& target = isControl(opcode) ? control : message;
    const qsizetype start = target.size();
    target.resize(start + wanted);
    const qint64 got = qMax<qint64>(device.read(target.data() + start, wanted), 0);
    target.truncate(start + got);
    unmask(target.data() + start, got, mask, frameRead);
    frameRead += got;
}

void WebSocketFrameReader::finishFrame(QList<Event>& events)
{
    headerBytes = 0;
    frameRead = 0;
    frameLength = 0;
    switch (opcode) {
    case opPing:
        events.append({Event::Ping, control});
        return;
    case opPong:
        return;
    case opClose: {
        if (control.size() == 1)
            return fail(events, QWebSocketProtocol::CloseCodeProtocolError,
                        "Payload of close frame is too small.");
        quint16 code = QWebSocketProtocol::CloseCodeNormal;
        QByteArray reason;
        if (control.size() >= 2) {
            const quint16 received = qFromBigEndian<quint16>(control.constData());
            if (!isValidCloseCode(received))
                return fail(events, QWebSocketProtocol::CloseCodeProtocolError, "Invalid close code.");
            reason = control.mid(2);
            if (!QByteArrayView(reason).isValidUtf8())
                return fail(events, QWebSocketProtocol::CloseCodeWrongDatatype,
                            "Invalid UTF-8 code encountered.");
            code = received;
        }
        ended = true;
        events.append({Event::Close, reason, code});
        return;
    }
    default:
        break;
    }
    if (!final)
        return;
    const int finished = std::exchange(messageOpcode, -1);
    messageLength = 0;
    if (finished != opText)
        return;
    if (!QByteArrayView(message).isValidUtf8())
        return fail(events, QWebSocketProtocol::CloseCodeWrongDatatype, "Invalid UTF-8 code encountered.");
    events.append({Event::TextMessage, std::exchange(message, QByteArray())});
}

void WebSocketFrameReader::fail(QList<Event>& events, QWebSocketProtocol::CloseCode code, const char* reason)
{
    ended = true;
    message = QByteArray();
    events.append({Event::Failure, QByteArray(reason), quint16(code)});
}
