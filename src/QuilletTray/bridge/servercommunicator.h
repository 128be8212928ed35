#pragma once

#include <QHostAddress>
#include <QObject>
#include <QWebSocketServer>

class QWebSocketCorsAuthenticator;

// The plain WebSocket server on the loopback interface that web pages connect to. Every
// connection gets its own bridge session, which owns it from then on. When the configuration
// lists AllowedOrigins, handshakes from other origins are refused before any session exists.
class ServerCommunicator : public QObject
{
    Q_OBJECT

public:
    explicit ServerCommunicator(QObject* parent = nullptr);

    // A connection that hasn't completed its opening handshake by then is dropped, so pages
    // that send garbage or stall can't hold sockets.
    static constexpr int handshakeTimeoutMs = 10000;

    bool startListening(quint16 port);

public Q_SLOTS:
    void newConnection();
    void originAuthenticationRequired(QWebSocketCorsAuthenticator* authenticator);

private:
    QWebSocketServer server;
    QHostAddress address;
};
