#include "httpresponse.h"
#include "logcapture.h"

#include <QtTest>

using Documents = QList<QByteArray>;
using Results = QList<bool>;

// One HttpResponse reads the row's documents in order, as the updater's object does
// over several checks; the fields and log lines are checked after the last one.
class TestHttpResponse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void initialValues();
    void deserialize_data();
    void deserialize();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TestHttpResponse::initTestCase()
{
    m_log = std::make_unique<LogCapture>();
}

void TestHttpResponse::init()
{
    m_log->clear();
}

void TestHttpResponse::initialValues()
{
    const HttpResponse response;
    QCOMPARE(response.version().toString(), QStringLiteral("0.0.0"));
    QVERIFY(response.url().isEmpty());
    QVERIFY(response.notice().isNull());
}

void TestHttpResponse::deserialize_data()
{
    QTest::addColumn<QVariant>("lang");
    QTest::addColumn<Documents>("documents");
    QTest::addColumn<Results>("results");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("notice"); // "<null>" for a null text
    QTest::addColumn<QStringList>("logged"); // each exactly once
    QTest::addColumn<QStringList>("absent"); // fragments of lines that must not appear

    const QVariant sk(QStringLiteral("sk"));
    const QString null = QStringLiteral("<null>");
    const QString missingNotice = QStringLiteral("W: Unable to find notice for app's language");
    const QString langSet = QStringLiteral("I: \"sk\" language is set to app");
    const QStringList noLanguageLines {QStringLiteral("language"), QStringLiteral("notice")};
    const QByteArray head("<Quillet><version>2.1.14</version><url>https://kestrum.eu/q</url>");

    QTest::newRow("url and version, no notice")
        << sk << Documents {head + "</Quillet>"} << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null << QStringList() << noLanguageLines;
    QTest::newRow("blanks and line breaks around url and version")
        << sk
        << Documents {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Quillet>\n<version>\n  2.1.14 "
                      "\t\n</version>"
                      "<url>  \n https://kestrum.eu/q\n </url></Quillet>"}
        << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null << QStringList() << QStringList();
    QTest::newRow("notice in the application's language, other ignored")
        << sk << Documents {head + "<notice><en>In English</en><sk>  Po slovensky\n</sk></notice></Quillet>"}
        << Results {true} << "2.1.14"
        << "https://kestrum.eu/q"
        << "  Po slovensky\n"
        << QStringList {langSet, QStringLiteral("I: Ignored language \"en\"")}
        << QStringList {QStringLiteral("Unable to find notice")};
    QTest::newRow("SK does not match sk")
        << sk << Documents {head + "<notice><SK>Veľké</SK></notice></Quillet>"} << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null
        << QStringList {langSet, QStringLiteral("I: Ignored language \"SK\""), missingNotice}
        << QStringList();
    QTest::newRow("empty language element")
        << sk << Documents {head + "<notice><sk></sk></notice></Quillet>"} << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null << QStringList {langSet, missingNotice} << QStringList();
    QTest::newRow("self-closing language element")
        << sk << Documents {head + "<notice><en>x</en><sk/></notice></Quillet>"} << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null << QStringList {missingNotice} << QStringList();
    QTest::newRow("child element inside the language element")
        << sk << Documents {head + "<notice><sk>a<b>bold</b></sk></notice></Quillet>"} << Results {false}
        << "2.1.14"
        << "https://kestrum.eu/q"
        << "a" << QStringList {QStringLiteral("W: Xmlstream error: ")} << QStringList();
    QTest::newRow("child element inside url")
        << sk << Documents {"<Quillet><url>https://<i>x</i></url></Quillet>"} << Results {false} << "0.0.0"
        << "https://" << null << QStringList {QStringLiteral("W: Xmlstream error: ")} << QStringList();
    QTest::newRow("language not set")
        << QVariant() << Documents {head + "<notice><sk>text</sk><en>text</en></notice></Quillet>"}
        << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null
        << QStringList {QStringLiteral("W: Application language wasn't set")}
        << QStringList {QStringLiteral("Ignored language"), QStringLiteral("Unable to find notice")};
    QTest::newRow("second document without url keeps the first's")
        << sk << Documents {head + "</Quillet>", "<Quillet><version>2.2</version></Quillet>"}
        << Results {true, true} << "2.2"
        << "https://kestrum.eu/q" << null << QStringList() << QStringList();
    QTest::newRow("notice of an earlier document counts")
        << sk
        << Documents {head + "<notice><sk>prvá</sk></notice></Quillet>",
                      head + "<notice><en>second</en></notice></Quillet>"}
        << Results {true, true} << "2.1.14"
        << "https://kestrum.eu/q"
        << "prvá" << QStringList() << QStringList {QStringLiteral("Unable to find notice")};
    QTest::newRow("elements after the end tag are never read")
        << sk << Documents {head + "</Quillet><url>https://evil.example</url><version>9.9</version><<<broken"}
        << Results {true} << "2.1.14"
        << "https://kestrum.eu/q" << null << QStringList() << QStringList {QStringLiteral("Xmlstream error")};
    QTest::newRow("url nested in another element")
        << sk << Documents {"<Quillet><a><b><url>https://deep.example</url></b></a></Quillet>"}
        << Results {true} << "0.0.0"
        << "https://deep.example" << null << QStringList() << QStringList();
    QTest::newRow("later element wins, any order, any root")
        << sk
        << Documents {"<Other><url>https://one.example</url><version>1.0</version><x><version>3.1.4</version>"
                      "</x><url>https://two.example</url></Other>"}
        << Results {true} << "3.1.4"
        << "https://two.example" << null << QStringList() << QStringList();
    QTest::newRow("missing url") << sk << Documents {"<Quillet><version>2.0</version></Quillet>"}
                                 << Results {false} << "2.0"
                                 << "" << null
                                 << QStringList {QStringLiteral("W: Missing website url in http response")}
                                 << QStringList();
    QTest::newRow("white space url") << sk << Documents {"<Quillet><url> \n\t </url></Quillet>"}
                                     << Results {false} << "0.0.0"
                                     << "" << null
                                     << QStringList {QStringLiteral(
                                            "W: Missing website url in http response")}
                                     << QStringList();
    QTest::newRow("empty url after a good one")
        << sk << Documents {head + "</Quillet>", "<Quillet><url></url></Quillet>"} << Results {true, false}
        << "2.1.14"
        << "" << null << QStringList {QStringLiteral("W: Missing website url in http response")}
        << QStringList();
    QTest::newRow("document breaks off")
        << sk << Documents {"<Quillet><version>2.0</version><url>https://x"} << Results {false} << "2.0"
        << "" << null << QStringList {QStringLiteral("W: Xmlstream error: ")} << QStringList();
    QTest::newRow("mismatched tags") << sk << Documents {"<Quillet><url>https://x</uri></Quillet>"}
                                     << Results {false} << "0.0.0"
                                     << "https://x" << null
                                     << QStringList {QStringLiteral("W: Xmlstream error: ")} << QStringList();
    QTest::newRow("empty document") << sk << Documents {QByteArray()} << Results {false} << "0.0.0"
                                    << "" << null << QStringList() << QStringList();
}

void TestHttpResponse::deserialize()
{
    QFETCH(QVariant, lang);
    QFETCH(Documents, documents);
    QFETCH(Results, results);
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(QString, notice);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, absent);

    QCoreApplication::instance()->setProperty("lang", lang);
    HttpResponse response;
    for (qsizetype i = 0; i < documents.size(); ++i) {
        if (i == documents.size() - 1)
            m_log->clear();
        QCOMPARE(response.deserializeXml(documents.at(i)), results.at(i));
    }
    QCOMPARE(response.version().toString(), version);
    QCOMPARE(response.url(), url);
    if (notice == QStringLiteral("<null>"))
        QVERIFY2(response.notice().isNull(), qPrintable(response.notice()));
    else
        QCOMPARE(response.notice(), notice);
    for (const QString& line : logged) {
        const bool prefixOnly = line.endsWith(QLatin1Char(' '));
        int matches = 0;
        for (const QString& captured : m_log->lines())
            matches += prefixOnly ? captured.startsWith(line) : captured == line;
        QVERIFY2(matches == 1,
                 qPrintable(line + QStringLiteral(" | ") + m_log->lines().join(QLatin1Char('|'))));
    }
    for (const QString& fragment : absent)
        QVERIFY2(!m_log->contains(fragment), qPrintable(fragment));
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
