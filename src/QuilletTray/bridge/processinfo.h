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

    // The owner of the other end of a connected socket; empty when it can't be found.
    static ProcessInfo forWebSocket(const QWebSocket* socket);
    // The owner of the peer's end of a local connection, asked of the kernel over netlink;
    // the kernel's socket table is read instead where netlink is refused.
    static ProcessInfo forConnection(const QHostAddress& peerAddress, quint16 peerPort,
                                     const QHostAddress& localAddress, quint16 localPort);
    // The owner of a listener that a page connecting to 127.0.0.1 on this port would reach;
    // empty when there is none.
    static ProcessInfo forListener(quint16 port);

    // Accepts the peer only when it runs under the tray's own user; logs the verdict.
    static bool checkPeer(const QHostAddress& localAddress, quint16 localPort,
                          const QHostAddress& peerAddress, quint16 peerPort);
    static bool checkClient(const QWebSocket* socket);

    QString uid() const { return m_uid; }
    bool isEmpty() const { return m_uid.isEmpty(); }

    // Only a known user equals anything: two empty identities are not the same user.
    bool operator==(const ProcessInfo& other) const;

private:
    QString m_uid;
};

// The tray's own identity, made before main runs.
extern const ProcessInfo trayProcessInfo;
