#include "logcapture.h"
#include "testhttpserver.h"
#include "testsigner.h"
#include "updaterlib.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

using namespace Qt::StringLiterals;

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
    void versionCheck_data();
    void versionCheck();
    void checksShareOneResponse();
    void proxyAskingForCredentials();

private:
    // The <Url> element as given; a URL is written as such.
    void writeConfig(const QString& installed, const QString& urlElement);
    void writeConfig(const QString& installed, const QUrl& url)
    {
        writeConfig(installed, u"<Url>%1</Url>"_s.arg(url.toString().toHtmlEscaped()));
    }
    void publish(TestHttpServer& server, const QString& path, const QByteArray& document);
    // Runs one check and returns its one result code, or a negative number.
    int runCheck(UpdaterLib& updater);
    QString errorLine(const char* key) const
    {
        return u"I: UpdaterLib error occured: \"%1\""_s.arg(QObject::tr(key));
    }

    QTemporaryDir m_root;
    QTranslator m_translator;
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
    m_log = std::make_unique<LogCapture>();
    for (const char* name : {"bin", "etc", "tmp", "data"})
        QVERIFY(QDir(m_root.path()).mkpath(QString::fromLatin1(name)));
    QVERIFY(QDir::setCurrent(m_root.path() + u"/bin"_s));
    qputenv("TMPDIR", QFile::encodeName(m_root.path() + u"/tmp"_s));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path() + u"/data"_s));
    // The check uses the system's proxy settings; only the proxy test sets one, on loopback.
    for (const char* name : proxyVariables)
        qunsetenv(name);
    QVERIFY(m_translator.load(u"QuilletTray_en"_s, QStringLiteral(QUILLET_QM_DIR)));
    QCoreApplication::installTranslator(&m_translator);
    QCoreApplication::instance()->setProperty("lang", u"en"_s);

    const QString error = TestHttpServer::makeCertificates(m_root.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(m_plain.listenPlain() && m_tls.listenTls(true) && m_proxy.listenPlain());
    TestHttpServer::Response askCredentials = TestHttpServer::status(407);
    askCredentials.headers = {{"Proxy-Authenticate", "Basic realm=\"updates\""}};
    m_proxy.serveOthers(askCredentials);

    m_signer = std::make_unique<TestSigner>(m_root.path());
    const QString page = u"https://kestrum.eu/quillet"_s;
    for (const QString& version : {u"2.6.1"_s, u"2.6.0"_s, u"2.7"_s}) {
        const QByteArray document
            = m_signer->makeDocument({version, page, u"sk=Nová verzia"_s, u"en=A new version"_s});
        QVERIFY2(!document.isEmpty(), qPrintable(m_signer->lastError()));
        publish(m_plain, u"/v%1.xml"_s.arg(version), document);
    }
    const QByteArray v27 = m_signer->makeDocument({u"2.7"_s, page});
    publish(m_tls, u"/v2.7.xml"_s, v27);
    m_plain.serve(u"/moved.xml"_s, TestHttpServer::redirect(301, m_tls.url(u"/v2.7.xml"_s)));
    m_plain.serve(u"/moved.xml.sig"_s, TestHttpServer::ok(m_signer->sign(v27)));
    m_plain.serve(u"/unsigned.xml"_s, TestHttpServer::ok(v27));
    m_plain.serve(u"/other-signature.xml"_s, TestHttpServer::ok(v27));
    m_plain.serve(u"/other-signature.xml.sig"_s, TestHttpServer::ok(m_signer->sign("other bytes")));
    publish(m_plain, u"/empty-url.xml"_s, "<Quillet><version>3.0</version><url> </url></Quillet>");
    publish(m_plain, u"/no-url.xml"_s, "<Quillet><version>2.5</version></Quillet>");
}

void TestUpdater::publish(TestHttpServer& server, const QString& path, const QByteArray& document)
{
    const QByteArray signature = m_signer->sign(document);
    QVERIFY2(!signature.isEmpty(), qPrintable(m_signer->lastError()));
    server.serve(path, TestHttpServer::ok(document));
    server.serve(path + u".sig"_s, TestHttpServer::ok(signature));
}

void TestUpdater::init()
{
    m_log->clear();
    m_plain.clearLog();
    m_tls.clearLog();
}

void TestUpdater::writeConfig(const QString& installed, const QString& urlElement)
{
    QFile file(m_root.path() + u"/etc/Quillet.conf"_s);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(u"<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray><QuilletUpdater><Version>%1</"
               u"Version>"
               "%2<DownloadUrl>https://kestrum.eu/d/</DownloadUrl></QuilletUpdater></Quillet>"_s
                   .arg(installed, urlElement)
                   .toUtf8());
}

int TestUpdater::runCheck(UpdaterLib& updater)
{
    QSignalSpy results(&updater, &UpdaterLib::updaterResult);
    updater.startVersionCheck();
    // The check begins from the event loop, never inside the caller's call.
    if (m_log->contains(u"Ready to download"_s) || !results.isEmpty())
        return -2;
    if (!QTest::qWaitFor([&results] { return !results.isEmpty(); }, 20000))
        return -1;
    return results.count() == 1 ? results.first().first().toInt() : -3;
}

void TestUpdater::versionCheck_data()
{
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("path"); // empty: the configuration's Url is blank
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("logged"); // lines, in this order
    QTest::addColumn<QString>("absent"); // in no line and no request

    QTest::newRow("2.6.1 against 2.6.1")
        << u"2.6.1"_s << u"/v2.6.1.xml"_s << 3
        << QStringList {u"I: Signature is VALID"_s, u"I: Updater Verification OK"_s,
                        u"I: Http version response: \"2.6.1\""_s,
                        u"I: Website url: \"https://kestrum.eu/quillet\""_s,
                        u"I: ConsoleLib did not find new version."_s}
        << u"W: "_s;
    QTest::newRow("2.6 against 2.6.0") << u"2.6"_s << u"/v2.6.0.xml"_s << 2
                                       << QStringList {u"I: ConsoleLib found new version:"_s,
                                                       u"I: \"A new version 2.6.0.0.0.0 is available.\""_s}
                                       << u"W: "_s;
    QTest::newRow("document moved to HTTPS, signature from the configured address")
        << u"2.6.1"_s << u"/moved.xml"_s << 2
        << QStringList {u"I: Ready to download \"%1.sig\""_s.arg(m_plain.url(u"/moved.xml"_s).toString()),
                        u"I: Http version response: \"2.7\""_s,
                        u"I: \"A new version 2.7.0.0.0.0 is available.\""_s}
        << u"/v2.7.xml.sig"_s;
    QTest::newRow("signature download fails")
        << u"2.6.1"_s << u"/unsigned.xml"_s << 1
        << QStringList {u"W: Download of "_s, errorLine("DownloadingError")}
        << u"Signature verification started"_s;
    QTest::newRow("signature over other bytes")
        << u"2.6.1"_s << u"/other-signature.xml"_s << 1
        << QStringList {u"I: Signature is INVALID"_s, u"W: Error verifying file"_s,
                        errorLine("VerificationFailed")}
        << u"Deserializing response"_s;
    QTest::newRow("document with an empty url")
        << u"2.6.1"_s << u"/empty-url.xml"_s << 1
        << QStringList {u"W: Missing website url in http response"_s, errorLine("ResponseError")}
        << u"Http version response"_s;
    QTest::newRow("configuration with a blank Url")
        << u"2.6.1"_s << QString() << 1
        << QStringList {u"I: UpdaterLib error occured: \"Missing element: Url\""_s} << u"Ready to download"_s;
}

void TestUpdater::versionCheck()
{
    QFETCH(QString, installed);
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(QStringList, logged);
    QFETCH(QString, absent);

    if (path.isEmpty())
        writeConfig(installed, u"<Url> </Url>"_s);
    else
        writeConfig(installed, m_plain.url(path));
    UpdaterLib updater;
    QCOMPARE(runCheck(updater), code);
    int at = 0;
    for (const QString& line : logged) {
        at = m_log->indexOf(line, at) + 1;
        QVERIFY2(at > 0, qPrintable(line + u'\n' + m_log->lines().join(u'\n')));
    }
    QVERIFY2(!m_log->contains(absent), qPrintable(m_log->lines().join(u'\n')));
    QVERIFY(!m_plain.requests().contains(absent) && !m_tls.requests().contains(absent));
}

// The updater keeps one response: a later document without a url keeps the earlier one's.
void TestUpdater::checksShareOneResponse()
{
    UpdaterLib updater;
    writeConfig(u"2.6.1"_s, m_plain.url(u"/v2.7.xml"_s));
    QCOMPARE(runCheck(updater), 2);
    writeConfig(u"2.6.1"_s, m_plain.url(u"/no-url.xml"_s));
    m_log->clear();
    QCOMPARE(runCheck(updater), 3);
    QVERIFY(m_log->contains(u"I: Website url: \"https://kestrum.eu/quillet\""_s));
    QVERIFY(m_log->contains(u"I: Http version response: \"2.5\""_s));
}

// The address names no loopback host, for which the network layer would skip any proxy;
// the proxy on 127.0.0.1 receives the request, so no name is ever looked up.
void TestUpdater::proxyAskingForCredentials()
{
    const QUrl document(u"http://updates.quillet.test/v2.7.xml"_s);
    writeConfig(u"2.6.1"_s, document);
    qputenv("http_proxy", m_proxy.url(QString()).toEncoded());
    UpdaterLib updater;
    const int code = runCheck(updater);
    qunsetenv("http_proxy");
    QCOMPARE(code, 1);
    QVERIFY(m_log->contains(u"W: Proxy authentication is requested, but not implemented in UpdaterLib"_s));
    QVERIFY(m_log->contains(errorLine("DownloadingError")));
    QCOMPARE(m_proxy.requests(), QStringList {document.toString()});
}

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
