#pragma once

// The fixture library of every test program. It links no part of the product.
#include <memory>
#include <optional>
#include <QtNetwork>
#include <QtTest>
#include <QWebSocket>

// The file's contents, or empty when it cannot be read.
QByteArray readFile(const QString& path);
// Writes the file anew, making its directory when missing.
bool writeFile(const QString& path, const QByteArray& data);
// Runs a program to its end, its errors going to ours; its standard output, or nothing when it failed.
std::optional<QString> execute(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment
                               = QProcessEnvironment::systemEnvironment());

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

// An HTTP/1.1 server on 127.0.0.1, plain or over TLS, answering each request target with its
// configured response (others with 404), then closing the connection.
class TestHttpServer : public QTcpServer
{
public:
    // The whole answer: status line, headers and body.
    using Response = QByteArray;
    static Response status(int code, const QByteArray& body = {}, const QByteArray& headers = {});
    static Response ok(const QByteArray& body) { return status(200, body); }
    // Two self-signed certificates for 127.0.0.1, "trusted" and "untrusted", of which this
    // process then trusts the first.
    static bool makeCertificates(const QString& directory);

    bool listenPlain() { return listen(QHostAddress::LocalHost); }
    bool listenTls(bool trusted) { return m_certificate = trusted ? "trusted" : "untrusted", listenPlain(); }
    QUrl url(const QString& path) const;
    void serve(const QString& target, const Response& response) { m_responses.insert(target, response); }
    void clearLog() { m_requests.clear(); }
    QStringList requests() const { return m_requests; }

private:
    void incomingConnection(qintptr descriptor) override;
    QString m_certificate;
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
    // The ".sig" text for `data`, signed with the development key unless another private key is
    // given; empty on failure.
    QByteArray sign(const QByteArray& data, const QString& privateKey = QString());
    // A version document from <version> <url> [<language>=<notice>]..., or empty on failure.
    QByteArray makeDocument(const QStringList& arguments);

private:
    QByteArray run(const QString& script, const QStringList& arguments, const QString& output);
    QString m_work;
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
    // Runs an X client such as xdotool on this display; its output, empty when it failed.
    QString run(const QString& program, const QStringList& arguments) const;
    // Ids of the process's visible windows whose "--name" or "--classname" matches, one a line.
    QString windows(qint64 pid, const QString& field, const QString& pattern) const
    {
        return run("xdotool",
                   {"search", "--all", "--onlyvisible", "--pid", QString::number(pid), field, pattern});
    }

private:
    QProcess server;
    QProcess trayHost;
    QString displayName;
};

// A fresh tree for a tray controller in the test process: bin, etc, HOME (with ~/.config) and
// the data directory inside it.
std::unique_ptr<QTemporaryDir> makeTraySandbox();

// A copy of the installed program (bin, etc, share) with users whose HOME and data directories
// lie beside it, logging switched on.
class TrayTree
{
public:
    explicit TrayTree(const QString& root);
    bool isValid() const { return valid; }
    QString root() const { return rootPath; }
    QString executable() const { return rootPath + QStringLiteral("/bin/QuilletTray"); }
    QString home(const QString& user) const { return rootPath + QStringLiteral("/users/") + user; }
    bool addUser(const QString& user) const;
    // TMPDIR is where the updater saves installers.
    QProcessEnvironment environment(const QString& user, const QString& tmpDir) const;
    // The user's log lines written by the process with this id.
    QStringList logLines(const QString& user, qint64 pid) const;
    bool waitForLog(const QString& user, qint64 pid, const QString& text) const
    {
        return QTest::qWaitFor([&] { return logLines(user, pid).join(u'\n').contains(text); }, 30000);
    }
    // bin/<name>, a start script that runs the program, in its place or as its child.
    bool writeScript(const QString& name, const QString& program, bool exec = true) const;
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
    bool waitReceived(qsizetype count = 1)
    {
        return QTest::qWaitFor([&] { return received.size() >= count || closed; }, 20000)
            && received.size() >= count;
    }
    bool waitClosed(int timeoutMs = 20000)
    {
        return QTest::qWaitFor([&] { return closed; }, timeoutMs);
    }
    QWebSocket socket;
    QStringList received;
    bool closed = false;
    int closeCode = 0;
};

// Messages in the namespace app.2.6.1.page1 (compact JSON); an id that is no text or empty is left out.
QString request(const QString& app, const QString& method, const QJsonValue& id = {},
                const QJsonArray& args = {});
inline QString checkContext(const QString& app, const QJsonValue& id = QStringLiteral("ctx"))
{
    return request(app, QStringLiteral("CheckContext"), id);
}
QString reply(const QString& app, const QString& method, const QJsonValue& id, const QJsonValue& result,
              const QString& error = QString());
// A raw opening handshake with this Origin header (none when empty), then these bytes: the
// answer's status code and, when waited for, the frames that follow until the tray closes the
// connection, each as "opcode:payload" with a close frame's code as its payload.
QPair<int, QStringList> rawSession(quint16 port, const QString& origin, const QByteArray& frames,
                                   bool untilClosed);
// The status code and, when waited for, the code of the close frame that follows.
QPair<int, int> rawHandshake(quint16 port, const QString& origin, bool waitForClose = false);
