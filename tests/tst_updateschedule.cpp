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
// What runLoopUntil() returns when its condition held.
constexpr int stillRunning = 42;
// Lines of the schedule itself, among those of the version check and the stamps; the
// updater program's own end comes whenever it comes and is left out.
const QStringList scheduleMarkers {
    u"Entering check new day"_s, u"Setting up "_s,      u"Starting UpdaterLib"_s,   u"QuilletUpdater"_s,
    u"Updater error count:"_s,   u"Overriding file:"_s, u"Override is successful"_s};

QStringList scheduleLines(const QStringList& lines, bool withUpdaterEnd = true)
{
    QStringList kept;
    for (const QString& line : lines) {
        if (std::any_of(scheduleMarkers.cbegin(), scheduleMarkers.cend(),
                        [&line](const QString& marker) { return line.contains(marker); })
            && (withUpdaterEnd || !line.contains(u"QuilletUpdater exited correctly"_s)))
            kept.append(line);
    }
    return kept;
}

QByteArray dump(const LogCapture& log)
{
    return log.lines().join(u'\n').toLocal8Bit();
}

// Runs the application's event loop, as the program does, until `done` holds
// (stillRunning), the tray ends it, or 20 seconds pass.
int runLoopUntil(const std::function<bool()>& done)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&done] {
        if (done())
            QCoreApplication::exit(stillRunning);
    });
    poll.start(10);
    QTimer::singleShot(20000, &poll, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec();
}
} // namespace

// The tray with the schedule's intervals in milliseconds and a calendar of the test's.
class ScheduledTray : public QuilletTray
{
public:
    // The program's directory is the current one; `directory` takes its place.
    ScheduledTray(const QString& directory, int checkMs, int loopMs, int retryMs)
        : QuilletTray(nullptr, u"en"_s, ScheduleDelays {checkMs, loopMs, retryMs})
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
    void day_data();
    void day();
    void isNewMonth_data();
    void isNewMonth();
    void menuCheck();
    void updaterExitCodes_data();
    void updaterExitCodes();

private:
    void useDocument(const QString& path);
    void writeUpdater(const QString& body);
    QDateTime makeStamp();
    QStringList updaterCalls() const;
    QString stampPath() const { return m_root->filePath(u"data/Kestrum/Quillet/update.stamp"_s); }
    QString binDirectory() const { return m_root->filePath(u"bin"_s); }
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
    TestSigner signer(signing.path());
    for (const QString& version : {u"2.6.1"_s, u"2.7"_s}) {
        const QByteArray document = signer.makeDocument({version, u"https://kestrum.eu/quillet"_s});
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
    file.write(u"<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray>"
               "<QuilletUpdater><Version>2.6.1</Version><Url>%1</Url>"
               "<DownloadUrl>https://kestrum.eu/d/</DownloadUrl></QuilletUpdater></Quillet>"_s
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

QAction* TestUpdateSchedule::checkVersionAction(QuilletTray& tray)
{
    // Right below the first separator.
    QAction* action = tray.contextMenu()->actions().value(2);
    return action && action->text() == u"&Check for updates"_s ? action : nullptr;
}

void TestUpdateSchedule::day_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("stamp");
    QTest::addColumn<QStringList>("firstDay"); // schedule lines up to the first look after the check
    QTest::addColumn<QStringList>("calls"); // of the updater program
    QTest::addColumn<QStringList>("nextDay"); // checks and their results

    const QString check = u"I: Starting UpdaterLib"_s;
    const QStringList gui {u"I: Starting QuilletUpdater in GUI mode"_s};
    const QStringList start {u"I: Entering check new day"_s,
                             u"I: Setting up delay version check up to -> 10"_s, check};
    const QStringList end {u"I: Entering check new day"_s, u"I: Setting up loop check timer up to -> 20"_s};
    const QStringList newest {u"I: QuilletUpdater thinks Quillet has actual version"_s};
    const QStringList newer {u"I: QuilletUpdater found new version of Quillet"_s};
    const QStringList twoFailures {u"I: Updater error count: 1"_s, check, u"I: Updater error count: 2"_s};
    const QStringList overriding {u"I: Overriding file:  \"<stamp>\""_s};
    const QStringList updater {u"-len -g"_s};

    QTest::newRow("newest version; the next day checks again")
        << u"/v2.6.1.xml"_s << u"none"_s << start + newest + end << QStringList()
        << QStringList {check} + newest;
    QTest::newRow("newer version: the updater, once")
        << u"/v2.7.xml"_s << u"none"_s << start + newer + gui + end << updater << QStringList {check} + newer;
    // The count goes on over days; one retry a day.
    QTest::newRow("failing in the stamp's month: no updater")
        << u"/broken.xml"_s << u"this month"_s << start + twoFailures + end << QStringList()
        << QStringList {check, u"I: Updater error count: 3"_s};
    QTest::newRow("failing, no stamp: the updater, a new stamp, the count starts again")
        << u"/broken.xml"_s << u"none"_s
        << start + twoFailures + overriding + QStringList {u"I: Override is successful"_s} + gui + end
        << updater << QStringList {check} + twoFailures;
    QTest::newRow("failing, the data directory cannot be made: the updater all the same")
        << u"/broken.xml"_s << u"blocked"_s << start + twoFailures + overriding + gui + end << updater
        << QStringList {check} + twoFailures;
}

void TestUpdateSchedule::day()
{
    QFETCH(QString, document);
    QFETCH(QString, stamp);
    QFETCH(QStringList, firstDay);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, nextDay);

    if (document != u"/broken.xml" && !m_signedDocuments)
        QSKIP(
            "The build carries another update key than the development key, whose private half signs here.");
    if (stamp == u"this month" && !m_birthTimeKept)
        QSKIP("Needs a file system that keeps birth times");
    useDocument(document);
    writeUpdater(u"exit 0"_s);
    if (stamp == u"this month")
        makeStamp();
    else if (stamp == u"blocked")
        QVERIFY(QFile(m_root->filePath(u"data"_s)).open(QIODevice::WriteOnly));
    firstDay.replaceInStrings(u"<stamp>"_s, stampPath());

    ScheduledTray tray(binDirectory(), 10, 20, 15);
    LogCapture log;
    // Mid-month, so that the next day is in the same month.
    tray.date = QDate(QDate::currentDate().year(), QDate::currentDate().month(), 10);
    // Later looks at the calendar on the same day start no other check.
    QTRY_VERIFY2(log.count(u"Setting up loop check timer"_s) >= 3, dump(log).constData());
    QCOMPARE(scheduleLines(log.lines(), false).mid(0, firstDay.size()), firstDay);
    const int checks = int(firstDay.count(u"I: Starting UpdaterLib"_s));
    QCOMPARE(log.count(u"Starting UpdaterLib"_s), checks);
    QCOMPARE(m_server.requests().size(), document == u"/broken.xml" ? checks : 2 * checks);
    QTRY_COMPARE(updaterCalls(), calls);

    // The first look after midnight brings the next day's check.
    const int mark = int(log.lines().size());
    tray.date = tray.date.addDays(1);
    const auto checksOfNextDay = [&log, mark] {
        QStringList lines;
        for (const QString& line : scheduleLines(log.lines().mid(mark))) {
            if (line.contains(u"Setting up loop check timer"_s) && !lines.isEmpty())
                return lines;
            if (line.contains(u"UpdaterLib"_s) || line.contains(u"error count"_s)
                || line.contains(u"thinks"_s) || line.contains(u"found new"_s))
                lines.append(line);
        }
        return QStringList();
    };
    QTRY_COMPARE(checksOfNextDay(), nextDay);
}

void TestUpdateSchedule::isNewMonth_data()
{
    QTest::addColumn<int>("monthsLater");
    QTest::addColumn<int>("yearsLater");
    QTest::addColumn<bool>("modifiedLastMonth");
    QTest::addColumn<bool>("newMonth");

    QTest::newRow("made this month, asked at its end") << 0 << 0 << false << false;
    QTest::newRow("made this month, asked a month earlier") << -1 << 0 << false << true;
    // Only the month counts, not the year.
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

    ScheduledTray tray(binDirectory(), 60000, 60000, 60000);
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
    // A stamp just made belongs to today's month.
    if (newMonth && m_birthTimeKept) {
        tray.date = QDate::currentDate();
        QVERIFY(!tray.isNewMonth());
    }
}

// From the menu: a start that failed is tried again at the next choice; a running updater
// is not started twice, gets the tray's language and ends with the tray.
void TestUpdateSchedule::menuCheck()
{
    auto tray = std::make_unique<QuilletTray>(nullptr, u"sk"_s);
    QVERIFY(QDir::setCurrent(binDirectory()));
    LogCapture log;
    QAction* action = checkVersionAction(*tray);
    QVERIFY(action);
    const auto starts = [&log] { return log.count(u"Starting QuilletUpdater in GUI mode"_s); };

    action->trigger();
    QTRY_VERIFY2((action->trigger(), starts() == 2), dump(log).constData());
    // This updater stays until the tray goes: it waits for input that never comes.
    const QString pidFile = m_root->filePath(u"updater.pid"_s);
    writeUpdater(u"echo $$ > '%1'\nread -r line\nexit 0"_s.arg(pidFile));
    QTRY_VERIFY2((action->trigger(), starts() == 3), dump(log).constData());
    QTRY_VERIFY(QFileInfo(pidFile).size() > 0);
    action->trigger();
    QCOMPARE(starts(), 3);
    QCOMPARE(updaterCalls(), QStringList {u"-lsk -g"_s});

    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    const QString proc = u"/proc/"_s + QString::fromLatin1(pid.readAll().trimmed());
    QVERIFY(QFileInfo::exists(proc));
    log.clear();
    tray.reset();
    QVERIFY(!QFileInfo::exists(proc));
    QVERIFY2(log.lines().filter(u"W: "_s).isEmpty(), dump(log).constData());
}

void TestUpdateSchedule::updaterExitCodes_data()
{
    QTest::addColumn<QString>("script"); // empty: the code is handed to the tray, as a silent check's
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("endsTray");

    const QString unknown = u"I: QuilletUpdater exited with unknown code:  \"%1\""_s;
    QTest::newRow("0 nothing to report")
        << u"exit 0"_s << u"I: QuilletUpdater exited correctly without message for QuilletTray"_s << false;
    QTest::newRow("1 error") << u"exit 1"_s << u"I: QuilletUpdater ended with Error"_s << false;
    QTest::newRow("4 ends the tray with 0")
        << u"exit 4"_s << u"I: QuilletUpdater returned code to exit QuilletTray"_s << true;
    QTest::newRow("killed by a signal") << u"kill -9 $$"_s << unknown.arg(9) << false;
    QTest::newRow("unknown silent result: the day ends") << QString() << unknown.arg(-1) << false;
}

// With the program's own intervals: a fresh tray checks in 15 minutes; after a check,
// from the menu or silent, it looks at the calendar again in 6 hours.
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
    const QStringList look {u"I: Entering check new day"_s,
                            u"I: Setting up loop check timer up to -> 21600000"_s};
    QStringList expected;
    if (script.isEmpty()) {
        QTimer::singleShot(0, &tray, [&tray] { tray.updaterFinished(-1); });
        expected = QStringList {u"I: Entering check new day"_s,
                                u"I: Setting up delay version check up to -> 900000"_s, line}
            + look;
    } else {
        // Before the first look at the calendar, which waits for the event loop.
        action->trigger();
        expected = QStringList {u"I: Starting QuilletUpdater in GUI mode"_s} + look + QStringList {line};
    }

    const int result
        = runLoopUntil([&] { return !endsTray && scheduleLines(log.lines()).size() >= expected.size(); });
    QCOMPARE(result, endsTray ? 0 : stillRunning);
    QCOMPARE(scheduleLines(log.lines()), expected);
    QCOMPARE(updaterCalls(), script.isEmpty() ? QStringList() : QStringList {u"-len -g"_s});
}

QTEST_MAIN(TestUpdateSchedule)
#include "tst_updateschedule.moc"
