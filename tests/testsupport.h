#pragma once

// The fixture library of every test program. It links no part of the product.
#include <memory>
#include <QHash>
#include <QJsonArray>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

// Closes every modal box as soon as it shows, as Escape would, and keeps the boxes' titles.
class BoxCloser
{
public:
    BoxCloser();
    QStringList titles() const { return closedTitles; }

private:
    QTimer timer;
    QStringList closedTitles;
};

// An HTTP/1.1 server on 127.0.0.1, plain or over TLS, answering each request target (also a
// proxy's absolute one) with its configured response, then closing the connection.
class TestHttpServer : public QObject
{
public:
    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };
    static Response ok(const QByteArray& body) { return {200, body, {}}; }
    static Response status(int code) { return {code, "status " + QByteArray::number(code), {}}; }
    static Response redirect(int code, const QUrl& location)
    {
        return {code, {}, {{"Location", location.toEncoded()}}};
    }
    // A test authority that this process then trusts, a server certificate for 127.0.0.1 that it
    // signed and a self-signed one; an error text, empty on success.
    static QString makeCertificates(const QString& directory);

    bool listenPlain() { return listenTls(false, false); }
    bool listenTls(bool trustedCertificate, bool tls = true);
    QUrl url(const QString& path) const;
    void serve(const QString& target, const Response& response) { m_responses.insert(target, response); }
    void clearLog() { m_requests.clear(); }
    QStringList requests() const { return m_requests; }

private:
    QTcpServer* m_server = nullptr;
    QHash<QString, Response> m_responses;
    QStringList m_requests;
};

// Signed update files made as a release makes them: the release scripts with the development keys.
class TestSigner
{
public:
    explicit TestSigner(const QString& workDirectory)
        : m_work(workDirectory)
    {
    }
    // The ".sig" text for `data`, or empty on failure.
    QByteArray sign(const QByteArray& data);
    // A version document from <version> <url> [<language>=<notice>]..., or empty on failure.
    QByteArray makeDocument(const QStringList& arguments);
    QString lastError() const { return m_lastError; }
    static QByteArray readFile(const QString& path);

private:
    QByteArray run(const QString& script, const QStringList& arguments, const QString& output);
    QString m_work;
    QString m_lastError;
    int m_serial = 0;
};

// A private X server (Xvfb), optionally with an XEmbed tray host; both end with the object.
class XvfbDisplay
{
public:
    ~XvfbDisplay();
    bool start();
    bool startTrayHost();
    QProcessEnvironment environment(QProcessEnvironment base) const;
    // Runs an X client such as xdotool on this display; its output.
    QString run(const QString& program, const QStringList& arguments) const;
    // Ids of the process's visible windows whose "--name" or "--classname" matches, one a line.
    QString windows(qint64 pid, const QString& field, const QString& pattern) const;

private:
    QProcess server;
    QProcess trayHost;
    QString displayName;
};

// A fresh tree for a tray controller in the test process: bin, etc, HOME (with ~/.config) and
// the data directory inside it.
std::unique_ptr<QTemporaryDir> makeTraySandbox();

// A copy of the installed program (bin, etc, share) with users whose HOME, data and temporary
// directories lie beside it, logging switched on.
class TrayTree
{
public:
    explicit TrayTree(const QString& root);
    bool isValid() const { return valid; }
    QString root() const { return rootPath; }
    QString executable() const { return rootPath + QStringLiteral("/bin/QuilletTray"); }
    bool addUser(const QString& user) const;
    QString home(const QString& user) const { return rootPath + QStringLiteral("/users/") + user + "/home"; }
    QString dataHome(const QString& user) const
    {
        return rootPath + QStringLiteral("/users/") + user + "/data";
    }
    QProcessEnvironment environment(const QString& user, const QString& tmpDir) const;
    // The user's log lines written by the process with this id.
    QStringList logLines(const QString& user, qint64 pid) const;
    bool waitForLog(const QString& user, qint64 pid, const QString& text) const;
    // The port that process listens on; 0 while it doesn't.
    quint16 listeningPort(const QString& user, qint64 pid) const;
    // bin/<name>, a start script that runs the program.
    bool writeScript(const QString& name, const QString& program) const;
    // etc/Quillet.conf with these elements in the QuilletTray section.
    bool writeConfig(const QString& trayElements) const;

private:
    QString rootPath;
    bool valid = true;
};

// A tray of one user of a tree, run as its own process; it always ends with the object.
class TrayProcess
{
public:
    TrayProcess(const TrayTree& trayTree, const QString& userName);
    ~TrayProcess();
    // Starts it and waits until it listens on `port`.
    bool start();
    bool logged(const QString& text) const { return tree.waitForLog(user, process.processId(), text); }
    QProcess process;
    quint16 port = 0;

private:
    const TrayTree& tree;
    const QString user;
};

// A web page's end of a connection, with the Origin header when one is given.
class Page
{
public:
    explicit Page(quint16 port, const QString& origin = QString());
    bool waitConnected();
    // Connects and has its CheckContext accepted; what came so far is then cleared.
    bool startSession(const QString& app);
    void send(const QString& text) { socket.sendTextMessage(text); }
    bool waitReceived(qsizetype count = 1);
    bool waitClosed(int timeoutMs = 20000);
    QWebSocket socket;
    QStringList received;
    bool closed = false;
    int closeCode = 0;
};

// Messages in the namespace app.2.6.1.page1 (compact JSON); a number or empty text is no id.
QString request(const QString& app, const QString& method, const QJsonValue& id = {},
                const QJsonArray& args = {});
QString checkContext(const QString& app, const QJsonValue& id = QStringLiteral("ctx"));
QString reply(const QString& app, const QString& method, const QJsonValue& id, const QJsonValue& result,
              const QString& error = QString());
// A raw opening handshake with this Origin header (none when empty): the answer's status code
// and, when waited for, the close code of a close frame that follows it.
QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose = false);
