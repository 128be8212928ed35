#include "nativemessagingsockethandler.h"

#include "logexcerpt.h"
#include "processinfo.h"
#include "quilletconfig.h"
#include "signerprocess.h"

#include <malloc.h>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QTcpSocket>
#include <QWebSocket>
#include <utility>

NativeMessagingSocketHandler::NativeMessagingSocketHandler(QWebSocket* webSocket, QTcpSocket* tcpConnection,
                                                           std::function<QThread*()> signerLauncherFor,
                                                           QObject* parent)
    : QObject(parent)
    , socket(webSocket)
    , connection(tcpConnection)
    , launcherFor(std::move(signerLauncherFor))
{
    qInfo() << "Creating new WebSocket handler";
    socket->setParent(this);
    socket->setMaxAllowedIncomingFrameSize(maxIncomingMessageSize);
    socket->setMaxAllowedIncomingMessageSize(maxIncomingMessageSize);

    connect(socket, &QWebSocket::aboutToClose, this, [this] {
        if (socket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
            qWarning() << "Closing the connection, the page sent a message over" << maxIncomingMessageSize
                       << "bytes:" << socket->closeReason();
        }
        dispose();
    });
    if (connection) {
        // The session reads the page's frames itself, off the connection, instead of the
        // WebSocket, which would hold a large document three times over: as received, as the
        // frame's bytes and as UTF-16. It takes every byte as it comes, so nothing is left for
        // the WebSocket to find.
        QObject::disconnect(connection, &QIODevice::readyRead, nullptr, nullptr);
        connect(connection, &QIODevice::readyRead, this, &NativeMessagingSocketHandler::readFrames);
        // What came with the handshake is there already.
        QMetaObject::invokeMethod(this, &NativeMessagingSocketHandler::readFrames, Qt::QueuedConnection);
    } else {
        connect(socket, &QWebSocket::textMessageReceived, this,
                &NativeMessagingSocketHandler::textMessageReceived);
    }
    // A peer that vanishes without a closing handshake ends the session too.
    connect(socket, &QWebSocket::disconnected, this, &NativeMessagingSocketHandler::dispose);

    checkContextTimer.setSingleShot(true);
    connect(&checkContextTimer, &QTimer::timeout, this, [this] {
        qWarning() << "Closing a connection that sent no CheckContext within" << checkContextTimeoutMs
                   << "ms";
        dispose();
    });
    checkContextTimer.start(checkContextTimeoutMs);

    // The buffers of a large message come from the heap and stay there for the next one, instead
    // of being mapped afresh and faulted in page by page each time; trimHeap() gives them back
    // once large messages stop.
    static const bool heapKept = [] {
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, int(NativeMessageReader::maxMessageSize * 8));
        return true;
    }();
    Q_UNUSED(heapKept);
    trimTimer.setSingleShot(true);
    connect(&trimTimer, &QTimer::timeout, this, &NativeMessagingSocketHandler::trimHeap);
}

NativeMessagingSocketHandler::~NativeMessagingSocketHandler()
{
    // Signals emitted while tearing down must find the session ended already.
    disposed = true;
    closeSocket();
    if (signer)
        signer->dispose(messages.disposeMessage().toUtf8());
    // The C library keeps the heap that a large document's copies grew for the next one; a
    // tray that passed one would hold that much more for the rest of the desktop session.
    if (relayedLargeMessage)
        malloc_trim(0);
}

QString NativeMessagingSocketHandler::origin() const
{
    return socket ? socket->origin() : QString();
}

void NativeMessagingSocketHandler::textMessageReceived(const QString& message)
{
    messageReceived(message.toUtf8());
}

void NativeMessagingSocketHandler::readFrames()
{
    if (!connection || !socket)
        return;
    const QList<WebSocketFrameReader::Event> events = frames.read(*connection);
    for (const WebSocketFrameReader::Event& event : events) {
        if (disposed || !socket)
            return;
        switch (event.kind) {
        case WebSocketFrameReader::Event::TextMessage:
            messageReceived(event.payload);
            break;
        case WebSocketFrameReader::Event::Ping:
            connection->write(frameHeader(char(0x8A), event.payload.size()) + event.payload);
            break;
        case WebSocketFrameReader::Event::Failure:
            if (event.code != QWebSocketProtocol::CloseCodeTooMuchData)
                qWarning() << "Closing the connection, the page broke the WebSocket protocol:"
                           << event.payload;
            socket->close(QWebSocketProtocol::CloseCode(event.code), QString::fromUtf8(event.payload));
            break;
        case WebSocketFrameReader::Event::Close:
            // The page's close is answered with its own code where the protocol names it; the
            // codes of applications get a normal close.
            socket->close(event.code < 3000 ? QWebSocketProtocol::CloseCode(event.code)
                                            : QWebSocketProtocol::CloseCodeNormal,
                          QString::fromUtf8(event.payload));
            break;
        }
    }
    // Pongs wait for the page as replies do.
    checkOutputBacklog();
}

void NativeMessagingSocketHandler::messageReceived(const QByteArray& payload)
{
    if (disposed)
        return;
    const NativeMessages::Request request = messages.read(payload);
    if (!request.isCheckContext) {
        writeStandardInput(payload);
        return;
    }

    const bool checkClient = QuilletConfig::userCheckIsOn();
    const QString& id = request.id;

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
    checkContextTimer.stop();
    sendTextMessage(messages.checkContextReply(id, QString()));
    // The page has its answer before the child is forked, not after.
    socket->flush();

    const QString appName = messages.appName();
    if (appName == QLatin1String("Quillet")) {
        startSigner(QStringLiteral("/Quillet.sh"), "Starting Quillet",
                    "Quillet executable does not exist in path:");
    } else if (appName == QLatin1String("QuilletPkcs11")) {
        startSigner(QStringLiteral("/QuilletPkcs11.sh"), "Starting QuilletPkcs11",
                    "QuilletPkcs11 executable does not exist in path:");
    } else {
        qWarning() << "Unknown application to run! (" << appName << ")";
        dispose();
    }
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
    if (signer)
        return;
    qInfo() << startingLog;
    // The server owns the signer: after the page has gone it may still have its grace time.
    signer = new SignerProcess(parent());
    connect(signer, &SignerProcess::messageReceived, this, &NativeMessagingSocketHandler::relay);
    connect(signer, &SignerProcess::outputRead, this, &NativeMessagingSocketHandler::checkOutputBacklog);
    connect(signer, &SignerProcess::failed, this, &NativeMessagingSocketHandler::dispose);
    connect(signer, &SignerProcess::ended, this, &NativeMessagingSocketHandler::dispose);
    signer->start(path, socket->origin(), launcherFor ? launcherFor() : nullptr);
}

void NativeMessagingSocketHandler::writeStandardInput(const QByteArray& payload)
{
    if (signer && signer->write(payload)) {
        noteSize(payload.size(), false);
        return;
    }
    qWarning() << "Unable to send message to Quillet. Quillet is not running!";
    dispose();
}

void NativeMessagingSocketHandler::relay(const QByteArray& payload)
{
    noteSize(payload.size(), true);
    // Valid UTF-8 goes to the page as it came, in one text frame written next to QWebSocket's own
    // frames on the same connection: no conversion to UTF-16 and back, and the connection's
    // buffer shares the payload instead of copying it. Anything else reaches the page as
    // QString makes it, invalid sequences replaced.
    if (connection && socket && socket->state() == QAbstractSocket::ConnectedState && payload.isValidUtf8()) {
        connection->write(frameHeader(char(0x81), payload.size()));
        connection->write(payload);
        checkOutputBacklog();
        return;
    }
    sendTextMessage(QString::fromUtf8(payload));
}

QByteArray NativeMessagingSocketHandler::frameHeader(char opcode, qint64 size)
{
    // The final bit with the opcode; a server's frames are not masked.
    QByteArray header(1, opcode);
    if (size < 126) {
        header += char(size);
    } else if (size <= 0xFFFF) {
        header += char(126);
        header += char(size >> 8);
        header += char(size & 0xFF);
    } else {
        header += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            header += char((size >> shift) & 0xFF);
    }
    return header;
}

void NativeMessagingSocketHandler::noteSize(qint64 size, bool toPage)
{
    if (size < largeMessageSize)
        return;
    relayedLargeMessage = true;
    // A large request is usually answered: the heap it grew serves the answer too, and giving it
    // back before would only make the answer fault it in again.
    trimTimer.start(toPage ? trimDelayMs : answerWaitMs);
}

void NativeMessagingSocketHandler::trimHeap()
{
    // Not while a message is still on its way to the page or from it.
    if ((socket && socket->bytesToWrite() > 0) || frames.isInsideMessage()) {
        trimTimer.start(trimDelayMs);
        return;
    }
    malloc_trim(0);
}

void NativeMessagingSocketHandler::checkOutputBacklog()
{
    if (disposed)
        return;
    // Output waits behind an empty message, or for a page that reads slower than the child
    // writes; replies and pongs wait for a page that reads nothing.
    const qint64 queued = (signer ? signer->unreadBytes() : 0) + socket->bytesToWrite();
    // The same bound as for what waits for the signer.
    if (queued <= SignerProcess::maxQueuedBytes)
        return;
    qWarning() << "Closing the session:" << queued << "bytes wait for the page, the limit is"
               << SignerProcess::maxQueuedBytes;
    if (signer)
        signer->stopReading();
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

void NativeMessagingSocketHandler::sendTextMessage(const QString& text)
{
    if (socket) {
        socket->sendTextMessage(text);
        checkOutputBacklog();
    } else if (!disposed)
        qWarning() << "Unable to send message to client:" << logExcerpt(text);
}

void NativeMessagingSocketHandler::closeSocket()
{
    QWebSocket* closing = std::exchange(socket, nullptr);
    closing->disconnect(this);
    if (closing->state() == QAbstractSocket::UnconnectedState) {
        delete closing;
        return;
    }
    // What is still queued for the page goes out before the connection closes. The server owns
    // the socket meanwhile; it deletes itself once closed, or gives up after a while.
    closing->setParent(parent());
    connect(closing, &QWebSocket::disconnected, closing, &QObject::deleteLater);
    QTimer::singleShot(SignerProcess::terminateTimeoutMs, closing, [closing] {
        closing->abort();
        closing->deleteLater();
    });
    closing->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Connection closed"));
}
