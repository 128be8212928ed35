#include "testsupport.h"

#include <optional>
#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslServer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
QString certificateDirectory;

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Runs a program to its end; its standard output, or nothing when it failed.
std::optional<QString> execute(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment, QString* error = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0)
        return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (error)
        *error = program + ": " + QString::fromLocal8Bit(process.readAllStandardError());
    process.kill();
    process.waitForFinished();
    return std::nullopt;
}

// Asked to end, a tray ends its signers too; what does not end in time is killed.
void stop(QProcess& process)
{
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill(), process.waitForFinished(10000);
}

QString compact(QJsonObject object, const QJsonValue& id)
{
    if (!id.toVariant().toString().isEmpty())
        object.insert(u"id"_s, id);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

BoxCloser::BoxCloser()
{
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
        if (QWidget* box = QApplication::activeModalWidget(); box && box->isVisible()) {
            closedTitles.append(box->windowTitle());
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &press);
        }
    });
    timer.start(10);
}

QString TestHttpServer::makeCertificates(const QString& directory)
{
    certificateDirectory = directory;
    // EC keys keep generation fast; the client checks chain and address, not key type.
    const QString script
        = uR"(cd '%1' && key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2' &&
        ip=subjectAltName=IP:127.0.0.1,DNS:localhost && echo $ip > server.ext &&
        openssl req $key -x509 -keyout ca.key -out ca.crt -subj /CN=Quillet-Test-Authority -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
        openssl req $key -keyout trusted.key -out trusted.csr -subj /CN=127.0.0.1 &&
        openssl x509 -req -in trusted.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out trusted.crt -days 2 -extfile server.ext &&
        openssl req $key -x509 -keyout untrusted.key -out untrusted.crt -subj /CN=127.0.0.1 -addext $ip)"_s;
    QString error;
    if (!execute(u"sh"_s, {u"-c"_s, script.arg(directory)}, QProcessEnvironment::systemEnvironment(), &error))
        return error;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(QSslCertificate(TestSigner::readFile(directory + u"/ca.crt"_s)));
    QSslConfiguration::setDefaultConfiguration(configuration);
    return QString();
}

bool TestHttpServer::listenTls(bool trustedCertificate, bool tls)
{
    const QString name = certificateDirectory + (trustedCertificate ? u"/trusted"_s : u"/untrusted"_s);
    auto* server = tls ? new QSslServer(this) : nullptr;
    m_server = tls ? server : new QTcpServer(this);
    if (server) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate(TestSigner::readFile(name + u".crt"_s)));
        configuration.setPrivateKey(QSslKey(TestSigner::readFile(name + u".key"_s), QSsl::Ec));
        server->setSslConfiguration(configuration);
    }
    const auto accept = [this] {
        while (QTcpSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            const auto read = [this, socket] {
                const QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
                socket->setProperty("request", buffer);
                if (!buffer.contains("\r\n\r\n") || socket->property("answered").toBool())
                    return;
                const QString target
                    = QString::fromLatin1(buffer.left(buffer.indexOf("\r\n")).split(' ').value(1));
                m_requests.append(target);
                const Response response = m_responses.value(target, status(404));
                QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status)
                    + (response.status == 200 ? " OK" : " Status") + "\r\nContent-Length: "
                    + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n";
                for (const auto& [header, value] : response.headers)
                    reply += header + ": " + value + "\r\n";
                socket->setProperty("answered", true);
                socket->write(reply + "\r\n" + response.body);
                socket->disconnectFromHost();
            };
            connect(socket, &QTcpSocket::readyRead, this, read);
            read();
        }
    };
    if (server)
        connect(server, &QSslServer::pendingConnectionAvailable, this, accept);
    else
        connect(m_server, &QTcpServer::newConnection, this, accept);
    return m_server->listen(QHostAddress::LocalHost);
}

QUrl TestHttpServer::url(const QString& path) const
{
    return QUrl(u"%1://127.0.0.1:%2%3"_s.arg(qobject_cast<QSslServer*>(m_server) ? u"https"_s : u"http"_s)
                    .arg(m_server->serverPort())
                    .arg(path));
}

QByteArray TestSigner::readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray TestSigner::run(const QString& script, const QStringList& arguments, const QString& output)
{
    const QString tool = QStringLiteral(QUILLET_SOURCE_DIR "/tools/") + script;
    return execute(u"bash"_s, QStringList {tool} + arguments, QProcessEnvironment::systemEnvironment(),
                   &m_lastError)
        ? TestSigner::readFile(output)
        : QByteArray();
}

QByteArray TestSigner::sign(const QByteArray& data)
{
    const QString path = m_work + u"/signed-%1.bin"_s.arg(++m_serial);
    if (!writeFile(path, data))
        return m_lastError = u"cannot write "_s + path, QByteArray();
    return run(u"sign-version-document.sh"_s,
               {QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-private.pem"), path,
                QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-public.pem")},
               path + u".sig"_s);
}

QByteArray TestSigner::makeDocument(const QStringList& arguments)
{
    const QString path = m_work + u"/document-%1.xml"_s.arg(++m_serial);
    return run(u"make-version-document.sh"_s, QStringList {path} + arguments, path);
}

XvfbDisplay::~XvfbDisplay()
{
    stop(trayHost);
    stop(server);
}

bool XvfbDisplay::start()
{
    // With -displayfd the server takes a free display number and writes it once it accepts clients.
    server.start(u"Xvfb"_s,
                 {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, u"1024x768x24"_s, u"-nolisten"_s, u"tcp"_s});
    QByteArray output;
    while (!output.contains('\n') && server.waitForReadyRead(20000))
        output += server.readAllStandardOutput();
    displayName = u':' + QString::fromLatin1(output.trimmed());
    return output.contains('\n');
}

bool XvfbDisplay::startTrayHost()
{
    trayHost.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    trayHost.start(u"trayer"_s,
                   {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s, u"request"_s,
                    u"--height"_s, u"32"_s, u"--SetDockType"_s, u"true"_s});
    return trayHost.waitForStarted(10000);
}

QProcessEnvironment XvfbDisplay::environment(QProcessEnvironment base) const
{
    base.insert(u"DISPLAY"_s, displayName);
    base.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    base.remove(u"WAYLAND_DISPLAY"_s);
    // No session bus: the tray must use the XEmbed tray protocol of the host.
    base.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    return base;
}

QString XvfbDisplay::run(const QString& program, const QStringList& arguments) const
{
    return execute(program, arguments, environment(QProcessEnvironment::systemEnvironment()))
        .value_or(QString());
}

QString XvfbDisplay::windows(qint64 pid, const QString& field, const QString& pattern) const
{
    return run(
        u"xdotool"_s,
        {u"search"_s, u"--all"_s, u"--onlyvisible"_s, u"--pid"_s, QString::number(pid), field, pattern});
}

std::unique_ptr<QTemporaryDir> makeTraySandbox()
{
    auto root = std::make_unique<QTemporaryDir>();
    const QDir dir(root->path());
    if (!dir.mkpath(u"home/.config"_s) || !dir.mkpath(u"bin"_s) || !dir.mkpath(u"etc"_s))
        return nullptr;
    qputenv("HOME", QFile::encodeName(dir.filePath(u"home"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(u"data"_s)));
    return root;
}

TrayTree::TrayTree(const QString& root)
    : rootPath(root)
{
    const QDir dir(root);
    for (const char* sub : {"bin", "etc", "share/translations", "share/applications"})
        dir.mkpath(QString::fromLatin1(sub));
    const QList<QPair<QString, QString>> files {
        {QStringLiteral(QUILLET_TRAY_EXE), u"bin/QuilletTray"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), u"etc/Quillet.conf"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm"), u"share/translations/QuilletTray_en.qm"_s},
        {QStringLiteral(QUILLET_QM_DIR "/QuilletTray_sk.qm"), u"share/translations/QuilletTray_sk.qm"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"),
         u"share/applications/eu.kestrum.Quillet.desktop"_s},
    };
    for (const auto& [source, target] : files)
        valid = valid && QFile::copy(source, dir.filePath(target));
}

bool TrayTree::addUser(const QString& user) const
{
    const QString logDir = dataHome(user) + u"/Kestrum/Quillet/Logs"_s;
    return QDir().mkpath(home(user) + u"/.config"_s) && QDir().mkpath(home(user) + u"/tmp"_s)
        && QDir().mkpath(logDir) && writeFile(logDir + u"/QuilletTrayLog.txt"_s, {});
}

QProcessEnvironment TrayTree::environment(const QString& user, const QString& tmpDir) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, home(user));
    env.insert(u"XDG_DATA_HOME"_s, dataHome(user));
    env.insert(u"TMPDIR"_s, tmpDir);
    env.remove(u"XDG_RUNTIME_DIR"_s);
    env.remove(u"LANGUAGE"_s);
    env.insert(u"LC_ALL"_s, u"en_US.UTF-8"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    return env;
}

QStringList TrayTree::logLines(const QString& user, qint64 pid) const
{
    return QString::fromUtf8(
               TestSigner::readFile(dataHome(user) + u"/Kestrum/Quillet/Logs/QuilletTrayLog.txt"_s))
        .split(u'\n')
        .filter(u" - %1 - "_s.arg(pid));
}

bool TrayTree::waitForLog(const QString& user, qint64 pid, const QString& text) const
{
    return QTest::qWaitFor([&] { return logLines(user, pid).join(u'\n').contains(text); }, 30000);
}

quint16 TrayTree::listeningPort(const QString& user, qint64 pid) const
{
    static const QRegularExpression listening(u"Server is listening on port (\\d+) - "_s);
    const QStringList lines = logLines(user, pid).filter(listening);
    return lines.isEmpty() ? 0 : listening.match(lines.last()).captured(1).toUShort();
}

bool TrayTree::writeScript(const QString& name, const QString& program) const
{
    QFile script(rootPath + u"/bin/"_s + name);
    return writeFile(script.fileName(), "#!/bin/sh\nexec '" + program.toUtf8() + "'\n")
        && script.setPermissions(script.permissions() | QFile::ExeOwner);
}

bool TrayTree::writeConfig(const QString& trayElements) const
{
    return writeFile(
        rootPath + u"/etc/Quillet.conf"_s,
        u"<Quillet><QuilletTray>%1</QuilletTray><QuilletUpdater><Version>2.6.1</Version><Url>https://"
        u"example.invalid/v.xml</Url>"
        "<DownloadUrl>https://example.invalid/</DownloadUrl></QuilletUpdater></Quillet>"_s.arg(trayElements)
            .toUtf8());
}

TrayProcess::TrayProcess(const TrayTree& trayTree, const QString& userName)
    : tree(trayTree)
    , user(userName)
{
    process.setProcessEnvironment(tree.environment(user, tree.home(user) + u"/tmp"_s));
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

TrayProcess::~TrayProcess()
{
    stop(process);
}

bool TrayProcess::start()
{
    process.start(tree.executable(), {});
    return process.waitForStarted(10000)
        && QTest::qWaitFor([&] { return (port = tree.listeningPort(user, process.processId())) != 0; },
                           30000);
}

Page::Page(quint16 port, const QString& origin)
    : socket(origin)
{
    socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                     [this](const QString& text) { received.append(text); });
    QObject::connect(&socket, &QWebSocket::disconnected, &socket,
                     [this] { closed = true, closeCode = socket.closeCode(); });
    socket.open(QUrl(u"ws://127.0.0.1:%1"_s.arg(port)));
}

bool Page::waitConnected()
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState || closed; }, 10000)
        && !closed;
}

bool Page::startSession(const QString& app)
{
    if (!waitConnected())
        return false;
    send(checkContext(app));
    const bool accepted = waitReceived() && received.first() == reply(app, u"CheckContext"_s, "ctx", "", "");
    received.clear();
    return accepted;
}

bool Page::waitReceived(qsizetype count)
{
    return QTest::qWaitFor([&] { return received.size() >= count || closed; }, 20000)
        && received.size() >= count;
}

bool Page::waitClosed(int timeoutMs)
{
    return QTest::qWaitFor([&] { return closed; }, timeoutMs);
}

QString request(const QString& app, const QString& name, const QJsonValue& id, const QJsonArray& args)
{
    return compact({{u"method"_s, u"%1.2.6.1.page1.QES.%2"_s.arg(app, name)}, {u"args"_s, args}}, id);
}

QString checkContext(const QString& app, const QJsonValue& id)
{
    return request(app, u"CheckContext"_s, id);
}

QString reply(const QString& app, const QString& name, const QJsonValue& id, const QJsonValue& result,
              const QString& error)
{
    QJsonObject object {{u"method"_s, u"%1.2.6.1.page1.QES.%2"_s.arg(app, name)}, {u"result"_s, result}};
    if (!error.isNull())
        object.insert(u"error"_s, error);
    return compact(object, id);
}

QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
                 "Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n"
                 + (origin.isEmpty() ? QByteArray() : "Origin: " + origin.toUtf8() + "\r\n") + "\r\n");
    QByteArray answer;
    (void)QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            const qsizetype end = answer.indexOf("\r\n\r\n");
            return socket.state() == QAbstractSocket::UnconnectedState
                || (end >= 0 && (!waitForClose || answer.size() >= end + 8));
        },
        10000);
    // "HTTP/1.1 101 ...", and after the header a close frame: 0x88, its length, the code.
    const QByteArray frame = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    const int closeCode
        = frame.size() >= 4 && quint8(frame[0]) == 0x88 ? quint8(frame[2]) << 8 | quint8(frame[3]) : 0;
    return {answer.left(answer.indexOf("\r\n")).split(' ').value(1).toInt(), closeCode};
}
