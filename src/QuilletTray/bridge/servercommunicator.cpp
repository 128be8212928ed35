#include "servercommunicator.h"

#include "appexception.h"
#include "nativemessagingsockethandler.h"
#include "originpolicy.h"
#include "processinfo.h"
#include "quilletconfig.h"
#include "signerprocess.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <QDebug>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <sys/socket.h>

namespace {
// The close code "try again later", which Qt has no name for.
constexpr auto closeCodeTryAgainLater = QWebSocketProtocol::CloseCode(1013);

template <typename T> T configValue(T (QuilletConfig::*value)() const, T fallback)
{
    try {
        return (QuilletConfig::instance()->*value)();
    } catch (const AppException&) {
        // No file was ever readable.
        return fallback;
    }
}
} // namespace

ServerCommunicator::ServerCommunicator(QObject* parent)
    : QObject(parent)
    , server(QStringLiteral("ws"), QWebSocketServer::NonSecureMode)
    , address(QHostAddress::LocalHost)
{
    server.setHandshakeTimeout(handshakeTimeoutMs);
    listener.setMaxPendingConnections(SOMAXCONN);
    connect(&listener, &QTcpServer::newConnection, this, &ServerCommunicator::acceptConnections);
    connect(&server, &QWebSocketServer::newConnection, this, &ServerCommunicator::newConnection);
    // Must stay a direct connection: the server answers the handshake as soon as the signal returns.
    connect(&server, &QWebSocketServer::originAuthenticationRequired, this,
            &ServerCommunicator::originAuthenticationRequired, Qt::DirectConnection);
    shutdownTimer.setSingleShot(true);
    shutdownTimer.setInterval(SignerProcess::terminateTimeoutMs);
    connect(&shutdownTimer, &QTimer::timeout, this, [this] {
        killSigners();
        for (QWebSocket* socket : findChildren<QWebSocket*>(Qt::FindDirectChildrenOnly))
            socket->abort();
        QMetaObject::invokeMethod(this, &ServerCommunicator::checkStopped, Qt::QueuedConnection);
    });
}

ServerCommunicator::~ServerCommunicator()
{
    // Sessions hand their socket and signer to this object as they end, so they go while it is whole.
    qDeleteAll(findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly));
}

bool ServerCommunicator::startListening(quint16 port)
{
    qInfo() << "Server starts listening on" << address.toString() << ":" << port;
    if (!listener.listen(address, port))
        return false;
    // Accepted connections inherit these from the listening socket. Without Nagle's delay, the
    // end of a message goes out at once instead of waiting for the page's acknowledgement; and
    // a page that opens many connections at once finds room in the queue instead of waiting a
    // second for its SYN to be sent again.
    const int descriptor = int(listener.socketDescriptor());
    const int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::listen(descriptor, SOMAXCONN);
    qInfo() << "Server is listening on port" << port;
    return true;
}

int ServerCommunicator::openSessions() const
{
    int open = 0;
    for (const auto* session : findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly))
        open += session->isDisposed() ? 0 : 1;
    return open;
}

bool ServerCommunicator::isIdle() const
{
    return findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly).isEmpty()
        && findChildren<SignerProcess*>(Qt::FindDirectChildrenOnly).isEmpty()
        && findChildren<QWebSocket*>(Qt::FindDirectChildrenOnly).isEmpty();
}

void ServerCommunicator::acceptConnections()
{
    while (QTcpSocket* connection = listener.nextPendingConnection()) {
        // Another user's program costs no handshake, no session and no descriptor kept open.
        if (QuilletConfig::userCheckIsOn()
            && !ProcessInfo::checkPeer(connection->localAddress(), connection->localPort(),
                                       connection->peerAddress(), connection->peerPort())) {
            qWarning() << "Closing a connection before its handshake: its user is not the tray's";
            connection->abort();
            connection->deleteLater();
            continue;
        }
        server.handleConnection(connection);
        // The server times only the handshakes of connections it accepted itself. A connection
        // that became a WebSocket has gone on to a session or been refused by now.
        QTimer::singleShot(handshakeTimeoutMs, connection, [this, connection, port = connection->peerPort()] {
            for (const QWebSocket* socket : findChildren<QWebSocket*>()) {
                if (socket->peerPort() == port)
                    return;
            }
            connection->abort();
            connection->deleteLater();
        });
    }
}

void ServerCommunicator::newConnection()
{
    qInfo() << "New connection!";
    QWebSocket* socket = server.nextPendingConnection();
    if (!socket)
        return;
    if (shuttingDown) {
        refuse(socket, QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Connection closed"));
        return;
    }
    const int maxSessions = configValue(&QuilletConfig::maxSessions, QuilletConfig::defaultMaxSessions);
    if (openSessions() >= maxSessions) {
        qWarning() << "Refusing a connection:" << maxSessions << "sessions are open already";
        refuse(socket, closeCodeTryAgainLater, QStringLiteral("Too many connections"));
        return;
    }
    // The TCP connection under the WebSocket is still the listener's child; the session writes
    // the signer's messages to it itself.
    QTcpSocket* connection = nullptr;
    for (QTcpSocket* candidate : listener.findChildren<QTcpSocket*>(Qt::FindDirectChildrenOnly)) {
        if (candidate->peerPort() == socket->peerPort() && candidate->peerAddress() == socket->peerAddress())
            connection = candidate;
    }
    // Owned by this object; it deletes itself when it ends.
    new NativeMessagingSocketHandler(socket, connection, this);
}

void ServerCommunicator::refuse(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& reason)
{
    socket->setParent(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, &ServerCommunicator::checkStopped, Qt::QueuedConnection);
    QTimer::singleShot(SignerProcess::terminateTimeoutMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->close(code, reason);
}

void ServerCommunicator::originAuthenticationRequired(QWebSocketCorsAuthenticator* authenticator)
{
    // The configuration was read when the connection was accepted.
    const std::optional<QStringList> allowed
        = configValue(&QuilletConfig::allowedOrigins, std::optional<QStringList>());
    if (!allowed)
        return;
    const OriginPolicy policy(*allowed);
    for (const QString& entry : policy.invalidEntries())
        qWarning() << "Ignoring an invalid entry of AllowedOrigins:" << entry;
    const QString origin = authenticator->origin();
    if (policy.allows(origin))
        return;
    // The server then answers the handshake with 403 and drops the connection.
    authenticator->setAllowed(false);
    if (origin.isEmpty())
        qWarning() << "Refusing a connection without an Origin header";
    else
        qWarning() << "Refusing a connection from origin" << origin;
}

void ServerCommunicator::shutdown()
{
    if (shuttingDown)
        return;
    shuttingDown = true;
    listener.close();
    const QList<NativeMessagingSocketHandler*> sessions
        = findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly);
    qInfo() << "Shutting down the server: closing" << openSessions() << "sessions";
    qDeleteAll(sessions);
    const QList<SignerProcess*> signers = findChildren<SignerProcess*>(Qt::FindDirectChildrenOnly);
    qInfo() << "Waiting for" << signers.size() << "signers to end";
    for (QObject* child : children())
        connect(child, &QObject::destroyed, this, &ServerCommunicator::checkStopped, Qt::QueuedConnection);
    shutdownTimer.start();
    QMetaObject::invokeMethod(this, &ServerCommunicator::checkStopped, Qt::QueuedConnection);
}

void ServerCommunicator::killSigners()
{
    for (SignerProcess* signer : findChildren<SignerProcess*>(Qt::FindDirectChildrenOnly))
        signer->kill();
}

void ServerCommunicator::checkStopped()
{
    if (!shuttingDown || hasStopped || !isIdle())
        return;
    hasStopped = true;
    shutdownTimer.stop();
    qInfo() << "Every signer has ended and every page is closed";
    emit stopped();
}
