#include "nativemessagingsockethandler.h"

#include "appexception.h"
#include "processinfo.h"
#include "quilletconfig.h"

#include <fcntl.h>
#include <malloc.h>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QtEndian>
#include <QWebSocket>
#include <unistd.h>
#include <utility>

namespace {
constexpr int pipeSize = 1024 * 1024;
} // namespace

NativeMessagingSocketHandler::NativeMessagingSocketHandler(QWebSocket* webSocket)
    : process(new QProcess(this))
    , socket(webSocket)
{
    qInfo() << "Creating new WebSocket handler";
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(maxIncomingMessageSize);
    socket->setMaxAllowedIncomingMessageSize(maxIncomingMessageSize);

    connect(socket, &QWebSocket::aboutToClose, this, &NativeMessagingSocketHandler::aboutToClose);
    connect(socket, &QWebSocket::textMessageReceived, this,
            &NativeMessagingSocketHandler::textMessageReceived);
    connect(socket, &QWebSocket::sslErrors, this, &NativeMessagingSocketHandler::sslErrors);
    // A peer that vanishes without a closing handshake ends the session too.
    connect(socket, &QWebSocket::disconnected, this, &NativeMessagingSocketHandler::dispose);
    connect(process, &QProcess::readyReadStandardOutput, this,
            &NativeMessagingSocketHandler::readStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this,
            &NativeMessagingSocketHandler::readStandardError);
    connect(process, &QProcess::finished, this, &NativeMessagingSocketHandler::finished);
    connect(process, &QProcess::errorOccurred, this, &NativeMessagingSocketHandler::errorOccurred);
    connect(process, &QProcess::started, this, &NativeMessagingSocketHandler::writePendingFrames);
    connect(process, &QProcess::readChannelFinished, this, &NativeMessagingSocketHandler::outputEnded);

    startTimer.setSingleShot(true);
    startTimer.setInterval(startTimeoutMs);
    connect(&startTimer, &QTimer::timeout, this, &NativeMessagingSocketHandler::startTimedOut);
}

NativeMessagingSocketHandler::~NativeMessagingSocketHandler()
{
    // Signals emitted while tearing down must find the session ended already.
    disposed = true;
    startTimer.stop();
    closeSocket();
    releaseProcess();
    // The C library keeps the heap that a large document's copies grew for the next one; a
    // tray that passed one would hold that much more for the rest of the desktop session.
    if (relayedLargeMessage)
        malloc_trim(0);
}

void NativeMessagingSocketHandler::textMessageReceived(const QString& message)
{
    if (disposed)
        return;
    if (!messages.isValid())
        messages.setNamespace(message);
    if (!messages.isCheckContext(message)) {
        writeStandardInput(message);
        return;
    }

    bool checkClient = true;
    try {
        QuilletConfig::instance()->loadConfig();
        checkClient = QuilletConfig::instance()->checkUser();
    } catch (const AppException& error) {
        qWarning() << error.generalMessage();
    }
    const QString id = messages.messageId(message);

    if (!checkClient) {
        qInfo() << "Skipping WebSocket client check";
    } else {
        qInfo() << "Performing WebSocket client check";
        if (!ProcessInfo::checkClient(socket)) {
            sendTextMessage(messages.checkContextReply(id, QStringLiteral("Bad context!")));
            dispose();
            return;
        }
    }
    sendTextMessage(messages.checkContextReply(id, QString()));
    // The page has its answer before the child is forked, not after.
    if (socket)
        socket->flush();

    const QString appName = messages.appName();
    if (appName == QLatin1String("Quillet")) {
        startQuillet();
    } else if (appName == QLatin1String("QuilletPkcs11")) {
        startQuilletPkcs11();
    } else {
        qWarning() << "Unknown application to run! (" << appName << ")";
        dispose();
    }
}

void NativeMessagingSocketHandler::readStandardOutput()
{
    if (outputFailed)
        return;
    try {
        QByteArray payload;
        while (reader.readMessage(*process, payload))
            relay(payload);
    } catch (const AppException& error) {
        failOutput(error);
        return;
    }
    checkOutputBacklog();
}

void NativeMessagingSocketHandler::checkOutputBacklog()
{
    // Output waits behind an empty message, or for a page that reads slower than the child writes.
    const qint64 queued = process->bytesAvailable() + (socket ? socket->bytesToWrite() : 0);
    if (queued <= maxQueuedBytes)
        return;
    qWarning() << "Closing the session:" << queued << "bytes from Quillet wait for the page, the limit is"
               << maxQueuedBytes;
    outputFailed = true;
    process->closeReadChannel(QProcess::StandardOutput);
    dispose();
}

void NativeMessagingSocketHandler::checkInputBacklog()
{
    if (disposed)
        return;
    qint64 queued = process->bytesToWrite();
    for (const QByteArray& frame : std::as_const(pendingFrames))
        queued += frame.size();
    if (queued <= maxQueuedBytes)
        return;
    qWarning() << "Closing the session:" << queued << "bytes wait for Quillet to read them, the limit is"
               << maxQueuedBytes;
    dispose();
}

void NativeMessagingSocketHandler::outputEnded()
{
    if (outputFailed)
        return;
    try {
        // What the child wrote before it ended still reaches the page, also past an empty message.
        QByteArray payload;
        while (process->bytesAvailable() > 0) {
            while (reader.readMessage(*process, payload))
                relay(payload);
        }
        reader.checkEnd();
    } catch (const AppException& error) {
        failOutput(error);
    }
}

void NativeMessagingSocketHandler::failOutput(const AppException& error)
{
    outputFailed = true;
    process->closeReadChannel(QProcess::StandardOutput);
    // The application object logs the error as for any slot; it is raised from its own event so
    // that it unwinds through no code of the socket or the process. The session ends after it,
    // and no other session notices.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [error] { error.raise(); }, Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &NativeMessagingSocketHandler::dispose, Qt::QueuedConnection);
}

void NativeMessagingSocketHandler::relay(const QByteArray& payload)
{
    noteSize(payload.size());
    sendTextMessage(QString::fromUtf8(payload));
}

void NativeMessagingSocketHandler::noteSize(qint64 size)
{
    relayedLargeMessage = relayedLargeMessage || size >= largeMessageSize;
}

void NativeMessagingSocketHandler::readStandardError()
{
    qWarning() << "Something wrote into - STDERR -" << process->readAllStandardError();
}

void NativeMessagingSocketHandler::sslErrors(const QList<QSslError>& errors)
{
    for (const QSslError& error : errors)
        qWarning() << "SSL error -" << error.errorString();
    dispose();
}

void NativeMessagingSocketHandler::errorOccurred(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        // Messages that waited for the start go nowhere; the page learns it from the closed connection.
        startTimer.stop();
        pendingFrames.clear();
        qWarning() << "Failed to start Quillet";
        break;
    case QProcess::Crashed:
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
    dispose();
}

void NativeMessagingSocketHandler::finished(int exitCode)
{
    outputEnded();
    qInfo() << "Quillet exited with code:" << exitCode;
    dispose();
}

void NativeMessagingSocketHandler::aboutToClose()
{
    if (socket && socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
        qWarning() << "Closing the connection, the page sent a message over" << maxIncomingMessageSize
                   << "bytes:" << socket->closeReason();
    }
    dispose();
}

void NativeMessagingSocketHandler::dispose()
{
    if (disposed)
        return;
    qInfo() << "Socket is going to be closed.";
    disposed = true;
    deleteLater();
}

void NativeMessagingSocketHandler::startQuillet()
{
    startSigner(QStringLiteral("/Quillet.sh"), "Starting Quillet",
                "Quillet executable does not exist in path:");
}

void NativeMessagingSocketHandler::startQuilletPkcs11()
{
    startSigner(QStringLiteral("/QuilletPkcs11.sh"), "Starting QuilletPkcs11",
                "QuilletPkcs11 executable does not exist in path:");
}

void NativeMessagingSocketHandler::startSigner(const QString& scriptName, const char* startingLog,
                                               const char* missingLog)
{
    const QString path = QDir::currentPath() + scriptName;
    if (!QFileInfo::exists(path)) {
        qWarning() << missingLog << path;
        return;
    }
    // A repeated CheckContext leaves the child as it is.
    if (process->state() != QProcess::NotRunning)
        return;
    qInfo() << startingLog;
    process->setProgram(path);
    process->setArguments({});
    process->setWorkingDirectory(QFileInfo(path).absolutePath());
    // Runs in the child before the script starts. Pipes of 1 MiB instead of 64 KiB carry a large
    // document in a sixteenth of the hand-overs; the pipes stay as they are where the system
    // allows less.
    process->setChildProcessModifier([] {
        fcntl(STDIN_FILENO, F_SETPIPE_SZ, pipeSize);
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, pipeSize);
    });
    process->start(QIODevice::ReadWrite);
}

void NativeMessagingSocketHandler::writeStandardInput(const QString& message)
{
    switch (process->state()) {
    case QProcess::Starting:
        // Waiting here would stall every other session: the frame waits for started() instead.
        pendingFrames.append(message.toUtf8());
        if (!startTimer.isActive())
            startTimer.start();
        checkInputBacklog();
        return;
    case QProcess::Running:
        writePendingFrames();
        writeFrame(message.toUtf8());
        checkInputBacklog();
        return;
    case QProcess::NotRunning:
        break;
    }
    if (!disposed) {
        qWarning() << "Unable to send message to Quillet. Quillet is not running!";
        dispose();
    }
}

void NativeMessagingSocketHandler::writeFrame(const QByteArray& payload)
{
    noteSize(payload.size());
    char header[4];
    qToLittleEndian(qint32(payload.size()), header);
    process->write(header, sizeof header);
    process->write(payload);
}

void NativeMessagingSocketHandler::writePendingFrames()
{
    startTimer.stop();
    const QByteArrayList frames = std::exchange(pendingFrames, {});
    for (const QByteArray& frame : frames)
        writeFrame(frame);
}

void NativeMessagingSocketHandler::startTimedOut()
{
    if (process->state() != QProcess::Starting)
        return;
    pendingFrames.clear();
    if (!disposed) {
        qWarning() << "Unable to send message to Quillet. Quillet is not running!";
        dispose();
    }
}

void NativeMessagingSocketHandler::sendTextMessage(const QString& text)
{
    if (socket)
        socket->sendTextMessage(text);
    else if (!disposed)
        qWarning() << "Unable to send message to client:" << text;
}

void NativeMessagingSocketHandler::terminateProcess()
{
    if (!messages.isValid())
        return;
    qInfo() << "Terminating Quillet";
    // Written as a page message would be; textMessageReceived takes none once the session has ended.
    writeStandardInput(messages.disposeMessage());
}

void NativeMessagingSocketHandler::closeSocket()
{
    if (!socket)
        return;
    QWebSocket* closing = std::exchange(socket, nullptr);
    closing->disconnect(this);
    if (closing->state() == QAbstractSocket::UnconnectedState) {
        delete closing;
        return;
    }
    // What is still queued for the page goes out before the connection closes; the socket
    // deletes itself once it is closed, or gives up after a while.
    closing->setParent(QCoreApplication::instance());
    connect(closing, &QWebSocket::disconnected, closing, &QObject::deleteLater);
    QTimer::singleShot(terminateTimeoutMs, closing, [closing] {
        closing->abort();
        closing->deleteLater();
    });
    closing->close();
}

void NativeMessagingSocketHandler::releaseProcess()
{
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning)
        return;
    // The child ends on its own time: the process object outlives the session and deletes
    // itself once the child has finished, so no session waits for it.
    QProcess* child = process;
    child->setParent(QCoreApplication::instance());
    connect(child, &QProcess::finished, child, &QObject::deleteLater);
    if (child->state() == QProcess::Running) {
        terminateProcess();
        QTimer::singleShot(terminateTimeoutMs, child, [child] { child->kill(); });
    } else {
        // Still starting: it has been sent nothing yet.
        child->kill();
    }
}
