#pragma once

#include <QJsonArray>
#include <QJsonValue>
#include <QObject>
#include <QStringList>
#include <QWebSocket>

// A web page's end of a connection to the tray.
class Page : public QObject
{
    Q_OBJECT

public:
    // The handshake carries the Origin header when one is given.
    explicit Page(quint16 port, const QString& origin = QString());
    bool waitConnected();
    // Connects and has its CheckContext accepted; what came so far is then cleared.
    bool startSession(const QString& app);
    void send(const QString& text) { socket.sendTextMessage(text); }
    bool waitReceived(qsizetype count = 1);
    bool waitClosed(int timeoutMs = 20000);

    QWebSocket socket;
    QStringList received;
    bool closed = false;
    int closeCode = 0;
};

// Messages in the namespace app.2.6.1.page1 (compact JSON); a number or empty text is no id.
QString request(const QString& app, const QString& method, const QJsonValue& id = {},
                const QJsonArray& args = {});
QString checkContext(const QString& app, const QJsonValue& id = QStringLiteral("ctx"));
QString reply(const QString& app, const QString& method, const QJsonValue& id, const QJsonValue& result,
              const QString& error = QString());

// A raw opening handshake with this Origin header (none when empty): the answer's status code
// (0 without one) and, when waited for, the close code of a close frame that follows it.
QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose = false);
