#include "boxcloser.h"
#include "diagnosticmenu.h"
#include "logcapture.h"
#include "logger.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// Stands in for the desktop's file manager: records the URLs it was asked to open.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

// The logging switch against a real, temporary data directory.
class TestDiagnosticMenu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void logsOnAndOff();
    void openingFollowsLogFiles_data();
    void openingFollowsLogFiles();
    void unmakeableLogDirectory();
    void renamesFailWhenSavedNamesAreTaken();
    void browseLogs_data();
    void browseLogs();

private:
    QString logDir() const { return m_data->filePath(QStringLiteral("Kestrum/Quillet/Logs/")); }
    QStringList logFiles() const;
    static void open(QMenu& menu);

    const QStringList m_names {QStringLiteral("QuilletLog"), QStringLiteral("QuilletPkcs11Log"),
                               QStringLiteral("QuilletUpdaterLog"), QStringLiteral("QuilletTrayLog")};
    std::unique_ptr<QTemporaryDir> m_data;
    UrlRecorder m_recorder;
};

void TestDiagnosticMenu::init()
{
    m_data = std::make_unique<QTemporaryDir>();
    QVERIFY(m_data->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
    QCOMPARE(logDirectory(), logDir());
}

void TestDiagnosticMenu::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    m_recorder.urls.clear();
}

QStringList TestDiagnosticMenu::logFiles() const
{
    return QDir(logDir()).entryList(QDir::Files, QDir::Name);
}

void TestDiagnosticMenu::open(QMenu& menu)
{
    menu.popup(QPoint(0, 0));
    menu.hide();
}

// "&LogsOn" makes four empty files; "&LogsOff" keeps them under names with a UTC stamp.
void TestDiagnosticMenu::logsOnAndOff()
{
    LogCapture log;
    BoxCloser boxes;
    DiagnosticMenu menu(nullptr);
    QCOMPARE(menu.title(), QStringLiteral("&DiagTitle"));
    QCOMPARE(menu.actions().size(), 2);
    QAction* logs = menu.actions().at(0);
    QCOMPARE(menu.actions().at(1)->text(), QStringLiteral("&BrowseLogs"));
    QCOMPARE(logs->text(), QStringLiteral("&LogsOn"));
    logs->trigger();

    QStringList names;
    for (const QString& name : m_names)
        names.append(name + QStringLiteral(".txt"));
    names.sort();
    QCOMPARE(logFiles(), names);
    for (const QString& name : names)
        QCOMPARE(QFileInfo(logDir() + name).size(), 0);
    QCOMPARE(logs->text(), QStringLiteral("&LogsOff"));
    QVERIFY(log.contains(QStringLiteral("I: Start logging")));
    {
        QFile tray(logDir() + QStringLiteral("QuilletTrayLog.txt"));
        QVERIFY(tray.open(QIODevice::Append));
        tray.write("collected line\n");
    }

    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1000);
    logs->trigger();
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QCOMPARE(logs->text(), QStringLiteral("&LogsOn"));
    const QStringList files = logFiles();
    QCOMPARE(files.size(), 4);
    const QRegularExpression saved(QStringLiteral(R"(^(\w+)-(\d{4}-\d\d-\d\d-\d\d-\d\d-\d\d)\.txt$)"));
    for (int i = 0; i < files.size(); ++i) {
        const QRegularExpressionMatch match = saved.match(files.at(i));
        QVERIFY2(match.hasMatch(), qPrintable(files.at(i)));
        QCOMPARE(match.captured(1) + QStringLiteral(".txt"), names.at(i));
        QDateTime stamp = QDateTime::fromString(match.captured(2), QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
        stamp.setTimeSpec(Qt::UTC);
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(files.at(i)));
        QFile kept(logDir() + files.at(i));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray(i == 2 ? "collected line\n" : ""));
    }
    QVERIFY(boxes.titles().isEmpty());
}

void TestDiagnosticMenu::openingFollowsLogFiles_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<bool>("switchedOnBefore");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("logFileCount");

    QTest::newRow("only the tray's file: switches on, makes the rest")
        << QStringList {"QuilletTrayLog.txt"} << false << "&LogsOff" << 4;
    QTest::newRow("no log directory: stays off") << QStringList() << false << "&LogsOn" << 0;
    QTest::newRow("saved files only: stays off")
        << QStringList {"QuilletTrayLog-2026-03-07-14-05-09.txt"} << false << "&LogsOn" << 1;
    QTest::newRow("all removed behind its back: switches off") << QStringList() << true << "&LogsOn" << 0;
}

void TestDiagnosticMenu::openingFollowsLogFiles()
{
    QFETCH(QStringList, present);
    QFETCH(bool, switchedOnBefore);
    QFETCH(QString, text);
    QFETCH(int, logFileCount);

    BoxCloser boxes;
    DiagnosticMenu menu(nullptr);
    if (switchedOnBefore) {
        menu.actions().at(0)->trigger();
        QVERIFY(QDir(logDir()).removeRecursively());
    }
    if (!present.isEmpty())
        QVERIFY(QDir().mkpath(logDir()));
    for (const QString& name : present) {
        QFile file(logDir() + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    LogCapture log;
    open(menu);
    QVERIFY(log.contains(QStringLiteral("I: Diagnostic menu was opened")));
    QCOMPARE(menu.actions().at(0)->text(), text);
    QCOMPARE(logFiles().size(), logFileCount);
    QVERIFY(boxes.titles().isEmpty());

    // A second opening finds the menu in line with the files: nothing changes.
    log.clear();
    open(menu);
    QVERIFY(!log.contains(QStringLiteral("Start logging")));
    QVERIFY(!log.contains(QStringLiteral("Save logs")));
}

void TestDiagnosticMenu::unmakeableLogDirectory()
{
    // A file where the product's directory should be: neither it nor a log file can be made.
    QFile blocker(m_data->filePath(QStringLiteral("Kestrum")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    LogCapture log;
    BoxCloser boxes;
    DiagnosticMenu menu(nullptr);
    menu.actions().at(0)->trigger();

    QCOMPARE(log.count(QStringLiteral("W: Unable to construct the path to logs directory")), 1);
    QCOMPARE(log.count(QStringLiteral("W: Unable to open the log file ")), 4);
    QCOMPARE(boxes.titles().size(), 5);
    QCOMPARE(log.count(QStringLiteral("Showing error with message:  \"GeneralError\"")), 5);
    // The entry is not rolled back; the next opening corrects it from the files.
    QCOMPARE(menu.actions().at(0)->text(), QStringLiteral("&LogsOff"));
    open(menu);
    QCOMPARE(menu.actions().at(0)->text(), QStringLiteral("&LogsOn"));
}

void TestDiagnosticMenu::renamesFailWhenSavedNamesAreTaken()
{
    BoxCloser boxes;
    DiagnosticMenu menu(nullptr);
    QAction* logs = menu.actions().at(0);
    logs->trigger();
    logs->trigger();
    logs->trigger();

    // The second switch-off must fall into the same second as the first; should the
    // clock tick meanwhile, names of the next seconds are taken as well.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int second = 0; second <= 3; ++second) {
        const QString stamp = now.addSecs(second).toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
        for (const QString& name : m_names) {
            QFile taken(logDir() + name + QLatin1Char('-') + stamp + QStringLiteral(".txt"));
            if (!taken.exists())
                QVERIFY(taken.open(QIODevice::WriteOnly));
        }
    }

    LogCapture log;
    logs->trigger();

    QCOMPARE(log.count(QStringLiteral("W: Unable to rename the log file ")), 4);
    QCOMPARE(boxes.titles(), QStringList(4, QStringLiteral("AppName")));
    for (const QString& name : m_names)
        QVERIFY(QFileInfo::exists(logDir() + name + QStringLiteral(".txt")));
    QCOMPARE(logs->text(), QStringLiteral("&LogsOn"));
    open(menu);
    QCOMPARE(logs->text(), QStringLiteral("&LogsOff"));
}

void TestDiagnosticMenu::browseLogs_data()
{
    QTest::addColumn<bool>("logDirectory");
    QTest::addColumn<bool>("fileManager");
    QTest::addColumn<QString>("boxText");

    QTest::newRow("no log directory yet") << false << true << "&NoLogs";
    QTest::newRow("wrapper missing: the desktop's handler opens it") << true << true << QString();
    QTest::newRow("wrapper missing and no handler") << true << false << "GeneralError";
}

void TestDiagnosticMenu::browseLogs()
{
    QFETCH(bool, logDirectory);
    QFETCH(bool, fileManager);
    QFETCH(QString, boxText);

    if (QFileInfo::exists(QStringLiteral("/opt/kestrum/quillet/bin/xdg-open.sh")))
        QSKIP("The installed package's wrapper would open a real file manager");
    if (logDirectory)
        QVERIFY(QDir().mkpath(logDir()));
    if (fileManager)
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_recorder, "open");

    LogCapture log;
    BoxCloser boxes;
    DiagnosticMenu menu(nullptr);
    menu.actions().at(1)->trigger();

    QVERIFY(log.contains(QStringLiteral("I: Browse logs clicked")));
    if (boxText.isEmpty()) {
        QVERIFY(boxes.titles().isEmpty());
    } else {
        QCOMPARE(boxes.titles(), QStringList {QStringLiteral("AppName")});
        QVERIFY(log.contains(QStringLiteral("Showing error with message:  \"%1\"").arg(boxText)));
    }
    if (!logDirectory) {
        QVERIFY(m_recorder.urls.isEmpty());
        return;
    }
    const QString url = QUrl::fromLocalFile(logDir()).toString(QUrl::FullyEncoded);
    QVERIFY(log.contains(QStringLiteral("D: Opening logs directory \"%1\"").arg(url)));
    if (fileManager)
        QCOMPARE(m_recorder.urls, QList<QUrl> {QUrl::fromLocalFile(logDir())});
}

QTEST_MAIN(TestDiagnosticMenu)
#include "tst_diagnosticmenu.moc"
