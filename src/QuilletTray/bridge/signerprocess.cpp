#include "signerprocess.h"

#include "appexception.h"
#include "logexcerpt.h"

#include <csignal>
#include <fcntl.h>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QtEndian>
#include <QThread>
#include <sys/prctl.h>
#include <unistd.h>
#include <utility>

namespace {
constexpr int pipeSize = 1024 * 1024;
} // namespace

SignerProcess::SignerProcess(QObject* parent)
    : QObject(parent)
{
    connect(&process, &QProcess::readyReadStandardOutput, this, &SignerProcess::readOutput);
    connect(&process, &QProcess::readyReadStandardError, this, [this] {
        qWarning() << "Something wrote into - STDERR -" << logExcerpt(process.readAllStandardError());
    });
    connect(&process, &QProcess::started, this, &SignerProcess::writePendingFrames);
    connect(&process, &QProcess::readChannelFinished, this, &SignerProcess::outputEnded);
    connect(&process, &QProcess::errorOccurred, this, &SignerProcess::processError);
    connect(&process, &QProcess::finished, this, &SignerProcess::processFinished);

    startTimer.setSingleShot(true);
    startTimer.setInterval(startTimeoutMs);
    connect(&startTimer, &QTimer::timeout, this, &SignerProcess::startTimedOut);
    killTimer.setSingleShot(true);
    killTimer.setInterval(terminateTimeoutMs);
    connect(&killTimer, &QTimer::timeout, this, [this] {
        qWarning() << "Killing Quillet: it did not end within" << terminateTimeoutMs << "ms";
        kill();
    });
}

SignerProcess::~SignerProcess()
{
    if (launching)
        launchDone.acquire();
    process.disconnect(this);
    // Only reached with a child still there when the tray itself ends.
    if (process.state() != QProcess::NotRunning) {
        qWarning() << "Killing Quillet as the tray ends";
        kill();
        process.waitForFinished(terminateTimeoutMs);
    }
}

void SignerProcess::start(const QString& scriptPath, const QString& origin, QThread* launcher)
{
    process.setProgram(scriptPath);
    process.setArguments({});
    process.setWorkingDirectory(QFileInfo(scriptPath).absolutePath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLET_ORIGIN"), origin);
    process.setProcessEnvironment(environment);
    // Runs in the child before the script starts. Pipes of 1 MiB instead of 64 KiB carry a large
    // document in a sixteenth of the hand-overs; the pipes stay as they are where the system
    // allows less.
    // The child leads a process group of its own, so that ending it ends what it started too,
    // and dies with the tray however the tray ends.
    process.setChildProcessModifier([tray = getpid()] {
        fcntl(STDIN_FILENO, F_SETPIPE_SZ, pipeSize);
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeSize);
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The tray may have gone before it could ask.
        if (getppid() != tray)
            _exit(127);
    });
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    // Qt 6.4 starts every child the vfork way. Qt 6.7 and later fork a whole copy of the tray
    // when a modifier is set (about 10 ms before the signer runs, which a page waits for) unless
    // told that the modifier is safe there, as its plain system calls on the child's own pipes,
    // group and death signal are.
    process.setUnixProcessParameters(QProcess::UnixProcessFlag::UseVFork);
#endif
    if (!launcher) {
        process.start(QIODevice::ReadWrite);
        return;
    }
    // The thread that starts a child waits until the system has loaded the program, about a
    // millisecond here; pages opened together would wait that long each for every other page.
    launching = true;
    process.moveToThread(launcher);
    QMetaObject::invokeMethod(
        &process,
        [this, home = thread()] {
            process.start(QIODevice::ReadWrite);
            process.moveToThread(home);
            QMetaObject::invokeMethod(this, &SignerProcess::launched, Qt::QueuedConnection);
            launchDone.release();
        },
        Qt::QueuedConnection);
}

void SignerProcess::launched()
{
    launchDone.acquire();
    launching = false;
    if (disposed) {
        // Nothing was sent to it.
        kill();
        releaseWhenGone();
        return;
    }
    if (!reading)
        process.closeReadChannel(QProcess::StandardOutput);
}

bool SignerProcess::write(const QByteArray& payload)
{
    switch (state()) {
    case QProcess::Starting:
        // Waiting here would stall every other page: the frame waits for started() instead.
        pendingFrames.append(payload);
        if (!startTimer.isActive())
            startTimer.start();
        break;
    case QProcess::Running:
        writePendingFrames();
        writeFrame(payload);
        break;
    case QProcess::NotRunning:
        return false;
    }
    checkInputBacklog();
    return true;
}

void SignerProcess::stopReading()
{
    reading = false;
    if (!launching)
        process.closeReadChannel(QProcess::StandardOutput);
}

void SignerProcess::dispose(const QByteArray& disposeMessage)
{
    if (disposed)
        return;
    disposed = true;
    reading = false;
    startTimer.stop();
    pendingFrames.clear();
    switch (state()) {
    case QProcess::NotRunning:
        deleteLater();
        return;
    case QProcess::Starting:
        // It has been sent nothing yet.
        kill();
        break;
    case QProcess::Running:
        qInfo() << "Terminating Quillet";
        writeFrame(disposeMessage);
        killTimer.start();
        break;
    }
}

void SignerProcess::kill()
{
    // A child still being launched is killed once it is back, as it has been disposed of.
    if (launching || process.state() == QProcess::NotRunning)
        return;
    // A start script that runs the signer without exec leaves it in the group, not as the child.
    if (process.processId() > 0)
        ::kill(-pid_t(process.processId()), SIGKILL);
    process.kill();
}

void SignerProcess::readOutput()
{
    if (!reading)
        return;
    try {
        QByteArray payload;
        while (reader.readMessage(process, payload))
            emit messageReceived(payload);
    } catch (const AppException& error) {
        failOutput(error);
        return;
    }
    emit outputRead();
}

void SignerProcess::outputEnded()
{
    if (!reading)
        return;
    try {
        // What the child wrote before it ended still goes out, also past an empty message.
        QByteArray payload;
        while (process.bytesAvailable() > 0) {
            while (reader.readMessage(process, payload))
                emit messageReceived(payload);
        }
        reader.checkEnd();
    } catch (const AppException& error) {
        failOutput(error);
    }
}

void SignerProcess::failOutput(const AppException& error)
{
    stopReading();
    // The application object logs the error as for any slot; it is raised from its own event so
    // that it unwinds through no code of the process. The page's session ends after it.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [error] { error.raise(); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &SignerProcess::failed, Qt::QueuedConnection);
}

void SignerProcess::writeFrame(const QByteArray& payload)
{
    char header[4];
    qToLittleEndian(qint32(payload.size()), header);
    process.write(header, sizeof header);
    process.write(payload);
}

void SignerProcess::writePendingFrames()
{
    startTimer.stop();
    const QByteArrayList frames = std::exchange(pendingFrames, {});
    for (const QByteArray& frame : frames)
        writeFrame(frame);
}

void SignerProcess::startTimedOut()
{
    if (launching) {
        startTimer.start();
        return;
    }
    if (process.state() != QProcess::Starting)
        return;
    pendingFrames.clear();
    qWarning() << "Quillet did not start within" << startTimeoutMs << "ms";
    process.kill();
    emit failed();
}

void SignerProcess::checkInputBacklog()
{
    qint64 queued = launching ? 0 : process.bytesToWrite();
    for (const QByteArray& frame : std::as_const(pendingFrames))
        queued += frame.size();
    if (queued <= maxQueuedBytes)
        return;
    qWarning() << "Closing the session:" << queued << "bytes wait for Quillet to read them, the limit is"
               << maxQueuedBytes;
    emit failed();
}

void SignerProcess::processError(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        startTimer.stop();
        pendingFrames.clear();
        qWarning() << "Failed to start Quillet";
        break;
    case QProcess::Crashed:
        // A kill of ours is no news.
        if (disposed)
            return;
        qWarning() << "Quillet terminated unexpectedly";
        break;
    case QProcess::ReadError:
        qWarning() << "An error occurred when attempting to read from Quillet";
        break;
    case QProcess::WriteError:
        qWarning() << "An error occurred when attempting to write to Quillet";
        break;
    default:
        qWarning() << "Unknown error in Quillet process";
        break;
    }
    if (disposed)
        releaseWhenGone();
    else
        emit failed();
}

void SignerProcess::processFinished(int exitCode)
{
    killTimer.stop();
    outputEnded();
    qInfo() << "Quillet exited with code:" << exitCode;
    if (disposed)
        releaseWhenGone();
    else
        emit ended(exitCode);
}

void SignerProcess::releaseWhenGone()
{
    if (state() == QProcess::NotRunning)
        deleteLater();
}
