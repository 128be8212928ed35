#include "httpresponse.h"
#include "logcapture.h"

#include <QtTest>

// A new HttpResponse reads the row's documents in order, as the updater's one object does
// over several checks; fields and log lines are checked after the last one.
class TestHttpResponse : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deserialize_data();
    void deserialize();
};

void TestHttpResponse::deserialize_data()
{
    QTest::addColumn<QString>("lang"); // empty: the application has none
    QTest::addColumn<QList<QByteArray>>("documents");
    QTest::addColumn<bool>("lastResult");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("notice"); // "<null>" for a null text
    QTest::addColumn<QStringList>("logged"); // fragments, each in exactly one line
    QTest::addColumn<QStringList>("absent"); // fragments in no line

    const auto row = [](const char* name, const QList<QByteArray>& documents, bool lastResult,
                        const char* version, const char* url, const QString& notice,
                        const QStringList& logged, const QStringList& absent = {}, const char* lang = "sk") {
        QTest::newRow(name) << QString::fromLatin1(lang) << documents << lastResult
                            << QString::fromLatin1(version) << QString::fromLatin1(url) << notice << logged
                            << absent;
    };
    const QString null = QStringLiteral("<null>");
    const QString missingNotice = QStringLiteral("W: Unable to find notice for app's language");
    const QString langSet = QStringLiteral("I: \"sk\" language is set to app");
    const QString xmlError = QStringLiteral("W: Xmlstream error: ");
    const QByteArray head("<Quillet><version>2.1.14</version><url>https://kestrum.eu/q</url>");
    const char* const url = "https://kestrum.eu/q";

    row("blanks around url and version, no notice",
        {"<?xml version=\"1.0\"?>\n<Quillet>\n<version>\n  2.1.14 \t\n</version><url>  \n " + QByteArray(url)
         + "\n </url></Quillet>"},
        true, "2.1.14", url, null, {}, {QStringLiteral("language"), QStringLiteral("notice")});
    row("notice in the application's language, other ignored",
        {head + "<notice><en>In English</en><sk>  Po slovensky\n</sk></notice></Quillet>"}, true, "2.1.14",
        url, QStringLiteral("  Po slovensky\n"), {langSet, QStringLiteral("I: Ignored language \"en\"")},
        {QStringLiteral("Unable to find notice")});
    row("SK does not match sk", {head + "<notice><SK>Veľké</SK></notice></Quillet>"}, true, "2.1.14", url,
        null, {langSet, QStringLiteral("I: Ignored language \"SK\""), missingNotice});
    row("language not set", {head + "<notice><sk>text</sk></notice></Quillet>"}, true, "2.1.14", url, null,
        {QStringLiteral("W: Application language wasn't set")}, {QStringLiteral("Ignored language")}, "");
    row("child element inside the language element",
        {head + "<notice><sk>a<b>bold</b></sk></notice></Quillet>"}, false, "2.1.14", url,
        QStringLiteral("a"), {xmlError});
    row("notice of an earlier document counts",
        {head + "<notice><sk>prvá</sk></notice></Quillet>",
         head + "<notice><en>second</en></notice></Quillet>"},
        true, "2.1.14", url, QStringLiteral("prvá"), {}, {QStringLiteral("Unable to find notice")});
    row("elements after the end tag are never read",
        {head + "</Quillet><url>https://evil.example</url><version>9.9</version><<<broken"}, true, "2.1.14",
        url, null, {}, {QStringLiteral("Xmlstream error")});
    row("later element wins, any depth, any root",
        {"<Other><url>https://one.example</url><version>1.0</version><x><version>3.1.4</version></x>"
         "<a><b><url>https://two.example</url></b></a></Other>"},
        true, "3.1.4", "https://two.example", null, {});
    row("empty url after a good one", {head + "</Quillet>", "<Quillet><url> \n\t </url></Quillet>"}, false,
        "2.1.14", "", null, {QStringLiteral("W: Missing website url in http response")});
    row("document breaks off", {"<Quillet><version>2.0</version><url>https://x"}, false, "2.0", "", null,
        {xmlError});
}

void TestHttpResponse::deserialize()
{
    QFETCH(QString, lang);
    QFETCH(QList<QByteArray>, documents);
    QFETCH(bool, lastResult);
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(QString, notice);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, absent);

    QCoreApplication::instance()->setProperty("lang", lang.isEmpty() ? QVariant() : QVariant(lang));
    HttpResponse response;
    for (const QByteArray& document : documents.mid(0, documents.size() - 1))
        QVERIFY(response.deserializeXml(document));
    LogCapture log;
    QCOMPARE(response.deserializeXml(documents.last()), lastResult);
    QCOMPARE(response.version().toString(), version);
    QCOMPARE(response.url(), url);
    if (notice == u"<null>")
        QVERIFY2(response.notice().isNull(), qPrintable(response.notice()));
    else
        QCOMPARE(response.notice(), notice);
    for (const QString& fragment : logged)
        QVERIFY2(log.count(fragment) == 1, qPrintable(fragment + u'\n' + log.lines().join(u'\n')));
    for (const QString& fragment : absent)
        QVERIFY2(!log.contains(fragment), qPrintable(fragment));
}

QTEST_GUILESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
