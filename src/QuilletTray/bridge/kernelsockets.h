#pragma once

#include <optional>
#include <QByteArrayView>
#include <QHostAddress>
#include <QList>

// The machine's TCP sockets with their owners, as the kernel reports them: asked for over
// NETLINK_SOCK_DIAG, or read from the tables under /proc/net where a sandbox refuses netlink.
class KernelSockets
{
public:
    // One end of a socket. IPv4 addresses are held in their mapped IPv6 form (::ffff:a.b.c.d),
    // so that ends compare alike whichever family the socket was made with.
    struct Endpoint
    {
        Q_IPV6ADDR address {};
        quint16 port = 0;
        bool operator==(const Endpoint& other) const;
    };

    struct Socket
    {
        Endpoint local;
        Endpoint remote;
        int state = 0;
        quint32 uid = 0;
    };

    // TCP states as the kernel numbers them.
    static constexpr int established = 1;
    static constexpr int listening = 10;

    // What the kernel sent in answer to one request.
    struct Reply
    {
        QList<Socket> sockets;
        // The answer has ended: the end of a dump, or an error.
        bool done = false;
        // The negative error number of an error answer, 0 otherwise.
        int error = 0;
    };

    static Endpoint endpoint(const QHostAddress& address, quint16 port);

    // The socket whose local end is `from` and whose remote end is `to`, or none when the
    // kernel knows no such socket; nullopt only when netlink is refused.
    static std::optional<QList<Socket>> queryConnection(const Endpoint& from, const Endpoint& to);
    // Listening sockets on the port, of both families; nullopt when netlink is refused.
    static std::optional<QList<Socket>> queryListeners(quint16 port);

    // Netlink messages as received; stops at the first one that is cut off or malformed.
    static Reply parseReply(QByteArrayView data);

    // One line of /proc/net/tcp or /proc/net/tcp6; nullopt for the header and anything else.
    static std::optional<Socket> parseTableLine(QByteArrayView line);
    // Every socket of such a table; nullopt, with a warning, when it can't be opened.
    static std::optional<QList<Socket>> readTable(const QString& path);
};
