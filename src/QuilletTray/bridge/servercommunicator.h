#pragma once

#include <optional>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocketServer>

class QSocketNotifier;
class QWebSocketCorsAuthenticator;

// The plain WebSocket server on the loopback interface that web pages connect to. It owns
// every page's session, and the signers and closing connections that outlive one. With
// CheckUser on, another user's connection is dropped before its handshake; when the
// configuration lists AllowedOrigins, handshakes from other origins are refused before any
// session exists.
class ServerCommunicator : public QObject
{
    Q_OBJECT

public:
    explicit ServerCommunicator(QObject* parent = nullptr);
    ~ServerCommunicator() override;

    // A connection that hasn't completed its opening handshake by then is dropped, so pages
    // that send garbage or stall can't hold sockets.
    static constexpr int handshakeTimeoutMs = 10000;

    // Logs the attempt unless quiet, and the port once it listens.
    bool startListening(quint16 port, bool quiet = false);
    // Sessions that have not ended yet, of every origin or of the one given.
    int openSessions(const std::optional<QString>& origin = std::nullopt) const;
    // No session, signer or closing connection is left: the tray could go away losing nothing.
    bool isIdle() const;
    // Stops listening, closes every page's connection as going away and asks every signer to
    // end; stopped() follows once no signer and no closing connection is left, at the latest
    // after the signers' grace time.
    void shutdown();
    // Ends every signer at once.
    void killSigners();

Q_SIGNALS:
    void stopped();

public Q_SLOTS:
    void newConnection();
    void originAuthenticationRequired(QWebSocketCorsAuthenticator* authenticator);

private:
    void acceptConnections();
    void noteRefusal();
    void closeListener();
    void refuse(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& reason);
    void checkStopped();
    QThread* signerLauncher();

    // Connections in their opening handshake, by the peer's address and port.
    using Peer = QPair<QString, quint16>;
    QHash<Peer, QPointer<QTcpSocket>> handshaking;
    int listenDescriptor = -1;
    quint16 listenPort = 0;
    QSocketNotifier* acceptNotifier = nullptr;
    QWebSocketServer server;
    QHostAddress address;
    QTimer shutdownTimer;
    // Starts the signers, so that the pages' connections are served while a program loads.
    QThread launcher;
    // Runs while other users' connections are being closed; they are counted meanwhile.
    QTimer refusalTimer;
    int refusals = 0;
    bool shuttingDown = false;
    bool hasStopped = false;
};
