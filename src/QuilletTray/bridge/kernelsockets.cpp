#include "kernelsockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <QDebug>
#include <QFile>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Large enough for any one message of a dump; the kernel fills what it is given.
constexpr size_t receiveSize = 32 * 1024;

KernelSockets::Endpoint mappedIpv4(const void* address, quint16 port)
{
    KernelSockets::Endpoint end;
    end.address[10] = 0xff;
    end.address[11] = 0xff;
    memcpy(end.address.c + 12, address, 4);
    end.port = port;
    return end;
}

KernelSockets::Endpoint fromDiag(int family, const __be32* address, __be16 port)
{
    if (family == AF_INET)
        return mappedIpv4(address, ntohs(port));
    KernelSockets::Endpoint end;
    memcpy(end.address.c, address, sizeof end.address.c);
    end.port = ntohs(port);
    return end;
}

bool isMappedIpv4(const KernelSockets::Endpoint& end)
{
    static const quint8 prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(end.address.c, prefix, sizeof prefix) == 0;
}

void toDiag(const KernelSockets::Endpoint& end, __be32* address, __be16* port)
{
    if (isMappedIpv4(end))
        memcpy(address, end.address.c + 12, 4);
    else
        memcpy(address, end.address.c, sizeof end.address.c);
    *port = htons(end.port);
}

// Sends one request and collects the answer; nullopt when netlink is refused at any step or
// answers with an error other than "no such socket" to a request for one socket. Every read is non-blocking:
// the kernel has queued its answer by the time the request is sent, and queues each further part of a dump
// while it is being read.
std::optional<QList<KernelSockets::Socket>> ask(const inet_diag_req_v2& body, bool dump)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return std::nullopt;
    struct
    {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    request.header.nlmsg_seq = 1;
    request.body = body;
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;

    std::optional<QList<KernelSockets::Socket>> sockets;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel)
        == ssize_t(sizeof request)) {
        QByteArray buffer(receiveSize, Qt::Uninitialized);
        QList<KernelSockets::Socket> found;
        for (;;) {
            sockaddr_nl sender {};
            socklen_t senderSize = sizeof sender;
            const ssize_t got = recvfrom(fd, buffer.data(), receiveSize, MSG_DONTWAIT,
                                         reinterpret_cast<sockaddr*>(&sender), &senderSize);
            if (got < 0 && errno == EINTR)
                continue;
            // Only the kernel (port 0) answers; anything else could be another process.
            if (got <= 0 || sender.nl_pid != 0)
                break;
            const KernelSockets::Reply reply
                = KernelSockets::parseReply(QByteArrayView(buffer.constData(), got));
            // The kernel's final word on a socket it doesn't know.
            if (reply.error == -ENOENT && !dump)
                sockets = found;
            if (reply.error != 0)
                break;
            found += reply.sockets;
            if (reply.done || !dump) {
                sockets = found;
                break;
            }
        }
    }
    close(fd);
    return sockets;
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Reads a line of a /proc/net table from left to right; each step fails when the line doesn't fit.
class LineReader
{
public:
    explicit LineReader(QByteArrayView line)
        : m_at(line.begin())
        , m_end(line.end())
    {
    }

    bool blanks(bool required = true)
    {
        const char* from = m_at;
        while (m_at < m_end && *m_at == ' ')
            ++m_at;
        return !required || m_at > from;
    }
    bool character(char c) { return m_at < m_end && *m_at == c && ++m_at; }
    bool atEnd() const { return m_at == m_end || *m_at == ' '; }

    // Exactly `width` hex digits, or any number of them when width is 0.
    bool hex(int width, quint64* value = nullptr)
    {
        quint64 number = 0;
        int count = 0;
        while (m_at < m_end && isHex(*m_at) && (width == 0 || count < width)) {
            number = (number << 4) | hexValue(*m_at);
            ++m_at;
            if (++count > 16)
                return false;
        }
        if (value)
            *value = number;
        return count > 0 && (width == 0 || count == width);
    }

    bool decimal(quint64* value)
    {
        quint64 number = 0;
        int count = 0;
        while (m_at < m_end && *m_at >= '0' && *m_at <= '9') {
            number = number * 10 + quint64(*m_at - '0');
            ++m_at;
            if (++count > 10)
                return false;
        }
        *value = number;
        return count > 0;
    }

    // The kernel prints each 32-bit word of an address as the number it is in memory here.
    bool endpoint(int words, KernelSockets::Endpoint* end)
    {
        quint32 address[4] = {};
        for (int i = 0; i < words; ++i) {
            quint64 word;
            if (!hex(8, &word))
                return false;
            address[i] = quint32(word);
        }
        quint64 port;
        if (!character(':') || !hex(4, &port))
            return false;
        if (words == 1) {
            *end = mappedIpv4(address, quint16(port));
        } else {
            memcpy(end->address.c, address, sizeof end->address.c);
            end->port = quint16(port);
        }
        return true;
    }

    // Counts the address's hex digits up to its colon: 8 in tcp, 32 in tcp6.
    int addressWords() const
    {
        const char* colon = m_at;
        while (colon < m_end && isHex(*colon))
            ++colon;
        const auto digits = colon - m_at;
        return digits == 8 ? 1 : digits == 32 ? 4 : 0;
    }

private:
    static quint64 hexValue(char c)
    {
        if (c <= '9')
            return quint64(c - '0');
        return quint64((c | 0x20) - 'a' + 10);
    }

    const char* m_at;
    const char* m_end;
};
} // namespace

bool KernelSockets::Endpoint::operator==(const Endpoint& other) const
{
    return port == other.port && memcmp(address.c, other.address.c, sizeof address.c) == 0;
}

KernelSockets::Endpoint KernelSockets::endpoint(const QHostAddress& address, quint16 port)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 ipv4 = htonl(address.toIPv4Address());
        return mappedIpv4(&ipv4, port);
    }
    Endpoint end;
    end.address = address.toIPv6Address();
    end.port = port;
    return end;
}

std::optional<QList<KernelSockets::Socket>> KernelSockets::queryConnection(const Endpoint& from,
                                                                           const Endpoint& to)
{
    inet_diag_req_v2 request {};
    request.sdiag_family = isMappedIpv4(from) ? AF_INET : AF_INET6;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = 1u << established;
    toDiag(from, request.id.idiag_src, &request.id.idiag_sport);
    toDiag(to, request.id.idiag_dst, &request.id.idiag_dport);
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    const std::optional<QList<Socket>> answer = ask(request, false);
    if (!answer)
        return std::nullopt;
    QList<Socket> found;
    for (const Socket& socket : *answer) {
        if (socket.local == from && socket.remote == to)
            found.append(socket);
    }
    return found;
}

std::optional<QList<KernelSockets::Socket>> KernelSockets::queryListeners(quint16 port)
{
    QList<Socket> listeners;
    for (const int family : {AF_INET, AF_INET6}) {
        inet_diag_req_v2 request {};
        request.sdiag_family = quint8(family);
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = 1u << listening;
        request.id.idiag_sport = htons(port);
        const std::optional<QList<Socket>> answer = ask(request, true);
        if (!answer)
            return std::nullopt;
        for (const Socket& socket : *answer) {
            if (socket.local.port == port && socket.state == listening)
                listeners.append(socket);
        }
    }
    return listeners;
}

KernelSockets::Reply KernelSockets::parseReply(QByteArrayView data)
{
    Reply reply;
    qsizetype at = 0;
    while (data.size() - at >= qsizetype(sizeof(nlmsghdr))) {
        nlmsghdr header;
        memcpy(&header, data.data() + at, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > quint64(data.size() - at))
            break;
        const char* body = data.data() + at + sizeof header;
        const size_t bodySize = header.nlmsg_len - sizeof header;
        if (header.nlmsg_type == NLMSG_DONE) {
            reply.done = true;
            break;
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error {};
            memcpy(&error, body, qMin(bodySize, sizeof error));
            // An error message too short to hold its number still ends the answer.
            reply.error = error.error < 0 ? error.error : -EPROTO;
            reply.done = true;
            break;
        }
        if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || bodySize < sizeof(inet_diag_msg))
            break;
        inet_diag_msg message;
        memcpy(&message, body, sizeof message);
        if (message.idiag_family == AF_INET || message.idiag_family == AF_INET6) {
            Socket socket;
            socket.local = fromDiag(message.idiag_family, message.id.idiag_src, message.id.idiag_sport);
            socket.remote = fromDiag(message.idiag_family, message.id.idiag_dst, message.id.idiag_dport);
            socket.state = message.idiag_state;
            socket.uid = message.idiag_uid;
            reply.sockets.append(socket);
        }
        at += qsizetype(NLMSG_ALIGN(header.nlmsg_len));
    }
    return reply;
}

std::optional<KernelSockets::Socket> KernelSockets::parseTableLine(QByteArrayView line)
{
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ...; the slot
    // number may fill its column, leaving no blank before it.
    LineReader reader(line);
    quint64 ignored;
    Socket socket;
    quint64 state;
    quint64 uid;
    reader.blanks(false);
    if (!(reader.decimal(&ignored) && reader.character(':') && reader.blanks()))
        return std::nullopt;
    const int words = reader.addressWords();
    if (!(words > 0 && reader.endpoint(words, &socket.local) && reader.blanks()
          && reader.endpoint(words, &socket.remote) && reader.blanks() && reader.hex(2, &state)
          && reader.blanks() && reader.hex(0) && reader.character(':') && reader.hex(0) && reader.blanks()
          && reader.hex(0) && reader.character(':') && reader.hex(0) && reader.blanks() && reader.hex(0)
          && reader.blanks() && reader.decimal(&uid) && reader.atEnd() && uid <= 0xffffffffu))
        return std::nullopt;
    socket.state = int(state);
    socket.uid = quint32(uid);
    return socket;
}

std::optional<QList<KernelSockets::Socket>> KernelSockets::readTable(const QString& path)
{
    QFile table(path);
    if (!table.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "Unable to open" << path;
        return std::nullopt;
    }
    QList<Socket> sockets;
    const QByteArray content = table.readAll();
    for (qsizetype at = 0; at < content.size();) {
        qsizetype end = content.indexOf('\n', at);
        if (end < 0)
            end = content.size();
        if (const std::optional<Socket> socket = parseTableLine(QByteArrayView(content).sliced(at, end - at)))
            sockets.append(*socket);
        at = end + 1;
    }
    return sockets;
}
