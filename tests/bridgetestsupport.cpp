#include "bridgetestsupport.h"

#include "servercommunicator.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {
QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

AppDir::AppDir(bool checkUser)
    : m_previousDir(QDir::currentPath())
{
    m_valid = m_dir.isValid() && QDir(m_dir.path()).mkpath(QStringLiteral("bin"))
        && QDir(m_dir.path()).mkpath(QStringLiteral("etc")) && setCheckUser(checkUser)
        && QDir::setCurrent(bin());
}

AppDir::~AppDir()
{
    QDir::setCurrent(m_previousDir);
}

QString AppDir::bin() const
{
    return m_dir.filePath(QStringLiteral("bin"));
}

bool AppDir::setCheckUser(bool checkUser)
{
    return writeConfig(checkUser, QString());
}

bool AppDir::writeConfig(bool checkUser, const QString& trayExtra)
{
    QFile file(m_dir.filePath(QStringLiteral("etc/Quillet.conf")));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(
        QStringLiteral("<Quillet><QuilletTray><CheckUser>%1</CheckUser>%2</QuilletTray>"
                       "<QuilletUpdater><Version>2.6.1</Version><Url>https://example.invalid/v.xml</Url>"
                       "<DownloadUrl>https://example.invalid/</DownloadUrl></QuilletUpdater></Quillet>")
            .arg(checkUser ? QLatin1String("true") : QLatin1String("false"), trayExtra)
            .toUtf8());
    return true;
}

bool AppDir::writeScript(const QString& name, const QString& body, bool executable)
{
    QFile file(QDir(bin()).filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\n" + body.toUtf8() + "\n");
    file.close();
    QFile::Permissions permissions
        = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(permissions);
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
        if (from == all.size())
            return false;
        ++from;
    }
    return true;
}

int LogCapture::count(const QString& text) const
{
    const QStringList all = lines();
    return int(
        std::count_if(all.begin(), all.end(), [&](const QString& line) { return line.contains(text); }));
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

QString request(const QString& app, const QString& method, const QJsonValue& id, const QJsonArray& args)
{
    QJsonObject object {{QStringLiteral("method"), QStringLiteral("%1.2.6.1.page1.QES.%2").arg(app, method)},
                        {QStringLiteral("args"), args}};
    if (!id.isUndefined() && !id.isNull())
        object.insert(QStringLiteral("id"), id);
    return compact(object);
}

QString checkContext(const QString& app, const QJsonValue& id)
{
    return request(app, QStringLiteral("CheckContext"), id);
}

QString echoReply(const QString& app, const QJsonValue& id, const QJsonArray& args)
{
    QJsonObject object {{QStringLiteral("method"), QStringLiteral("%1.2.6.1.page1.QES.Echo").arg(app)},
                        {QStringLiteral("result"), args}};
    if (!id.isUndefined() && !id.isNull())
        object.insert(QStringLiteral("id"), id);
    return compact(object);
}

QString successReply(const QString& app, const QString& id)
{
    QJsonObject object {
        {QStringLiteral("error"), QString()},
        {QStringLiteral("method"), QStringLiteral("%1.2.6.1.page1.QES.CheckContext").arg(app)},
        {QStringLiteral("result"), QString()}};
    if (!id.isEmpty())
        object.insert(QStringLiteral("id"), id);
    return compact(object);
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
    // Without a whole header in time, the status line below is empty and the result 0.
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return answer.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    // "HTTP/1.1 403 ..."
    const QList<QByteArray> statusLine = answer.left(answer.indexOf("\r\n")).split(' ');
    return statusLine.size() >= 2 ? statusLine.at(1).toInt() : 0;
}
