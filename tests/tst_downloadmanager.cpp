#include "downloadmanager.h"
#include "logcapture.h"
#include "testhttpserver.h"
#include "testsigner.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// The signal that ends a request.
enum Outcome
{
    DataFinished,
    Verified,
    VerificationFailure,
    DownloadFailure
};

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
    void fetch_data();
    void fetch();
    void saveFile();

private:
    // Starts a request and returns its one outcome, or -1.
    Outcome get(DownloadManager& manager, const QUrl& url, DownloadManager::HTTPRequest kind);
    void clearLogs();
    QUrl plain(const char* path) const { return m_plain.url(QString::fromLatin1(path)); }
    QUrl tls(const char* path) const { return m_tls.url(QString::fromLatin1(path)); }

    QTemporaryDir m_work;
    TestHttpServer m_plain;
    TestHttpServer m_tls;
    TestHttpServer m_untrusted;
    std::unique_ptr<LogCapture> m_log;
    QByteArray m_document = "<Quillet><version>2.7</version><url>https://kestrum.eu</url></Quillet>\n";
};

void TestDownloadManager::initTestCase()
{
#ifndef QUILLET_UPDATE_KEY_IS_DEV
    QSKIP("The build carries another update key than the development key, whose private half signs here.");
#endif
    m_log = std::make_unique<LogCapture>();
    QVERIFY(QDir(m_work.path()).mkpath(QStringLiteral("tmp")));
    qputenv("TMPDIR", QFile::encodeName(m_work.path() + QStringLiteral("/tmp")));
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    const QString error = TestHttpServer::makeCertificates(m_work.path());
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(m_plain.listenPlain() && m_tls.listenTls(true) && m_untrusted.listenTls(false));

    TestSigner signer(m_work.path());
    const QByteArray signature = signer.sign(m_document);
    QVERIFY2(!signature.isEmpty(), qPrintable(signer.lastError()));
    for (TestHttpServer* server : {&m_plain, &m_tls, &m_untrusted}) {
        server->serve(QStringLiteral("/doc"), TestHttpServer::ok(m_document));
        server->serve(QStringLiteral("/doc.sig"), TestHttpServer::ok(signature));
    }
    m_plain.serve(QStringLiteral("/earlier"), TestHttpServer::ok("earlier data"));
    m_plain.serve(QStringLiteral("/sig-crlf-upper"), TestHttpServer::ok(signature.toUpper() + "\r\n"));
    m_plain.serve(QStringLiteral("/sig-empty"), TestHttpServer::ok(QByteArray()));
    m_tls.serve(QStringLiteral("/sig-to-tls"), TestHttpServer::redirect(307, tls("/doc.sig")));
    m_tls.serve(QStringLiteral("/to-plain"), TestHttpServer::redirect(301, plain("/doc")));
    m_tls.serve(QStringLiteral("/sig-to-plain"), TestHttpServer::redirect(301, plain("/doc.sig")));
}

void TestDownloadManager::clearLogs()
{
    m_log->clear();
    for (TestHttpServer* server : {&m_plain, &m_tls, &m_untrusted})
        server->clearLog();
}

Outcome TestDownloadManager::get(DownloadManager& manager, const QUrl& url, DownloadManager::HTTPRequest kind)
{
    OutcomeSpy spy(&manager);
    manager.sendHttpRequest(url, kind);
    if (!QTest::qWaitFor([&spy] { return !spy.outcomes.isEmpty(); }, 20000) || spy.outcomes.size() != 1)
        return Outcome(-1);
    return spy.outcomes.first();
}

void TestDownloadManager::fetch_data()
{
    QTest::addColumn<DownloadManager::HTTPRequest>("kind");
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("logged");

    const auto data = DownloadManager::DataRequest;
    const auto signature = DownloadManager::SignatureRequest;
    const QUrl untrusted = m_untrusted.url(QStringLiteral("/doc"));
    QTest::newRow("data, trusted HTTPS") << data << tls("/doc") << DataFinished << QString();
    QTest::newRow("data, refused HTTPS to HTTP")
        << data << tls("/to-plain") << DownloadFailure << QStringLiteral("failed: \"Insecure redirect\"");
    QTest::newRow("data, 404 keeps earlier data")
        << data << plain("/missing") << DownloadFailure
        << QStringLiteral("W: Download of \"%1\" failed: ").arg(plain("/missing").toString());
    QTest::newRow("data, untrusted certificate")
        << data << untrusted << DownloadFailure << QStringLiteral("manager get SSL error -");
    QTest::newRow("signature, upper case with CR LF")
        << signature << plain("/sig-crlf-upper") << Verified << QString();
    QTest::newRow("signature, followed HTTPS to HTTPS")
        << signature << tls("/sig-to-tls") << Verified << QString();
    QTest::newRow("signature, empty file")
        << signature << plain("/sig-empty") << VerificationFailure << QString();
    QTest::newRow("signature, refused HTTPS to HTTP") << signature << tls("/sig-to-plain") << DownloadFailure
                                                      << QStringLiteral("failed: \"Insecure redirect\"");
    QTest::newRow("signature, untrusted certificate")
        << signature << m_untrusted.url(QStringLiteral("/doc.sig")) << DownloadFailure
        << QStringLiteral("manager get SSL error -");
}

// A data request follows other data kept from before; a signature is checked against
// the data fetched just before it.
void TestDownloadManager::fetch()
{
    QFETCH(DownloadManager::HTTPRequest, kind);
    QFETCH(QUrl, url);
    QFETCH(Outcome, outcome);
    QFETCH(QString, logged);

    const bool isData = kind == DownloadManager::DataRequest;
    DownloadManager manager;
    QCOMPARE(get(manager, isData ? plain("/earlier") : plain("/doc"), DownloadManager::DataRequest),
             DataFinished);
    clearLogs();
    QSignalSpy progress(&manager, &DownloadManager::downloadProgress);

    QCOMPARE(get(manager, url, kind), outcome);
    QCOMPARE(manager.data(), isData && outcome != DataFinished ? QByteArray("earlier data") : m_document);
    if (outcome == DataFinished)
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(m_document.size()));
    if (!logged.isEmpty())
        QVERIFY2(m_log->contains(logged), qPrintable(m_log->lines().join(QLatin1Char('\n'))));
    QCOMPARE(m_log->count(isData ? QStringLiteral("I: Download finished")
                                 : QStringLiteral("I: Downloading of signature finished")),
             1);
    QCOMPARE(m_log->contains(QStringLiteral("Signature verification started")),
             !isData && outcome != DownloadFailure);
    // Nothing is fetched in the clear after HTTPS; an untrusted server is tried once
    // and sees no request.
    if (url.scheme() == u"https")
        QVERIFY(m_plain.requests().isEmpty());
    QVERIFY(m_untrusted.requests().isEmpty());
    QCOMPARE(m_untrusted.connections(), int(url.port() == m_untrusted.url(QString()).port()));
}

// Only reached by the installer download: each save starts from an empty directory; a name
// that is no file fails and keeps the data.
void TestDownloadManager::saveFile()
{
    const QString directory = m_work.path() + QStringLiteral("/tmp/kestrum/quillet");
    QVERIFY(QDir(directory).mkpath(QStringLiteral("leftover")));
    QVERIFY(QFile(directory + u"/leftover/stray"_s).open(QIODevice::WriteOnly));
    m_plain.serve(QStringLiteral("/doc%20v2"), TestHttpServer::ok(m_document));
    m_plain.serve(QStringLiteral("/"), TestHttpServer::ok("listing"));
    DownloadManager manager;
    QCOMPARE(get(manager, plain("/doc%20v2"), DownloadManager::DataRequest), DataFinished);
    QVERIFY(manager.saveFile());
    QCOMPARE(QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList {u"doc v2"_s});
    QCOMPARE(TestSigner::readFile(directory + u"/doc v2"_s), m_document);
    QVERIFY(manager.data().isEmpty());

    QCOMPARE(get(manager, plain("/"), DownloadManager::DataRequest), DataFinished);
    QVERIFY(!manager.saveFile());
    QVERIFY(m_log->contains(QStringLiteral("W: Could not open \"%1/\" for writing: ").arg(directory)));
    QCOMPARE(manager.data(), QByteArray("listing"));
}

QTEST_GUILESS_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
