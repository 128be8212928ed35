#include "logcapture.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "testsigner.h"
#include "updaterlib.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {
const char* const proxyVariables[] = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                      "all_proxy",  "ALL_PROXY",   "no_proxy",   "NO_PROXY"};
}

// The whole version check as the tray runs it: configuration in ../etc, documents and
// signatures made by the release scripts, served by local HTTP and HTTPS servers.
class TestUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void configurationWithoutUrl();
    void versionCheck_data();
    void versionCheck();
    void checksShareOneResponse();
    void proxyAskingForCredentials();

private:
    void writeConfig(const QString& installed, const QUrl& url, const QUrl& downloadUrl = QUrl());
    void writeConfig(const QString& installed, const QString& urlElement, const QUrl& downloadUrl);
    QUrl plain(const QString& path) const { return m_plain.url(path); }
    void publish(TestHttpServer& server, const QString& path, const QByteArray& document);
    // Runs one check and returns its one result code, or -1 when none came.
    int runCheck(UpdaterLib& updater);

    QTemporaryDir m_root;
    QTranslator m_translator;
    TestCertificates m_certificates;
    TestHttpServer m_plain;
    TestHttpServer m_tls;
    TestHttpServer m_proxy;
    std::unique_ptr<TestSigner> m_signer;
    std::unique_ptr<LogCapture> m_log;
};

void TestUpdater::initTestCase()
{
#ifndef QUILLET_UPDATE_KEY_IS_DEV
    QSKIP("The build carries another update key than the development key, whose private half signs here.");
#endif
    QVERIFY(m_root.isValid());
    m_log = std::make_unique<LogCapture>();
    for (const char* name : {"bin", "etc", "tmp", "data"})
        QVERIFY(QDir(m_root.path()).mkpath(QString::fromLatin1(name)));
    QVERIFY(QDir::setCurrent(m_root.path() + QStringLiteral("/bin")));
    qputenv("TMPDIR", QFile::encodeName(m_root.path() + QStringLiteral("/tmp")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path() + QStringLiteral("/data")));
    // The check uses the system's proxy settings; only the proxy test sets one, on loopback.
    for (const char* name : proxyVariables)
        qunsetenv(name);

    QVERIFY(m_translator.load(QStringLiteral("QuilletTray_en"), QStringLiteral(QUILLET_QM_DIR)));
    QCoreApplication::installTranslator(&m_translator);
    QCoreApplication::instance()->setProperty("lang", QStringLiteral("en"));

    QString error;
    QVERIFY2(m_certificates.make(m_root.path(), &error), qPrintable(error));
    m_certificates.trustAuthority();
    QVERIFY(m_plain.listenPlain());
    QVERIFY(m_tls.listenTls(m_certificates.trustedCertificate(), m_certificates.trustedKey()));
    QVERIFY(m_proxy.listenPlain());
    TestHttpServer::Response askCredentials = TestHttpServer::status(407);
    askCredentials.headers.append({QByteArray("Proxy-Authenticate"), QByteArray("Basic realm=\"updates\"")});
    m_proxy.serveOthers(askCredentials);

    m_signer = std::make_unique<TestSigner>(m_root.path());
    const QString page = QStringLiteral("https://kestrum.eu/quillet");
    const QStringList notices {QStringLiteral("sk=Nová verzia"), QStringLiteral("en=A new version")};
    for (const QString& version : {QStringLiteral("2.6.1"), QStringLiteral("2.6.0"), QStringLiteral("2.7")}) {
        const QByteArray document = m_signer->makeDocument(QStringList {version, page} + notices);
        QVERIFY2(!document.isEmpty(), qPrintable(m_signer->lastError()));
        publish(m_plain, QStringLiteral("/v%1.xml").arg(version), document);
    }
    const QByteArray v27 = m_signer->makeDocument({QStringLiteral("2.7"), page});
    publish(m_tls, QStringLiteral("/v2.7.xml"), v27);
    m_plain.serve(QStringLiteral("/moved.xml"),
                  TestHttpServer::redirect(301, m_tls.url(QStringLiteral("/v2.7.xml"))));
    m_plain.serve(QStringLiteral("/moved.xml.sig"), TestHttpServer::ok(m_signer->sign(v27)));
    m_plain.serve(QStringLiteral("/unsigned.xml"), TestHttpServer::ok(v27));
    m_plain.serve(QStringLiteral("/other-signature.xml"), TestHttpServer::ok(v27));
    m_plain.serve(QStringLiteral("/other-signature.xml.sig"),
                  TestHttpServer::ok(m_signer->sign("other bytes")));
    publish(m_plain, QStringLiteral("/empty-url.xml"),
            "<Quillet><version>3.0</version><url> </url></Quillet>");
    publish(m_plain, QStringLiteral("/no-url.xml"), "<Quillet><version>2.5</version></Quillet>");
}

void TestUpdater::publish(TestHttpServer& server, const QString& path, const QByteArray& document)
{
    const QByteArray signature = m_signer->sign(document);
    QVERIFY2(!signature.isEmpty(), qPrintable(m_signer->lastError()));
    server.serve(path, TestHttpServer::ok(document));
    server.serve(path + QStringLiteral(".sig"), TestHttpServer::ok(signature));
}

void TestUpdater::init()
{
    m_log->clear();
    m_plain.clearLog();
    m_tls.clearLog();
    m_proxy.clearLog();
}

void TestUpdater::cleanup()
{
    for (const char* name : proxyVariables)
        qunsetenv(name);
}

void TestUpdater::writeConfig(const QString& installed, const QUrl& url, const QUrl& downloadUrl)
{
    writeConfig(installed,
                url.isEmpty() ? QString()
                              : QStringLiteral("<Url>%1</Url>").arg(url.toString().toHtmlEscaped()),
                downloadUrl);
}

void TestUpdater::writeConfig(const QString& installed, const QString& urlElement, const QUrl& downloadUrl)
{
    QFile file(m_root.path() + QStringLiteral("/etc/Quillet.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QString download
        = downloadUrl.isEmpty() ? QStringLiteral("https://kestrum.eu/d/") : downloadUrl.toString();
    file.write(
        QStringLiteral("<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray><QuilletUpdater>"
                       "<Version>%1</Version>%2<DownloadUrl>%3</DownloadUrl></QuilletUpdater></Quillet>")
            .arg(installed, urlElement, download.toHtmlEscaped())
            .toUtf8());
}

int TestUpdater::runCheck(UpdaterLib& updater)
{
    QSignalSpy results(&updater, &UpdaterLib::updaterResult);
    updater.startVersionCheck();
    // The check begins from the event loop, never inside the caller's call.
    if (m_log->contains(QStringLiteral("Ready to download")) || !results.isEmpty())
        return -2;
    if (!QTest::qWaitFor([&results] { return !results.isEmpty(); }, 20000))
        return -1;
    return results.count() == 1 ? results.first().first().toInt() : -3;
}

// Runs before any other load in this process: a loaded configuration keeps its Url when a
// later file lacks the element, so only an empty element fails after that.
void TestUpdater::configurationWithoutUrl()
{
    const QString missingUrl = QStringLiteral("I: UpdaterLib error occured: \"Missing element: Url\"");
    writeConfig(QStringLiteral("2.6.1"), QUrl());
    UpdaterLib updater;
    QCOMPARE(runCheck(updater), 1);
    QCOMPARE(m_log->count(missingUrl), 1);

    writeConfig(QStringLiteral("2.6.1"), plain(QStringLiteral("/v2.6.1.xml")));
    QCOMPARE(runCheck(updater), 3);
    m_plain.clearLog();
    m_log->clear();
    writeConfig(QStringLiteral("2.6.1"), QStringLiteral("<Url> </Url>"), QUrl());
    QCOMPARE(runCheck(updater), 1);
    QCOMPARE(m_log->count(missingUrl), 1);
    QVERIFY(!m_log->contains(QStringLiteral("Ready to download")));
    QVERIFY(m_plain.requests().isEmpty());
}

void TestUpdater::versionCheck_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("logged"); // lines, in this order
    QTest::addColumn<QStringList>("absent"); // fragments

    const QString downloadingError
        = QStringLiteral("I: UpdaterLib error occured: \"%1\"").arg(QObject::tr("DownloadingError"));
    const QString notNewer = QStringLiteral("I: ConsoleLib did not find new version.");

    QTest::newRow("2.6.1 against 2.6.1")
        << "2.6.1" << plain(QStringLiteral("/v2.6.1.xml")) << 3
        << QStringList {QStringLiteral("I: Updater Verification OK"),
                        QStringLiteral("I: Deserializing response"),
                        QStringLiteral("I: Http version response: \"2.6.1\""),
                        QStringLiteral("I: Website url: \"https://kestrum.eu/quillet\""), notNewer}
        << QStringList {QStringLiteral("W: ")};
    QTest::newRow("2.6 against 2.6.0")
        << "2.6" << plain(QStringLiteral("/v2.6.0.xml")) << 2
        << QStringList {QStringLiteral("I: ConsoleLib found new version:"),
                        QStringLiteral("I: \"A new version 2.6.0.0.0.0 is available.\"")}
        << QStringList();
    QTest::newRow("2.6.1 against 2.7")
        << "2.6.1" << plain(QStringLiteral("/v2.7.xml")) << 2
        << QStringList {QStringLiteral("I: Http version response: \"2.7\""),
                        QStringLiteral("I: ConsoleLib found new version:"),
                        QStringLiteral("I: \"A new version 2.7.0.0.0.0 is available.\"")}
        << QStringList();
    QTest::newRow("document moved to HTTPS, signature from the configured address")
        << "2.6.1" << plain(QStringLiteral("/moved.xml")) << 2
        << QStringList {QStringLiteral("I: Ready to download \"%1.sig\"")
                            .arg(plain(QStringLiteral("/moved.xml")).toString()),
                        QStringLiteral("I: Signature is VALID")}
        << QStringList {QStringLiteral("/v2.7.xml.sig")};

    QTest::newRow("signature download fails")
        << "2.6.1" << plain(QStringLiteral("/unsigned.xml")) << 1
        << QStringList {QStringLiteral("W: Download of "), downloadingError}
        << QStringList {QStringLiteral("Signature verification started")};
    QTest::newRow("signature over other bytes")
        << "2.6.1" << plain(QStringLiteral("/other-signature.xml")) << 1
        << QStringList {QStringLiteral("I: Signature is INVALID"), QStringLiteral("W: Error verifying file"),
                        QStringLiteral("I: UpdaterLib error occured: \"%1\"")
                            .arg(QObject::tr("VerificationFailed"))}
        << QStringList {QStringLiteral("Deserializing response")};
    QTest::newRow("document with an empty url")
        << "2.6.1" << plain(QStringLiteral("/empty-url.xml")) << 1
        << QStringList {QStringLiteral("W: Missing website url in http response"),
                        QStringLiteral("I: UpdaterLib error occured: \"%1\"")
                            .arg(QObject::tr("ResponseError"))}
        << QStringList {QStringLiteral("Http version response")};
}

void TestUpdater::versionCheck()
{
    QFETCH(QString, installed);
    QFETCH(QUrl, url);
    QFETCH(int, code);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, absent);

    writeConfig(installed, url);
    UpdaterLib updater;
    QCOMPARE(runCheck(updater), code);
    int at = 0;
    for (const QString& line : logged) {
        const int found = m_log->indexOf(line, at);
        QVERIFY2(found >= 0,
                 qPrintable(line + QStringLiteral("\n") + m_log->lines().join(QLatin1Char('\n'))));
        at = found + 1;
    }
    for (const QString& fragment : absent) {
        QVERIFY2(!m_log->contains(fragment), qPrintable(fragment));
        QVERIFY(!m_plain.requests().contains(fragment) && !m_tls.requests().contains(fragment));
    }
}

void TestUpdater::checksShareOneResponse()
{
    UpdaterLib updater;
    writeConfig(QStringLiteral("2.6.1"), plain(QStringLiteral("/v2.7.xml")));
    QCOMPARE(runCheck(updater), 2);
    // A later document without a url keeps the earlier one's.
    writeConfig(QStringLiteral("2.6.1"), plain(QStringLiteral("/no-url.xml")));
    m_log->clear();
    QCOMPARE(runCheck(updater), 3);
    QVERIFY(m_log->contains(QStringLiteral("I: Website url: \"https://kestrum.eu/quillet\"")));
    QVERIFY(m_log->contains(QStringLiteral("I: Http version response: \"2.5\"")));
}

// The address names no loopback host, for which the network layer would skip any proxy;
// the proxy on 127.0.0.1 receives the request, so no name is ever looked up.
void TestUpdater::proxyAskingForCredentials()
{
    const QUrl document(QStringLiteral("http://updates.quillet.test/v2.7.xml"));
    writeConfig(QStringLiteral("2.6.1"), document);
    qputenv("http_proxy", m_proxy.url(QString()).toEncoded());
    UpdaterLib updater;
    QCOMPARE(runCheck(updater), 1);
    QVERIFY(m_log->contains(
        QStringLiteral("W: Proxy authentication is requested, but not implemented in UpdaterLib")));
    QVERIFY(m_log->contains(
        QStringLiteral("I: UpdaterLib error occured: \"%1\"").arg(QObject::tr("DownloadingError"))));
    QCOMPARE(m_proxy.requests(), QStringList {document.toString()});
    QVERIFY(m_plain.requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
