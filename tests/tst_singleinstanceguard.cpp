#include "singleinstanceguard.h"
#include "traytree.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
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
    void guard();
    void secondTrayOfSameUserRefused();
    void startAfterSigkill();
    void trayOfAnotherUserStartsBeside();

private:
    QProcess* startTray(const QString& user, const QString& program = QString(),
                        const QStringList& arguments = {}, bool onDisplay = false);
    bool isListening(const QString& user, const QProcess* tray) const
    {
        return m_tree->waitForLog(user, tray->processId(), QStringLiteral("Server starts listening on"));
    }

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    QString m_tmp;
    XvfbDisplay m_display;
    std::vector<std::unique_ptr<QProcess>> m_trays;
    const QString m_user = QStringLiteral("first");
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
    QVERIFY(m_tree->addUser(m_user));
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
    const QProcessEnvironment env = m_tree->environment(user, m_tmp);
    tray->setProcessEnvironment(onDisplay ? m_display.environment(env) : env);
    if (program.isEmpty())
        tray->start(m_tree->executable(), arguments);
    else
        tray->start(program, arguments + QStringList {m_tree->executable()});
    tray->waitForStarted(10000);
    m_trays.push_back(std::move(tray));
    return m_trays.back().get();
}

// Same key refused while held, different keys independent, release and destruction free it.
void TestSingleInstanceGuard::guard()
{
    SingleInstanceGuard first(QStringLiteral("tst_guard_same"));
    SingleInstanceGuard second(QStringLiteral("tst_guard_same"));
    auto other = std::make_unique<SingleInstanceGuard>(QStringLiteral("tst_guard_other"));
    QVERIFY(!first.isAnotherRunning());
    QVERIFY(first.tryToRun());
    QVERIFY(!first.isAnotherRunning());
    QVERIFY(second.isAnotherRunning());
    QVERIFY(!second.tryToRun());
    QVERIFY(!other->isAnotherRunning());
    QVERIFY(other->tryToRun());

    first.release();
    QVERIFY(!second.isAnotherRunning());
    QVERIFY(second.tryToRun());
    QVERIFY(first.isAnotherRunning());

    other.reset();
    SingleInstanceGuard afterDestruction(QStringLiteral("tst_guard_other"));
    QVERIFY(!afterDestruction.isAnotherRunning());
    QVERIFY(afterDestruction.tryToRun());
}

void TestSingleInstanceGuard::secondTrayOfSameUserRefused()
{
    QProcess* first = startTray(m_user, QString(), {}, true);
    QVERIFY(isListening(m_user, first));

    QProcess* second = startTray(m_user, QString(), {}, true);
    const qint64 secondPid = second->processId();
    QVERIFY(
        m_tree->waitForLog(m_user, secondPid, QStringLiteral(" - I - QuilletTray is already running - at ")));

    // The box is closed as a person would: focus it and press Escape.
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(!(window = m_display.windows(secondPid, QStringLiteral("--name"),
                                                          QStringLiteral("^Kestrum Quillet$")))
                                  .isEmpty(),
                             20000);
    QCOMPARE(second->state(), QProcess::Running);
    m_display.run(QStringLiteral("xdotool"),
                  {QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
    m_display.run(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("Escape")});

    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    const QString secondLog = m_tree->logLines(m_user, secondPid).join(QLatin1Char('\n'));
    QVERIFY(!secondLog.contains(QStringLiteral("QuilletTray class is being constructed")));
    QVERIFY(!secondLog.contains(QStringLiteral("exiting with exit code")));

    // The first tray goes on serving.
    QCOMPARE(first->state(), QProcess::Running);
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(
        QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_tree->listeningPort(m_user, first->processId()))));
    QVERIFY(connected.wait(10000));
}

void TestSingleInstanceGuard::startAfterSigkill()
{
    QProcess* killed = startTray(m_user);
    QVERIFY(isListening(m_user, killed));
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));

    QProcess* next = startTray(m_user);
    QVERIFY(isListening(m_user, next));
    QVERIFY(!m_tree->logLines(m_user, next->processId())
                 .join(QLatin1Char('\n'))
                 .contains(QStringLiteral("already")));
    QCOMPARE(next->state(), QProcess::Running);
}

void TestSingleInstanceGuard::trayOfAnotherUserStartsBeside()
{
    if (getuid() != 0)
        QSKIP("Starting a tray under another user id needs root");
    const QString other = QStringLiteral("nobody");
    QVERIFY(m_tree->addUser(other));
    QCOMPARE(QProcess::execute(QStringLiteral("chown"),
                               {QStringLiteral("-R"), QStringLiteral("65534:65534"),
                                QFileInfo(m_tree->home(other)).path()}),
             0);

    QProcess* first = startTray(m_user);
    QVERIFY(isListening(m_user, first));
    QProcess* beside = startTray(
        other, QStringLiteral("setpriv"),
        {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
    QVERIFY2(isListening(other, beside), qPrintable(QString::fromLocal8Bit(beside->readAllStandardError())));
    QVERIFY(!m_tree->logLines(other, beside->processId())
                 .join(QLatin1Char('\n'))
                 .contains(QStringLiteral("already")));
    QCOMPARE(beside->state(), QProcess::Running);
    QCOMPARE(first->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSingleInstanceGuard)
#include "tst_singleinstanceguard.moc"
