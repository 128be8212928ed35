#pragma once

#include "nativemessagereader.h"
#include "nativemessages.h"

#include <QByteArrayList>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QSslError>
#include <QTimer>

class AppException;
class QWebSocket;

// One page's connection for its whole life: answers its CheckContext request, starts the
// signer that the page's namespace names, and relays messages both ways until either side
// ends. The session owns its socket and its child and deletes itself when it ends; no wait
// of one session ever holds up the event loop that serves the others.
class NativeMessagingSocketHandler : public QObject
{
    Q_OBJECT

public:
    explicit NativeMessagingSocketHandler(QWebSocket* socket);
    ~NativeMessagingSocketHandler() override;

    // A page can't make the tray hold more than this for one message; a connection that
    // sends more is closed with the close code for a message that is too big.
    static constexpr quint64 maxIncomingMessageSize = 64 * 1024 * 1024;
    static constexpr int startTimeoutMs = 30000;
    // Neither pipe nor socket can be paused, so a child that floods its output or never reads
    // its input, or a page that never reads, would make the tray hold everything they owe each
    // other. Past this many bytes waiting in one direction the session ends.
    static constexpr qint64 maxQueuedBytes = 128 * 1024 * 1024;
    static constexpr int terminateTimeoutMs = 5000;
    // A session that passed a message this large gives the memory it grew back when it ends.
    static constexpr qint64 largeMessageSize = 1024 * 1024;

public Q_SLOTS:
    void textMessageReceived(const QString& message);
    void readStandardOutput();
    void readStandardError();
    void sslErrors(const QList<QSslError>& errors);
    void errorOccurred(QProcess::ProcessError error);
    void finished(int exitCode);
    void aboutToClose();
    void dispose();

private:
    void startQuillet();
    void startQuilletPkcs11();
    void startSigner(const QString& scriptName, const char* startingLog, const char* missingLog);
    void writeStandardInput(const QString& message);
    void writeFrame(const QByteArray& payload);
    void relay(const QByteArray& payload);
    void noteSize(qint64 size);
    void writePendingFrames();
    void startTimedOut();
    void sendTextMessage(const QString& text);
    void terminateProcess();
    void outputEnded();
    void failOutput(const AppException& error);
    void checkOutputBacklog();
    void checkInputBacklog();
    void closeSocket();
    void releaseProcess();

    QProcess* process;
    QWebSocket* socket;
    NativeMessages messages;
    NativeMessageReader reader;
    bool disposed = false;
    bool outputFailed = false;
    bool relayedLargeMessage = false;
    // Frames for a child that is still starting, in the order the page sent them.
    QByteArrayList pendingFrames;
    QTimer startTimer;
};
