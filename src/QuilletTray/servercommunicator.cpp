#include "servercommunicator.h"

#include <QDebug>
#include <QWebSocket>

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
    return server.listen(address, port);
}

void ServerCommunicator::newConnection()
{
    qInfo() << "New connection!";
    QWebSocket* socket = server.nextPendingConnection();
    socket->setParent(this);
}
