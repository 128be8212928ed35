#include "bridgetestsupport.h"

#include <algorithm>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
QString compact(QJsonObject object, const QJsonValue& id)
{
    if (!id.toVariant().toString().isEmpty())
        object.insert(QStringLiteral("id"), id);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

quint16 listenOnFreePort(ServerCommunicator& server)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        QTcpServer probe;
        const quint16 port = probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
        probe.close();
        if (port && server.startListening(port))
            return port;
    }
    return 0;
}

QString method(const QString& app, const QString& name)
{
    return QStringLiteral("%1.2.6.1.page1.QES.%2").arg(app, name);
}
} // namespace

AppDir::AppDir()
    : m_previousDir(QDir::currentPath())
{
    // Failures show when the tests write their scripts and configuration.
    QDir(m_dir.path()).mkpath(QStringLiteral("bin"));
    QDir(m_dir.path()).mkpath(QStringLiteral("etc"));
    writeConfig(QString());
    QDir::setCurrent(m_dir.filePath(QStringLiteral("bin")));
}

AppDir::~AppDir()
{
    QDir::setCurrent(m_previousDir);
}

bool AppDir::writeConfig(const QString& trayExtra)
{
    QFile file(m_dir.filePath(QStringLiteral("etc/Quillet.conf")));
    return file.open(QIODevice::WriteOnly)
        && file.write(QStringLiteral(
                          "<Quillet><QuilletTray><CheckUser>true</CheckUser>%1</QuilletTray>"
                          "<QuilletUpdater><Version>2.6.1</Version><Url>https://example.invalid/v.xml</Url>"
                          "<DownloadUrl>https://example.invalid/</DownloadUrl></QuilletUpdater></Quillet>")
                          .arg(trayExtra)
                          .toUtf8())
        > 0;
}

bool AppDir::writeScript(const QString& name, const QString& shellBody, bool executable)
{
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + shellBody.toUtf8() + "\n") <= 0)
        return false;
    file.close();
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner
                               | (executable ? QFile::ExeOwner : QFile::Permissions()));
}

bool AppDir::useDemoSigner(const QString& name)
{
    return writeScript(name, QStringLiteral("exec '%1'").arg(QStringLiteral(QUILLET_DEMO_SIGNER_EXE)));
}

Bridge::Bridge()
    : port(listenOnFreePort(server))
{
}

bool Bridge::logged(const QStringList& texts) const
{
    const QStringList lines = capture.lines();
    auto line = lines.cbegin();
    for (const QString& text : texts) {
        line = std::find_if(line, lines.cend(), [&](const QString& l) { return l.contains(text); });
        if (line++ == lines.cend())
            return false;
    }
    return true;
}

Page::Page(quint16 port)
{
    socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { received.append(text); });
    connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
}

bool Page::waitConnected()
{
    const auto connected = [this] { return socket.state() == QAbstractSocket::ConnectedState; };
    return QTest::qWaitFor([&] { return connected() || closed; }, 10000) && connected();
}

bool Page::startSession(const QString& app)
{
    if (!waitConnected())
        return false;
    send(checkContext(app));
    if (!QTest::qWaitFor([&] { return !received.isEmpty() || closed; }, 20000)
        || received.value(0) != successReply(app))
        return false;
    received.clear();
    return true;
}

bool Page::echo(const QString& app, const QJsonValue& id, const QJsonArray& args)
{
    const QString expected = echoReply(app, id, args);
    const qsizetype before = received.size();
    send(request(app, QStringLiteral("Echo"), id, args));
    (void)QTest::qWaitFor([&] { return received.contains(expected) || closed; }, 20000);
    // Nothing else may come meanwhile but the bridge's answer to a CheckContext just sent.
    QStringList meanwhile = received.mid(before);
    meanwhile.removeIf([](const QString& message) { return message.contains(u".QES.CheckContext\""); });
    if (meanwhile == QStringList {expected})
        return true;
    qWarning() << "Expected" << expected << "but received" << meanwhile;
    return false;
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

QString request(const QString& app, const QString& name, const QJsonValue& id, const QJsonArray& args)
{
    return compact({{QStringLiteral("method"), method(app, name)}, {QStringLiteral("args"), args}}, id);
}

QString checkContext(const QString& app, const QJsonValue& id)
{
    return request(app, QStringLiteral("CheckContext"), id);
}

QString echoReply(const QString& app, const QJsonValue& id, const QJsonArray& args)
{
    return compact(
        {{QStringLiteral("method"), method(app, QStringLiteral("Echo"))}, {QStringLiteral("result"), args}},
        id);
}

QString successReply(const QString& app, const QString& id)
{
    return compact({{QStringLiteral("error"), QString()},
                    {QStringLiteral("method"), method(app, QStringLiteral("CheckContext"))},
                    {QStringLiteral("result"), QString()}},
                   id);
}

int handshakeStatus(quint16 port, const QString& origin)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return 0;
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 + (origin.isEmpty() ? QByteArray() : "Origin: " + origin.toUtf8() + "\r\n") + "\r\n");
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    // "HTTP/1.1 403 ..."
    return answer.left(answer.indexOf("\r\n")).split(' ').value(1).toInt();
}
