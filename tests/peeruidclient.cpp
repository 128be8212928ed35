// Test helper: a page under another user. Switches to the user id given as the second
// argument, connects to the port given as the first, sends the third argument and prints
// every answer on its own line until the connection closes.
#include <cstdio>
#include <QCoreApplication>
#include <QTimer>
#include <QWebSocket>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const auto uid = uid_t(QByteArray(argv[2]).toUInt());
    if (setgid(uid) != 0 || setuid(uid) != 0)
        return 3;

    QCoreApplication app(argc, argv);
    QWebSocket socket;
    QObject::connect(&socket, &QWebSocket::connected, &socket,
                     [&] { socket.sendTextMessage(QString::fromUtf8(argv[3])); });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [](const QString& text) {
        std::puts(text.toUtf8().constData());
        std::fflush(stdout);
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &app, &QCoreApplication::quit);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(4); });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(QString::fromLatin1(argv[1]))));
    return app.exec();
}
