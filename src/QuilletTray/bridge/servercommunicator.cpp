#include "servercommunicator.h"

#include "appexception.h"
#include "nativemessagingsockethandler.h"
#include "originpolicy.h"
#include "quilletconfig.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <QDebug>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <sys/socket.h>

namespace {
// Read for each connection, so that an edited list applies to the next page at once.
std::optional<QStringList> configuredOrigins()
{
    QuilletConfig* config = QuilletConfig::instance();
    try {
        config->loadConfig();
    } catch (const AppException& error) {
        qWarning() << error.generalMessage();
    }
    try {
        return config->allowedOrigins();
    } catch (const AppException&) {
        // No file was ever readable, so no list is known: every page is let in, as without one.
        return std::nullopt;
    }
}
} // namespace

ServerCommunicator::ServerCommunicator(QObject* parent)
    : QObject(parent)
    , server(QStringLiteral("ws"), QWebSocketServer::NonSecureMode)
    , address(QHostAddress::LocalHost)
{
    server.setHandshakeTimeout(handshakeTimeoutMs);
    connect(&server, &QWebSocketServer::newConnection, this, &ServerCommunicator::newConnection);
    // Must stay a direct connection: the server answers the handshake as soon as the signal returns.
    connect(&server, &QWebSocketServer::originAuthenticationRequired, this,
            &ServerCommunicator::originAuthenticationRequired, Qt::DirectConnection);
}

bool ServerCommunicator::startListening(quint16 port)
{
    qInfo() << "Server starts listening on" << address.toString() << ":" << port;
    if (!server.listen(address, port))
        return false;
    // Accepted connections inherit these from the listening socket. Without Nagle's delay, the
    // end of a message goes out at once instead of waiting for the page's acknowledgement; and
    // a page that opens many connections at once finds room in the queue instead of waiting a
    // second for its SYN to be sent again.
    const int descriptor = int(server.socketDescriptor());
    const int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::listen(descriptor, SOMAXCONN);
    return true;
}

void ServerCommunicator::newConnection()
{
    qInfo() << "New connection!";
    QWebSocket* socket = server.nextPendingConnection();
    if (!socket)
        return;
    // The session owns the socket from here on and deletes itself when it ends.
    auto* session = new NativeMessagingSocketHandler(socket);
    connect(&server, &QWebSocketServer::closed, session, &QObject::deleteLater);
}

void ServerCommunicator::originAuthenticationRequired(QWebSocketCorsAuthenticator* authenticator)
{
    const std::optional<QStringList> allowed = configuredOrigins();
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
