#include "servercommunicator.h"

#include "appexception.h"
#include "nativemessagingsockethandler.h"
#include "originpolicy.h"
#include "processinfo.h"
#include "quilletconfig.h"
#include "signerprocess.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <QDebug>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {
// The close code "try again later", which Qt has no name for.
constexpr auto closeCodeTryAgainLater = QWebSocketProtocol::CloseCode(1013);
// Connections taken from the kernel's queue before the pages already open are served again.
constexpr int acceptBatch = 32;
// When the kernel can't hand over a connection (no descriptor left), the next try is this late.
constexpr int acceptRetryMs = 1000;
// While other users' programs keep connecting, the log says how many once in this while.
constexpr int refusalSummaryMs = 60000;

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
    launcher.setObjectName(QStringLiteral("SignerLauncher"));
    launcher.start();
    // Qt WebSockets gives plain sockets a TLS configuration too, and the first one loads the TLS
    // backend and OpenSSL's configuration: some 10 ms that would fall on the first page's
    // handshake, done here as soon as the event loop runs.
    QMetaObject::invokeMethod(
        this, [] { QSslConfiguration::defaultConfiguration(); }, Qt::QueuedConnection);
    refusalTimer.setInterval(refusalSummaryMs);
    connect(&refusalTimer, &QTimer::timeout, this, [this] {
        if (refusals == 0) {
            refusalTimer.stop();
            return;
        }
        qWarning() << "Closed" << refusals << "more such connections in the last minute";
        refusals = 0;
    });
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
    // A signer may wait for its launch, which needs the launcher still running.
    qDeleteAll(findChildren<SignerProcess*>(Qt::FindDirectChildrenOnly));
    launcher.quit();
    launcher.wait();
    closeListener();
}

bool ServerCommunicator::startListening(quint16 port, bool quiet)
{
    if (!quiet)
        qInfo() << "Server starts listening on" << address.toString() << ":" << port;
    // A socket of our own rather than a QTcpServer, which makes an object with its notifier for
    // every connection before anyone can look at it. A port whose last connections linger in
    // TIME_WAIT can be bound again, as with Qt's servers. Accepted connections inherit Nagle's
    // delay switched off, so the end of a message goes out at once instead of waiting for the
    // page's acknowledgement; and a page that opens many connections at once finds room in the
    // queue instead of waiting a second for its SYN to be sent again.
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in end {};
    end.sin_family = AF_INET;
    end.sin_port = htons(port);
    end.sin_addr.s_addr = htonl(address.toIPv4Address());
    const int on = 1;
    if (descriptor < 0 || setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0
        || bind(descriptor, reinterpret_cast<const sockaddr*>(&end), sizeof end) != 0
        || ::listen(descriptor, SOMAXCONN) != 0) {
        if (descriptor >= 0)
            close(descriptor);
        return false;
    }
    closeListener();
    listenDescriptor = descriptor;
    listenPort = port;
    acceptNotifier = new QSocketNotifier(qintptr(descriptor), QSocketNotifier::Read, this);
    connect(acceptNotifier, &QSocketNotifier::activated, this, &ServerCommunicator::acceptConnections);
    qInfo() << "Server is listening on port" << port;
    return true;
}

void ServerCommunicator::closeListener()
{
    delete std::exchange(acceptNotifier, nullptr);
    if (listenDescriptor >= 0)
        close(std::exchange(listenDescriptor, -1));
}

int ServerCommunicator::openSessions(const std::optional<QString>& origin) const
{
    int open = 0;
    for (const auto* session : findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly))
        open += session->isDisposed() || (origin && session->origin() != *origin) ? 0 : 1;
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
    // Read once a batch: the file is not read again unless it has changed.
    const bool checkUser = QuilletConfig::userCheckIsOn(true);
    for (int taken = 0; taken < acceptBatch; ++taken) {
        sockaddr_in peerEnd {};
        socklen_t size = sizeof peerEnd;
        const int descriptor = accept4(listenDescriptor, reinterpret_cast<sockaddr*>(&peerEnd), &size,
                                       SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or the like: the kernel keeps the queue; look again in a while.
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                acceptNotifier->setEnabled(false);
                QTimer::singleShot(acceptRetryMs, acceptNotifier,
                                   [notifier = acceptNotifier] { notifier->setEnabled(true); });
            }
            return;
        }
        // A page sends its handshake and waits for the answer: a connection whose other end has
        // been reset or closed already is no page, whoever made it, and ends here at the cost of
        // one look. Another user's program costs no socket object, no handshake, no session and
        // no line of its own in the log either. The check at CheckContext logs its verdict for
        // each page.
        char first;
        const ssize_t peeked = recv(descriptor, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        const bool gone = peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        if (gone
            || (checkUser
                && !(trayProcessInfo
                     == ProcessInfo::forConnection(QHostAddress(reinterpret_cast<const sockaddr*>(&peerEnd)),
                                                   ntohs(peerEnd.sin_port), address, listenPort)))) {
            if (checkUser)
                noteRefusal();
            close(descriptor);
            continue;
        }
        auto* connection = new QTcpSocket(&server);
        connection->setSocketDescriptor(descriptor);
        server.handleConnection(connection);
        const Peer peer {connection->peerAddress().toString(), connection->peerPort()};
        handshaking.insert(peer, connection);
        // The server times only the handshakes of connections it accepted itself. A connection
        // that became a WebSocket has gone on to a session or been refused by now.
        QTimer::singleShot(handshakeTimeoutMs, this, [this, peer, connection = QPointer(connection)] {
            if (handshaking.value(peer) == connection)
                handshaking.remove(peer);
            if (!connection)
                return;
            for (const QWebSocket* socket : findChildren<QWebSocket*>()) {
                if (socket->peerPort() == peer.second)
                    return;
            }
            connection->abort();
            connection->deleteLater();
        });
    }
    // More may wait: the pages already open are served first.
    acceptNotifier->setEnabled(false);
    QMetaObject::invokeMethod(
        acceptNotifier, [notifier = acceptNotifier] { notifier->setEnabled(true); }, Qt::QueuedConnection);
}

void ServerCommunicator::noteRefusal()
{
    if (refusalTimer.isActive()) {
        ++refusals;
        return;
    }
    qWarning()
        << "Closing connections before their handshake: made by programs of other users, or gone already";
    refusalTimer.start();
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
    const int maxPerOrigin
        = configValue(&QuilletConfig::maxSessionsPerOrigin, QuilletConfig::defaultMaxSessions / 2);
    if (openSessions(socket->origin()) >= maxPerOrigin) {
        qWarning() << "Refusing a connection:" << maxPerOrigin << "sessions of origin" << socket->origin()
                   << "are open already";
        refuse(socket, closeCodeTryAgainLater, QStringLiteral("Too many connections"));
        return;
    }
    // The TCP connection under the WebSocket: the session writes the signer's messages to it itself.
    const QPointer<QTcpSocket> connection
        = handshaking.take({socket->peerAddress().toString(), socket->peerPort()});
    // Owned by this object; it deletes itself when it ends.
    new NativeMessagingSocketHandler(
        socket, connection, [this] { return signerLauncher(); }, this);
}

QThread* ServerCommunicator::signerLauncher()
{
    // A page alone waits least for a signer started right here. Among pages opened together,
    // each would wait for every start before its own, while the launcher lets this thread serve
    // them meanwhile.
    int settingUp = 0;
    for (const auto* session : findChildren<NativeMessagingSocketHandler*>(Qt::FindDirectChildrenOnly))
        settingUp += session->isSettingUp() ? 1 : 0;
    return settingUp > 0 ? &launcher : nullptr;
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
    closeListener();
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
