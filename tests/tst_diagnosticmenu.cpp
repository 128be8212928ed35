#include "boxcloser.h"
#include "diagnosticmenu.h"
#include "logcapture.h"
#include "logger.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

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
    QString logDir() const { return m_data->filePath(u"Kestrum/Quillet/Logs/"_s); }
    QStringList logFiles() const { return QDir(logDir()).entryList(QDir::Files, QDir::Name); }
    QAction* logsAction() const { return m_menu->actions().at(0); }
    void open()
    {
        m_menu->popup(QPoint(0, 0));
        m_menu->hide();
    }

    // In the order of a directory listing.
    const QStringList m_names {u"QuilletLog"_s, u"QuilletPkcs11Log"_s, u"QuilletTrayLog"_s,
                               u"QuilletUpdaterLog"_s};
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<DiagnosticMenu> m_menu;
    std::unique_ptr<BoxCloser> m_boxes;
    UrlRecorder m_recorder;
};

void TestDiagnosticMenu::init()
{
    m_data = std::make_unique<QTemporaryDir>();
    QVERIFY(m_data->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data->path()));
    QCOMPARE(logDirectory(), logDir());
    m_menu = std::make_unique<DiagnosticMenu>(nullptr);
    m_boxes = std::make_unique<BoxCloser>();
}

void TestDiagnosticMenu::cleanup()
{
    m_menu.reset();
    QDesktopServices::unsetUrlHandler(u"file"_s);
    m_recorder.urls.clear();
}

// Switching on makes four empty files; switching off keeps them under names with a UTC stamp.
void TestDiagnosticMenu::logsOnAndOff()
{
    LogCapture log;
    QCOMPARE(logsAction()->text(), u"&LogsOn"_s);
    logsAction()->trigger();
    QCOMPARE(logsAction()->text(), u"&LogsOff"_s);
    QVERIFY(log.contains(u"I: Start logging"_s));
    QCOMPARE(logFiles().size(), 4);
    for (const QString& name : m_names)
        QCOMPARE(QFileInfo(logDir() + name + u".txt"_s).size(), 0);
    QFile tray(logDir() + u"QuilletTrayLog.txt"_s);
    QVERIFY(tray.open(QIODevice::Append) && tray.write("collected line\n") > 0);
    tray.close();

    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1000);
    logsAction()->trigger();
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QCOMPARE(logsAction()->text(), u"&LogsOn"_s);
    const QStringList files = logFiles();
    QCOMPARE(files.size(), 4);
    for (int i = 0; i < files.size(); ++i) {
        const QString file = files.at(i);
        QDateTime stamp = QDateTime::fromString(file.section(u'-', 1).chopped(4), u"yyyy-MM-dd-hh-mm-ss"_s);
        stamp.setTimeSpec(Qt::UTC);
        QVERIFY2(file.startsWith(m_names.at(i) + u'-') && file.endsWith(u".txt"_s), qPrintable(file));
        QVERIFY2(stamp >= before && stamp <= after, qPrintable(file));
        QFile kept(logDir() + file);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray(m_names.at(i) == u"QuilletTrayLog"_s ? "collected line\n" : ""));
    }
    QVERIFY(m_boxes->titles().isEmpty());
}

void TestDiagnosticMenu::openingFollowsLogFiles_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<bool>("switchedOnBefore");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("logFileCount");
    QTest::newRow("only the tray's file: switches on, makes the rest")
        << QStringList {u"QuilletTrayLog.txt"_s} << false << u"&LogsOff"_s << 4;
    QTest::newRow("no log directory: stays off") << QStringList() << false << u"&LogsOn"_s << 0;
    QTest::newRow("saved files only: stays off")
        << QStringList {u"QuilletTrayLog-2026-03-07-14-05-09.txt"_s} << false << u"&LogsOn"_s << 1;
    QTest::newRow("all removed behind its back: switches off") << QStringList() << true << u"&LogsOn"_s << 0;
}

void TestDiagnosticMenu::openingFollowsLogFiles()
{
    QFETCH(QStringList, present);
    QFETCH(bool, switchedOnBefore);
    QFETCH(QString, text);
    QFETCH(int, logFileCount);
    if (switchedOnBefore) {
        logsAction()->trigger();
        QVERIFY(QDir(logDir()).removeRecursively());
    }
    QVERIFY(present.isEmpty() || QDir().mkpath(logDir()));
    for (const QString& name : present)
        QVERIFY(QFile(logDir() + name).open(QIODevice::WriteOnly));

    LogCapture log;
    open();
    QVERIFY(log.contains(u"I: Diagnostic menu was opened"_s));
    QCOMPARE(logsAction()->text(), text);
    QCOMPARE(logFiles().size(), logFileCount);
    QVERIFY(m_boxes->titles().isEmpty());

    // A second opening finds the menu in line with the files: nothing changes.
    log.clear();
    open();
    QVERIFY(!log.contains(u"Start logging"_s) && !log.contains(u"Save logs"_s));
}

void TestDiagnosticMenu::unmakeableLogDirectory()
{
    // A file where the product's directory should be: neither it nor a log file can be made.
    QVERIFY(QFile(m_data->filePath(u"Kestrum"_s)).open(QIODevice::WriteOnly));
    LogCapture log;
    logsAction()->trigger();
    QCOMPARE(log.count(u"W: Unable to construct the path to logs directory"_s), 1);
    QCOMPARE(log.count(u"W: Unable to open the log file "_s), 4);
    QCOMPARE(m_boxes->titles(), QStringList(5, u"AppName"_s));
    // The entry is not rolled back; the next opening corrects it from the files.
    QCOMPARE(logsAction()->text(), u"&LogsOff"_s);
    open();
    QCOMPARE(logsAction()->text(), u"&LogsOn"_s);
}

void TestDiagnosticMenu::renamesFailWhenSavedNamesAreTaken()
{
    for (int i = 0; i < 3; ++i)
        logsAction()->trigger();
    // The second switch-off must fall into the same second as the first; should the
    // clock tick meanwhile, names of the next seconds are taken as well.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int second = 0; second <= 3; ++second) {
        const QString stamp = now.addSecs(second).toString(u"yyyy-MM-dd-hh-mm-ss"_s);
        for (const QString& name : m_names) {
            QFile taken(logDir() + name + u'-' + stamp + u".txt"_s);
            QVERIFY(taken.exists() || taken.open(QIODevice::WriteOnly));
        }
    }

    LogCapture log;
    logsAction()->trigger();
    QCOMPARE(log.count(u"W: Unable to rename the log file "_s), 4);
    QCOMPARE(m_boxes->titles(), QStringList(4, u"AppName"_s));
    for (const QString& name : m_names)
        QVERIFY(QFileInfo::exists(logDir() + name + u".txt"_s));
    QCOMPARE(logsAction()->text(), u"&LogsOn"_s);
    open();
    QCOMPARE(logsAction()->text(), u"&LogsOff"_s);
}

void TestDiagnosticMenu::browseLogs_data()
{
    QTest::addColumn<bool>("logDirectory");
    QTest::addColumn<bool>("fileManager");
    QTest::addColumn<QString>("boxText");
    QTest::newRow("no log directory yet") << false << true << u"&NoLogs"_s;
    QTest::newRow("wrapper missing: the desktop's handler opens it") << true << true << QString();
    QTest::newRow("wrapper missing and no handler") << true << false << u"GeneralError"_s;
}

void TestDiagnosticMenu::browseLogs()
{
    QFETCH(bool, logDirectory);
    QFETCH(bool, fileManager);
    QFETCH(QString, boxText);
    if (QFileInfo::exists(u"/opt/kestrum/quillet/bin/xdg-open.sh"_s))
        QSKIP("The installed package's wrapper would open a real file manager");
    QVERIFY(!logDirectory || QDir().mkpath(logDir()));
    if (fileManager)
        QDesktopServices::setUrlHandler(u"file"_s, &m_recorder, "open");

    LogCapture log;
    m_menu->actions().at(1)->trigger();
    QVERIFY(log.contains(u"I: Browse logs clicked"_s));
    QCOMPARE(m_boxes->titles(), boxText.isEmpty() ? QStringList() : QStringList {u"AppName"_s});
    if (!boxText.isEmpty())
        QVERIFY(log.contains(u"Showing error with message:  \"%1\""_s.arg(boxText)));
    const QString url = QUrl::fromLocalFile(logDir()).toString(QUrl::FullyEncoded);
    QCOMPARE(log.contains(u"D: Opening logs directory \"%1\""_s.arg(url)), logDirectory);
    QCOMPARE(m_recorder.urls, logDirectory && fileManager ? QList<QUrl> {QUrl(url)} : QList<QUrl>());
}

QTEST_MAIN(TestDiagnosticMenu)
#include "tst_diagnosticmenu.moc"
