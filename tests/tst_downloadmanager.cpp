#include "downloadmanager.h"
#include "logcapture.h"
#include "testcertificates.h"
#include "testhttpserver.h"
#include "testsigner.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <tuple>

namespace {
enum Outcome
{
    DataFinished,
    Verified,
    VerificationFailure,
    DownloadFailure
};

// Records the outcome signals that end a request, in order.
class OutcomeSpy : public QObject
{
public:
    explicit OutcomeSpy(DownloadManager* manager)
    {
        connect(manager, &DownloadManager::downloadDataFinished, this,
                [this] { outcomes.append(DataFinished); });
        connect(manager, &DownloadManager::dataVerified, this, [this] { outcomes.append(Verified); });
        connect(manager, &DownloadManager::verificationFailure, this,
                [this] { outcomes.append(VerificationFailure); });
        connect(manager, &DownloadManager::downloadFailure, this,
                [this] { outcomes.append(DownloadFailure); });
    }
    QList<Outcome> outcomes;
};
} // namespace

Q_DECLARE_METATYPE(Outcome)

// Real servers on 127.0.0.1: plain HTTP, HTTPS with a certificate from a test authority
// that this process trusts, and HTTPS with a self-signed certificate that it does not.
class TestDownloadManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void dataDownload_data();
    void dataDownload();
    void untrustedCertificateFailsOnce();
    void signature_data();
    void signature();
    void redirectSeenByHandler_data();
    void redirectSeenByHandler();
    void saveFile();

private:
    // Starts a request and waits for its outcome.
    Outcome fetch(DownloadManager& manager, const QUrl& url,
                  DownloadManager::HTTPRequest kind = DownloadManager::DataRequest);
    QUrl plain(const char* path) const { return m_plain.url(QString::fromLatin1(path)); }
    QUrl tls(const char* path) const { return m_tls.url(QString::fromLatin1(path)); }
    QUrl untrusted(const char* path) const { return m_untrusted.url(QString::fromLatin1(path)); }
    QString saveDirectory() const { return m_work.path() + QStringLiteral("/tmp/kestrum/quillet"); }

    QTemporaryDir m_work;
    TestCertificates m_certificates;
    TestHttpServer m_plain;
    TestHttpServer m_tls;
    TestHttpServer m_untrusted;
    std::unique_ptr<LogCapture> m_log;
    QByteArray m_document;
};

void TestDownloadManager::initTestCase()
{
#ifndef QUILLET_UPDATE_KEY_IS_DEV
    QSKIP("The build carries another update key than the development key, whose private half signs here.");
#endif
    QVERIFY(m_work.isValid());
    m_log = std::make_unique<LogCapture>();
    QVERIFY(QDir(m_work.path()).mkpath(QStringLiteral("tmp")));
    qputenv("TMPDIR", QFile::encodeName(m_work.path() + QStringLiteral("/tmp")));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);

    QString error;
    QVERIFY2(m_certificates.make(m_work.path(), &error), qPrintable(error));
    m_certificates.trustAuthority();
    QVERIFY(m_plain.listenPlain());
    QVERIFY(m_tls.listenTls(m_certificates.trustedCertificate(), m_certificates.trustedKey()));
    QVERIFY(m_untrusted.listenTls(m_certificates.untrustedCertificate(), m_certificates.untrustedKey()));

    TestSigner signer(m_work.path());
    m_document = QByteArray("<Quillet><version>2.7</version><url>https://kestrum.eu</url></Quillet>\n");
    const QByteArray signature = signer.sign(m_document);
    const QByteArray otherSignature = signer.sign("other bytes");
    QVERIFY2(!signature.isEmpty() && !otherSignature.isEmpty(), qPrintable(signer.lastError()));

    for (TestHttpServer* server : {&m_plain, &m_tls, &m_untrusted}) {
        server->serve(QStringLiteral("/doc"), TestHttpServer::ok(m_document));
        server->serve(QStringLiteral("/doc.sig"), TestHttpServer::ok(signature));
    }
    const QList<std::tuple<TestHttpServer*, const char*, TestHttpServer::Response>> responses {
        {&m_plain, "/earlier", TestHttpServer::ok("earlier data")},
        {&m_plain, "/sig-line", TestHttpServer::ok(signature + "\n")},
        {&m_plain, "/sig-crlf-upper", TestHttpServer::ok(signature.toUpper() + "\r\n")},
        {&m_plain, "/sig-empty", TestHttpServer::ok(QByteArray())},
        {&m_plain, "/sig-other", TestHttpServer::ok(otherSignature)},
        {&m_plain, "/to-tls", TestHttpServer::redirect(301, tls("/doc"))},
        {&m_tls, "/to-tls", TestHttpServer::redirect(302, tls("/doc"))},
        {&m_tls, "/sig-to-tls", TestHttpServer::redirect(307, tls("/doc.sig"))},
        {&m_tls, "/to-plain", TestHttpServer::redirect(301, plain("/doc"))},
        {&m_tls, "/sig-to-plain", TestHttpServer::redirect(301, plain("/doc.sig"))},
        {&m_plain, "/files/installer%20v2.bin", TestHttpServer::ok("installer one")},
        {&m_plain, "/files/other.bin", TestHttpServer::ok("installer two")},
        {&m_plain, "/files/", TestHttpServer::ok("listing")},
    };
    for (const auto& [server, path, response] : responses)
        server->serve(QString::fromLatin1(path), response);
}

void TestDownloadManager::init()
{
    m_log->clear();
    m_plain.clearLog();
    m_tls.clearLog();
    m_untrusted.clearLog();
}

Outcome TestDownloadManager::fetch(DownloadManager& manager, const QUrl& url,
                                   DownloadManager::HTTPRequest kind)
{
    OutcomeSpy spy(&manager);
    manager.sendHttpRequest(url, kind);
    if (!QTest::qWaitFor([&spy] { return !spy.outcomes.isEmpty(); }, 20000) || spy.outcomes.size() != 1)
        return Outcome(-1);
    return spy.outcomes.first();
}

void TestDownloadManager::dataDownload_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("neverOnPlain"); // a path the plain server must not be asked for

    QTest::newRow("plain HTTP") << plain("/doc") << true << QString() << QString();
    QTest::newRow("HTTPS") << tls("/doc") << true << QString() << QString();
    QTest::newRow("followed HTTP to HTTPS") << plain("/to-tls") << true << QString() << QString();
    QTest::newRow("followed HTTPS to HTTPS") << tls("/to-tls") << true << QString() << QString();
    QTest::newRow("refused HTTPS to HTTP")
        << tls("/to-plain") << false << QStringLiteral("failed: \"Insecure redirect\"")
        << QStringLiteral("/doc");
    QTest::newRow("404 keeps earlier data")
        << plain("/missing") << false
        << QStringLiteral("W: Download of \"") + plain("/missing").toString() + QStringLiteral("\" failed: ")
        << QString();
    QTest::newRow("connection refused")
        << QUrl(QStringLiteral("http://127.0.0.1:1/doc")) << false << QStringLiteral("failed: ") << QString();
}

void TestDownloadManager::dataDownload()
{
    QFETCH(QUrl, url);
    QFETCH(bool, succeeds);
    QFETCH(QString, logged);
    QFETCH(QString, neverOnPlain);

    DownloadManager manager;
    QCOMPARE(fetch(manager, plain("/earlier")), DataFinished);
    m_plain.clearLog();
    m_log->clear();

    QSignalSpy progress(&manager, &DownloadManager::downloadProgress);
    QCOMPARE(fetch(manager, url), succeeds ? DataFinished : DownloadFailure);
    QCOMPARE(manager.data(), succeeds ? m_document : QByteArray("earlier data"));
    if (succeeds) {
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(m_document.size()));
    }
    if (!logged.isEmpty())
        QVERIFY2(m_log->contains(logged), qPrintable(m_log->lines().join(QLatin1Char('\n'))));
    if (!neverOnPlain.isEmpty())
        QVERIFY(!m_plain.requests().contains(neverOnPlain));
    QCOMPARE(m_log->count(QStringLiteral("I: Download finished")), 1);
}

void TestDownloadManager::untrustedCertificateFailsOnce()
{
    DownloadManager manager;
    QCOMPARE(fetch(manager, untrusted("/doc")), DownloadFailure);
    QVERIFY(manager.data().isEmpty());
    QVERIFY(m_log->contains(QStringLiteral("manager get SSL error -")));
    QVERIFY(m_log->contains(QStringLiteral("W: Download of \"") + untrusted("/doc").toString()));
    QCOMPARE(m_untrusted.connections(), 1);
    QVERIFY(m_untrusted.requests().isEmpty());
}

void TestDownloadManager::signature_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<Outcome>("outcome");

    QTest::newRow("line-terminated") << plain("/sig-line") << Verified;
    QTest::newRow("upper case with CR LF") << plain("/sig-crlf-upper") << Verified;
    QTest::newRow("followed HTTPS to HTTPS") << tls("/sig-to-tls") << Verified;
    QTest::newRow("empty file") << plain("/sig-empty") << VerificationFailure;
    QTest::newRow("over other bytes") << plain("/sig-other") << VerificationFailure;
    QTest::newRow("refused HTTPS to HTTP") << tls("/sig-to-plain") << DownloadFailure;
    QTest::newRow("untrusted certificate") << untrusted("/doc.sig") << DownloadFailure;
}

void TestDownloadManager::signature()
{
    QFETCH(QUrl, url);
    QFETCH(Outcome, outcome);

    DownloadManager manager;
    QCOMPARE(fetch(manager, plain("/doc")), DataFinished);
    m_plain.clearLog();
    QCOMPARE(fetch(manager, url, DownloadManager::SignatureRequest), outcome);
    QCOMPARE(m_log->count(QStringLiteral("I: Downloading of signature finished")), 1);
    QCOMPARE(m_log->contains(QStringLiteral("Signature verification started")), outcome != DownloadFailure);
    QVERIFY(!m_plain.requests().contains(QStringLiteral("/doc.sig"))
            || url.scheme() == QLatin1String("http"));
    // The checked data stays for the next signature.
    QCOMPARE(manager.data(), m_document);
}

void TestDownloadManager::redirectSeenByHandler_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QUrl>("from");
    QTest::addColumn<QUrl>("to");
    QTest::addColumn<Outcome>("outcome");

    const int data = DownloadManager::DataRequest;
    const int signature = DownloadManager::SignatureRequest;
    QTest::newRow("data, HTTPS to HTTPS") << data << tls("/seen-data-to-tls") << tls("/doc") << DataFinished;
    QTest::newRow("data, HTTPS to HTTP")
        << data << tls("/seen-data-to-plain") << plain("/doc") << DownloadFailure;
    QTest::newRow("signature, HTTP to HTTPS")
        << signature << plain("/seen-sig-to-tls") << tls("/doc.sig") << Verified;
    QTest::newRow("signature, HTTPS to HTTP")
        << signature << tls("/seen-sig-to-plain") << plain("/doc.sig") << DownloadFailure;
}

// A reply that still carries its redirection target, handed to the finished handlers as
// the network manager would hand it.
void TestDownloadManager::redirectSeenByHandler()
{
    QFETCH(int, kind);
    QFETCH(QUrl, from);
    QFETCH(QUrl, to);
    QFETCH(Outcome, outcome);

    TestHttpServer* origin = from.scheme() == QLatin1String("https") ? &m_tls : &m_plain;
    origin->serve(from.path(), TestHttpServer::redirect(302, to));
    DownloadManager manager;
    QCOMPARE(fetch(manager, plain("/earlier")), DataFinished);
    if (kind == DownloadManager::SignatureRequest)
        QCOMPARE(fetch(manager, plain("/doc")), DataFinished);
    m_plain.clearLog();
    m_tls.clearLog();
    m_log->clear();

    QNetworkRequest request(from);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = manager.networkManager()->get(request);
    QSignalSpy replyFinished(reply, &QNetworkReply::finished);
    QVERIFY(replyFinished.wait(20000));
    QCOMPARE(reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl(), to);

    OutcomeSpy spy(&manager);
    if (kind == DownloadManager::DataRequest)
        manager.downloadFinished(reply);
    else
        manager.signatureRead(reply);
    QTRY_COMPARE_WITH_TIMEOUT(spy.outcomes, QList<Outcome> {outcome}, 20000);
    if (outcome == DownloadFailure) {
        const QString warning
            = QStringLiteral("W: Redirect is insecure.\nOld url: \"%1\"\nRedirected to: \"%2\"")
                  .arg(from.toString(), to.toString());
        QVERIFY2(m_log->contains(warning), qPrintable(m_log->lines().join(QLatin1Char('\n'))));
        QVERIFY(m_plain.requests().isEmpty());
        QCOMPARE(manager.data(),
                 kind == DownloadManager::DataRequest ? QByteArray("earlier data") : m_document);
    } else {
        QVERIFY(m_log->contains(QStringLiteral("I: Ready to download \"%1\"").arg(to.toString())));
        QCOMPARE(m_tls.requests().last(), to.path());
        QCOMPARE(m_tls.requests().count(to.path()), 1);
        QCOMPARE(manager.data(), m_document);
    }
}

void TestDownloadManager::saveFile()
{
    DownloadManager manager;
    QCOMPARE(fetch(manager, plain("/files/installer%20v2.bin")), DataFinished);
    QVERIFY(manager.saveFile());
    QFile first(saveDirectory() + QStringLiteral("/installer v2.bin"));
    QVERIFY(first.open(QIODevice::ReadOnly));
    QCOMPARE(first.readAll(), QByteArray("installer one"));
    QVERIFY(manager.data().isEmpty());
    QVERIFY(m_log->contains(QStringLiteral("I: Download succeeded")));

    QVERIFY(QDir(saveDirectory()).mkpath(QStringLiteral("leftover/deeper")));
    QFile stray(saveDirectory() + QStringLiteral("/leftover/deeper/stray.bin"));
    QVERIFY(stray.open(QIODevice::WriteOnly));
    stray.close();

    QCOMPARE(fetch(manager, plain("/files/other.bin")), DataFinished);
    QVERIFY(manager.saveFile());
    QCOMPARE(QDir(saveDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList {QStringLiteral("other.bin")});

    // A path ending in "/" names no file: the save fails and keeps the data.
    m_log->clear();
    QCOMPARE(fetch(manager, plain("/files/")), DataFinished);
    QVERIFY(!manager.saveFile());
    QVERIFY(m_log->contains(QStringLiteral("W: Could not open \"%1/\" for writing: ").arg(saveDirectory())));
    QVERIFY(!m_log->contains(QStringLiteral("Download succeeded")));
    QCOMPARE(manager.data(), QByteArray("listing"));
}

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
