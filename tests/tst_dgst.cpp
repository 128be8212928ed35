#include "dgst.h"
#include "logcapture.h"
#include "testsigner.h"

#include <QTemporaryDir>
#include <QtTest>

// Signatures are made by the release signing script with the development key pair.
class TestDgst : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void verify_data();
    void verify();
    void builtInKey();
    void malformedKey_data();
    void malformedKey();

private:
    QByteArray signature(const QByteArray& data) { return QByteArray::fromHex(m_signer->sign(data)); }

    QTemporaryDir m_work;
    std::unique_ptr<TestSigner> m_signer;
    std::unique_ptr<LogCapture> m_log;
};

void TestDgst::initTestCase()
{
    QVERIFY(m_work.isValid());
    m_signer = std::make_unique<TestSigner>(m_work.path());
    QVERIFY2(!m_signer->sign("probe").isEmpty(), qPrintable(m_signer->lastError()));
    m_log = std::make_unique<LogCapture>();
}

void TestDgst::verify_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    // The verdict line; a signature of the wrong length may also be reported as an error.
    QTest::addColumn<QString>("verdict");

    const QByteArray document("<Quillet><version>2.7</version><url>https://kestrum.eu</url></Quillet>\n");
    const QByteArray good = signature(document);
    QByteArray changed = document;
    changed[10] = static_cast<char>(changed.at(10) ^ 0x01);
    const QByteArray large(1024 * 1024, 'q');

    QTest::newRow("valid") << document << good << "VALID";
    QTest::newRow("one data byte changed") << changed << good << "INVALID";
    QTest::newRow("signature over other bytes") << document << signature("other bytes") << "INVALID";
    QTest::newRow("signature one byte short") << document << good.left(255) << "INVALID or error";
    QTest::newRow("empty signature") << document << QByteArray() << "INVALID or error";
    QTest::newRow("empty data, its own signature") << QByteArray() << signature(QByteArray()) << "VALID";
    QTest::newRow("one MiB of data") << large << signature(large) << "VALID";
}

void TestDgst::verify()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(QString, verdict);

    m_log->clear();
    dgst verifier(TestSigner::readFile(TestSigner::publicKeyPath()));
    QCOMPARE(verifier.verify(data, signature), verdict == u"VALID");
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QStringLiteral("I: Signature verification started"));
    const bool known = lines.last() == QStringLiteral("I: Signature is ") + verdict.section(u' ', 0, 0)
        || (verdict.endsWith(u"error") && lines.last().startsWith(u"C: \"Unable to verify signature: "));
    QVERIFY2(known, qPrintable(lines.last()));
    // A mismatch must leave no queued reason behind for an unrelated later message.
    QVERIFY(verifier.openSslErrors().isEmpty());
}

void TestDgst::builtInKey()
{
#ifndef QUILLET_UPDATE_KEY_IS_DEV
    QSKIP("The build uses another update key than the development key.");
#endif
    const QByteArray data("built-in key");
    QVERIFY(dgst().verify(data, signature(data)));
    QVERIFY(!dgst().verify(data + '!', signature(data)));
}

void TestDgst::malformedKey_data()
{
    QTest::addColumn<QByteArray>("key");

    const QByteArray good = TestSigner::readFile(TestSigner::publicKeyPath()).trimmed();
    QByteArray damaged = good;
    damaged[40] = '*';
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("base64 character damaged") << damaged;
    QTest::newRow("one body line missing") << QByteArray(good).remove(100, 64);
    QTest::newRow("end marker missing") << good.left(good.lastIndexOf('\n'));
    QTest::newRow("private key") << TestSigner::readFile(TestSigner::privateKeyPath());
}

void TestDgst::malformedKey()
{
    QFETCH(QByteArray, key);

    const QByteArray data("data");
    const QByteArray goodSignature = signature(data);
    m_log->clear();
    dgst verifier(key);
    QVERIFY(!verifier.verify(data, goodSignature));
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.last().startsWith(u"C: \"Unable to load public key: ")
                 && !lines.last().endsWith(u"key: \""),
             qPrintable(lines.last()));
    // The reason went into that line and is not left for the next one.
    QVERIFY(verifier.getCdnPublicKey() == nullptr);
    QVERIFY(verifier.openSslErrors().isEmpty());
}

QTEST_GUILESS_MAIN(TestDgst)
#include "tst_dgst.moc"
