#include "boxcloser.h"
#include "logcapture.h"
#include "startupaction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// The autostart switch against real files under a temporary HOME. The program runs
// from its own bin directory here, so the installed entry beside it is the test's.
class TestStartupAction : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void click_data();
    void click();
    void update_data();
    void update();

private:
    QString autostartFile() const;
    static QByteArray read(const QString& path);
    static bool write(const QString& path, const QByteArray& contents);

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_installedEntry;
    QByteArray m_entryContents;
};

namespace {
const QByteArray noFile = QByteArrayLiteral("<no file>");
}

void TestStartupAction::initTestCase()
{
    m_installedEntry
        = QCoreApplication::applicationDirPath() + u"/../share/applications/eu.kestrum.Quillet.desktop"_s;
    m_entryContents
        = read(QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"));
    QVERIFY(m_entryContents.contains("X-GNOME-Autostart-enabled=true"));
}

void TestStartupAction::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    qputenv("HOME", QFile::encodeName(m_home->path()));
    QVERIFY(QDir().mkpath(QFileInfo(m_installedEntry).path()));
    QVERIFY(write(m_installedEntry, m_entryContents));
}

void TestStartupAction::cleanup()
{
    QFile::remove(m_installedEntry);
}

QString TestStartupAction::autostartFile() const
{
    return m_home->filePath(u".config/autostart/eu.kestrum.Quillet.desktop"_s);
}

QByteArray TestStartupAction::read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : noFile;
}

bool TestStartupAction::write(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

void TestStartupAction::click_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("configDir");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("enable");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("warnings");

    const QByteArray entryFalse = "[Desktop Entry]\nName=Q\nX-GNOME-Autostart-enabled=false\nExec=q\n";
    const QByteArray entryTrue = "[Desktop Entry]\nName=Q\nX-GNOME-Autostart-enabled=true\nExec=q\n";
    const QByteArray entryUpper = "[Desktop Entry]\nX-GNOME-Autostart-enabled=TRUE\n";
    const QByteArray entryNoKey = "[Desktop Entry]\nName=Q\nExec=q\n";
    const QByteArray entryYes = "[Desktop Entry]\nX-GNOME-Autostart-enabled=yes\n";
    const QString failed = u"W: Unable to set startup value"_s;

    QTest::newRow("no file, enable: copies the installed entry")
        << noFile << true << true << true << QByteArray() << QStringList();
    QTest::newRow("no file, disable: nothing to do")
        << noFile << true << true << false << noFile << QStringList();
    QTest::newRow("no file and no installed entry: copy fails")
        << noFile << true << false << true << noFile
        << QStringList {u"W: Unable to copy startup file \""_s, failed};
    QTest::newRow("false to true: one byte shorter")
        << entryFalse << true << true << true << entryTrue << QStringList();
    QTest::newRow("TRUE to false") << entryUpper << true << true << false
                                   << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n")
                                   << QStringList();
    QTest::newRow("true, enable again: unchanged")
        << entryTrue << true << true << true << entryTrue << QStringList();
    QTest::newRow("no key, disable: file deleted")
        << entryNoKey << true << true << false << noFile
        << QStringList {u"W: Unable to find X-GNOME-Autostart-enabled in file"_s, u"W: File doesn't exist"_s};
    QTest::newRow("no key, enable: already active")
        << entryNoKey << true << true << true << entryNoKey
        << QStringList {u"I: Unable to find X-GNOME-Autostart-enabled in file"_s};
    QTest::newRow("yes, enable: undetermined")
        << entryYes << true << true << true << entryYes << QStringList {failed};
    QTest::newRow("yes, disable: undetermined")
        << entryYes << true << true << false << entryYes << QStringList {failed};
    QTest::newRow("missing ~/.config: not made with its parents")
        << noFile << false << true << true << noFile
        << QStringList {u"W: Unable to create dir autostart in"_s, failed};
}

void TestStartupAction::click()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, configDir);
    QFETCH(bool, installed);
    QFETCH(bool, enable);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, warnings);

    if (after.isNull())
        after = m_entryContents;
    if (!installed)
        QVERIFY(QFile::remove(m_installedEntry));
    if (configDir)
        QVERIFY(QDir(m_home->path()).mkpath(u".config/autostart"_s));
    if (before != noFile)
        QVERIFY(write(autostartFile(), before));

    LogCapture log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    QCOMPARE(action.text(), u"Startup"_s);
    QVERIFY(action.isCheckable());
    action.setChecked(!enable);
    action.trigger();

    QCOMPARE(action.isChecked(), enable);
    QCOMPARE(read(autostartFile()), after);
    QVERIFY(log.contains(u"I: Startup triggered"_s));
    QVERIFY(log.contains(u"I: Startup action will be set to: "_s
                         + QLatin1String(enable ? "Enabled" : "Disabled")));
    for (const QString& warning : warnings)
        QVERIFY2(log.contains(warning), qPrintable(log.lines().join(u'\n')));

    const bool expectBox = warnings.contains(u"W: Unable to set startup value"_s);
    QCOMPARE(boxes.titles(), expectBox ? QStringList {u"AppName"_s} : QStringList());
    if (expectBox)
        QVERIFY(log.contains(u"Showing error with message:  \"GeneralError\""_s));
    if (!configDir)
        QVERIFY(!QFileInfo::exists(m_home->filePath(u".config"_s)));
}

void TestStartupAction::update_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("directory");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("box");

    QTest::newRow("no file") << noFile << false << false << false;
    QTest::newRow("true") << QByteArray("X-GNOME-Autostart-enabled=true\n") << false << true << false;
    QTest::newRow("trueish counts as true")
        << QByteArray("X-GNOME-Autostart-enabled=trueish") << false << true << false;
    QTest::newRow("False") << QByteArray("X-GNOME-Autostart-enabled=False\n") << false << false << false;
    QTest::newRow("no key is active") << QByteArray("[Desktop Entry]\n") << false << true << false;
    QTest::newRow("yes: undetermined")
        << QByteArray("X-GNOME-Autostart-enabled=yes\n") << false << false << true;
    QTest::newRow("key at the very end")
        << QByteArray("X-GNOME-Autostart-enabled=") << false << false << true;
    QTest::newRow("unreadable: a directory") << noFile << true << false << true;
}

void TestStartupAction::update()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, directory);
    QFETCH(bool, checked);
    QFETCH(bool, box);

    QVERIFY(QDir(m_home->path()).mkpath(u".config/autostart"_s));
    if (contents != noFile)
        QVERIFY(write(autostartFile(), contents));
    if (directory)
        QVERIFY(QDir().mkpath(autostartFile()));

    LogCapture log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    action.setChecked(!checked);
    action.update();

    QCOMPARE(action.isChecked(), checked);
    QVERIFY(log.contains(u"I: Updating startup action"_s));
    QCOMPARE(log.contains(u"W: Unable to get startup data"_s), box);
    QCOMPARE(boxes.titles(), box ? QStringList {u"AppName"_s} : QStringList());
    if (directory)
        QVERIFY(log.contains(u"W: Unable to open file"_s));
    // Reading never changes the file.
    QCOMPARE(read(autostartFile()), directory ? noFile : contents);
}

QTEST_MAIN(TestStartupAction)
#include "tst_startupaction.moc"
