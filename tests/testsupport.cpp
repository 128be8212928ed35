#include "testsupport.h"

#include <QApplication>

using namespace Qt::StringLiterals;

namespace {
QString certificateDirectory;

QString message(const QString& app, const QString& method, QJsonObject object, const QJsonValue& id)
{
    object.insert(u"method"_s, u"%1.2.6.1.page1.QES.%2"_s.arg(app, method));
    if (!id.toString().isEmpty())
        object.insert(u"id"_s, id);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
} // namespace

std::optional<QString> execute(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(data) == data.size();
}

BoxCloser::BoxCloser()
{
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
        if (QWidget* box = QApplication::activeModalWidget(); box && box->isVisible()) {
            closedTitles.append(box->windowTitle());
            QTest::keyClick(box, Qt::Key_Escape);
        }
    });
    timer.start(10);
}

TestHttpServer::Response TestHttpServer::status(int code, const QByteArray& body, const QByteArray& headers)
{
    return "HTTP/1.1 " + QByteArray::number(code) + " Test\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n" + headers + "\r\n" + body;
}

bool TestHttpServer::makeCertificates(const QString& directory)
{
    certificateDirectory = directory;
    // EC keys are made fast; the client checks trust and address, not the key type.
    const QString script = u"cd '%1' && for name in trusted untrusted; do openssl req -x509 -nodes -days 2 "
                           "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -subj /CN=127.0.0.1 -addext "
                           "subjectAltName=IP:127.0.0.1 -keyout $name.key -out $name.crt || exit; done"_s;
    if (!execute(u"sh"_s, {u"-c"_s, script.arg(directory)}))
        return false;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(QSslCertificate(readFile(directory + u"/trusted.crt"_s)));
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

void TestHttpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] {
        socket->setProperty("request", socket->property("request").toByteArray() + socket->readAll());
        const QByteArray request = socket->property("request").toByteArray();
        if (!request.contains("\r\n\r\n"))
            return;
        disconnect(socket, &QSslSocket::readyRead, this, nullptr);
        m_requests.append(QString::fromLatin1(request.split(' ').value(1)));
        socket->write(m_responses.value(m_requests.last(), status(404)));
        socket->disconnectFromHost();
    });
    if (!m_certificate.isEmpty()) {
        socket->setLocalCertificate(certificateDirectory + u'/' + m_certificate + u".crt"_s);
        socket->setPrivateKey(certificateDirectory + u'/' + m_certificate + u".key"_s, QSsl::Ec);
        socket->startServerEncryption();
    }
}

QUrl TestHttpServer::url(const QString& path) const
{
    return QUrl(u"%1://127.0.0.1:%2%3"_s.arg(m_certificate.isEmpty() ? u"http"_s : u"https"_s)
                    .arg(serverPort())
                    .arg(path));
}

QByteArray TestSigner::run(const QString& script, const QStringList& arguments, const QString& output)
{
    const QString tool = QStringLiteral(QUILLET_SOURCE_DIR "/tools/") + script;
    return execute(u"bash"_s, QStringList {tool} + arguments) ? readFile(output) : QByteArray();
}

QByteArray TestSigner::sign(const QByteArray& data, const QString& privateKey)
{
    const QString path = m_work + u"/signed-%1.bin"_s.arg(++m_serial);
    const QString keys = QStringLiteral(QUILLET_SOURCE_DIR "/keys/quillet-update-dev-");
    // A document that could not be written is missing for the script, which then fails.
    writeFile(path, data);
    // The script checks a signature with the development key against its public half.
    return run(u"sign-version-document.sh"_s,
               privateKey.isEmpty() ? QStringList {keys + u"private.pem"_s, path, keys + u"public.pem"_s}
                                    : QStringList {privateKey, path},
               path + u".sig"_s);
}

QByteArray TestSigner::makeDocument(const QStringList& arguments)
{
    const QString path = m_work + u"/document-%1.xml"_s.arg(++m_serial);
    return run(u"make-version-document.sh"_s, QStringList {path} + arguments, path);
}

XvfbDisplay::~XvfbDisplay()
{
    // Ended by a signal, the X server takes its lock and socket files away.
    trayHost.kill();
    trayHost.waitForFinished(5000);
    server.terminate();
    server.waitForFinished(5000);
}

bool XvfbDisplay::start()
{
    // With -displayfd the server takes a free display number and writes it once it accepts clients.
    server.start(u"Xvfb"_s, u"-displayfd 1 -screen 0 1024x768x24 -nolisten tcp"_s.split(u' '));
    QByteArray output;
    while (!output.contains('\n') && server.waitForReadyRead(20000))
        output += server.readAllStandardOutput();
    displayName = u':' + QString::fromLatin1(output.trimmed());
    return output.contains('\n');
}

bool XvfbDisplay::startTrayHost()
{
    trayHost.setProcessEnvironment(environment(QProcessEnvironment::systemEnvironment()));
    trayHost.start(
        u"trayer"_s,
        u"--edge top --align right --widthtype request --height 32 --SetDockType true"_s.split(u' '));
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

std::unique_ptr<QTemporaryDir> makeTraySandbox()
{
    auto root = std::make_unique<QTemporaryDir>();
    qputenv("HOME", QFile::encodeName(root->filePath(u"home"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root->filePath(u"data"_s)));
    const QDir dir(root->path());
    return dir.mkpath(u"home/.config"_s) && dir.mkpath(u"bin"_s) && dir.mkpath(u"etc"_s) ? std::move(root)
                                                                                         : nullptr;
}

TrayTree::TrayTree(const QString& root)
    : rootPath(root)
{
    const QString entry = u"share/applications/eu.kestrum.Quillet.desktop"_s;
    QList<QPair<QString, QString>> files {
        {QStringLiteral(QUILLET_TRAY_EXE), u"bin/QuilletTray"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"), u"etc/Quillet.conf"_s},
        {QStringLiteral(QUILLET_SOURCE_DIR "/") + entry, entry}};
    for (const QString& qm : QDir(QStringLiteral(QUILLET_QM_DIR)).entryList({u"*.qm"_s}))
        files.append({QStringLiteral(QUILLET_QM_DIR "/") + qm, u"share/translations/"_s + qm});
    for (const auto& [source, target] : files)
        valid = valid && QDir(root).mkpath(QFileInfo(target).path())
            && QFile::copy(source, root + u'/' + target);
}

bool TrayTree::addUser(const QString& user) const
{
    return QDir().mkpath(home(user) + u"/.config"_s) && QDir().mkpath(home(user) + u"/tmp"_s)
        && writeFile(home(user) + u"/data/Kestrum/Quillet/Logs/QuilletTrayLog.txt"_s, {});
}

QProcessEnvironment TrayTree::environment(const QString& user, const QString& tmpDir) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, home(user));
    env.insert(u"XDG_DATA_HOME"_s, home(user) + u"/data"_s);
    env.insert(u"TMPDIR"_s, tmpDir);
    // Without a runtime directory each user's instance lock lies in that user's data directory.
    env.remove(u"XDG_RUNTIME_DIR"_s);
    env.remove(u"LANGUAGE"_s);
    env.insert(u"LC_ALL"_s, u"en_US.UTF-8"_s);
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    return env;
}

QStringList TrayTree::logLines(const QString& user, qint64 pid) const
{
    const QString log
        = QString::fromUtf8(readFile(home(user) + u"/data/Kestrum/Quillet/Logs/QuilletTrayLog.txt"_s));
    return log.split(u'\n').filter(u" - %1 - "_s.arg(pid));
}

bool TrayTree::writeScript(const QString& name, const QString& program, bool exec) const
{
    const QString script = rootPath + u"/bin/"_s + name;
    return writeFile(script, (exec ? "#!/bin/sh\nexec '" : "#!/bin/sh\n'") + program.toUtf8() + "'\n")
        && QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner);
}

bool TrayTree::writeConfig(const QString& trayElements) const
{
    const QString updater = u"<Version>2.6.1</Version><Url>https://example.invalid/v.xml</Url>"_s;
    return writeFile(
        rootPath + u"/etc/Quillet.conf"_s,
        u"<Quillet><QuilletTray>%1</QuilletTray><QuilletUpdater>%2<DownloadUrl>https://example.invalid/"
        "</DownloadUrl></QuilletUpdater></Quillet>"_s.arg(trayElements, updater)
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
    // Asked to end, the tray ends its signers too.
    process.terminate();
    process.waitForFinished(10000);
}

bool TrayProcess::start()
{
    static const QRegularExpression listening(u"Server is listening on port (\\d+) - "_s);
    const auto listens = [this] {
        const QStringList lines = tree.logLines(user, process.processId()).filter(listening);
        return (port = lines.isEmpty() ? 0 : listening.match(lines.last()).captured(1).toUShort()) != 0;
    };
    process.start(tree.executable(), {});
    return process.waitForStarted(10000) && QTest::qWaitFor(listens, 30000);
}

Page::Page(quint16 port, const QString& origin)
    : socket(origin)
{
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

QString request(const QString& app, const QString& method, const QJsonValue& id, const QJsonArray& args)
{
    return message(app, method, {{u"args"_s, args}}, id);
}

QString reply(const QString& app, const QString& method, const QJsonValue& id, const QJsonValue& result,
              const QString& error)
{
    QJsonObject object {{u"result"_s, result}};
    if (!error.isNull())
        object.insert(u"error"_s, error);
    return message(app, method, object, id);
}

QPair<int, QStringList> rawSession(quint16 port, const QString& origin, const QByteArray& frames,
                                   bool untilClosed)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 + (origin.isEmpty() ? QByteArray() : "Origin: " + origin.toUtf8() + "\r\n") + "\r\n");
    // The tray is another process: this one may block while it answers. Frames follow the
    // answer, as a browser sends them.
    QByteArray answer;
    while (!answer.contains("\r\n\r\n") && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    socket.write(frames);
    while (untilClosed && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    // Unmasked frames of less than 126 bytes, as the tray answers these.
    QStringList received;
    QByteArray rest = answer.mid(answer.indexOf("\r\n\r\n") + 4);
    while (rest.size() >= 2) {
        const int opcode = quint8(rest[0]) & 0x0F;
        const QByteArray payload = rest.mid(2, rest[1] & 0x7F);
        const bool coded = opcode == 8 && payload.size() >= 2;
        received += QString::number(opcode) + ':'
            + (coded ? QString::number(quint8(payload[0]) << 8 | quint8(payload[1]))
                     : QString::fromUtf8(payload));
        rest.remove(0, 2 + payload.size());
    }
    return {answer.split(' ').value(1).toInt(), received};
}

QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose)
{
    const auto [status, frames] = rawSession(port, origin, {}, waitForClose);
    const QString first = frames.value(0);
    return {status, first.startsWith(QLatin1String("8:")) ? first.mid(2).toInt() : 0};
}
