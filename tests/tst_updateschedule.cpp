#include "logcapture.h"
#include "msgbox.h"
#include "quillettray.h"
#include "testhttpserver.h"
#include "testsigner.h"
#include "traysandbox.h"

#include <functional>
#include <QMenu>
#include <QTranslator>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
const char* const proxyVariables[] = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                                      "all_proxy",  "ALL_PROXY",   "no_proxy",   "NO_PROXY"};
// Return values of runLoopUntil() other than the tray's own.
constexpr int stillRunning = 42;
constexpr int timedOut = 99;
// Lines of the schedule itself, among those of the version check and the stamps.
const QStringList scheduleMarkers {
    u"Entering check new day"_s, u"Setting up "_s,      u"Starting UpdaterLib"_s,   u"QuilletUpdater"_s,
    u"Updater error count:"_s,   u"Overriding file:"_s, u"Override is successful"_s};

// The log for a failure message.
QByteArray dump(const LogCapture& log)
{
    return log.lines().join(u'\n').toLocal8Bit();
}
} // namespace

// The tray with the schedule's intervals in milliseconds and a calendar of the test's.
class ScheduledTray : public QuilletTray
{
public:
    // The program's directory is the current one; `directory` takes its place.
    ScheduledTray(const QString& directory, const QString& languageCode, int checkMs, int loopMs, int retryMs)
        : QuilletTray(nullptr, languageCode, ScheduleDelays {checkMs, loopMs, retryMs})
    {
        QDir::setCurrent(directory);
    }

    // A null date follows the real calendar.
    QDate date;

protected:
    QDate today() const override { return date.isValid() ? date : QuilletTray::today(); }
};

// The daily update schedule of the tray: real version checks against a local HTTP
// server, fake updater scripts that record their arguments, stamps under a temporary
// data directory.
class TestUpdateSchedule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void firstLook_data();
    void firstLook();
    void normalDayAndTheNext();
    void newerVersionStartsTheUpdater();
    void failuresInTheStampsMonth();
    void failuresInANewMonth_data();
    void failuresInANewMonth();
    void isNewMonth_data();
    void isNewMonth();
    void checkVersionTwiceGivesOneProcess();
    void missingUpdaterScript();
    void updaterExitCodes_data();
    void updaterExitCodes();

private:
    void useDocument(const QString& path);
    void writeUpdater(const QString& body);
    QDateTime makeStamp();
    QStringList updaterCalls() const;
    QString stampPath() const;
    QString binDirectory() const { return m_root->filePath(u"bin"_s); }
    static QStringList scheduleLines(const LogCapture& log);
    static int runLoopUntil(const std::function<bool()>& done);
    static QAction* checkVersionAction(QuilletTray& tray);

    QTranslator m_translator;
    TestHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_root;
    bool m_signedDocuments = false;
    bool m_birthTimeKept = false;
};

void TestUpdateSchedule::initTestCase()
{
    QVERIFY(m_translator.load(QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm")));
    QVERIFY(QCoreApplication::installTranslator(&m_translator));
    // The check uses the system's proxy settings; nothing may leave loopback.
    for (const char* name : proxyVariables)
        qunsetenv(name);

    QVERIFY(m_server.listenPlain());
    m_server.serve(u"/broken.xml"_s, TestHttpServer::status(500));
#ifdef QUILLET_UPDATE_KEY_IS_DEV
    // The documents stay valid for the whole run; the signer's files go with this directory.
    static QTemporaryDir signing;
    QVERIFY(signing.isValid());
    TestSigner signer(signing.path());
    const QString page = u"https://kestrum.eu/quillet"_s;
    for (const QString& version : {u"2.6.1"_s, u"2.7"_s}) {
        const QByteArray document = signer.makeDocument({version, page});
        const QByteArray signature = signer.sign(document);
        QVERIFY2(!document.isEmpty() && !signature.isEmpty(), qPrintable(signer.lastError()));
        m_server.serve(u"/v%1.xml"_s.arg(version), TestHttpServer::ok(document));
        m_server.serve(u"/v%1.xml.sig"_s.arg(version), TestHttpServer::ok(signature));
    }
    m_signedDocuments = true;
#endif

    QTemporaryFile probe;
    QVERIFY(probe.open());
    m_birthTimeKept = QFileInfo(probe.fileName()).birthTime().isValid();
    if (!m_birthTimeKept)
        qInfo("The file system keeps no birth times: every stamp counts as made in another month");
}

void TestUpdateSchedule::init()
{
    m_root = makeTraySandbox();
    QVERIFY(m_root);
    // The tray moves to the program's directory; the configuration and the updater script
    // are found relative to the current directory, so the test's tree takes its place.
    QVERIFY(QDir::setCurrent(binDirectory()));
    useDocument(u"/v2.6.1.xml"_s);
    m_server.clearLog();
}

void TestUpdateSchedule::cleanup()
{
    MsgBox::setTerminating(false);
}

void TestUpdateSchedule::useDocument(const QString& path)
{
    QFile file(m_root->filePath(u"etc/Quillet.conf"_s));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QStringLiteral("<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray>"
                              "<QuilletUpdater><Version>2.6.1</Version><Url>%1</Url>"
                              "<DownloadUrl>https://kestrum.eu/d/</DownloadUrl></QuilletUpdater></Quillet>")
                   .arg(m_server.url(path).toString())
                   .toUtf8());
}

void TestUpdateSchedule::writeUpdater(const QString& body)
{
    QFile script(m_root->filePath(u"bin/QuilletUpdater.sh"_s));
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    const QString calls = m_root->filePath(u"updater-calls.txt"_s);
    script.write(u"#!/bin/sh\necho \"$*\" >> '%1'\n%2\n"_s.arg(calls, body).toUtf8());
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
}

// An empty stamp made now; its birth time.
QDateTime TestUpdateSchedule::makeStamp()
{
    QDir().mkpath(QFileInfo(stampPath()).path());
    QFile(stampPath()).open(QIODevice::WriteOnly);
    return QFileInfo(stampPath()).birthTime();
}

QStringList TestUpdateSchedule::updaterCalls() const
{
    QFile file(m_root->filePath(u"updater-calls.txt"_s));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

QString TestUpdateSchedule::stampPath() const
{
    return m_root->filePath(u"data/Kestrum/Quillet/update.stamp"_s);
}

QStringList TestUpdateSchedule::scheduleLines(const LogCapture& log)
{
    QStringList lines;
    for (const QString& line : log.lines()) {
        for (const QString& marker : scheduleMarkers) {
            if (line.contains(marker)) {
                lines.append(line);
                break;
            }
        }
    }
    return lines;
}

// Runs the application's event loop, as the program does, until `done` holds (the
// result is then stillRunning), the tray ends it, or 20 seconds pass (timedOut).
int TestUpdateSchedule::runLoopUntil(const std::function<bool()>& done)
{
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&done] {
        if (done())
            QCoreApplication::exit(stillRunning);
    });
    poll.start(10);
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(timedOut); });
    limit.start(20000);
    return QCoreApplication::exec();
}

QAction* TestUpdateSchedule::checkVersionAction(QuilletTray& tray)
{
    // Right below the first separator.
    QAction* action = tray.contextMenu()->actions().value(2);
    return action && action->text() == u"&Check for updates"_s ? action : nullptr;
}

void TestUpdateSchedule::firstLook_data()
{
    QTest::addColumn<bool>("checkFromMenu");
    QTest::addColumn<QString>("line");

    QTest::newRow("fresh start: check in 15 minutes")
        << false << u"I: Setting up delay version check up to -> 900000"_s;
    // The updater script is missing here: the start fails quietly, the day counts as checked.
    QTest::newRow("checked from the menu: look again in 6 hours")
        << true << u"I: Setting up loop check timer up to -> 21600000"_s;
}

void TestUpdateSchedule::firstLook()
{
    QFETCH(bool, checkFromMenu);
    QFETCH(QString, line);

    LogCapture log;
    QuilletTray tray(nullptr, u"en"_s);
    QVERIFY(QDir::setCurrent(binDirectory()));
    // The first look waits for the event loop.
    QVERIFY(!log.contains(u"Entering check new day"_s));
    log.clear();
    QVERIFY(checkVersionAction(tray));
    if (checkFromMenu)
        checkVersionAction(tray)->trigger();

    QTRY_VERIFY2(log.contains(line), dump(log).constData());
    QStringList expected {u"I: Entering check new day"_s, line};
    if (checkFromMenu)
        expected.prepend(u"I: Starting QuilletUpdater in GUI mode"_s);
    QCOMPARE(scheduleLines(log), expected);
    QVERIFY(m_server.requests().isEmpty());
}

void TestUpdateSchedule::normalDayAndTheNext()
{
    if (!m_signedDocuments)
        QSKIP(
            "The build carries another update key than the development key, whose private half signs here.");
    writeUpdater(u"exit 0"_s);
    ScheduledTray tray(binDirectory(), u"en"_s, 20, 30, 60000);
    LogCapture log;

    QTRY_VERIFY2(log.count(u"Setting up loop check timer"_s) >= 3, dump(log).constData());
    const QStringList day = scheduleLines(log).mid(0, 6);
    QCOMPARE(
        day,
        (QStringList {u"I: Entering check new day"_s, u"I: Setting up delay version check up to -> 20"_s,
                      u"I: Starting UpdaterLib"_s, u"I: QuilletUpdater thinks Quillet has actual version"_s,
                      u"I: Entering check new day"_s, u"I: Setting up loop check timer up to -> 30"_s}));
    QCOMPARE(m_server.requests(), (QStringList {u"/v2.6.1.xml"_s, u"/v2.6.1.xml.sig"_s}));
    QCOMPARE(log.count(u"Starting UpdaterLib"_s), 1);

    // The first look after midnight brings the next day's check.
    tray.date = QDate::currentDate().addDays(1);
    QTRY_COMPARE(log.count(u"QuilletUpdater thinks Quillet has actual version"_s), 2);
    QCOMPARE(log.count(u"Setting up delay version check up to -> 20"_s), 2);
    QCOMPARE(m_server.requests().size(), 4);
    QVERIFY(updaterCalls().isEmpty());
}

// Slovak arguments: see checkVersionTwiceGivesOneProcess.
void TestUpdateSchedule::newerVersionStartsTheUpdater()
{
    if (!m_signedDocuments)
        QSKIP(
            "The build carries another update key than the development key, whose private half signs here.");
    useDocument(u"/v2.7.xml"_s);
    writeUpdater(u"exit 0"_s);
    ScheduledTray tray(binDirectory(), u"en"_s, 10, 20, 60000);
    LogCapture log;

    QTRY_VERIFY(log.contains(u"QuilletUpdater exited correctly without message for QuilletTray"_s));
    // Several more looks at the calendar on the same day start nothing more.
    const int looks = log.count(u"Entering check new day"_s);
    QTRY_VERIFY2(log.count(u"Entering check new day"_s) >= looks + 3, dump(log).constData());
    QCOMPARE(updaterCalls(), QStringList {u"-len -g"_s});
    QCOMPARE(log.count(u"QuilletUpdater found new version of Quillet"_s), 1);
    QCOMPARE(log.count(u"Starting QuilletUpdater in GUI mode"_s), 1);
    QCOMPARE(log.count(u"Starting UpdaterLib"_s), 1);
}

void TestUpdateSchedule::failuresInTheStampsMonth()
{
    if (!m_birthTimeKept)
        QSKIP("Needs a file system that keeps birth times");
    useDocument(u"/broken.xml"_s);
    writeUpdater(u"exit 0"_s);
    const QDate made = makeStamp().date();
    QVERIFY(QFileInfo::exists(stampPath()));

    ScheduledTray tray(binDirectory(), u"en"_s, 10, 20, 15);
    LogCapture log;
    tray.date = QDate(made.year(), made.month(), 10);
    QTRY_VERIFY2(log.contains(u"Setting up loop check timer"_s), dump(log).constData());
    QCOMPARE(scheduleLines(log).mid(0, 8),
             (QStringList {u"I: Entering check new day"_s, u"I: Setting up delay version check up to -> 10"_s,
                           u"I: Starting UpdaterLib"_s, u"I: Updater error count: 1"_s,
                           u"I: Starting UpdaterLib"_s, u"I: Updater error count: 2"_s,
                           u"I: Entering check new day"_s, u"I: Setting up loop check timer up to -> 20"_s}));
    QCOMPARE(m_server.requests(), (QStringList {u"/broken.xml"_s, u"/broken.xml"_s}));

    // The next day in the same month: one more failure, no retry, still no updater.
    tray.date = tray.date.addDays(1);
    QTRY_VERIFY2(log.contains(u"Updater error count: 3"_s), dump(log).constData());
    const int looks = log.count(u"Setting up loop check timer"_s);
    QTRY_VERIFY2(log.count(u"Setting up loop check timer"_s) >= looks + 2, dump(log).constData());
    QCOMPARE(m_server.requests().size(), 3);
    QVERIFY(!log.contains(u"Updater error count: 4"_s));
    QVERIFY(!log.contains(u"QuilletUpdater in GUI mode"_s));
    QVERIFY(!log.contains(u"Overriding file:"_s));
    QVERIFY(updaterCalls().isEmpty());
    QCOMPARE(QFileInfo(stampPath()).birthTime().date(), made);
}

void TestUpdateSchedule::failuresInANewMonth_data()
{
    QTest::addColumn<QString>("stamp");

    QTest::newRow("stamp missing") << u"missing"_s;
    QTest::newRow("stamp from another month") << u"other month"_s;
    QTest::newRow("data directory cannot be made") << u"blocked"_s;
}

void TestUpdateSchedule::failuresInANewMonth()
{
    QFETCH(QString, stamp);

    useDocument(u"/broken.xml"_s);
    writeUpdater(u"exit 0"_s);
    QDateTime oldBirth;
    if (stamp == u"other month"_s)
        oldBirth = makeStamp();
    else if (stamp == u"blocked"_s)
        QVERIFY(QFile(m_root->filePath(u"data"_s)).open(QIODevice::WriteOnly));

    ScheduledTray tray(binDirectory(), u"en"_s, 10, 20, 15);
    LogCapture log;
    // A stamp made today counts as another month's when the calendar says next month.
    tray.date = oldBirth.isValid() ? oldBirth.date().addMonths(1) : QDate::currentDate();
    QTRY_VERIFY2(log.contains(u"Setting up loop check timer"_s), dump(log).constData());
    QStringList expected {u"I: Updater error count: 2"_s, u"I: Overriding file:  \"%1\""_s.arg(stampPath())};
    if (stamp != u"blocked"_s)
        expected.append(u"I: Override is successful"_s);
    expected += QStringList {u"I: Starting QuilletUpdater in GUI mode"_s, u"I: Entering check new day"_s,
                             u"I: Setting up loop check timer up to -> 20"_s};
    const QStringList lines = scheduleLines(log);
    const qsizetype second = lines.indexOf(expected.first());
    QVERIFY2(second > 0, qPrintable(lines.join(u'\n')));
    QCOMPARE(lines.mid(second, expected.size()), expected);
    QTRY_COMPARE(updaterCalls(), QStringList {u"-len -g"_s});

    // The stamp is made anew, with a birth time of its own.
    if (stamp != u"blocked"_s) {
        QVERIFY(QFileInfo::exists(stampPath()));
        if (oldBirth.isValid())
            QVERIFY(QFileInfo(stampPath()).birthTime() > oldBirth);
    }

    // The count started again: the next day's first failure is the first one.
    tray.date = tray.date.addDays(1);
    QTRY_VERIFY2(log.count(u"Updater error count:"_s) >= 3, dump(log).constData());
    const QStringList counts = scheduleLines(log).filter(u"Updater error count:"_s);
    QCOMPARE(counts.at(2), u"I: Updater error count: 1"_s);
}

void TestUpdateSchedule::isNewMonth_data()
{
    QTest::addColumn<int>("monthsLater");
    QTest::addColumn<int>("yearsLater");
    QTest::addColumn<bool>("modifiedLastMonth");
    QTest::addColumn<bool>("newMonth");

    QTest::newRow("made this month, asked at its end") << 0 << 0 << false << false;
    QTest::newRow("made this month, asked a month earlier") << -1 << 0 << false << true;
    QTest::newRow("made in this month of last year") << 0 << 1 << false << false;
    // Only the birth counts, not the last change.
    QTest::newRow("modified last month, made this month") << 0 << 0 << true << false;
}

void TestUpdateSchedule::isNewMonth()
{
    QFETCH(int, monthsLater);
    QFETCH(int, yearsLater);
    QFETCH(bool, modifiedLastMonth);
    QFETCH(bool, newMonth);

    ScheduledTray tray(binDirectory(), u"en"_s, 60000, 60000, 60000);
    QDate made = makeStamp().date();
    QFile stamp(stampPath());
    if (modifiedLastMonth)
        QVERIFY(stamp.open(QIODevice::Append)
                && stamp.setFileTime(QDateTime::currentDateTime().addMonths(-1),
                                     QFileDevice::FileModificationTime));
    if (!m_birthTimeKept) {
        made = QDate::currentDate();
        newMonth = true;
    }
    tray.date = QDate(made.year(), made.month(), 1).addMonths(monthsLater).addYears(yearsLater);
    if (monthsLater == 0 && yearsLater == 0)
        tray.date = tray.date.addDays(tray.date.daysInMonth() - 1);

    LogCapture log;
    QCOMPARE(tray.isNewMonth(), newMonth);
    QCOMPARE(log.count(u"I: Overriding file:  \"%1\""_s.arg(stampPath())), newMonth ? 1 : 0);
    QVERIFY(QFileInfo::exists(stampPath()));
    // A stamp just made belongs to today's month, whatever the file system keeps.
    if (newMonth && m_birthTimeKept) {
        tray.date = QDate::currentDate();
        QVERIFY(!tray.isNewMonth());
    }
}

void TestUpdateSchedule::checkVersionTwiceGivesOneProcess()
{
    // The updater stays until the tray goes: it waits for input that never comes.
    const QString pidFile = m_root->filePath(u"updater.pid"_s);
    writeUpdater(u"echo $$ > '%1'\nread -r line\nexit 0"_s.arg(pidFile));
    auto tray = std::make_unique<QuilletTray>(nullptr, u"sk"_s);
    QVERIFY(QDir::setCurrent(binDirectory()));
    LogCapture log;
    QAction* action = checkVersionAction(*tray);
    QVERIFY(action);

    action->trigger();
    action->trigger();
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    action->trigger();
    QCOMPARE(log.count(u"Starting QuilletUpdater in GUI mode"_s), 1);
    QCOMPARE(updaterCalls(), QStringList {u"-lsk -g"_s});

    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    const QString proc = u"/proc/"_s + QString::fromLatin1(pid.readAll().trimmed());
    QVERIFY(QFileInfo::exists(proc));
    // The tray's end takes the updater with it, quietly.
    tray.reset();
    QVERIFY(!QFileInfo::exists(proc));
    QVERIFY2(log.lines().filter(u"W: "_s).isEmpty(), qPrintable(log.lines().join(u'\n')));
}

void TestUpdateSchedule::missingUpdaterScript()
{
    QuilletTray tray(nullptr, u"en"_s);
    QVERIFY(QDir::setCurrent(binDirectory()));
    LogCapture log;
    QAction* action = checkVersionAction(tray);
    QVERIFY(action);

    action->trigger();
    // Once the failed start is known, the next choice tries again.
    QTRY_VERIFY2((action->trigger(), log.count(u"Starting QuilletUpdater in GUI mode"_s) == 2),
                 dump(log).constData());
    writeUpdater(u"exit 3"_s);
    QTRY_VERIFY2((action->trigger(), log.count(u"Starting QuilletUpdater in GUI mode"_s) == 3),
                 dump(log).constData());
    QTRY_VERIFY2(log.contains(u"QuilletUpdater thinks Quillet has actual version"_s), dump(log).constData());
    QCOMPARE(updaterCalls().size(), 1);
}

void TestUpdateSchedule::updaterExitCodes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("endsTray");

    const QString unknown = u"I: QuilletUpdater exited with unknown code:  \"%1\""_s;
    QTest::newRow("0 nothing to report")
        << u"exit 0"_s << u"I: QuilletUpdater exited correctly without message for QuilletTray"_s << false;
    QTest::newRow("1 error") << u"exit 1"_s << u"I: QuilletUpdater ended with Error"_s << false;
    QTest::newRow("2 newer version") << u"exit 2"_s << u"I: QuilletUpdater found new version of Quillet"_s
                                     << false;
    QTest::newRow("3 newest") << u"exit 3"_s << u"I: QuilletUpdater thinks Quillet has actual version"_s
                              << false;
    QTest::newRow("4 ends the tray with 0")
        << u"exit 4"_s << u"I: QuilletUpdater returned code to exit QuilletTray"_s << true;
    QTest::newRow("5 unknown") << u"exit 5"_s << unknown.arg(5) << false;
    QTest::newRow("killed by a signal") << u"kill -9 $$"_s << unknown.arg(9) << false;
    // No script: the code is handed to the tray directly, as UpdaterLib's own result would be.
    QTest::newRow("-1 unknown") << QString() << unknown.arg(-1) << false;
}

void TestUpdateSchedule::updaterExitCodes()
{
    QFETCH(QString, script);
    QFETCH(QString, line);
    QFETCH(bool, endsTray);

    if (!script.isEmpty())
        writeUpdater(script);
    QuilletTray tray(nullptr, u"en"_s);
    QVERIFY(QDir::setCurrent(binDirectory()));
    LogCapture log;
    QAction* action = checkVersionAction(tray);
    QVERIFY(action);
    if (script.isEmpty())
        QTimer::singleShot(0, &tray, [&tray] { tray.updaterFinished(-1); });
    else
        QTimer::singleShot(0, action, &QAction::trigger);

    // Ending the tray is the loop's return value. A code told directly also ends the day:
    // the tray looks again in 6 hours.
    const QStringList next {u"I: Entering check new day"_s,
                            u"I: Setting up loop check timer up to -> 21600000"_s};
    const auto settled = [&] {
        const QStringList lines = scheduleLines(log);
        return lines.contains(line) && (!script.isEmpty() || lines.mid(lines.indexOf(line) + 1) == next);
    };
    QCOMPARE(runLoopUntil([&] { return !endsTray && settled(); }), endsTray ? 0 : stillRunning);
    QCOMPARE(log.count(line), 1);
    QCOMPARE(log.count(u"QuilletUpdater"_s), script.isEmpty() ? 1 : 2);
    QCOMPARE(updaterCalls(), script.isEmpty() ? QStringList() : QStringList {u"-len -g"_s});
}

QTEST_MAIN(TestUpdateSchedule)
#include "tst_updateschedule.moc"
