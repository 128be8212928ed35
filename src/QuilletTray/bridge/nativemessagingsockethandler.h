#pragma once

#include "nativemessagereader.h"
#include "nativemessages.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

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
    NativeMessagingSocketHandler(QWebSocket* socket, QObject* parent);
    ~NativeMessagingSocketHandler() override;

    // A page can't make the tray hold more for one message than a signer can; a connection that
    // sends more is closed with the close code for a message that is too big.
    static constexpr quint64 maxIncomingMessageSize = NativeMessageReader::maxMessageSize;
    // A session that passed a message this large gives the memory it grew back when it ends.
    static constexpr qint64 largeMessageSize = 1024 * 1024;
    // A connection that hasn't asked for a session by then is closed.
    static constexpr int checkContextTimeoutMs = 30000;

    bool isDisposed() const { return disposed; }
    // The Origin header of the page's handshake.
    QString origin() const;

public Q_SLOTS:
    void textMessageReceived(const QString& message);
    void dispose();
    // Ends the session when more than the bound waits to go to the page.
    void checkOutputBacklog();

private:
    void startSigner(const QString& scriptName, const char* startingLog, const char* missingLog);
    void writeStandardInput(const QString& message);
    void relay(const QByteArray& payload);
    void noteSize(qint64 size);
    void sendTextMessage(const QString& text);
    void closeSocket();

    QWebSocket* socket;
    QPointer<SignerProcess> signer;
    NativeMessages messages;
    QTimer checkContextTimer;
    bool disposed = false;
    bool relayedLargeMessage = false;
};
