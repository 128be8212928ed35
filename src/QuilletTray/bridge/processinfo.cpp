#include "processinfo.h"

#include "kernelsockets.h"

#include <QDebug>
#include <QHostAddress>
#include <QWebSocket>
#include <unistd.h>

const ProcessInfo trayProcessInfo = ProcessInfo::currentProcess();

namespace {
ProcessInfo ofSocket(const KernelSockets::Socket& socket)
{
    return ProcessInfo(QString::number(socket.uid));
}

// Where a sandbox refuses netlink: the kernel's tables that can list the connection. An IPv4
// connection is in tcp6 when the program made its socket for both families.
QStringList tablesFor(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return {QStringLiteral("/proc/net/tcp"), QStringLiteral("/proc/net/tcp6")};
    return {QStringLiteral("/proc/net/tcp6")};
}

// A listener on these addresses takes connections to 127.0.0.1.
bool reachesLoopback(const KernelSockets::Endpoint& end)
{
    return end == KernelSockets::endpoint(QHostAddress::LocalHost, end.port)
        || end == KernelSockets::endpoint(QHostAddress::AnyIPv4, end.port)
        || end == KernelSockets::endpoint(QHostAddress::AnyIPv6, end.port);
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

ProcessInfo ProcessInfo::forWebSocket(const QWebSocket* socket)
{
    if (!socket)
        return ProcessInfo();
    return forConnection(socket->peerAddress(), socket->peerPort(), socket->localAddress(),
                         socket->localPort());
}

ProcessInfo ProcessInfo::forConnection(const QHostAddress& peerAddress, quint16 peerPort,
                                       const QHostAddress& localAddress, quint16 localPort)
{
    // The connecting program's own socket: its local end is our peer, its remote end is us.
    const KernelSockets::Endpoint peer = KernelSockets::endpoint(peerAddress, peerPort);
    const KernelSockets::Endpoint local = KernelSockets::endpoint(localAddress, localPort);
    // The kernel's answer is final: a socket it doesn't know has gone, as a program that resets
    // each connection at once leaves it, and the tables, which cost far more, would not list it
    // either. They are read only where netlink is refused, or knows no TCP sockets at all.
    const std::optional<QList<KernelSockets::Socket>> answer = KernelSockets::queryConnection(peer, local);
    static const bool netlinkKnowsTcp = KernelSockets::queryListeners(0).has_value();
    if (answer && (!answer->isEmpty() || netlinkKnowsTcp)) {
        for (const KernelSockets::Socket& socket : *answer) {
            if (socket.state == KernelSockets::established)
                return ofSocket(socket);
        }
        return ProcessInfo();
    }
    for (const QString& path : tablesFor(peerAddress)) {
        const std::optional<QList<KernelSockets::Socket>> table = KernelSockets::readTable(path);
        if (!table)
            break;
        for (const KernelSockets::Socket& socket : *table) {
            if (socket.local == peer && socket.remote == local && socket.state == KernelSockets::established)
                return ofSocket(socket);
        }
    }
    return ProcessInfo();
}

ProcessInfo ProcessInfo::forListener(quint16 port)
{
    std::optional<QList<KernelSockets::Socket>> listeners = KernelSockets::queryListeners(port);
    if (!listeners) {
        listeners = KernelSockets::readTable(QStringLiteral("/proc/net/tcp"))
                        .value_or(QList<KernelSockets::Socket>())
            + KernelSockets::readTable(QStringLiteral("/proc/net/tcp6"))
                  .value_or(QList<KernelSockets::Socket>());
    }
    for (const KernelSockets::Socket& socket : std::as_const(*listeners)) {
        if (socket.state == KernelSockets::listening && socket.local.port == port
            && reachesLoopback(socket.local))
            return ofSocket(socket);
    }
    return ProcessInfo();
}

bool ProcessInfo::checkPeer(const QHostAddress& localAddress, quint16 localPort,
                            const QHostAddress& peerAddress, quint16 peerPort)
{
    const ProcessInfo peer = forConnection(peerAddress, peerPort, localAddress, localPort);
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

bool ProcessInfo::checkClient(const QWebSocket* socket)
{
    return checkPeer(socket->localAddress(), socket->localPort(), socket->peerAddress(), socket->peerPort());
}

bool ProcessInfo::operator==(const ProcessInfo& other) const
{
    return !m_uid.isEmpty() && m_uid.size() == other.m_uid.size() && m_uid == other.m_uid;
}
