#include "testhttpserver.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

namespace {
const char* const bufferProperty = "requestBuffer";
} // namespace

TestHttpServer::Response TestHttpServer::ok(const QByteArray& body)
{
    Response response;
    response.body = body;
    return response;
}

TestHttpServer::Response TestHttpServer::status(int code)
{
    Response response;
    response.status = code;
    response.body = "status " + QByteArray::number(code);
    return response;
}

TestHttpServer::Response TestHttpServer::redirect(int code, const QUrl& location)
{
    Response response;
    response.status = code;
    response.headers.append({QByteArray("Location"), location.toEncoded()});
    return response;
}

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
    , m_others(status(404))
{
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

bool TestHttpServer::listenTls(const QSslCertificate& certificate, const QSslKey& key)
{
    m_scheme = QStringLiteral("https");
    auto* server = new QSslServer(this);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server->setSslConfiguration(configuration);
    connect(server, &QSslServer::startedEncryptionHandshake, this, [this] { ++m_connections; });
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &TestHttpServer::accept);
    m_server = server;
    return m_server->listen(QHostAddress::LocalHost);
}

quint16 TestHttpServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QUrl TestHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(m_scheme).arg(port()).arg(path));
}

void TestHttpServer::serve(const QString& target, const Response& response)
{
    m_responses.insert(target, response);
}

void TestHttpServer::serveOthers(const Response& response)
{
    m_others = response;
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
    QByteArray buffer = socket->property(bufferProperty).toByteArray() + socket->readAll();
    socket->setProperty(bufferProperty, buffer);
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    const QString target = requestLine.size() > 1 ? QString::fromLatin1(requestLine.at(1)) : QString();
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
