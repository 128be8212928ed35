#include "singleinstanceguard.h"
#include "traytree.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <QWebSocket>
#include <unistd.h>

// One tray per user: the guard itself, then real tray processes. The instance
// locks live below a TMPDIR of the test's, apart from trays of other runs.
class TestSingleInstanceGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void sameKeyRefused();
    void differentKeysIndependent();
    void destructionReleases();
    void secondTrayOfSameUserRefused();
    void startAfterSigkill();
    void trayOfAnotherUserStartsBeside();

private:
    QProcess* startTray(const QString& user, const QString& program = QString(),
                        const QStringList& arguments = {}, bool onDisplay = false);
    bool waitForLog(const QString& user, const QProcess& process, const QString& text) const;
    quint16 listeningPort(const QString& user, const QProcess& process) const;

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    QString m_tmp;
    XvfbDisplay m_display;
    std::vector<std::unique_ptr<QProcess>> m_trays;
};

void TestSingleInstanceGuard::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Trays of other user ids must reach the program and the shared lock directory.
    QVERIFY(QFile::setPermissions(m_dir.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
    m_tree = std::make_unique<TrayTree>(m_dir.filePath(QStringLiteral("tree")));
    QVERIFY(m_tree->isValid());
    QVERIFY(m_tree->addUser(QStringLiteral("first")));
    m_tmp = m_dir.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tmp));
    QVERIFY(QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("1777"), m_tmp}) == 0);
    qputenv("TMPDIR", QFile::encodeName(m_tmp));
    QVERIFY2(m_display.start(), "Xvfb could not be started");
}

void TestSingleInstanceGuard::cleanup()
{
    for (const auto& tray : m_trays) {
        tray->kill();
        tray->waitForFinished(10000);
    }
    m_trays.clear();
}

void TestSingleInstanceGuard::cleanupTestCase()
{
    TrayTree::removeInstanceLocks(m_tmp);
}

QProcess* TestSingleInstanceGuard::startTray(const QString& user, const QString& program,
                                             const QStringList& arguments, bool onDisplay)
{
    auto tray = std::make_unique<QProcess>();
    QProcessEnvironment env = m_tree->environment(user, m_tmp);
    if (onDisplay)
        env = m_display.environment(env);
    tray->setProcessEnvironment(env);
    if (program.isEmpty())
        tray->start(m_tree->executable(), arguments);
    else
        tray->start(program, arguments + QStringList {m_tree->executable()});
    tray->waitForStarted(10000);
    m_trays.push_back(std::move(tray));
    return m_trays.back().get();
}

bool TestSingleInstanceGuard::waitForLog(const QString& user, const QProcess& process,
                                         const QString& text) const
{
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (m_tree->logLines(user, process.processId()).join(QLatin1Char('\n')).contains(text))
            return true;
        QTest::qWait(50);
    }
    return false;
}

quint16 TestSingleInstanceGuard::listeningPort(const QString& user, const QProcess& process) const
{
    // The last attempt is the one that succeeded.
    const QRegularExpression attempt(
        QStringLiteral(R"(Server starts listening on "127\.0\.0\.1" : (\d+) - )"));
    quint16 port = 0;
    for (const QString& line : m_tree->logLines(user, process.processId())) {
        const QRegularExpressionMatch match = attempt.match(line);
        if (match.hasMatch())
            port = match.captured(1).toUShort();
    }
    return port;
}

void TestSingleInstanceGuard::sameKeyRefused()
{
    SingleInstanceGuard first(QStringLiteral("tst_guard_same"));
    SingleInstanceGuard second(QStringLiteral("tst_guard_same"));
    QVERIFY(!first.isAnotherRunning());
    QVERIFY(first.tryToRun());
    QVERIFY(!first.isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());

    first.release();
    QVERIFY(!second.isAnotherRunning());
    QVERIFY(second.tryToRun());
    QVERIFY(first.isAnotherRunning());
}

void TestSingleInstanceGuard::differentKeysIndependent()
{
    SingleInstanceGuard user1000(QStringLiteral("QuilletTray_1000"));
    SingleInstanceGuard user1001(QStringLiteral("QuilletTray_1001"));
    QVERIFY(user1000.tryToRun());
    QVERIFY(!user1001.isAnotherRunning());
    QVERIFY(user1001.tryToRun());
}

void TestSingleInstanceGuard::destructionReleases()
{
    {
        SingleInstanceGuard first(QStringLiteral("tst_guard_destroyed"));
        QVERIFY(first.tryToRun());
    }
    SingleInstanceGuard second(QStringLiteral("tst_guard_destroyed"));
    QVERIFY(!second.isAnotherRunning());
    QVERIFY(second.tryToRun());
}

void TestSingleInstanceGuard::secondTrayOfSameUserRefused()
{
    const QString user = QStringLiteral("first");
    QProcess* first = startTray(user, QString(), {}, true);
    QVERIFY(waitForLog(user, *first, QStringLiteral("Server starts listening on")));

    QProcess* second = startTray(user, QString(), {}, true);
    const qint64 secondPid = second->processId();
    QVERIFY(waitForLog(user, *second, QStringLiteral(" - I - QuilletTray is already running - at ")));

    // The box is closed as a person would: focus it and press Escape.
    const QStringList search {QStringLiteral("search"),
                              QStringLiteral("--all"),
                              QStringLiteral("--onlyvisible"),
                              QStringLiteral("--pid"),
                              QString::number(second->processId()),
                              QStringLiteral("--name"),
                              QStringLiteral("^Kestrum Quillet$")};
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(!(window = m_display.run(QStringLiteral("xdotool"), search)).isEmpty(), 20000);
    QCOMPARE(second->state(), QProcess::Running);
    m_display.run(QStringLiteral("xdotool"),
                  {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    m_display.run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});

    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    const QString secondLog = m_tree->logLines(user, secondPid).join(QLatin1Char('\n'));
    QVERIFY(!secondLog.contains(QStringLiteral("QuilletTray class is being constructed")));
    QVERIFY(secondLog.contains(QStringLiteral("QuilletTray is already running")));
    QVERIFY(!secondLog.contains(QStringLiteral("exiting with exit code")));

    // The first tray goes on serving.
    QCOMPARE(first->state(), QProcess::Running);
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(listeningPort(user, *first))));
    QVERIFY(connected.wait(10000));
}

void TestSingleInstanceGuard::startAfterSigkill()
{
    const QString user = QStringLiteral("first");
    QProcess* killed = startTray(user);
    QVERIFY(waitForLog(user, *killed, QStringLiteral("Server starts listening on")));
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));

    QProcess* next = startTray(user);
    QVERIFY(waitForLog(user, *next, QStringLiteral("Server starts listening on")));
    QVERIFY(!m_tree->logLines(user, next->processId())
                 .join(QLatin1Char('\n'))
                 .contains(QStringLiteral("already")));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestSingleInstanceGuard::trayOfAnotherUserStartsBeside()
{
    if (getuid() != 0)
        QSKIP("Starting a tray under another user id needs root");
    const QString user = QStringLiteral("first");
    const QString other = QStringLiteral("nobody");
    QVERIFY(m_tree->addUser(other));
    QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                               {QStringLiteral("-R"), QStringLiteral("65534:65534"),
                                QFileInfo(m_tree->home(other)).path()}),
             0);

    QProcess* first = startTray(user);
    QVERIFY(waitForLog(user, *first, QStringLiteral("Server starts listening on")));

    QProcess* beside = startTray(
        other, QStringLiteral("setpriv"),
        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
    QVERIFY2(waitForLog(other, *beside, QStringLiteral("Server starts listening on")),
             qPrintable(QString::fromLocal8Bit(beside->readAllStandardError())));
    const QString log = m_tree->logLines(other, beside->processId()).join(QLatin1Char('\n'));
    QVERIFY(!log.contains(QStringLiteral("already running")));
    QCOMPARE(beside->state(), QProcess::Running);
    QCOMPARE(first->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSingleInstanceGuard)
#include "tst_singleinstanceguard.moc"
