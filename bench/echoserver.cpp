// The floor of the benchmarks: a plain in-process WebSocket echo on loopback, with no child
// process behind it. Each text message is sent back as it came. Prints the port it listens on.
#include <cstdio>
#include <QCoreApplication>
#include <QHostAddress>
#include <QWebSocket>
#include <QWebSocketServer>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QWebSocketServer server(QStringLiteral("ws"), QWebSocketServer::NonSecureMode);
    const quint16 port = argc > 1 ? quint16(QByteArray(argv[1]).toUInt()) : 0;
    if (!server.listen(QHostAddress::LocalHost, port))
        return 1;
    QObject::connect(&server, &QWebSocketServer::newConnection, &server, [&server] {
        while (QWebSocket* socket = server.nextPendingConnection()) {
            socket->setParent(&server);
            socket->setMaxAllowedIncomingFrameSize(64 * 1024 * 1024);
            socket->setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [socket](const QString& message) { socket->sendTextMessage(message); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    std::printf("%u\n", unsigned(server.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
