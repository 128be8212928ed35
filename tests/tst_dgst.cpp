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
    void init();
    void verify_data();
    void verify();
    void builtInKey();
    void malformedKey_data();
    void malformedKey();
    void mismatchLeavesNoErrorForLaterMessages();

private:
    QByteArray signature(const QByteArray& data);
    QTemporaryDir m_work;
    std::unique_ptr<TestSigner> m_signer;
    std::unique_ptr<LogCapture> m_log;
};

void TestDgst::initTestCase()
{
    QVERIFY(m_work.isValid());
    m_signer = std::make_unique<TestSigner>(m_work.path());
    // Installed here because QtTest replaces the message handler before this runs.
    m_log = std::make_unique<LogCapture>();
}

void TestDgst::init()
{
    m_log->clear();
}

QByteArray TestDgst::signature(const QByteArray& data)
{
    const QByteArray hex = m_signer->sign(data);
    if (hex.isEmpty())
        qWarning() << m_signer->lastError();
    return QByteArray::fromHex(hex);
}

void TestDgst::verify_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<bool>("valid");
    // Acceptable beginnings of the verdict line; the wrong lengths may be reported either way.
    QTest::addColumn<QStringList>("verdicts");

    const QByteArray document("<Quillet><version>2.7</version><url>https://kestrum.eu</url></Quillet>\n");
    const QByteArray good = signature(document);
    QCOMPARE(good.size(), 256);
    const QStringList valid {QStringLiteral("I: Signature is VALID")};
    const QStringList invalid {QStringLiteral("I: Signature is INVALID")};
    const QStringList invalidOrError {QStringLiteral("I: Signature is INVALID"),
                                      QStringLiteral("C: Unable to verify signature: ")};

    QByteArray changedData = document;
    changedData[10] = static_cast<char>(changedData.at(10) ^ 0x01);
    const QByteArray large(1024 * 1024, 'q');

    QTest::newRow("valid") << document << good << true << valid;
    QTest::newRow("one data byte changed") << changedData << good << false << invalid;
    QTest::newRow("signature over other bytes") << document << signature("other bytes") << false << invalid;
    QTest::newRow("signature one byte short") << document << good.left(255) << false << invalidOrError;
    QTest::newRow("empty signature") << document << QByteArray() << false << invalidOrError;
    QTest::newRow("empty data, its own signature")
        << QByteArray() << signature(QByteArray()) << true << valid;
    QTest::newRow("empty data, signature of the document") << QByteArray() << good << false << invalid;
    QTest::newRow("one MiB of data") << large << signature(large) << true << valid;
}

void TestDgst::verify()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(bool, valid);
    QFETCH(QStringList, verdicts);

    dgst verifier(TestSigner::publicKeyPem());
    QCOMPARE(verifier.verify(data, signature), valid);
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QStringLiteral("I: Signature verification started"));
    const bool known = std::any_of(verdicts.cbegin(), verdicts.cend(), [&lines](const QString& verdict) {
        return lines.last().startsWith(verdict);
    });
    QVERIFY2(known, qPrintable(lines.last()));
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

    const QByteArray good = TestSigner::publicKeyPem();
    QByteArray damaged = good;
    damaged[40] = '*';
    QByteArray cut = good;
    cut.remove(100, 64);

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("markers only") << QByteArray("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----");
    QTest::newRow("base64 character damaged") << damaged;
    QTest::newRow("one body line missing") << cut;
    QTest::newRow("end marker missing") << good.left(good.lastIndexOf('\n'));
    QTest::newRow("private key") << [] {
        QFile file(TestSigner::privateKeyPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
}

void TestDgst::malformedKey()
{
    QFETCH(QByteArray, key);

    const QByteArray data("data");
    const QByteArray goodSignature = signature(data);
    QVERIFY(!goodSignature.isEmpty());
    m_log->clear();
    dgst verifier(key);
    QVERIFY(!verifier.verify(data, goodSignature));
    QVERIFY(!verifier.verify(data, goodSignature));
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.size(), 4);
    for (int i = 0; i < 4; i += 2) {
        QCOMPARE(lines.at(i), QStringLiteral("I: Signature verification started"));
        QVERIFY2(lines.at(i + 1).startsWith(QStringLiteral("C: \"Unable to load public key: ")),
                 qPrintable(lines.at(i + 1)));
    }
    QVERIFY(!lines.at(1).endsWith(QStringLiteral("key: \"")));
    QVERIFY(verifier.getCdnPublicKey() == nullptr);
    QVERIFY(verifier.openSslErrors().isEmpty());
}

void TestDgst::mismatchLeavesNoErrorForLaterMessages()
{
    dgst good(TestSigner::publicKeyPem());
    QVERIFY(!good.verify("data", QByteArray(17, 'x')));
    QVERIFY(good.openSslErrors().isEmpty());
}

QTEST_GUILESS_MAIN(TestDgst)
#include "tst_dgst.moc"
