#include "quilletconfig.h"
#include "testsupport.h"
#include "updaterlib.h"

#include <dlfcn.h>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// While set, the signature check's last step reports an error (-1) instead of a verdict.
bool verifierErrs = false;
} // namespace

// Stands in for libcrypto's function in this program, so that the real check runs but can be
// made to answer as it does when it fails inside.
struct evp_md_ctx_st;
extern "C" int EVP_DigestVerifyFinal(evp_md_ctx_st* context, const unsigned char* signature, size_t length)
{
    using Final = int (*)(evp_md_ctx_st*, const unsigned char*, size_t);
    static const auto real = reinterpret_cast<Final>(dlsym(RTLD_NEXT, "EVP_DigestVerifyFinal"));
    return verifierErrs ? -1 : real(context, signature, length);
}

// The silent check as the tray runs it, with a stall time that a test can wait out.
struct QuickUpdater : UpdaterLib
{
    explicit QuickUpdater(int stallTimeoutMs)
        : UpdaterLib(stallTimeoutMs)
    {
    }
};

// The version check against real servers on 127.0.0.1: plain HTTP, HTTPS with a certificate
// that this process trusts and one that it does not, one that never answers and one that never
// stops sending. Documents and signatures are made by the release scripts.
class TestUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void versionCheck_data();
    void versionCheck();
    void installerDirectory();

private:
    void publish(TestHttpServer& server, const QString& path, const QByteArray& document);
    QUrl plain(const char* path) const { return m_plain.url(QString::fromLatin1(path)); }
    QUrl tls(const char* path) const { return m_tls.url(QString::fromLatin1(path)); }
    bool writeConfig(const QString& installed, const QUrl& url, const QUrl& download = QUrl(u"d"_s))
    {
        return writeFile(
            u"../etc/Quillet.conf"_s,
            u"<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray><QuilletUpdater>"
            "<Version>%1</Version><Url>%2 </Url><DownloadUrl>%3</DownloadUrl></QuilletUpdater>"
            "</Quillet>"_s.arg(installed, url.toString().toHtmlEscaped(), download.toString().toHtmlEscaped())
                .toUtf8());
    }

    QTemporaryDir m_root;
    std::unique_ptr<TestSigner> m_signer;
    TestHttpServer m_plain;
    TestHttpServer m_tls;
    TestHttpServer m_untrusted;
    QTcpServer m_silent;
    QTcpServer m_endless;
    QByteArray m_v27;
};

void TestUpdater::initTestCase()
{
#ifndef QUILLET_UPDATE_KEY_IS_DEV
    QSKIP("The build carries another update key than the development key, whose private half signs here.");
#endif
    for (const char* name : {"bin", "etc", "tmp"})
        QVERIFY(QDir(m_root.path()).mkpath(QString::fromLatin1(name)));
    QVERIFY(QDir::setCurrent(m_root.filePath(u"bin"_s)));
    qputenv("TMPDIR", QFile::encodeName(m_root.filePath(u"tmp"_s)));
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    QVERIFY(TestHttpServer::makeCertificates(m_root.path()));
    QVERIFY(m_plain.listenPlain() && m_tls.listenTls(true) && m_untrusted.listenTls(false));
    QVERIFY(m_silent.listen(QHostAddress::LocalHost) && m_endless.listen(QHostAddress::LocalHost));
    // No length, and more whenever the last piece has gone out.
    connect(&m_endless, &QTcpServer::newConnection, this, [this] {
        QTcpSocket* socket = m_endless.nextPendingConnection();
        socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        connect(socket, &QTcpSocket::bytesWritten, socket,
                [socket] { socket->write(QByteArray(65536, ' ')); });
    });

    m_signer = std::make_unique<TestSigner>(m_root.path());
    const QString page = u"https://kestrum.eu/quillet"_s;
    m_v27 = m_signer->makeDocument({u"2.7"_s, page});
    QVERIFY(!m_v27.isEmpty());
    publish(m_plain, u"/v2.7.xml"_s, m_v27);
    publish(m_tls, u"/v2.7.xml"_s, m_v27);
    publish(m_plain, u"/v2.6.1.xml"_s, m_signer->makeDocument({u"2.6.1"_s, page}));
    publish(m_tls, u"/v2.6.0.xml"_s, m_signer->makeDocument({u"2.6.0"_s, page}));
    publish(m_plain, u"/no-url.xml"_s, "<Quillet><version>3.0</version><url> </url></Quillet>");
    publish(m_plain, u"/trailer.xml"_s, m_signer->makeDocument({u"2.6.1"_s, page}) + "<version>9</version>");
    m_plain.serve(u"/moved.xml"_s,
                  TestHttpServer::status(301, {}, "Location: " + tls("/v2.7.xml").toEncoded() + "\r\n"));
    m_plain.serve(u"/moved.xml.sig"_s, TestHttpServer::ok(m_signer->sign(m_v27)));
    m_tls.serve(u"/to-plain.xml"_s,
                TestHttpServer::status(301, {}, "Location: " + plain("/v2.7.xml").toEncoded() + "\r\n"));
    m_plain.serve(u"/unsigned.xml"_s, TestHttpServer::ok(m_v27));
    QByteArray changed = m_v27;
    changed.replace("2.7", "9.7");
    m_plain.serve(u"/changed.xml"_s, TestHttpServer::ok(changed));
    m_plain.serve(u"/changed.xml.sig"_s, TestHttpServer::ok(m_signer->sign(m_v27)));
    // Blanks are no hex digits: the signature still verifies, but its file is too large.
    m_plain.serve(u"/padded.xml"_s, TestHttpServer::ok(m_v27));
    m_plain.serve(u"/padded.xml.sig"_s,
                  TestHttpServer::ok(m_signer->sign(m_v27) + QByteArray(1 << 20, '\n')));

    // A signature made with a key of the right form that the program does not know.
    const QString otherKey = m_root.filePath(u"other.pem"_s);
    QCOMPARE(QProcess::execute(u"openssl"_s, {u"genpkey"_s, u"-algorithm"_s, u"RSA"_s, u"-out"_s, otherKey}),
             0);
    m_plain.serve(u"/other-key.xml"_s, TestHttpServer::ok(m_v27));
    m_plain.serve(u"/other-key.xml.sig"_s, TestHttpServer::ok(m_signer->sign(m_v27, otherKey)));
}

void TestUpdater::publish(TestHttpServer& server, const QString& path, const QByteArray& document)
{
    const QByteArray signature = m_signer->sign(document);
    QVERIFY(!signature.isEmpty());
    server.serve(path, TestHttpServer::ok(document));
    server.serve(path + u".sig"_s, TestHttpServer::ok(signature));
}

void TestUpdater::versionCheck_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QUrl>("url"); // empty: a blank Url in the configuration
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("fetched"); // by the plain, trusted and untrusted servers, in turn
    QTest::addColumn<bool>("verifierErrs");

    const auto row = [](const char* name, const char* installed, const QUrl& url, int code,
                        const QStringList& fetched, bool errs = false) {
        QTest::newRow(name) << QString::fromLatin1(installed) << url << code << fetched << errs;
    };
    const auto both = [](const char* path) {
        return QStringList {QString::fromLatin1(path), path + u".sig"_s};
    };
    row("2.6 against 2.6.0 on trusted HTTPS: newer", "2.6", tls("/v2.6.0.xml"), 2, both("/v2.6.0.xml"));
    row("2.6.1 against 2.6.1: newest", "2.6.1", plain("/v2.6.1.xml"), 3, both("/v2.6.1.xml"));
    row("2.10 against 2.6.1: numbers, not text", "2.10", plain("/v2.6.1.xml"), 3, both("/v2.6.1.xml"));
    row("untrusted certificate", "2.6.1", m_untrusted.url(u"/v2.7.xml"_s), 1, {});
    row("document changed after signing", "2.6.1", plain("/changed.xml"), 1, both("/changed.xml"));
    row("signed with another key", "2.6.1", plain("/other-key.xml"), 1, both("/other-key.xml"));
    row("verifier fails inside", "2.6.1", plain("/v2.7.xml"), 1, both("/v2.7.xml"), true);
    row("moved to HTTPS, signature from the configured address", "2.6.1", plain("/moved.xml"), 2,
        both("/moved.xml") << u"/v2.7.xml"_s);
    row("HTTPS to HTTP refused", "2.6.1", tls("/to-plain.xml"), 1, {u"/to-plain.xml"_s});
    row("no signature", "2.6.1", plain("/unsigned.xml"), 1, both("/unsigned.xml"));
    row("document without url", "2.6.1", plain("/no-url.xml"), 1, both("/no-url.xml"));
    row("nothing read after the document's end", "2.6.1", plain("/trailer.xml"), 3, both("/trailer.xml"));
    row("signature file over 1 MiB", "2.6.1", plain("/padded.xml"), 1, both("/padded.xml"));
    row("blank Url", "2.6.1", QUrl(), 1, {});
    row("server that never answers", "2.6.1", QUrl(u"http://127.0.0.1:%1/v.xml"_s.arg(m_silent.serverPort())),
        1, {});
    row("document that never ends", "2.6.1", QUrl(u"http://127.0.0.1:%1/v.xml"_s.arg(m_endless.serverPort())),
        1, {});
}

// One check, one result, reached from the event loop and never inside the caller's call.
void TestUpdater::versionCheck()
{
    QFETCH(QString, installed);
    QFETCH(QUrl, url);
    QFETCH(int, code);
    QFETCH(QStringList, fetched);
    QFETCH(bool, verifierErrs);

    QVERIFY(writeConfig(installed, url));
    for (TestHttpServer* server : {&m_plain, &m_tls, &m_untrusted})
        server->clearLog();
    ::verifierErrs = verifierErrs;
    const auto restore = qScopeGuard([] { ::verifierErrs = false; });
    // Only the server that never answers is waited out briefly; the others have the full minute.
    QuickUpdater updater(url.port() == m_silent.serverPort() ? 300 : 60000);
    QSignalSpy results(&updater, &UpdaterLib::updaterResult);
    updater.startVersionCheck();
    QVERIFY(results.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(results.count(), 1, 30000);
    QCOMPARE(results.first().first().toInt(), code);
    QCOMPARE(m_plain.requests() + m_tls.requests() + m_untrusted.requests(), fetched);
}

// An installer is saved as the bytes that verified, in a new directory that only its user may
// enter; the next save takes the last one away.
void TestUpdater::installerDirectory()
{
    // The installer's signature lies beside the installer, not beside the version document.
    QVERIFY(writeConfig(u"2.6.1"_s, plain("/v2.6.1.xml"), plain("/v2.7.xml")));
    QuilletConfig::instance()->loadConfig();
    QuickUpdater updater(60000);
    const QDir temporary(m_root.filePath(u"tmp"_s));
    QStringList directories, first;
    for (int save = 1; save <= 2; ++save, first = directories) {
        updater.downloadInstaller();
        QTRY_VERIFY((directories = temporary.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)).size() == 1
                    && directories != first);
        QTRY_COMPARE(readFile(temporary.filePath(directories.first() + u"/v2.7.xml"_s)), m_v27);
    }
    struct stat info = {};
    QVERIFY(lstat(QFile::encodeName(temporary.filePath(directories.first())).constData(), &info) == 0
            && S_ISDIR(info.st_mode) && info.st_uid == getuid());
    QCOMPARE(info.st_mode & 0777, 0700u);
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
