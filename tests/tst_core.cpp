#include "appexception.h"
#include "logger.h"
#include "quilletconfig.h"
#include "testsupport.h"

#include <QtTest>
#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QByteArray user = "<CheckUser>true</CheckUser>";
const QByteArray updater = "<QuilletUpdater><Url>https://u.example/v.xml</Url><Version>2.6.1</Version>"
                           "<DownloadUrl>d</DownloadUrl></QuilletUpdater>";
// Writes etc/Quillet.conf beside the current directory, or removes it for a null content.
bool writeConfig(const QByteArray& content)
{
    QFile file(u"../etc/Quillet.conf"_s);
    return content.isNull() ? file.remove() : file.open(QIODevice::WriteOnly) && file.write(content) > 0;
}
QByteArray conf(const QByteArray& tray, const QByteArray& updaterSection = updater)
{
    return "<r><QuilletTray>" + tray + "</QuilletTray>" + updaterSection + "</r>";
}
} // namespace

// Real files under a temporary root: the log below its data home, the configuration in etc
// beside the current directory bin, as in an installed tree.
class TestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void exceptionChain();
    void logFollowsTheFile();
    void config_data();
    void config();

private:
    QTemporaryDir m_root;
};

void TestCore::initTestCase()
{
    QVERIFY(QDir(m_root.path()).mkpath(u"bin"_s) && QDir(m_root.path()).mkpath(u"etc"_s)
            && QDir::setCurrent(m_root.filePath(u"bin"_s)));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.filePath(u"data"_s)));
}

// A clone owns the whole chain, so it outlives the original; each level has its own location.
void TestCore::exceptionChain()
{
    const AppException c(QString(), u"c.cpp"_s, 3, u"void c()"_s, QString());
    const AppException b(u"B"_s, c, u"b.cpp"_s, 2, u"void b()"_s, QString());
    auto a = std::make_unique<AppException>(u"A"_s, b, u"a.cpp"_s, 1, u"void a()"_s, QString());
    const QString rendered = a->toString(true);
    QVERIFY(
        rendered.startsWith(u"AppException: A\n  at void a() in a.cpp line 1\ncaused by AppException: B"_s)
        && rendered.endsWith(u"at void c() in c.cpp line 3"_s));
    QVERIFY(!a->toString(false).contains(u" at "_s));
    const std::unique_ptr<AppException> clone(a->clone());
    a.reset();
    QCOMPARE(clone->toString(true), rendered);
}

// No file, no log. A file made by createLogFile is its owner's only, and from then on takes every
// message.
void TestCore::logFollowsTheFile()
{
    enableLogging(u"TestLog.txt"_s);
    const QString path = m_root.filePath(u"data/Kestrum/Quillet/Logs/TestLog.txt"_s);
    qWarning() << "before the file";
    QVERIFY(QDir().mkpath(logDirectory()) && createLogFile(path));
    QCOMPARE(QFile::permissions(path),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    qInfo() << "text %1" << 42;
    qWarning() << "warning";

    const QStringList lines = QString::fromUtf8(readFile(path)).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(QDateTime::fromString(lines.at(0).left(20), Qt::ISODate).isValid());
    QVERIFY(lines.at(0).contains(u" - I - text %1 42 - at void TestCore::logFollowsTheFile() in "_s));
    QVERIFY(lines.at(1).contains(u" - W - warning - at "_s));
}

void TestCore::config_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QString>("error"); // the start of the message; empty: it loads
    QTest::addColumn<bool>("checkUser");
    QTest::addColumn<QStringList>("origins"); // {"-"}: no AllowedOrigins element

    const auto row = [](const char* name, const QByteArray& content, const QString& error,
                        bool checkUser = true, const QStringList& origins = {u"-"_s}) {
        QTest::newRow(name) << content << error << checkUser << origins;
    };
    row("any root, updater first, last CheckUser wins, FALSE with blanks",
        "<x><y>" + updater + "</y><QuilletTray>" + user + "<CheckUser> FALSE\n</CheckUser></QuilletTray></x>",
        {}, false);
    row("no leaves the check on; origins trimmed, blanks and other elements skipped",
        conf("<CheckUser>no</CheckUser><AllowedOrigins><Origin> https://a.example </Origin><Origin> </Origin>"
             "<Note>x</Note><Origin>http://127.0.0.1:8765</Origin></AllowedOrigins>"),
        {}, true, {u"https://a.example"_s, u"http://127.0.0.1:8765"_s});
    row("empty origin list allows nothing", conf(user + "<AllowedOrigins/>"), {}, true, {});
    row("no file", {}, u"Unable to find Quillet config in: "_s + QDir::currentPath() + u"/../etc/"_s);
    row("no updater section after a list", conf(user + "<AllowedOrigins/>", {}),
        u"Missing config for QuilletUpdater"_s);
    row("blank Url", conf(user, QByteArray(updater).replace("https://u.example/v.xml", " ")),
        u"Missing element: Url"_s);
    row("no Version", conf(user, QByteArray(updater).replace("<Version>2.6.1</Version>", "")),
        u"Missing element: Version"_s);
}

// A fresh configuration and one that had a good file with an origin list load each row. A broken
// file leaves the fresh one unloaded and never opens the other to every site; an unchanged one
// is not read twice.
void TestCore::config()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);
    QFETCH(bool, checkUser);
    QFETCH(QStringList, origins);

    QuilletConfig config;
    QVERIFY(writeConfig(conf(user + "<AllowedOrigins><Origin>https://l.example</Origin></AllowedOrigins>")));
    config.loadConfig();
    // A file that has not changed since is not opened again.
    const int opens = inotify_init1(IN_NONBLOCK);
    QVERIFY(inotify_add_watch(opens, "../etc/Quillet.conf", IN_OPEN) >= 0);
    config.loadConfig();
    char event[256];
    QVERIFY(read(opens, event, sizeof event) < 0 && close(opens) == 0);
    QVERIFY(writeConfig(content) || content.isNull());
    QuilletConfig fresh;
    try {
        fresh.loadConfig();
    } catch (const AppException& e) {
        QVERIFY2(!error.isEmpty() && e.generalMessage().startsWith(error), qPrintable(e.generalMessage()));
        QVERIFY_THROWS_EXCEPTION(AppException, fresh.url());
        try {
            config.loadConfig();
        } catch (const AppException&) {
            QCOMPARE(config.allowedOrigins().value_or(QStringList()), QStringList {u"https://l.example"_s});
        }
        return;
    }
    QVERIFY(error.isEmpty());
    QCOMPARE(fresh.checkUser(), checkUser);
    QCOMPARE(fresh.allowedOrigins().value_or(QStringList {u"-"_s}), origins);
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
