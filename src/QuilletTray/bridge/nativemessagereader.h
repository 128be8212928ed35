#pragma once

#include <QByteArray>
#include <QtGlobal>

class AppException;
class QIODevice;

// Cuts a signer's standard output into native messages: a signed 32-bit little-endian
// length followed by that many bytes of UTF-8 JSON. A pipe hands over at most 64 KiB at a
// time, so a message is collected over as many reads as it takes.
class NativeMessageReader
{
public:
    // Takes bytes from the device until a message is complete (true, with its payload) or
    // the device has nothing more (false). An empty message is not handed out; it ends the
    // current read, as the signers use it. A negative length throws the framing error, a length
    // over maxMessageSize the size error.
    bool readMessage(QIODevice& device, QByteArray& payload);

    // The stream has ended: throws the framing error when it ended inside a frame.
    void checkEnd() const;

    static AppException framingError(qint64 expected, qint64 received);
    static AppException sizeError(qint64 length);

    // A signer can't make the tray hold more than this for one message, as a page can't.
    static constexpr qint64 maxMessageSize = 64 * 1024 * 1024;

private:
    static constexpr int headerSize = 4;

    char m_header[headerSize] = {};
    int m_headerBytes = 0;
    qint64 m_pendingLength = 0;
    QByteArray m_payload;
};
