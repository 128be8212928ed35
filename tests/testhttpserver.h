#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests, plain or over TLS. It answers each
// request target with a configured response and closes the connection. As a proxy it
// sees absolute targets ("http://host:port/path") and answers them the same way.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };
    static Response ok(const QByteArray& body);
    static Response status(int code);
    static Response redirect(int code, const QUrl& location);

    // Makes, with the openssl command line, a test authority that this process then trusts,
    // a server certificate for 127.0.0.1 that it signed and a self-signed one that nothing
    // trusts. Returns an error text, empty on success.
    static QString makeCertificates(const QString& directory);

    bool listenPlain();
    // Needs makeCertificates() first.
    bool listenTls(bool trustedCertificate);
    QUrl url(const QString& path) const;

    void serve(const QString& target, const Response& response);
    // Answer for targets without their own response; 404 unless set.
    void serveOthers(const Response& response) { m_others = response; }
    void clearLog();
    // Request targets in the order they arrived.
    QStringList requests() const { return m_requests; }
    // Accepted TCP connections, TLS handshakes that failed included.
    int connections() const { return m_connections; }

private:
    void accept();
    void readRequest(QTcpSocket* socket);

    QTcpServer* m_server = nullptr;
    QString m_scheme;
    QHash<QString, Response> m_responses;
    Response m_others = status(404);
    QStringList m_requests;
    int m_connections = 0;
};
