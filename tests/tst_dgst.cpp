#include "dgst.h"
#include "logcapture.h"
#include "testsigner.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// Signatures are made by the release signing script with the development key pair.
class TestDgst : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void verify_data();
    void verify();
    void builtInKey();

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
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    // The start of the verdict line; a signature of the wrong length may also be reported
    // as an error ("|" separates the choices).
    QTest::addColumn<QString>("verdict");

    const QByteArray key = TestSigner::readFile(TestSigner::publicKeyPath()).trimmed();
    const QByteArray document("<Quillet><version>2.7</version><url>https://kestrum.eu</url></Quillet>\n");
    const QByteArray good = signature(document);
    QByteArray changed = document;
    changed[10] = static_cast<char>(changed.at(10) ^ 0x01);
    QByteArray damagedKey = key;
    damagedKey[40] = '*';
    const QByteArray large(1024 * 1024, 'q');
    const QString valid = u"I: Signature is VALID"_s;
    const QString invalid = u"I: Signature is INVALID"_s;
    const QString invalidOrError = invalid + u"|C: \"Unable to verify signature: "_s;
    const QString noKey = u"C: \"Unable to load public key: "_s;

    QTest::newRow("valid") << key << document << good << valid;
    QTest::newRow("one data byte changed") << key << changed << good << invalid;
    QTest::newRow("signature over other bytes") << key << document << signature("other bytes") << invalid;
    QTest::newRow("signature one byte short") << key << document << good.left(255) << invalidOrError;
    QTest::newRow("empty signature") << key << document << QByteArray() << invalidOrError;
    QTest::newRow("empty data, its own signature") << key << QByteArray() << signature(QByteArray()) << valid;
    QTest::newRow("one MiB of data") << key << large << signature(large) << valid;
    QTest::newRow("empty key") << QByteArray() << document << good << noKey;
    QTest::newRow("key with a damaged character") << damagedKey << document << good << noKey;
    QTest::newRow("key without a body line") << QByteArray(key).remove(100, 64) << document << good << noKey;
    QTest::newRow("key without end marker") << key.left(key.lastIndexOf('\n')) << document << good << noKey;
    QTest::newRow("private key") << TestSigner::readFile(TestSigner::privateKeyPath()) << document << good
                                 << noKey;
}

void TestDgst::verify()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(QString, verdict);

    m_log->clear();
    dgst verifier(key);
    QCOMPARE(verifier.verify(data, signature), verdict == u"I: Signature is VALID");
    const QStringList lines = m_log->lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), u"I: Signature verification started"_s);
    const QStringList choices = verdict.split(u'|');
    QVERIFY2(std::any_of(choices.cbegin(), choices.cend(),
                         [&](const QString& c) { return lines.last().startsWith(c); }),
             qPrintable(lines.last()));
    // The reason went into that line: none is left queued for an unrelated later message.
    QVERIFY(!lines.last().endsWith(u": \""_s));
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

QTEST_GUILESS_MAIN(TestDgst)
#include "tst_dgst.moc"
