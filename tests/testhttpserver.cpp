#include "testhttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

namespace {
const char* const bufferProperty = "requestBuffer";
QString certificateDirectory;

QByteArray readFile(const QString& name)
{
    QFile file(certificateDirectory + QLatin1Char('/') + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TestHttpServer::Response TestHttpServer::ok(const QByteArray& body)
{
    return Response {200, body, {}};
}

TestHttpServer::Response TestHttpServer::status(int code)
{
    return Response {code, "status " + QByteArray::number(code), {}};
}

TestHttpServer::Response TestHttpServer::redirect(int code, const QUrl& location)
{
    return Response {code, {}, {{QByteArray("Location"), location.toEncoded()}}};
}

QString TestHttpServer::makeCertificates(const QString& directory)
{
    certificateDirectory = directory;
    // EC keys keep generation fast; the client checks chain and address, not key type.
    const QString newKey
        = QStringLiteral("req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 ");
    const QString address = QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost");
    QFile extensions(directory + QStringLiteral("/server.ext"));
    if (!extensions.open(QIODevice::WriteOnly) || extensions.write(address.toUtf8() + '\n') <= 0)
        return QStringLiteral("cannot write server.ext");
    extensions.close();
    const QStringList commands {
        newKey
            + QStringLiteral(
                "-x509 -keyout ca.key -out ca.crt -subj /CN=Quillet-Test-Authority "
                "-addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"),
        newKey + QStringLiteral("-keyout trusted.key -out trusted.csr -subj /CN=127.0.0.1"),
        QStringLiteral("x509 -req -in trusted.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out trusted.crt "
                       "-days 2 -extfile server.ext"),
        newKey + QStringLiteral("-x509 -keyout untrusted.key -out untrusted.crt -subj /CN=127.0.0.1 -addext ")
            + address,
    };
    for (const QString& command : commands) {
        QProcess process;
        process.setWorkingDirectory(directory);
        process.start(QStringLiteral("openssl"), command.split(QLatin1Char(' ')));
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
            || process.exitCode() != 0)
            return QStringLiteral("openssl %1 failed: %2")
                .arg(command, QString::fromLocal8Bit(process.readAllStandardError()));
    }
    const QSslCertificate authority(readFile(QStringLiteral("ca.crt")));
    if (authority.isNull())
        return QStringLiteral("the test authority could not be read");
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(authority);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return QString();
}

bool TestHttpServer::listenPlain()
{
    m_scheme = QStringLiteral("http");
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        ++m_connections;
        accept();
    });
    return m_server->listen(QHostAddress::LocalHost);
}

bool TestHttpServer::listenTls(bool trustedCertificate)
{
    const QString name = trustedCertificate ? QStringLiteral("trusted") : QStringLiteral("untrusted");
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(readFile(name + QStringLiteral(".crt"))));
    configuration.setPrivateKey(QSslKey(readFile(name + QStringLiteral(".key")), QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    if (configuration.localCertificate().isNull() || configuration.privateKey().isNull())
        return false;
    m_scheme = QStringLiteral("https");
    auto* server = new QSslServer(this);
    server->setSslConfiguration(configuration);
    connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++m_connections; });
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &TestHttpServer::accept);
    m_server = server;
    return m_server->listen(QHostAddress::LocalHost);
}

QUrl TestHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(m_server->serverPort()).arg(path));
}

void TestHttpServer::serve(const QString& target, const Response& response)
{
    m_responses.insert(target, response);
}

void TestHttpServer::clearLog()
{
    m_requests.clear();
    m_connections = 0;
}

void TestHttpServer::accept()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void TestHttpServer::readRequest(QTcpSocket* socket)
{
    const QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    socket->setProperty(bufferProperty, buffer);
    if (!buffer.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    const QString target = QString::fromLatin1(requestLine.value(1));
    m_requests.append(target);
    const Response response = m_responses.value(target, m_others);

    QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status)
        + (response.status == 200 ? " OK" : " Status")
        + "\r\nContent-Length: " + QByteArray::number(response.body.size()) + "\r\nConnection: close\r\n";
    for (const auto& header : response.headers)
        reply += header.first + ": " + header.second + "\r\n";
    reply += "\r\n" + response.body;
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    socket->write(reply);
    socket->disconnectFromHost();
}
