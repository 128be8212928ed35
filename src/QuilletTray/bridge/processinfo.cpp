#include "processinfo.h"

#include <cerrno>
#include <cstring>
#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QtEndian>
#include <QWebSocket>
#include <unistd.h>

const ProcessInfo trayProcessInfo = ProcessInfo::currentProcess();

namespace {
constexpr qsizetype readSize = 64 * 1024;

// An address and port as the kernel prints them in its table: the IPv4 address in host byte
// order of a little-endian machine, both in upper-case hexadecimal.
QByteArray tableKey(const QHostAddress& address, quint16 port)
{
    const quint32 ipv4 = qbswap(address.toIPv4Address());
    return QStringLiteral("%1:%2")
        .arg(QString::number(ipv4, 16).toUpper(), 8, QLatin1Char('0'))
        .arg(QString::number(port, 16).toUpper(), 4, QLatin1Char('0'))
        .toLatin1();
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isWordCharacter(char c)
{
    return isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

// Reads one table line from left to right, column by column; each step fails without moving
// when the line doesn't fit.
class LineReader
{
public:
    LineReader(const char* begin, const char* end)
        : m_at(begin)
        , m_end(end)
    {
    }

    bool blanks()
    {
        return many([](char c) { return c == ' '; });
    }
    bool digits() { return many(isDigit); }
    bool word() { return many(isWordCharacter); }

    bool text(const QByteArray& expected)
    {
        if (m_end - m_at < expected.size()
            || memcmp(m_at, expected.constData(), size_t(expected.size())) != 0)
            return false;
        m_at += expected.size();
        return true;
    }

    bool character(char c) { return m_at < m_end && *m_at == c && ++m_at; }
    // tx_queue:rx_queue and tr:tm->when: two words around a colon.
    bool wordPair() { return word() && character(':') && word(); }
    const char* at() const { return m_at; }

private:
    template <typename Predicate> bool many(Predicate accept)
    {
        const char* from = m_at;
        while (m_at < m_end && accept(*m_at))
            ++m_at;
        return m_at > from;
    }

    const char* m_at;
    const char* m_end;
};

// The uid column of a line whose local end is `peer`, whose remote end is `local` and whose
// state is 01 (ESTABLISHED), read as the pattern
//   ^ +\d+: +<peer> +<local> +01 \w+:\w+ +\w+:\w+ +\w+ +(\d+) +.*$
// with ASCII classes would read it; empty when the line doesn't fit. Lines are compared
// byte by byte: the table is ASCII, and nothing else in a line could fit the columns.
QByteArray uidOfLine(const char* begin, const char* end, const QByteArray& peer, const QByteArray& local)
{
    LineReader line(begin, end);
    if (!(line.blanks() && line.digits() && line.character(':') && line.blanks() && line.text(peer)
          && line.blanks() && line.text(local) && line.blanks() && line.text(QByteArrayLiteral("01 "))
          && line.wordPair() && line.blanks() && line.wordPair() && line.blanks() && line.word()
          && line.blanks()))
        return QByteArray();
    const char* uid = line.at();
    if (!line.digits())
        return QByteArray();
    const char* uidEnd = line.at();
    if (!line.blanks())
        return QByteArray();
    return QByteArray(uid, uidEnd - uid);
}
} // namespace

ProcessInfo::ProcessInfo(const QString& uid)
    : m_uid(uid)
{
}

ProcessInfo ProcessInfo::currentProcess()
{
    return ProcessInfo(QString::number(getuid()));
}

ProcessInfo ProcessInfo::forWebSocket(const QWebSocket* socket, const QString& tablePath)
{
    if (!socket)
        return ProcessInfo();
    return forConnection(socket->peerAddress(), socket->peerPort(), socket->localAddress(),
                         socket->localPort(), tablePath);
}

ProcessInfo ProcessInfo::forConnection(const QHostAddress& peerAddress, quint16 peerPort,
                                       const QHostAddress& localAddress, quint16 localPort,
                                       const QString& tablePath)
{
    QFile table(tablePath);
    if (!table.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qWarning().noquote() << "Unable to open" << tablePath;
        return ProcessInfo();
    }

    // The connecting program's own socket: its local end is our peer, its remote end is us,
    // and its uid column names the user who owns it.
    const QByteArray peer = tableKey(peerAddress, peerPort);
    const QByteArray local = tableKey(localAddress, localPort);
    QByteArray uid;
    // The table is read in large pieces and cut into lines here: with thousands of sockets on
    // the machine, a line at a time costs more than the search itself.
    QByteArray buffer(readSize, Qt::Uninitialized);
    qsizetype filled = 0;
    bool atEnd = false;
    while (uid.isEmpty() && !atEnd) {
        // One system call per piece: QFile would read on until the piece is full or the table
        // has ended, and each read that reaches the end walks the kernel's whole socket hash
        // table again, which costs more than the rest of the check when the page's line is
        // already in the first piece.
        qint64 got;
        do {
            got = ::read(table.handle(), buffer.data() + filled, size_t(buffer.size() - filled));
        } while (got < 0 && errno == EINTR);
        atEnd = got <= 0;
        filled += qMax<qint64>(got, 0);
        const char* lineStart = buffer.constData();
        const char* const dataEnd = lineStart + filled;
        for (;;) {
            auto* newline = static_cast<const char*>(memchr(lineStart, '\n', size_t(dataEnd - lineStart)));
            if (!newline && !(atEnd && lineStart < dataEnd))
                break;
            const char* lineEnd = newline ? newline : dataEnd;
            // The kernel numbers its lines in order: once a slot number fills its column, so
            // that the line starts with a digit, no later line can start with a blank.
            if (isDigit(*lineStart)) {
                atEnd = true;
                break;
            }
            uid = uidOfLine(lineStart, lineEnd, peer, local);
            lineStart = newline ? newline + 1 : dataEnd;
            if (!uid.isEmpty())
                break;
        }
        // What is left is the start of a line that the next read completes.
        filled = dataEnd - lineStart;
        memmove(buffer.data(), lineStart, size_t(filled));
        if (filled == buffer.size())
            buffer.resize(buffer.size() * 2);
    }
    table.close();
    return uid.isEmpty() ? ProcessInfo() : ProcessInfo(QString::fromLatin1(uid));
}

bool ProcessInfo::checkClient(const QWebSocket* socket)
{
    return checkPeer(socket->localAddress(), socket->localPort(), socket->peerAddress(), socket->peerPort());
}

bool ProcessInfo::checkPeer(const QHostAddress& localAddress, quint16 localPort,
                            const QHostAddress& peerAddress, quint16 peerPort)
{
    const ProcessInfo peer
        = forConnection(peerAddress, peerPort, localAddress, localPort, QStringLiteral("/proc/net/tcp"));
    if (peer.isEmpty()) {
        qWarning() << "Unable to check WebSocket client";
        return false;
    }
    if (trayProcessInfo == peer) {
        qInfo() << "WebSocket client is authorized to communicate with this server";
        return true;
    }
    qWarning() << "WebSocket client is NOT authorized to communicate with this server";
    qInfo() << "Quillet Tray is running under user: " << trayProcessInfo.uid();
    qInfo() << "Connecting application is running under user: " << peer.uid();
    return false;
}

bool ProcessInfo::operator==(const ProcessInfo& other) const
{
    return !m_uid.isEmpty() && m_uid.size() == other.m_uid.size() && m_uid == other.m_uid;
}
