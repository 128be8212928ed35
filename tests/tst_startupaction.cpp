#include "boxcloser.h"
#include "messagelog.h"
#include "startupaction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

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
    m_installedEntry = QCoreApplication::applicationDirPath()
        + QStringLiteral("/../share/applications/eu.kestrum.Quillet.desktop");
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
    return m_home->filePath(QStringLiteral(".config/autostart/eu.kestrum.Quillet.desktop"));
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
    const QString failed = QStringLiteral("W - Unable to set startup value");

    QTest::newRow("no file, enable: copies the installed entry")
        << noFile << true << true << true << QByteArray() << QStringList();
    QTest::newRow("no file, disable: nothing to do")
        << noFile << true << true << false << noFile << QStringList();
    QTest::newRow("no file and no installed entry: copy fails")
        << noFile << true << false << true << noFile
        << QStringList {QStringLiteral("W - Unable to copy startup file \""), failed};
    QTest::newRow("false to true: one byte shorter")
        << entryFalse << true << true << true << entryTrue << QStringList();
    QTest::newRow("TRUE to false") << entryUpper << true << true << false
                                   << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n")
                                   << QStringList();
    QTest::newRow("true, enable again: unchanged")
        << entryTrue << true << true << true << entryTrue << QStringList();
    QTest::newRow("no key, disable: file deleted")
        << entryNoKey << true << true << false << noFile
        << QStringList {QStringLiteral("W - Unable to find X-GNOME-Autostart-enabled in file"),
                        QStringLiteral("W - File doesn't exist")};
    QTest::newRow("no key, enable: already active")
        << entryNoKey << true << true << true << entryNoKey
        << QStringList {QStringLiteral("I - Unable to find X-GNOME-Autostart-enabled in file")};
    QTest::newRow("yes, enable: undetermined")
        << entryYes << true << true << true << entryYes << QStringList {failed};
    QTest::newRow("yes, disable: undetermined")
        << entryYes << true << true << false << entryYes << QStringList {failed};
    QTest::newRow("missing ~/.config: not made with its parents")
        << noFile << false << true << true << noFile
        << QStringList {QStringLiteral("W - Unable to create dir autostart in"), failed};
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
        QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".config/autostart")));
    if (before != noFile)
        QVERIFY(write(autostartFile(), before));

    MessageLog log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    QCOMPARE(action.text(), QStringLiteral("Startup"));
    QVERIFY(action.isCheckable());
    action.setChecked(!enable);
    action.trigger();

    QCOMPARE(action.isChecked(), enable);
    QCOMPARE(read(autostartFile()), after);
    QVERIFY(log.contains(QStringLiteral("I - Startup triggered")));
    QVERIFY(log.contains(QStringLiteral("I - Startup action will be set to: ")
                         + QLatin1String(enable ? "Enabled" : "Disabled")));
    for (const QString& warning : warnings)
        QVERIFY2(log.contains(warning), qPrintable(log.lines().join(QLatin1Char('\n'))));

    const bool expectBox = warnings.contains(QStringLiteral("W - Unable to set startup value"));
    QCOMPARE(boxes.titles(), expectBox ? QStringList {QStringLiteral("AppName")} : QStringList());
    if (expectBox)
        QVERIFY(log.contains(QStringLiteral("Showing error with message:  \"GeneralError\"")));
    if (!configDir)
        QVERIFY(!QFileInfo::exists(m_home->filePath(QStringLiteral(".config"))));
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

    QVERIFY(QDir(m_home->path()).mkpath(QStringLiteral(".config/autostart")));
    if (contents != noFile)
        QVERIFY(write(autostartFile(), contents));
    if (directory)
        QVERIFY(QDir().mkpath(autostartFile()));

    MessageLog log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    action.setChecked(!checked);
    action.update();

    QCOMPARE(action.isChecked(), checked);
    QVERIFY(log.contains(QStringLiteral("I - Updating startup action")));
    QCOMPARE(log.contains(QStringLiteral("W - Unable to get startup data")), box);
    QCOMPARE(boxes.titles(), box ? QStringList {QStringLiteral("AppName")} : QStringList());
    if (directory)
        QVERIFY(log.contains(QStringLiteral("W - Unable to open file")));
    // Reading never changes the file.
    QCOMPARE(read(autostartFile()), directory ? noFile : contents);
}

QTEST_MAIN(TestStartupAction)
#include "tst_startupaction.moc"
