#include "bridgetestsupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

// Numbers and non-empty texts are ids; anything else leaves the message without one.
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

AppDir::AppDir(bool checkUser)
    : m_previousDir(QDir::currentPath())
{
    m_valid = m_dir.isValid() && QDir(root()).mkpath(QStringLiteral("bin"))
        && QDir(root()).mkpath(QStringLiteral("etc")) && writeConfig(checkUser, QString())
        && QDir::setCurrent(bin());
}

AppDir::~AppDir()
{
    QDir::setCurrent(m_previousDir);
}

bool AppDir::writeConfig(bool checkUser, const QString& trayExtra)
{
    QFile file(m_dir.filePath(QStringLiteral("etc/Quillet.conf")));
    return file.open(QIODevice::WriteOnly)
        && file.write(QStringLiteral(
                          "<Quillet><QuilletTray><CheckUser>%1</CheckUser>%2</QuilletTray>"
                          "<QuilletUpdater><Version>2.6.1</Version><Url>https://example.invalid/v.xml</Url>"
                          "<DownloadUrl>https://example.invalid/</DownloadUrl></QuilletUpdater></Quillet>")
                          .arg(checkUser ? QLatin1String("true") : QLatin1String("false"), trayExtra)
                          .toUtf8())
        > 0;
}

bool AppDir::writeScript(const QString& name, const QString& body, bool executable)
{
    QFile file(QDir(bin()).filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    file.close();
    const QFile::Permissions execute = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther
                               | (executable ? execute : QFile::Permissions()));
}

bool AppDir::useDemoSigner(const QString& name)
{
    return writeScript(name, QStringLiteral("exec '%1'").arg(QStringLiteral(QUILLET_DEMO_SIGNER_EXE)));
}

LogCapture::LogCapture()
{
    QMutexLocker locker(&logMutex);
    logLines.clear();
    previousHandler = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker locker(&logMutex);
        logLines.append(message);
    }
    if (previousHandler && type != QtInfoMsg)
        previousHandler(type, context, message);
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&logMutex);
    return logLines;
}

bool LogCapture::containsInOrder(const QStringList& texts) const
{
    const QStringList all = lines();
    qsizetype from = 0;
    for (const QString& text : texts) {
        while (from < all.size() && !all.at(from).contains(text))
            ++from;
        if (from++ == all.size())
            return false;
    }
    return true;
}

Bridge::Bridge()
    : port(listenOnFreePort(server))
{
}

Page::Page(quint16 port, QObject* parent)
    : QObject(parent)
{
    socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString& text) { received.append(text); });
    connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
}

bool Page::waitConnected()
{
    return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; },
                           10000)
        && socket.state() == QAbstractSocket::ConnectedState;
}

bool Page::echo(const QString& app, const QJsonValue& id, const QJsonArray& args)
{
    const QString expected = echoReply(app, id, args);
    const qsizetype before = received.size();
    send(request(app, QStringLiteral("Echo"), id, args));
    (void)QTest::qWaitFor([&] { return received.contains(expected) || closed; }, 20000);
    // Nothing else may come meanwhile but the bridge's answer to a CheckContext just sent.
    QStringList meanwhile = received.mid(before);
    meanwhile.removeIf(
        [](const QString& message) { return message.contains(QLatin1String(".QES.CheckContext\"")); });
    if (meanwhile == QStringList {expected})
        return true;
    qWarning() << "Expected" << expected << "but received" << meanwhile;
    return false;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

quint16 listenOnFreePort(ServerCommunicator& server)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        const quint16 port = freePort();
        if (port && server.startListening(port))
            return port;
    }
    return 0;
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

bool processExists(qint64 pid)
{
    return pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

int handshakeStatus(quint16 port, const QString& origin)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return 0;
    QByteArray request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!origin.isEmpty())
        request += "Origin: " + origin.toUtf8() + "\r\n";
    socket.write(request + "\r\n");
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    // "HTTP/1.1 403 ..."; without a whole header in time the result is 0.
    return answer.left(answer.indexOf("\r\n")).split(' ').value(1).toInt();
}
