#include "appexception.h"
#include "diagnosticmenu.h"
#include "msgbox.h"
#include "qtrayapp.h"
#include "quillettray.h"
#include "singleinstanceguard.h"
#include "startup.h"
#include "startupaction.h"
#include "testsupport.h"

#include <QTranslator>
#include <QtTest>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QByteArray noFile = "<no file>";

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : noFile;
}
} // namespace

// The tray with the schedule's intervals in milliseconds and a calendar of the test's.
class ScheduledTray : public QuilletTray
{
public:
    // The tray moves to the program's directory; `bin` takes its place.
    explicit ScheduledTray(const QString& bin, const QString& lang = u"en"_s, int delayMs = 600000)
        : QuilletTray(nullptr, lang, ScheduleDelays {delayMs, 2 * delayMs, delayMs})
    {
        QDir::setCurrent(bin);
    }
    QDate date;

protected:
    QDate today() const override { return date.isValid() ? date : QuilletTray::today(); }
};

// The tray shell in the test process: the controller with its menu, daily schedule and
// server, autostart, the diagnostic menu and the instance guard, against real files under a
// temporary HOME and data directory, a local server with signed version documents, and
// updater scripts that record how they were called.
class TestTrayShell : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { MsgBox::setTerminating(false); }

    void initTestCase()
    {
        QVERIFY(m_translator.load(QStringLiteral(QUILLET_QM_DIR "/QuilletTray_en.qm")));
        QCoreApplication::installTranslator(&m_translator);
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name); // nothing may leave loopback
        QVERIFY(m_server.listenPlain());
        m_server.serve(u"/broken.xml"_s, TestHttpServer::status(500));
        static QTemporaryDir signing;
        TestSigner signer(signing.path());
        for (const QString& version : {u"2.6.1"_s, u"2.7"_s}) {
            const QByteArray document = signer.makeDocument({version, u"https://kestrum.eu/quillet"_s});
            m_server.serve(u"/v%1.xml"_s.arg(version), TestHttpServer::ok(document));
            m_server.serve(u"/v%1.xml.sig"_s.arg(version), TestHttpServer::ok(signer.sign(document)));
        }
        // The autostart switch copies the entry installed beside the program's directory.
        QVERIFY(writeFile(QCoreApplication::applicationDirPath()
                              + u"/../share/applications/eu.kestrum.Quillet.desktop"_s,
                          m_entry));
        QTemporaryFile probe;
        m_birthTimes = probe.open() && QFileInfo(probe.fileName()).birthTime().isValid();
    }

    void init()
    {
        m_root = makeTraySandbox();
        QVERIFY(m_root && QDir::setCurrent(path(u"bin"_s)));
        writeConfig(u"/v2.6.1.xml"_s);
        writeUpdater(u"exit 0"_s);
        m_server.clearLog();
    }

    void schedule_data()
    {
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("stampAge"); // in months before the calendar; -1: no stamp
        QTest::addColumn<int>("checks"); // on the first day
        QTest::addColumn<QStringList>("calls");
        const QStringList gui {u"-len -g"_s};
        QTest::newRow("newest version") << u"/v2.6.1.xml"_s << -1 << 1 << QStringList();
        QTest::newRow("newer version: the updater once") << u"/v2.7.xml"_s << -1 << 1 << gui;
        QTest::newRow("failing, no stamp: the updater") << u"/broken.xml"_s << -1 << 2 << gui;
        // Only the stamp's birth counts: it was changed a month before it was made here.
        QTest::newRow("failing in the stamp's month: one retry")
            << u"/broken.xml"_s << 0 << 2 << QStringList();
        QTest::newRow("failing a month after the stamp: the updater") << u"/broken.xml"_s << 1 << 2 << gui;
        QTest::newRow("failing in the stamp's month a year on")
            << u"/broken.xml"_s << 12 << 2 << QStringList();
    }

    // One check a day, whatever the calendar's looks in between; the next day checks again;
    // failures in a month without a stamp start the updater.
    void schedule()
    {
        QFETCH(QString, document);
        QFETCH(int, stampAge);
        QFETCH(int, checks);
        QFETCH(QStringList, calls);
        if (stampAge >= 0 && !m_birthTimes)
            QSKIP("Needs a file system that keeps birth times");
        writeConfig(document);
        QDate today = QDate::currentDate();
        if (stampAge >= 0) {
            QFile file(stamp());
            QVERIFY(writeFile(stamp(), {}) && file.open(QIODevice::Append)
                    && file.setFileTime(QDateTime::currentDateTime().addMonths(-1),
                                        QFileDevice::FileModificationTime));
            today = QFileInfo(stamp()).birthTime().date().addMonths(stampAge);
        }
        const auto made = [this, &document] { return int(m_server.requests().count(document)); };

        auto tray = std::make_unique<ScheduledTray>(path(u"bin"_s), u"en"_s, 10);
        tray->date = QDate(today.year(), today.month(), 10);
        QTRY_COMPARE(made(), checks);
        QTRY_COMPARE(updaterCalls(), calls);
        QTest::qWait(200);
        QCOMPARE(made(), checks);

        tray->date = tray->date.addDays(1);
        QTRY_VERIFY(made() > checks);
        // Requests still on their way reach the server before the next row.
        tray.reset();
        QTest::qWait(50);
    }

    // From the menu: the updater gets the tray's language, runs once at a time, ends with the tray.
    void updaterFromMenu()
    {
        auto tray = std::make_unique<ScheduledTray>(path(u"bin"_s), u"sk"_s);
        QAction* check = tray->contextMenu()->actions().at(2);
        writeUpdater(u"echo $$ > '%1'\nread -r line"_s.arg(path(u"pid"_s)));
        check->trigger();
        QTRY_VERIFY(!readFile(path(u"pid"_s)).isEmpty());
        check->trigger();
        QTest::qWait(100);
        QCOMPARE(updaterCalls(), QStringList {u"-lsk -g"_s});
        const QString proc = u"/proc/"_s + QString::fromLatin1(readFile(path(u"pid"_s)).trimmed());
        QVERIFY(QFileInfo::exists(proc));
        tray.reset();
        QVERIFY(!QFileInfo::exists(proc));
    }

    // Exit code 4 of the updater ends the tray with 0; others leave it running.
    void updaterAsksToExit()
    {
        for (const int code : {1, 4}) {
            writeUpdater(u"exit %1"_s.arg(code));
            ScheduledTray tray(path(u"bin"_s));
            tray.contextMenu()->actions().at(2)->trigger();
            QTimer::singleShot(3000, &tray, [] { QCoreApplication::exit(42); });
            QCOMPARE(QCoreApplication::exec(), code == 4 ? 0 : 42);
        }
    }

    // One about box at a time; a broken configuration shows an error box instead.
    void menuAndAbout()
    {
        ScheduledTray tray(path(u"bin"_s));
        QAction* about = tray.contextMenu()->actions().first();
        about->trigger();
        about->trigger();
        QCOMPARE(MsgBox::openBoxes().size(), 1);
        QPointer<MsgBox> box = MsgBox::openBoxes().first();
        QTest::keyClick(box.data(), Qt::Key_Escape);
        QTRY_VERIFY(box.isNull() && MsgBox::openBoxes().isEmpty());

        QVERIFY(QFile::remove(path(u"etc/Quillet.conf"_s)));
        BoxCloser boxes;
        about->trigger();
        QTRY_COMPARE(boxes.titles().size(), 1);
        QVERIFY(MsgBox::openBoxes().isEmpty());
    }

    // With every port of its list taken, the server tries the list again and takes the last
    // port once it is free.
    void lastPort()
    {
        std::list<QTcpServer> taken;
        for (const quint16 port : {2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799, 9796})
            taken.emplace_back().listen(QHostAddress::LocalHost, port);
        ScheduledTray tray(path(u"bin"_s));
        tray.startWebSocketServer();
        taken.back().close();
        const auto served = [] {
            QTcpSocket page;
            page.connectToHost(QHostAddress::LocalHost, 9796);
            return page.waitForConnected(1000);
        };
        QTRY_VERIFY_WITH_TIMEOUT(served(), 20000);
    }

    // The first run turns autostart on; later runs leave it as the user set it.
    void firstRun()
    {
        auto tray = std::make_unique<ScheduledTray>(path(u"bin"_s));
        QCOMPARE(read(autostartFile()), m_entry);
        tray.reset();
        QVERIFY(QFile::remove(autostartFile()));
        tray = std::make_unique<ScheduledTray>(path(u"bin"_s));
        QVERIFY(!QFileInfo::exists(autostartFile()));
    }

    void autostart_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("click"); // 1 on, 0 off, -1 only read as the menu opens
        QTest::addColumn<QByteArray>("after"); // null: the installed entry
        QTest::addColumn<bool>("checked");
        QTest::addColumn<bool>("errorBox");
        const QByteArray off = "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\nExec=q\n";
        const QByteArray on = "[Desktop Entry]\nX-GNOME-Autostart-enabled=true\nExec=q\n";
        const QByteArray noKey = "[Desktop Entry]\nExec=q\n";
        const QByteArray yes = "X-GNOME-Autostart-enabled=yes\n";
        QTest::newRow("no file, on: the installed entry") << noFile << 1 << QByteArray() << true << false;
        QTest::newRow("false to true") << off << 1 << on << true << false;
        QTest::newRow("TRUE to false") << QByteArray("X-GNOME-Autostart-enabled=TRUE\n") << 0
                                       << QByteArray("X-GNOME-Autostart-enabled=false\n") << false << false;
        QTest::newRow("no key, off: removed") << noKey << 0 << noFile << false << false;
        QTest::newRow("yes, on: left alone") << yes << 1 << yes << true << true;
        QTest::newRow("read: no key is on") << noKey << -1 << noKey << true << false;
        QTest::newRow("read: yes is undetermined") << yes << -1 << yes << false << true;
    }

    void autostart()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, click);
        QFETCH(QByteArray, after);
        QFETCH(bool, checked);
        QFETCH(bool, errorBox);
        QVERIFY(before == noFile || writeFile(autostartFile(), before));
        BoxCloser boxes;
        StartupAction action(nullptr);
        action.setChecked(click < 0 ? !checked : click == 0);
        if (click < 0)
            action.update();
        else
            action.trigger();
        QCOMPARE(action.isChecked(), checked);
        QCOMPARE(read(autostartFile()), after.isNull() ? m_entry : after);
        QCOMPARE(boxes.titles().size(), errorBox ? 1 : 0);
    }

    // The switch makes the product's four log files and, switched off, keeps them under
    // time-stamped names; opening the menu follows files removed behind its back.
    void logging()
    {
        const QDir logs(path(u"data/Kestrum/Quillet/Logs"_s));
        DiagnosticMenu menu(nullptr);
        QAction* toggle = menu.actions().at(0);
        const QString offText = toggle->text();
        toggle->trigger();
        const QString onText = toggle->text();
        QCOMPARE(logs.entryList(QDir::Files),
                 (QStringList {"QuilletLog.txt", "QuilletPkcs11Log.txt", "QuilletTrayLog.txt",
                               "QuilletUpdaterLog.txt"}));
        QVERIFY(writeFile(logs.filePath(u"QuilletTrayLog.txt"_s), "kept\n"));
        // Saved logs are named by the time in UTC, whatever the local zone (here UTC+5:45).
        qputenv("TZ", "QTT-5:45");
        const auto restoreZone = qScopeGuard([] { qunsetenv("TZ"); });
        toggle->trigger();
        const QStringList saved = logs.entryList({u"QuilletTrayLog-*.txt"_s}, QDir::Files);
        QVERIFY(logs.entryList({u"*Log.txt"_s}, QDir::Files).isEmpty() && saved.size() == 1);
        QCOMPARE(read(logs.filePath(saved.first())), QByteArray("kept\n"));
        const QDateTime stamp = QDateTime::fromString(saved.first().mid(15, 19), u"yyyy-MM-dd-hh-mm-ss"_s);
        const QDateTime utc = QDateTime::currentDateTimeUtc();
        const qint64 behind = utc.date().daysTo(stamp.date()) * 86400 + utc.time().secsTo(stamp.time());
        QVERIFY2(qAbs(behind) < 60, qPrintable(saved.first()));

        toggle->trigger();
        QVERIFY(logs.entryList({u"*Log.txt"_s}, QDir::Files).size() == 4 && toggle->text() == onText);
        QVERIFY(QDir(logs).removeRecursively());
        menu.popup(QPoint(0, 0));
        menu.hide();
        QCOMPARE(toggle->text(), offText);
    }

    void instanceGuard_data()
    {
        QTest::addColumn<QString>("holder"); // what holds the lock of the same key first
        QTest::addColumn<bool>("runs");
        QTest::newRow("a running tray: refused") << u"tray"_s << false;
        QTest::newRow("a killed tray: runs") << u"killed"_s << true;
        QTest::newRow("runtime directory others may enter: refused from the private one")
            << u"open runtime"_s << false;
    }

    void instanceGuard()
    {
        QFETCH(QString, holder);
        QFETCH(bool, runs);
        const QString runtime = path(u"run"_s);
        QVERIFY(QDir().mkpath(runtime));
        QFile::setPermissions(
            runtime, holder == u"open runtime" ? QFile::Permissions(0x7755) : QFile::Permissions(0x7700));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        const QString key = u"QuilletTray_%1"_s.arg(getuid());
        SingleInstanceGuard first(key);
        if (holder == u"killed") {
            // A separate program: a forked copy of this threaded test may hang on a lock.
            QProcess killed;
            killed.start(u"sh"_s,
                         {u"-c"_s, u"exec 9>\"$1\" && flock 9 && exec sleep 600"_s, u"sh"_s,
                          runtime + u'/' + key + u".lock"_s});
            QTRY_VERIFY(SingleInstanceGuard(key).isAnotherRunning());
            killed.kill();
            QVERIFY(killed.waitForFinished());
        } else {
            QVERIFY(first.tryToRun());
            if (holder == u"open runtime")
                qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path(u"elsewhere"_s)));
        }
        SingleInstanceGuard second(key);
        QCOMPARE(second.isAnotherRunning(), !runs);
        QCOMPARE(second.tryToRun(), runs);
        QVERIFY(QFileInfo(path(u"data/Kestrum/Quillet/run"_s)).exists() == (holder == u"open runtime"));
    }

    // An exception that escapes a slot is logged, and the event loop goes on serving.
    void survivesExceptions()
    {
        bool later = false;
        QTimer::singleShot(0, qApp, [] { throw APP_EXCEPTION(u"slot failed"_s, QString()); });
        QTimer::singleShot(0, qApp, [] { throw 42; });
        QTimer::singleShot(50, qApp, [&later] {
            later = true;
            QCoreApplication::exit(7);
        });
        QCOMPARE(runEventLoop(), 7);
        QVERIFY(later);
    }

    // The installed program, started from another directory: it tells its version, and without
    // its translations it ends with 1.
    void startup()
    {
        TrayTree tree(path(u"tree"_s));
        QVERIFY(tree.isValid() && tree.addUser(u"u"_s));
        QProcess tray;
        tray.setProcessEnvironment(tree.environment(u"u"_s, path(u"tmp"_s)));
        tray.setWorkingDirectory(path(u"home"_s));
        tray.start(tree.executable(), {u"--version"_s});
        QVERIFY(tray.waitForFinished(20000) && tray.exitCode() == 0);
        QVERIFY(tray.readAllStandardOutput().startsWith("QuilletTray 2.6.1 ("));
        QVERIFY(QDir(tree.root() + u"/share/translations"_s).removeRecursively());
        tray.start(tree.executable(), {});
        QVERIFY(tray.waitForFinished(20000) && tray.exitCode() == 1);
    }

private:
    void writeConfig(const QString& document)
    {
        QVERIFY(
            writeFile(path(u"etc/Quillet.conf"_s),
                      u"<Quillet><QuilletTray><CheckUser>true</CheckUser></QuilletTray><QuilletUpdater>"
                      "<Version>2.6.1</Version><Url>%1</Url><DownloadUrl>https://kestrum.eu/d/</DownloadUrl>"
                      "</QuilletUpdater></Quillet>"_s.arg(m_server.url(document).toString())
                          .toUtf8()));
    }
    void writeUpdater(const QString& body)
    {
        const QString script = path(u"bin/QuilletUpdater.sh"_s);
        QVERIFY(writeFile(script,
                          u"#!/bin/sh\necho \"$*\" >> '%1'\n%2\n"_s.arg(path(u"calls"_s), body).toUtf8()));
        QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner));
    }
    QStringList updaterCalls() const
    {
        return QString::fromUtf8(read(path(u"calls"_s)))
            .remove(QString::fromLatin1(noFile))
            .split(u'\n', Qt::SkipEmptyParts);
    }
    QString path(const QString& relative) const { return m_root->filePath(relative); }
    QString stamp() const { return path(u"data/Kestrum/Quillet/update.stamp"_s); }
    QString autostartFile() const { return path(u"home/.config/autostart/eu.kestrum.Quillet.desktop"_s); }

    QTranslator m_translator;
    const QByteArray m_entry
        = read(QStringLiteral(QUILLET_SOURCE_DIR "/share/applications/eu.kestrum.Quillet.desktop"));
    TestHttpServer m_server;
    std::unique_ptr<QTemporaryDir> m_root;
    bool m_birthTimes = false;
};

int main(int argc, char** argv)
{
    QTrayApp app(argc, argv);
    TestTrayShell test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_trayshell.moc"
