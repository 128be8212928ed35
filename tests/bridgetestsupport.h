#pragma once

#include "servercommunicator.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>

// A throw-away application directory: bin/ holds the signer scripts and is the current
// directory while the object lives, as the tray's own directory is; etc/ holds Quillet.conf.
class AppDir
{
public:
    explicit AppDir(bool checkUser = true);
    ~AppDir();

    bool isValid() const { return m_valid; }
    QString bin() const { return m_dir.filePath(QStringLiteral("bin")); }
    QString root() const { return m_dir.path(); }
    // Quillet.conf with this extra content in the QuilletTray section.
    bool writeConfig(bool checkUser, const QString& trayExtra);
    // A /bin/sh script with the given body.
    bool writeScript(const QString& name, const QString& body, bool executable = true);
    bool useDemoSigner(const QString& name);

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
    bool m_valid = false;
};

// Collects the log messages of this process while it lives, and hands them on.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    // True when the texts occur in this order, each in a later message than the one before.
    bool containsInOrder(const QStringList& texts) const;
    int count(const QString& text) const { return int(lines().filter(text).size()); }

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);
};

// A server on some free port of 127.0.0.1 (port 0 when none was found), with its log captured.
struct Bridge
{
    LogCapture capture;
    ServerCommunicator server;
    quint16 port;
    Bridge();
};

// A web page's end of a connection.
class Page : public QObject
{
    Q_OBJECT

public:
    explicit Page(quint16 port, QObject* parent = nullptr);

    bool waitConnected();
    void send(const QString& text) { socket.sendTextMessage(text); }
    bool isClosed() const { return closed; }
    // Sends an Echo request and waits for the demo signer's exact answer, and nothing else.
    bool echo(const QString& app, const QJsonValue& id, const QJsonArray& args = {});

    QWebSocket socket;
    QStringList received;
    bool closed = false;
};

quint16 listenOnFreePort(ServerCommunicator& server);
quint16 freePort();
QString readText(const QString& path);

// A page request in the namespace app.2.6.1.page1 (compact JSON).
QString request(const QString& app, const QString& method, const QJsonValue& id = QJsonValue(),
                const QJsonArray& args = QJsonArray());
QString checkContext(const QString& app, const QJsonValue& id = QStringLiteral("ctx"));
// What the demo signer answers to an Echo request.
QString echoReply(const QString& app, const QJsonValue& id, const QJsonArray& args);
QString successReply(const QString& app, const QString& id = QStringLiteral("ctx"));
bool processExists(qint64 pid);

// Sends a WebSocket opening handshake over plain TCP, with this Origin header unless it is
// empty, and returns the status code of the answer, or 0 without one.
int handshakeStatus(quint16 port, const QString& origin);
