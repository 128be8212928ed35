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
} // namespace

// Each test case writes etc/Quillet.conf beside the current directory "bin",
// as an installed tree has it.
class TestQuilletConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void accessorsBeforeAnyLoad();
    void loads_data();
    void loads();
    void failures_data();
    void failures();
    void missingFile();
    void laterFailedLoadKeepsLoadedState();
    void allowedOrigins_data();
    void allowedOrigins();
    void allowedOriginsAcrossReloads();
    void shippedConfigurationLetsEveryPageIn();
    void versionParse_data();
    void versionParse();
    void versionOrder_data();
    void versionOrder();

private:
    void writeConfig(const QByteArray& content);
    QTemporaryDir m_root;
    QString m_previousDir;
};

void TestQuilletConfig::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY(QDir(m_root.path()).mkpath(u"bin"_s));
    QVERIFY(QDir(m_root.path()).mkpath(u"etc"_s));
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_root.path() + u"/bin"_s));
}

void TestQuilletConfig::cleanupTestCase()
{
    QDir::setCurrent(m_previousDir);
}

void TestQuilletConfig::writeConfig(const QByteArray& content)
{
    QFile file(m_root.path() + u"/etc/Quillet.conf"_s);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// Runs first (QtTest keeps declaration order) while the singleton is fresh.
void TestQuilletConfig::accessorsBeforeAnyLoad()
{
    writeConfig(QByteArray("<c><QuilletTray><CheckUser>true</CheckUser></QuilletTray>"
                           "<QuilletUpdater><Url>x</Url><Version>1</Version></QuilletUpdater></c>"));
    try {
        QuilletConfig::instance()->loadConfig();
        QFAIL("load without DownloadUrl succeeded");
    } catch (const AppException& e) {
        QCOMPARE(e.generalMessage(), u"Missing element: DownloadUrl"_s);
    }
    QuilletConfig* config = QuilletConfig::instance();
    const std::function<void()> accessors[]
        = {[config] { config->checkUser(); }, [config] { config->version(); }, [config] { config->url(); },
           [config] { config->downloadUrl(); }};
    for (const auto& accessor : accessors) {
        try {
            accessor();
            QFAIL("accessor did not throw");
        } catch (const AppException& e) {
            QCOMPARE(e.generalMessage(), u"Config wasn't loaded!"_s);
        }
    }
}

void TestQuilletConfig::loads_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("checkUser");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");

    const QString url = u"https://u.example/v.xml"_s;
    QTest::newRow("plain") << conf("<CheckUser>true</CheckUser>") << true << u"2.6.1"_s << url;
    QTest::newRow("updater first, nested, any root") << "<?xml version=\"1.0\"?><any><deep><deeper>"
            + goodUpdater + "</deeper></deep><QuilletTray><CheckUser>false</CheckUser></QuilletTray></any>"
                                                     << false << u"2.6.1"_s << url;
    QTest::newRow("FALSE with blanks")
        << conf("<CheckUser>  FALSE \n</CheckUser>") << false << u"2.6.1"_s << url;
    QTest::newRow("no leaves it on") << conf("<CheckUser>no</CheckUser>") << true << u"2.6.1"_s << url;
    QTest::newRow("empty leaves it on") << conf("<CheckUser/>") << true << u"2.6.1"_s << url;
    QTest::newRow("last occurrence wins")
        << conf("<CheckUser>false</CheckUser><CheckUser>true</CheckUser>",
                "<QuilletUpdater><Url>first</Url><Version>1.0</Version><DownloadUrl>d</DownloadUrl>"
                "<Url> second </Url><Version> 2.6 </Version></QuilletUpdater>")
        << true << u"2.6.0"_s << u"second"_s;
    QTest::newRow("other elements, attributes and comments ignored")
        << "<r a=\"1\"><!-- c --><Other>x</Other><QuilletTray "
           "x=\"y\"><Foo>bar</Foo><CheckUser>false</CheckUser>"
           "</QuilletTray>"
            + goodUpdater + "</r>"
        << false << u"2.6.1"_s << url;
    QTest::newRow("empty version counts as present")
        << conf("<CheckUser>true</CheckUser>",
                "<QuilletUpdater><Url>u</Url><Version/><DownloadUrl>d</DownloadUrl></QuilletUpdater>")
        << true << u"0.0.0"_s << u"u"_s;
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
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("message");

    const QByteArray user("<CheckUser>true</CheckUser>");
    const auto updater
        = [](const QByteArray& inside) { return "<QuilletUpdater>" + inside + "</QuilletUpdater>"; };
    QTest::newRow("not well formed") << QByteArray("<r><QuilletTray>") << u"Xml stream error: "_s;
    QTest::newRow("empty file") << QByteArray() << u"Xml stream error: "_s;
    QTest::newRow("child inside CheckUser")
        << conf("<CheckUser><b>true</b></CheckUser>") << u"Xml stream error: "_s;
    QTest::newRow("child inside Url")
        << conf(user, updater("<Url><b/></Url><Version>1</Version><DownloadUrl>d</DownloadUrl>"))
        << u"Missing element: Url"_s;
    QTest::newRow("no tray section") << "<r>" + goodUpdater + "</r>" << u"Missing config for QuilletTray"_s;
    QTest::newRow("no updater section") << conf(user, {}) << u"Missing config for QuilletUpdater"_s;
    QTest::newRow("no CheckUser") << conf("<checkuser>x</checkuser>") << u"Missing element: CheckUser"_s;
    QTest::newRow("no Url") << conf(user, updater("<Version>1</Version><DownloadUrl>d</DownloadUrl>"))
                            << u"Missing element: Url"_s;
    QTest::newRow("blank Url") << conf(
        user, updater("<Url>  </Url><Version>1</Version><DownloadUrl>d</DownloadUrl>"))
                               << u"Missing element: Url"_s;
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
        if (message.endsWith(QLatin1String(": ")))
            QVERIFY2(e.generalMessage().startsWith(message) && e.generalMessage().size() > message.size(),
                     qPrintable(e.generalMessage()));
        else
            QCOMPARE(e.generalMessage(), message);
        QVERIFY(e.toString(true).contains(u"QuilletConfig::"_s));
    }
}

void TestQuilletConfig::missingFile()
{
    QVERIFY(QFile::remove(m_root.path() + u"/etc/Quillet.conf"_s));
    try {
        QuilletConfig::instance()->loadConfig();
        QFAIL("load succeeded");
    } catch (const AppException& e) {
        QCOMPARE(e.generalMessage(),
                 u"Unable to find Quillet config in: "_s + QDir::currentPath() + u"/../etc/"_s);
    }
}

void TestQuilletConfig::laterFailedLoadKeepsLoadedState()
{
    writeConfig(conf("<CheckUser>false</CheckUser>"));
    QuilletConfig* config = QuilletConfig::instance();
    config->loadConfig();
    writeConfig(conf("<CheckUser>true</CheckUser>", {}));
    QVERIFY_THROWS_EXCEPTION(AppException, config->loadConfig());
    // Values read before the failure are replaced; the object stays loaded.
    QCOMPARE(config->checkUser(), true);
    QCOMPARE(config->url(), u"https://u.example/v.xml"_s);
}

void TestQuilletConfig::allowedOrigins_data()
{
    QTest::addColumn<QByteArray>("tray");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QStringList>("origins");

    QTest::newRow("absent") << QByteArray("<CheckUser>true</CheckUser>") << false << QStringList();
    QTest::newRow("empty: nothing allowed")
        << QByteArray("<CheckUser>true</CheckUser><AllowedOrigins/>") << true << QStringList();
    QTest::newRow("trimmed, empty entries skipped")
        << QByteArray("<AllowedOrigins>\n <Origin> https://a.example </Origin><Origin> </Origin>"
                      "<Origin>http://127.0.0.1:8765</Origin></AllowedOrigins><CheckUser>true</CheckUser>")
        << true << QStringList {"https://a.example", "http://127.0.0.1:8765"};
    QTest::newRow("last element wins") << QByteArray(
        "<CheckUser>true</CheckUser><AllowedOrigins><Origin>https://a.example</Origin></AllowedOrigins>"
        "<AllowedOrigins><Origin>https://b.example</Origin></AllowedOrigins>")
                                       << true << QStringList {"https://b.example"};
    QTest::newRow("Origin outside the list ignored")
        << QByteArray("<CheckUser>true</CheckUser><Origin>https://a.example</Origin>") << false
        << QStringList();
    QTest::newRow("other elements inside ignored")
        << QByteArray("<CheckUser>true</CheckUser><AllowedOrigins><!-- c --><Note>x</Note>"
                      "<Origin>https://a.example</Origin></AllowedOrigins>")
        << true << QStringList {"https://a.example"};
}

void TestQuilletConfig::allowedOrigins()
{
    QFETCH(QByteArray, tray);
    QFETCH(bool, present);
    QFETCH(QStringList, origins);
    writeConfig(conf(tray));
    QuilletConfig config;
    config.loadConfig();
    const std::optional<QStringList> allowed = config.allowedOrigins();
    QCOMPARE(allowed.has_value(), present);
    QCOMPARE(allowed.value_or(QStringList()), origins);
    QVERIFY(config.checkUser());
}

// An element left out of the newest file means no list; a file that fails to load keeps
// the last good list, also when the failure comes after the list was read.
void TestQuilletConfig::allowedOriginsAcrossReloads()
{
    const QByteArray listed = conf("<CheckUser>true</CheckUser><AllowedOrigins><Origin>https://a.example"
                                   "</Origin></AllowedOrigins>");
    const std::optional<QStringList> expected = QStringList {"https://a.example"};
    QuilletConfig config;
    QVERIFY_THROWS_EXCEPTION(AppException, config.allowedOrigins());
    const auto load = [&](const QByteArray& content) {
        writeConfig(content);
        config.loadConfig();
    };

    load(listed);
    QCOMPARE(config.allowedOrigins(), expected);
    load(conf("<CheckUser>true</CheckUser>"));
    QCOMPARE(config.allowedOrigins(), std::optional<QStringList>());

    load(listed);
    for (const QByteArray& failing :
         {conf("<CheckUser>true</CheckUser>", {}), conf("<CheckUser>true</CheckUser><AllowedOrigins/>", {}),
          conf("<CheckUser>true</CheckUser><AllowedOrigins><Origin><b/></Origin>"
               "</AllowedOrigins>")}) {
        QVERIFY_THROWS_EXCEPTION(AppException, load(failing));
        QCOMPARE(config.allowedOrigins(), expected);
    }
}

// The example in the shipped file stays a comment.
void TestQuilletConfig::shippedConfigurationLetsEveryPageIn()
{
    QFile shipped(QStringLiteral(QUILLET_SOURCE_DIR "/etc/Quillet.conf"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    writeConfig(shipped.readAll());
    QuilletConfig config;
    config.loadConfig();
    QCOMPARE(config.allowedOrigins(), std::optional<QStringList>());
    QVERIFY(config.checkUser());
}

void TestQuilletConfig::versionParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("parts");
    QTest::addColumn<QString>("rendered");

    QTest::newRow("2.6.1 all") << u"2.6.1"_s << -1 << u"2.6.1"_s;
    QTest::newRow("2.6 to three") << u"2.6"_s << 3 << u"2.6.0"_s;
    QTest::newRow("2.6.1.7 to three") << u"2.6.1.7"_s << 3 << u"2.6.1"_s;
    QTest::newRow("letters become 0") << u"2.x"_s << -1 << u"2.0"_s;
    QTest::newRow("empty text") << u""_s << -1 << u"0"_s;
    QTest::newRow("empty part kept") << u"2..1"_s << -1 << u"2.0.1"_s;
    QTest::newRow("overflow becomes 0") << u"2.4294967296"_s << -1 << u"2.0"_s;
    QTest::newRow("above int max becomes 0") << u"2147483648.1"_s << -1 << u"0.1"_s;
    QTest::newRow("int max kept") << u"2147483647"_s << -1 << u"2147483647"_s;
    QTest::newRow("zero parts") << u"2.6.1"_s << 0 << u""_s;
    QTest::newRow("negative parts") << u"2.6.1"_s << -2 << u""_s;
    QTest::newRow("2.7 to six") << u"2.7"_s << 6 << u"2.7.0.0.0.0"_s;
}

void TestQuilletConfig::versionParse()
{
    QFETCH(QString, text);
    QFETCH(int, parts);
    QFETCH(QString, rendered);
    QCOMPARE(Version(text).toString(parts), rendered);
}

void TestQuilletConfig::versionOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("less");

    QTest::newRow("equal") << u"2.6.1"_s << u"2.6.1"_s << false;
    QTest::newRow("shorter is less") << u"2.6"_s << u"2.6.0"_s << true;
    QTest::newRow("longer is not less") << u"2.6.0"_s << u"2.6"_s << false;
    QTest::newRow("minor") << u"2.6.1"_s << u"2.7"_s << true;
    QTest::newRow("numeric not textual") << u"2.10"_s << u"2.9"_s << false;
    QTest::newRow("major wins") << u"3"_s << u"2.9.9"_s << false;
}

void TestQuilletConfig::versionOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, less);
    QCOMPARE(Version(a) < Version(b), less);
}

QTEST_GUILESS_MAIN(TestQuilletConfig)
#include "tst_quilletconfig.moc"
