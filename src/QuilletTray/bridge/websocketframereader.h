#pragma once

#include <QByteArray>
#include <QList>
#include <QWebSocketProtocol>

class QIODevice;

// Reads a page's frames straight off its connection. A text message is collected once, as the
// UTF-8 the signer reads, unmasked where it lands: no copy in the socket's buffer, no UTF-16
// version of it. Server side of the protocol: the page's frames must be masked, no extension is
// agreed on, and binary messages are read and dropped.
class WebSocketFrameReader
{
public:
    struct Event
    {
        enum Kind
        {
            TextMessage,
            Ping,
            Close,
            Failure
        };
        Kind kind;
        // The message, the ping's payload, or the reason of a close or failure.
        QByteArray payload;
        // Plain: a page may use codes that have no name in QWebSocketProtocol::CloseCode.
        quint16 code = QWebSocketProtocol::CloseCodeNormal;
    };

    explicit WebSocketFrameReader(qint64 maxSize);

    // Takes everything the device has and returns what it completed, in order. After a close or
    // a failure the reader has ended: what follows is read and dropped.
    QList<Event> read(QIODevice& device);
    bool hasEnded() const { return ended; }
    // Part of a message has arrived and waits for the rest.
    bool isInsideMessage() const;

private:
    bool readHeader(QIODevice& device);
    void startFrame(QList<Event>& events);
    void readPayload(QIODevice& device);
    void finishFrame(QList<Event>& events);
    void fail(QList<Event>& events, QWebSocketProtocol::CloseCode code, const char* reason);

    const qint64 maxMessageSize;
    // The frame header collected so far: 2 bytes, up to 8 of length, 4 of mask.
    unsigned char header[14] = {};
    int headerBytes = 0;
    bool inFrame = false;
    bool final = false;
    int opcode = 0;
    quint32 mask = 0;
    qint64 frameLength = 0;
    qint64 frameRead = 0;
    // The data message in progress: its first frame's opcode, and what it holds so far.
    int messageOpcode = -1;
    qint64 messageLength = 0;
    QByteArray message;
    QByteArray control;
    bool ended = false;
};
