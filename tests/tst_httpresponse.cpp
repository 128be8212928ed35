#include "httpresponse.h"
#include "logcapture.h"

#include <QtTest>

using Documents = QList<QByteArray>;
using Results = QList<bool>;

// A new HttpResponse reads the row's documents in order, as the updater's object does
// over several checks; the fields and log lines are checked after the last one.
class TestHttpResponse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
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

void TestHttpResponse::deserialize_data()
{
    QTest::addColumn<QVariant>("lang");
    QTest::addColumn<Documents>("documents");
    QTest::addColumn<Results>("results");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("notice"); // "<null>" for a null text
    QTest::addColumn<QStringList>("logged"); // each exactly once; a trailing blank matches a prefix
    QTest::addColumn<QStringList>("absent"); // fragments of lines that must not appear

    const auto row
        = [](const char* name, const Documents& documents, const Results& results, const char* version,
             const char* url, const QString& notice, const QStringList& logged,
             const QStringList& absent = {}, const QVariant& lang = QStringLiteral("sk")) {
              QTest::newRow(name) << lang << documents << results << QString::fromLatin1(version)
                                  << QString::fromLatin1(url) << notice << logged << absent;
          };
    const QString null = QStringLiteral("<null>");
    const QString missingNotice = QStringLiteral("W: Unable to find notice for app's language");
    const QString langSet = QStringLiteral("I: \"sk\" language is set to app");
    const QString xmlError = QStringLiteral("W: Xmlstream error: ");
    const QString missingUrl = QStringLiteral("W: Missing website url in http response");
    const QByteArray head("<Quillet><version>2.1.14</version><url>https://kestrum.eu/q</url>");
    const char* const url = "https://kestrum.eu/q";

    row("url and version, no notice", {head + "</Quillet>"}, {true}, "2.1.14", url, null, {},
        {QStringLiteral("language"), QStringLiteral("notice")});
    row("blanks and line breaks around url and version",
        {"<?xml version=\"1.0\"?>\n<Quillet>\n<version>\n  2.1.14 \t\n</version><url>  \n " + QByteArray(url)
         + "\n </url></Quillet>"},
        {true}, "2.1.14", url, null, {});
    row("notice in the application's language, other ignored",
        {head + "<notice><en>In English</en><sk>  Po slovensky\n</sk></notice></Quillet>"}, {true}, "2.1.14",
        url, QStringLiteral("  Po slovensky\n"), {langSet, QStringLiteral("I: Ignored language \"en\"")},
        {QStringLiteral("Unable to find notice")});
    row("SK does not match sk", {head + "<notice><SK>Veľké</SK></notice></Quillet>"}, {true}, "2.1.14", url,
        null, {langSet, QStringLiteral("I: Ignored language \"SK\""), missingNotice});
    row("empty language element", {head + "<notice><sk></sk></notice></Quillet>"}, {true}, "2.1.14", url,
        null, {langSet, missingNotice});
    row("child element inside the language element",
        {head + "<notice><sk>a<b>bold</b></sk></notice></Quillet>"}, {false}, "2.1.14", url,
        QStringLiteral("a"), {xmlError});
    row("child element inside url", {"<Quillet><url>https://<i>x</i></url></Quillet>"}, {false}, "0.0.0",
        "https://", null, {xmlError});
    row("language not set", {head + "<notice><sk>text</sk><en>text</en></notice></Quillet>"}, {true},
        "2.1.14", url, null, {QStringLiteral("W: Application language wasn't set")},
        {QStringLiteral("Ignored language"), QStringLiteral("Unable to find notice")}, QVariant());
    row("second document without url keeps the first's",
        {head + "</Quillet>", "<Quillet><version>2.2</version></Quillet>"}, {true, true}, "2.2", url, null,
        {});
    row("notice of an earlier document counts",
        {head + "<notice><sk>prvá</sk></notice></Quillet>",
         head + "<notice><en>second</en></notice></Quillet>"},
        {true, true}, "2.1.14", url, QStringLiteral("prvá"), {}, {QStringLiteral("Unable to find notice")});
    row("elements after the end tag are never read",
        {head + "</Quillet><url>https://evil.example</url><version>9.9</version><<<broken"}, {true}, "2.1.14",
        url, null, {}, {QStringLiteral("Xmlstream error")});
    row("url nested in another element", {"<Quillet><a><b><url>https://deep.example</url></b></a></Quillet>"},
        {true}, "0.0.0", "https://deep.example", null, {});
    row("later element wins, any order, any root",
        {"<Other><url>https://one.example</url><version>1.0</version><x><version>3.1.4</version></x>"
         "<url>https://two.example</url></Other>"},
        {true}, "3.1.4", "https://two.example", null, {});
    row("missing url", {"<Quillet><version>2.0</version></Quillet>"}, {false}, "2.0", "", null, {missingUrl});
    row("empty url after a good one", {head + "</Quillet>", "<Quillet><url> \n\t </url></Quillet>"},
        {true, false}, "2.1.14", "", null, {missingUrl});
    row("document breaks off", {"<Quillet><version>2.0</version><url>https://x"}, {false}, "2.0", "", null,
        {xmlError});
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
