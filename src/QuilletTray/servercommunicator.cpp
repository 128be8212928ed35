#include "servercommunicator.h"

#include "nativemessagingsockethandler.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <QDebug>
#include <QWebSocket>
#include <sys/socket.h>

ServerCommunicator::ServerCommunicator(QObject* parent)
    : QObject(parent)
    , server(QStringLiteral("ws"), QWebSocketServer::NonSecureMode)
    , address(QHostAddress::LocalHost)
{
    connect(&server, &QWebSocketServer::newConnection, this, &ServerCommunicator::newConnection);
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
