#include "pageclient.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

Page::Page(quint16 port, const QString& origin)
    : socket(origin)
{
    socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { received.append(text); });
    connect(&socket, &QWebSocket::disconnected, this, [this] {
        closed = true;
        closeCode = socket.closeCode();
    });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
}

bool Page::waitConnected()
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState || closed; }, 10000)
        && !closed;
}

bool Page::startSession(const QString& app)
{
    if (!waitConnected())
        return false;
    send(checkContext(app));
    const bool accepted
        = waitReceived() && received.first() == reply(app, QStringLiteral("CheckContext"), "ctx", "", "");
    received.clear();
    return accepted;
}

bool Page::waitReceived(qsizetype count)
{
    return QTest::qWaitFor([&] { return received.size() >= count || closed; }, 20000)
        && received.size() >= count;
}

bool Page::waitClosed(int timeoutMs)
{
    return QTest::qWaitFor([&] { return closed; }, timeoutMs);
}

namespace {
QString compact(QJsonObject object, const QJsonValue& id)
{
    if (!id.toVariant().toString().isEmpty())
        object.insert(QStringLiteral("id"), id);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString method(const QString& app, const QString& name)
{
    return QStringLiteral("%1.2.6.1.page1.QES.%2").arg(app, name);
}
} // namespace

QString request(const QString& app, const QString& name, const QJsonValue& id, const QJsonArray& args)
{
    return compact({{QStringLiteral("method"), method(app, name)}, {QStringLiteral("args"), args}}, id);
}

QString checkContext(const QString& app, const QJsonValue& id)
{
    return request(app, QStringLiteral("CheckContext"), id);
}

QString reply(const QString& app, const QString& name, const QJsonValue& id, const QJsonValue& result,
              const QString& error)
{
    QJsonObject object {{QStringLiteral("method"), method(app, name)}, {QStringLiteral("result"), result}};
    if (!error.isNull())
        object.insert(QStringLiteral("error"), error);
    return compact(object, id);
}

QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return {};
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 + (origin.isEmpty() ? QByteArray() : "Origin: " + origin.toUtf8() + "\r\n") + "\r\n");
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            const qsizetype end = answer.indexOf("\r\n\r\n");
            return socket.state() == QAbstractSocket::UnconnectedState
                || (end >= 0 && (!waitForClose || answer.size() >= end + 8));
        },
        10000);
    // "HTTP/1.1 101 ...", and after the header a close frame: 0x88, its length, the code.
    const QByteArray frame = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    const int closeCode
        = frame.size() >= 4 && quint8(frame[0]) == 0x88 ? quint8(frame[2]) << 8 | quint8(frame[3]) : 0;
    return {answer.left(answer.indexOf("\r\n")).split(' ').value(1).toInt(), closeCode};
}
