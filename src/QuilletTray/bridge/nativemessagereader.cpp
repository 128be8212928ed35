#include "nativemessagereader.h"

#include "appexception.h"

#include <QIODevice>
#include <QObject>
#include <QtEndian>

bool NativeMessageReader::readMessage(QIODevice& device, QByteArray& payload)
{
    for (;;) {
        const qint64 available = device.bytesAvailable();
        if (available <= 0)
            return false;

        if (m_pendingLength == 0) {
            const qint64 got = device.read(m_header + m_headerBytes, headerSize - m_headerBytes);
            if (got <= 0)
                return false;
            m_headerBytes += int(got);
            if (m_headerBytes < headerSize)
                return false;
            m_headerBytes = 0;
            const qint32 length = qFromLittleEndian<qint32>(m_header);
            if (length < 0)
                throw framingError(length, 0);
            if (length == 0)
                return false;
            if (length > maxMessageSize)
                throw sizeError(length);
            m_pendingLength = length;
            // Reserved whole, so the payload is never moved while it fills; pages are touched only
            // as bytes arrive, and the limit above bounds what a bogus header can claim.
            m_payload.reserve(length);
            continue;
        }

        // Read straight into the payload buffer: one copy from the device, none per piece.
        const qint64 chunk = qMin(m_pendingLength - m_payload.size(), available);
        const qsizetype before = m_payload.size();
        m_payload.resize(before + chunk);
        const qint64 got = device.read(m_payload.data() + before, chunk);
        if (got < chunk)
            m_payload.truncate(before + qMax<qint64>(got, 0));
        if (got <= 0)
            return false;
        if (m_payload.size() < m_pendingLength)
            continue;

        payload = std::move(m_payload);
        m_payload = QByteArray();
        m_pendingLength = 0;
        return true;
    }
}

void NativeMessageReader::checkEnd() const
{
    if (m_headerBytes > 0)
        throw framingError(headerSize, m_headerBytes);
    if (m_pendingLength > 0)
        throw framingError(m_pendingLength, m_payload.size());
}

AppException NativeMessageReader::framingError(qint64 expected, qint64 received)
{
    return APP_EXCEPTION(
        QStringLiteral("Expected %1 bytes from STDOUT but received %2 bytes").arg(expected).arg(received),
        QObject::tr("GeneralExceptionMessage"));
}

AppException NativeMessageReader::sizeError(qint64 length)
{
    return APP_EXCEPTION(QStringLiteral("A message of %1 bytes from STDOUT exceeds the limit of %2 bytes")
                             .arg(length)
                             .arg(maxMessageSize),
                         QObject::tr("GeneralExceptionMessage"));
}
