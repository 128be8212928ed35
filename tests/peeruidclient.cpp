// A page under another user. Switches to the user id given as the second argument, connects to
// the port given as the first, prints "connected" once the handshake is done, sends the third
// argument when a line comes on its standard input, and prints every answer on its own line
// until the connection closes.
#include <cstdio>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWebSocket>
#include <unistd.h>

int main(int argc, char** argv)
{
    const auto uid = uid_t(QByteArray(argc > 3 ? argv[2] : "").toUInt());
    if (argc < 4 || setgid(uid) != 0 || setuid(uid) != 0)
        return 3;
    QCoreApplication app(argc, argv);
    QWebSocket socket;
    const auto print = [](const QString& text) {
        std::puts(text.toUtf8().constData());
        std::fflush(stdout);
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &socket, [&] {
        input.setEnabled(false);
        socket.sendTextMessage(QString::fromUtf8(argv[3]));
    });
    QObject::connect(&socket, &QWebSocket::connected, &socket, [&] { print(QStringLiteral("connected")); });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, print);
    QObject::connect(&socket, &QWebSocket::disconnected, &app, &QCoreApplication::quit);
    QTimer::singleShot(20000, &app, [] { QCoreApplication::exit(4); });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(QString::fromLatin1(argv[1]))));
    return app.exec();
}
