#pragma once

#include <QString>

class QHostAddress;
class QWebSocket;

// The operating-system user that owns a process or one end of a local TCP connection. The
// check identifies the user, not the program.
class ProcessInfo
{
public:
    ProcessInfo() = default;
    explicit ProcessInfo(const QString& uid);

    static ProcessInfo currentProcess();

    // The owner of the other end of a connected socket, looked up in the kernel's table of
    // IPv4 TCP sockets; empty when it can't be found.
    static ProcessInfo forWebSocket(const QWebSocket* socket,
                                    const QString& tablePath = QStringLiteral("/proc/net/tcp"));
    static ProcessInfo forConnection(const QHostAddress& peerAddress, quint16 peerPort,
                                     const QHostAddress& localAddress, quint16 localPort,
                                     const QString& tablePath);

    // Accepts the socket's peer only when it runs under the tray's own user; logs the verdict.
    static bool checkClient(const QWebSocket* socket);
    // The same for a connection that is not yet a WebSocket, named by its two ends.
    static bool checkPeer(const QHostAddress& localAddress, quint16 localPort,
                          const QHostAddress& peerAddress, quint16 peerPort);

    QString uid() const { return m_uid; }
    bool isEmpty() const { return m_uid.isEmpty(); }

    // Only a known user equals anything: two empty identities are not the same user.
    bool operator==(const ProcessInfo& other) const;
    bool operator!=(const ProcessInfo& other) const { return !(*this == other); }

private:
    QString m_uid;
};

// The tray's own identity, made before main runs.
extern const ProcessInfo trayProcessInfo;
