#include "originpolicy.h"

#include <QtTest>

class TestOriginPolicy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void allows_data();
    void allows();
    void invalidEntries();
};

void TestOriginPolicy::allows_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<bool>("allowed");

    const QStringList site {"https://sign.example.com"};
    QTest::newRow("exact") << site << "https://sign.example.com" << true;
    QTest::newRow("another host") << site << "https://evil.example.net" << false;
    QTest::newRow("host as a suffix of another") << site << "https://notsign.example.com" << false;
    QTest::newRow("subdomain of an exact entry") << site << "https://a.sign.example.com" << false;
    QTest::newRow("scheme mismatch") << site << "http://sign.example.com" << false;
    QTest::newRow("default port written out") << site << "https://sign.example.com:443" << true;
    QTest::newRow("port mismatch") << site << "https://sign.example.com:8443" << false;
    QTest::newRow("localhost is not 127.0.0.1")
        << QStringList {"http://127.0.0.1:8765"} << "http://localhost:8765" << false;
    QTest::newRow("case of scheme and host")
        << QStringList {"HTTPS://Sign.Example.COM"} << "https://SIGN.example.com" << true;
    QTest::newRow("trailing slash in the entry")
        << QStringList {"https://sign.example.com/"} << "https://sign.example.com" << true;
    QTest::newRow("path in the header") << site << "https://sign.example.com/x" << false;
    QTest::newRow("international name in ASCII form")
        << QStringList {"https://bücher.example"} << "https://xn--bcher-kva.example" << true;
    QTest::newRow("null origin") << QStringList {"null"} << "null" << false;
    QTest::newRow("empty list") << QStringList() << "https://sign.example.com" << false;
    QTest::newRow("second entry") << QStringList {"https://a.example", "http://127.0.0.1:9000"}
                                  << "http://127.0.0.1:9000" << true;

    const QStringList wildcard {"https://*.example.com"};
    QTest::newRow("wildcard: subdomain") << wildcard << "https://sign.example.com" << true;
    QTest::newRow("wildcard: deeper subdomain") << wildcard << "https://a.b.example.com" << true;
    QTest::newRow("wildcard: not the bare host") << wildcard << "https://example.com" << false;
    QTest::newRow("wildcard: not a look-alike") << wildcard << "https://evilexample.com" << false;
    QTest::newRow("wildcard: not over http") << wildcard << "http://sign.example.com" << false;
    QTest::newRow("wildcard: default port only") << wildcard << "https://sign.example.com:8443" << false;
    QTest::newRow("wildcard: with its port")
        << QStringList {"https://*.example.com:8443"} << "https://sign.example.com:8443" << true;
    QTest::newRow("wildcard on http allows nothing")
        << QStringList {"http://*.example.com"} << "http://sign.example.com" << false;
    QTest::newRow("header with an asterisk") << wildcard << "https://*.example.com" << false;
}

void TestOriginPolicy::allows()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, origin);
    QFETCH(bool, allowed);
    QCOMPARE(OriginPolicy(entries).allows(origin), allowed);
}

// Invalid entries are left out (the server logs them); the others still apply.
void TestOriginPolicy::invalidEntries()
{
    const QStringList invalid {"sign.example.com",
                               "https://sign.example.com/app",
                               "null",
                               "http://*.example.com",
                               "https://*.com",
                               "https://*.127.0.0.1",
                               "https://sign.*.example.com"};
    const OriginPolicy policy(QStringList {"http://[::1]:8765"} + invalid
                              + QStringList {"https://*.example.com"});
    QCOMPARE(policy.invalidEntries(), invalid);
    QVERIFY(policy.allows("http://[::1]:8765") && policy.allows("https://a.example.com"));
}

QTEST_GUILESS_MAIN(TestOriginPolicy)
#include "tst_originpolicy.moc"
