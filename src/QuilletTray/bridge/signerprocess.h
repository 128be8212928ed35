#pragma once

#include "nativemessagereader.h"

#include <QByteArrayList>
#include <QObject>
#include <QProcess>
#include <QSemaphore>
#include <QTimer>

class QThread;

// One signer child: started through its script, fed native messages on its standard input and
// read on its standard output. It knows nothing of pages; it reports each whole message, a
// failure and its end through its signals. Its owner is whatever lives as long as the tray,
// because a child asked to end may take its grace time after the page that started it is gone.
class SignerProcess : public QObject
{
    Q_OBJECT

public:
    explicit SignerProcess(QObject* parent);
    ~SignerProcess() override;

    static constexpr int startTimeoutMs = 30000;
    static constexpr int terminateTimeoutMs = 5000;
    // Neither pipe can be paused, so a child that never reads would make the tray hold
    // everything a page sends it. Past this many bytes waiting for the child it has failed.
    static constexpr qint64 maxQueuedBytes = 128 * 1024 * 1024;

    // Starts the script with no arguments in its own directory; the child learns the page's
    // origin from QUILLET_ORIGIN. The start is asynchronous. With a launcher thread, that thread
    // waits while the system loads the program, not this object's.
    void start(const QString& scriptPath, const QString& origin, QThread* launcher = nullptr);
    // Writes one native message; while the child starts it waits for the start. False when no
    // child runs or is starting.
    bool write(const QByteArray& payload);
    // Output that the child wrote and nobody has taken yet.
    qint64 unreadBytes() const { return launching ? 0 : process.bytesAvailable(); }
    // Takes no more output: whatever the child writes from now on is dropped.
    void stopReading();
    // Asks a running child to end with this message and kills it after the grace time; a child
    // still starting is killed at once. The object deletes itself once no child is left.
    void dispose(const QByteArray& disposeMessage);
    // Kills the child and every process of its group.
    void kill();

Q_SIGNALS:
    void messageReceived(const QByteArray& payload);
    // A read of the child's output is over; what is left waits for the next one.
    void outputRead();
    // The child failed to start, crashed, broke the framing or fell behind; already logged.
    void failed();
    // The child has ended; its output has been handed out before.
    void ended(int exitCode);

private:
    // The process's state; while the launcher has it, it is starting.
    QProcess::ProcessState state() const { return launching ? QProcess::Starting : process.state(); }
    void launched();
    void readOutput();
    void outputEnded();
    void failOutput(const AppException& error);
    void writeFrame(const QByteArray& payload);
    void writePendingFrames();
    void startTimedOut();
    void processError(QProcess::ProcessError error);
    void processFinished(int exitCode);
    void checkInputBacklog();
    void releaseWhenGone();

    QProcess process;
    NativeMessageReader reader;
    QTimer startTimer;
    QTimer killTimer;
    // Frames for a child that is still starting, in the order they came.
    QByteArrayList pendingFrames;
    bool reading = true;
    bool disposed = false;
    // The process belongs to the launcher thread meanwhile: nothing here touches it.
    bool launching = false;
    // Released by the launcher once the process is back in this object's thread.
    QSemaphore launchDone;
};
