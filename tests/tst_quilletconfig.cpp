#include "appexception.h"
#include "quilletconfig.h"
#include "version.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray goodUpdater = "<QuilletUpdater><Url>https://u.example/v.xml</Url><Version>2.6.1</Version>"
                               "<DownloadUrl>https://u.example/d/</DownloadUrl></QuilletUpdater>";

// A configuration with the given insides of the tray's section and the updater's section.
QByteArray conf(const QByteArray& tray, const QByteArray& updater = goodUpdater)
{
    return "<r><QuilletTray>" + tray + "</QuilletTray>" + updater + "</r>";
}

QByteArray updater(const QByteArray& inside)
{
    return "<QuilletUpdater>" + inside + "</QuilletUpdater>";
}

// The message of the AppException that `call` throws, or "no exception".
QString thrown(const std::function<void()>& call)
{
    try {
        call();
    } catch (const AppException& e) {
        return e.generalMessage();
    }
    return u"no exception"_s;
}
} // namespace

// Each test case writes etc/Quillet.conf beside the current directory "bin", as an
// installed tree has it.
class TestQuilletConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void loads_data();
    void loads();
    void failures_data();
    void failures();
    void allowedOrigins_data();
    void allowedOrigins();
    void reloads();
    void versions_data();
    void versions();

private:
    void writeConfig(const QByteArray& content);
    QTemporaryDir m_root;
};

void TestQuilletConfig::initTestCase()
{
    QVERIFY(QDir(m_root.path()).mkpath(u"bin"_s) && QDir(m_root.path()).mkpath(u"etc"_s));
    QVERIFY(QDir::setCurrent(m_root.path() + u"/bin"_s));
}

void TestQuilletConfig::writeConfig(const QByteArray& content)
{
    QFile file(m_root.path() + u"/etc/Quillet.conf"_s);
    if (content.isNull()) {
        file.remove();
        return;
    }
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void TestQuilletConfig::loads_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("checkUser");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");

    const QString url = u"https://u.example/v.xml"_s;
    QTest::newRow("updater first, nested, any root, other elements and comments ignored")
        << "<?xml version=\"1.0\"?><any a=\"1\"><!-- c --><deep><deeper>" + goodUpdater
            + "</deeper></deep><QuilletTray><Foo>x</Foo><CheckUser>false</CheckUser></QuilletTray></any>"
        << false << u"2.6.1"_s << url;
    QTest::newRow("FALSE with blanks")
        << conf("<CheckUser>  FALSE \n</CheckUser>") << false << u"2.6.1"_s << url;
    QTest::newRow("no leaves it on") << conf("<CheckUser>no</CheckUser>") << true << u"2.6.1"_s << url;
    QTest::newRow("last occurrence wins") << conf(
        "<CheckUser>false</CheckUser><CheckUser>true</CheckUser>",
        updater("<Url>first</Url><Version>1.0</Version><DownloadUrl>d</DownloadUrl><Url> second </Url>"
                "<Version> 2.6 </Version>"))
                                          << true << u"2.6.0"_s << u"second"_s;
}

void TestQuilletConfig::loads()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, checkUser);
    QFETCH(QString, version);
    QFETCH(QString, url);

    writeConfig(content);
    QuilletConfig* config = QuilletConfig::instance();
    config->loadConfig();
    QCOMPARE(config->checkUser(), checkUser);
    QCOMPARE(config->version().toString(3), version);
    QCOMPARE(config->url(), url);
}

void TestQuilletConfig::failures_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("message"); // ending in ": " for a prefix

    const QByteArray user("<CheckUser>true</CheckUser>");
    QTest::newRow("no file") << QByteArray()
                             << u"Unable to find Quillet config in: "_s + QDir::currentPath() + u"/../etc/"_s;
    QTest::newRow("not well formed") << QByteArray("<r><QuilletTray>") << u"Xml stream error: "_s;
    QTest::newRow("no tray section") << "<r>" + goodUpdater + "</r>" << u"Missing config for QuilletTray"_s;
    QTest::newRow("no updater section") << conf(user, {}) << u"Missing config for QuilletUpdater"_s;
    QTest::newRow("no CheckUser") << conf("<checkuser>x</checkuser>") << u"Missing element: CheckUser"_s;
    QTest::newRow("no Version") << conf(user, updater("<Url>u</Url><DownloadUrl>d</DownloadUrl>"))
                                << u"Missing element: Version"_s;
    QTest::newRow("no DownloadUrl") << conf(user, updater("<Url>u</Url><Version>1</Version>"))
                                    << u"Missing element: DownloadUrl"_s;
}

void TestQuilletConfig::failures()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    writeConfig(content);
    QuilletConfig fresh;
    try {
        fresh.loadConfig();
        QFAIL("load succeeded");
    } catch (const AppException& e) {
        if (message.endsWith(u": "_s))
            QVERIFY2(e.generalMessage().startsWith(message) && e.generalMessage().size() > message.size(),
                     qPrintable(e.generalMessage()));
        else
            QCOMPARE(e.generalMessage(), message);
        QVERIFY(e.toString(true).contains(u"QuilletConfig::"_s));
    }
    QCOMPARE(thrown([&fresh] { fresh.url(); }), u"Config wasn't loaded!"_s);
}

void TestQuilletConfig::allowedOrigins_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QStringList>("origins");

    QFile shipped(QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    // The example in the shipped file stays a comment: every page may connect.
    QTest::newRow("shipped file: no list") << shipped.readAll() << false << QStringList();
    QTest::newRow("empty: nothing allowed")
        << conf("<CheckUser>true</CheckUser><AllowedOrigins/>") << true << QStringList();
    QTest::newRow("trimmed, empty entries and other elements skipped")
        << conf("<AllowedOrigins>\n <Origin> https://a.example </Origin><Origin> </Origin><Note>x</Note>"
                "<Origin>http://127.0.0.1:8765</Origin></AllowedOrigins><CheckUser>true</CheckUser>")
        << true << QStringList {"https://a.example", "http://127.0.0.1:8765"};
    QTest::newRow("last element wins") << conf(
        "<CheckUser>true</CheckUser><AllowedOrigins><Origin>https://a.example</Origin></AllowedOrigins>"
        "<AllowedOrigins><Origin>https://b.example</Origin></AllowedOrigins>")
                                       << true << QStringList {"https://b.example"};
    QTest::newRow("Origin outside the list ignored")
        << conf("<CheckUser>true</CheckUser><Origin>https://a.example</Origin>") << false << QStringList();
}

void TestQuilletConfig::allowedOrigins()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, present);
    QFETCH(QStringList, origins);

    writeConfig(content);
    QuilletConfig config;
    config.loadConfig();
    const std::optional<QStringList> allowed = config.allowedOrigins();
    QCOMPARE(allowed.has_value(), present);
    QCOMPARE(allowed.value_or(QStringList()), origins);
    QVERIFY(config.checkUser());
}

// A file that fails to load keeps the last good origin list, also when the failure comes
// after the list was read; other values read before the failure are replaced.
void TestQuilletConfig::reloads()
{
    const QByteArray user("<CheckUser>true</CheckUser>");
    const QByteArray list("<AllowedOrigins><Origin>https://a.example</Origin></AllowedOrigins>");
    const std::optional<QStringList> expected = QStringList {"https://a.example"};
    QuilletConfig config;
    const auto load = [&](const QByteArray& content) {
        writeConfig(content);
        config.loadConfig();
    };

    load(conf(user + list));
    QCOMPARE(config.allowedOrigins(), expected);
    load(conf(user));
    QCOMPARE(config.allowedOrigins(), std::optional<QStringList>());

    load(conf("<CheckUser>false</CheckUser>" + list));
    for (const QByteArray& failing :
         {conf(user, {}), conf(user + "<AllowedOrigins/>", {}),
          conf(user + "<AllowedOrigins><Origin><b/></Origin></AllowedOrigins>")}) {
        QVERIFY_THROWS_EXCEPTION(AppException, load(failing));
        QCOMPARE(config.allowedOrigins(), expected);
    }
    QCOMPARE(config.checkUser(), true);
    QCOMPARE(config.url(), u"https://u.example/v.xml"_s);
}

void TestQuilletConfig::versions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("rendered");
    QTest::addColumn<bool>("lessThan261");

    QTest::newRow("equal") << u"2.6.1"_s << u"2.6.1"_s << false;
    QTest::newRow("shorter is less") << u"2.6"_s << u"2.6"_s << true;
    QTest::newRow("longer is not less") << u"2.6.1.0"_s << u"2.6.1.0"_s << false;
    QTest::newRow("numeric, not textual") << u"2.10"_s << u"2.10"_s << false;
    QTest::newRow("letters, empty parts and overflow become 0")
        << u"2.x..4294967296"_s << u"2.0.0.0"_s << true;
    QTest::newRow("int max kept") << u"2147483647"_s << u"2147483647"_s << false;
}

void TestQuilletConfig::versions()
{
    QFETCH(QString, text);
    QFETCH(QString, rendered);
    QFETCH(bool, lessThan261);

    QCOMPARE(Version(text).toString(), rendered);
    QCOMPARE(Version(text) < Version(u"2.6.1"_s), lessThan261);
}

QTEST_GUILESS_MAIN(TestQuilletConfig)
#include "tst_quilletconfig.moc"
