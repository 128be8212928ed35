#include "servercommunicator.h"

#include "nativemessagingsockethandler.h"

#include <QDebug>
#include <QWebSocket>

ServerCommunicator::ServerCommunicator(QObject* parent)
    : QObject(parent)
    , server(QStringLiteral("ws"), QWebSocketServer::NonSecureMode)
    , address(QHostAddress::LocalHost)
{
    server.setHandshakeTimeout(handshakeTimeoutMs);
    connect(&server, &QWebSocketServer::newConnection, this, &ServerCommunicator::newConnection);
}

bool ServerCommunicator::startListening(quint16 port)
{
    qInfo() << "Server starts listening on" << address.toString() << ":" << port;
    return server.listen(address, port);
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
