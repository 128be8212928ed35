#pragma once

#include "nativemessagereader.h"
#include "nativemessages.h"
#include "websocketframereader.h"

#include <functional>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QTcpSocket;
class QThread;
class QWebSocket;
class SignerProcess;

// One page's connection for its whole life: answers its CheckContext request, starts the
// signer that the page's namespace names, and relays messages both ways until either side
// ends. Its owner is the server; it deletes itself when it ends and hands its socket and its
// signer, which may need a while to end, to that owner.
class NativeMessagingSocketHandler : public QObject
{
    Q_OBJECT

public:
    // The TCP connection is the one the WebSocket runs on; when given, the signer's messages are
    // written to it as frames of their own, as they came. The signer starts on the thread that
    // launcherFor names when the session is about to start it, or on this one when it names none.
    NativeMessagingSocketHandler(QWebSocket* socket, QTcpSocket* connection,
                                 std::function<QThread*()> launcherFor, QObject* parent);
    ~NativeMessagingSocketHandler() override;

    // A page can't make the tray hold more for one message than a signer can; a connection that
    // sends more is closed with the close code for a message that is too big.
    static constexpr quint64 maxIncomingMessageSize = NativeMessageReader::maxMessageSize;
    // A session gives the heap that messages this large grew back to the system a while after a
    // large answer has gone to the page, or once a large request has waited long for one, and
    // when it ends.
    static constexpr qint64 largeMessageSize = 1024 * 1024;
    static constexpr int trimDelayMs = 200;
    static constexpr int answerWaitMs = 3000;
    // A connection that hasn't asked for a session by then is closed.
    static constexpr int checkContextTimeoutMs = 30000;

    bool isDisposed() const { return disposed; }
    // Open and without a signer yet.
    bool isSettingUp() const { return !disposed && !signer; }
    // The Origin header of the page's handshake.
    QString origin() const;

public Q_SLOTS:
    void dispose();
    // Ends the session when more than the bound waits to go to the page.
    void checkOutputBacklog();

private:
    void readFrames();
    void textMessageReceived(const QString& message);
    void messageReceived(const QByteArray& payload);
    void startSigner(const QString& scriptName, const char* startingLog, const char* missingLog);
    void writeStandardInput(const QByteArray& payload);
    void relay(const QByteArray& payload);
    static QByteArray frameHeader(char opcode, qint64 size);
    void noteSize(qint64 size, bool toPage);
    void trimHeap();
    void sendTextMessage(const QString& text);
    void closeSocket();

    QWebSocket* socket;
    QPointer<QTcpSocket> connection;
    std::function<QThread*()> launcherFor;
    QPointer<SignerProcess> signer;
    NativeMessages messages;
    WebSocketFrameReader frames {qint64(maxIncomingMessageSize)};
    QTimer checkContextTimer;
    QTimer trimTimer;
    bool disposed = false;
    bool relayedLargeMessage = false;
};
