#pragma once

#include "logcapture.h"
#include "servercommunicator.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QTemporaryDir>
#include <QWebSocket>

// A throw-away application directory: bin/ holds the signer scripts and is the current
// directory while the object lives, as the tray's own directory is; etc/ holds Quillet.conf.
class AppDir
{
public:
    AppDir();
    ~AppDir();

    // Quillet.conf with the user check on and this extra content in the QuilletTray section.
    bool writeConfig(const QString& trayExtra);
    bool writeScript(const QString& name, const QString& shellBody, bool executable = true);
    bool useDemoSigner(const QString& name);

private:
    QTemporaryDir m_dir;
    QString m_previousDir;
};

// A server on some free port of 127.0.0.1 (0 when none was found), with its log captured.
struct Bridge
{
    LogCapture capture;
    ServerCommunicator server;
    quint16 port;
    Bridge();
    // True when the texts occur in this order, each in a later log line than the one before.
    bool logged(const QStringList& texts) const;
};

// A web page's end of a connection.
class Page : public QObject
{
    Q_OBJECT

public:
    explicit Page(quint16 port);
    bool waitConnected();
    // Connects and has its CheckContext accepted; what came so far is then cleared.
    bool startSession(const QString& app);
    void send(const QString& text) { socket.sendTextMessage(text); }
    // Sends an Echo request and waits for the demo signer's exact answer, and nothing else.
    bool echo(const QString& app, const QJsonValue& id, const QJsonArray& args = {});

    QWebSocket socket;
    QStringList received;
    bool closed = false;
};

QString readText(const QString& path);

// Messages in the namespace app.2.6.1.page1 (compact JSON); a number or empty text is no id.
QString request(const QString& app, const QString& method, const QJsonValue& id = {},
                const QJsonArray& args = {});
QString checkContext(const QString& app, const QJsonValue& id = QStringLiteral("ctx"));
QString echoReply(const QString& app, const QJsonValue& id, const QJsonArray& args);
QString successReply(const QString& app, const QString& id = QStringLiteral("ctx"));

// The status code of the answer to a WebSocket opening handshake with this Origin header
// (none when empty), or 0 without one.
int handshakeStatus(quint16 port, const QString& origin);
