#include "boxcloser.h"
#include "logcapture.h"
#include "startupaction.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const QByteArray noFile = QByteArrayLiteral("<no file>");

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : noFile;
}

bool write(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}
} // namespace

// The autostart switch against real files under a temporary HOME. The program runs
// from its own bin directory here, so the installed entry beside it is the test's.
class TestStartupAction : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup() { QFile::remove(m_installedEntry); }
    void click_data();
    void click();
    void update_data();
    void update();

private:
    QString autostartFile() const
    {
        return m_home->filePath(u".config/autostart/eu.kestrum.Quillet.desktop"_s);
    }

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_installedEntry;
    QByteArray m_entryContents;
};

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

void TestStartupAction::click_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("configDir");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("enable");
    QTest::addColumn<QByteArray>("after"); // null: the installed entry
    QTest::addColumn<QStringList>("warnings");

    const QByteArray entryFalse = "[Desktop Entry]\nName=Q\nX-GNOME-Autostart-enabled=false\nExec=q\n";
    const QByteArray entryTrue = "[Desktop Entry]\nName=Q\nX-GNOME-Autostart-enabled=true\nExec=q\n";
    const QByteArray entryNoKey = "[Desktop Entry]\nName=Q\nExec=q\n";
    const QString failed = u"W: Unable to set startup value"_s;

    QTest::newRow("no file, enable: copies the installed entry")
        << noFile << true << true << true << QByteArray() << QStringList();
    QTest::newRow("no file, disable: nothing to do")
        << noFile << true << true << false << noFile << QStringList();
    QTest::newRow("no file and no installed entry: copy fails")
        << noFile << true << false << true << noFile
        << QStringList {u"W: Unable to copy startup file \""_s, failed};
    QTest::newRow("false to true: the file gets one byte shorter")
        << entryFalse << true << true << true << entryTrue << QStringList();
    QTest::newRow("TRUE to false") << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=TRUE\n") << true
                                   << true << false
                                   << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n")
                                   << QStringList();
    QTest::newRow("no key, disable: file deleted")
        << entryNoKey << true << true << false << noFile
        << QStringList {u"W: Unable to find X-GNOME-Autostart-enabled in file"_s};
    QTest::newRow("no key, enable: already active")
        << entryNoKey << true << true << true << entryNoKey << QStringList();
    QTest::newRow("yes: undetermined")
        << QByteArray("X-GNOME-Autostart-enabled=yes\n") << true << true << true
        << QByteArray("X-GNOME-Autostart-enabled=yes\n") << QStringList {failed};
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
    QVERIFY(installed || QFile::remove(m_installedEntry));
    QVERIFY(!configDir || QDir(m_home->path()).mkpath(u".config/autostart"_s));
    QVERIFY(before == noFile || write(autostartFile(), before));

    LogCapture log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    action.setChecked(!enable);
    action.trigger();

    QCOMPARE(action.isChecked(), enable);
    QCOMPARE(read(autostartFile()), after.isNull() ? m_entryContents : after);
    for (const QString& warning : warnings)
        QVERIFY2(log.contains(warning), qPrintable(log.lines().join(u'\n')));
    const bool failed = warnings.contains(u"W: Unable to set startup value"_s);
    QCOMPARE(boxes.titles(), failed ? QStringList {u"AppName"_s} : QStringList());
    QVERIFY(configDir || !QFileInfo::exists(m_home->filePath(u".config"_s)));
}

void TestStartupAction::update_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("undetermined");
    QTest::newRow("no file") << noFile << false << false;
    QTest::newRow("trueish counts as true")
        << QByteArray("X-GNOME-Autostart-enabled=trueish") << true << false;
    QTest::newRow("False") << QByteArray("X-GNOME-Autostart-enabled=False\n") << false << false;
    QTest::newRow("no key is active") << QByteArray("[Desktop Entry]\n") << true << false;
    QTest::newRow("yes") << QByteArray("X-GNOME-Autostart-enabled=yes\n") << false << true;
    QTest::newRow("key at the very end") << QByteArray("X-GNOME-Autostart-enabled=") << false << true;
    QTest::newRow("unreadable: a directory") << QByteArray() << false << true;
}

// Reading sets the check mark and never changes the file; what it cannot tell is an error.
void TestStartupAction::update()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, checked);
    QFETCH(bool, undetermined);
    QVERIFY(QDir(m_home->path()).mkpath(u".config/autostart"_s));
    if (contents.isNull())
        QVERIFY(QDir().mkpath(autostartFile()));
    else
        QVERIFY(contents == noFile || write(autostartFile(), contents));

    LogCapture log;
    BoxCloser boxes;
    StartupAction action(nullptr);
    action.setChecked(!checked);
    action.update();

    QCOMPARE(action.isChecked(), checked);
    QVERIFY(log.contains(u"I: Updating startup action"_s));
    QCOMPARE(log.contains(u"W: Unable to get startup data"_s), undetermined);
    QCOMPARE(boxes.titles(), undetermined ? QStringList {u"AppName"_s} : QStringList());
    QCOMPARE(read(autostartFile()), contents.isNull() ? noFile : contents);
}

QTEST_MAIN(TestStartupAction)
#include "tst_startupaction.moc"
