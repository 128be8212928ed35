#include "traytree.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <QWebSocket>
#include <unistd.h>

using namespace Qt::StringLiterals;

// One tray per user, with real tray processes: the same user's second tray is refused,
// a killed tray's lock is no obstacle, another user's tray starts beside. The instance
// locks live below a TMPDIR of the test's, apart from trays of other runs.
class TestSingleInstanceGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void cleanupTestCase() { TrayTree::removeInstanceLocks(m_tmp); }
    void secondTrayOfSameUserRefused();
    void startAfterSigkill();
    void trayOfAnotherUserStartsBeside();

private:
    // A tray of the user, started through the command in front when one is given.
    QProcess* startTray(const QString& user, QStringList command = {}, bool onDisplay = false);
    bool isListening(const QString& user, const QProcess* tray) const
    {
        return m_tree->waitForLog(user, tray->processId(), u"Server starts listening on"_s);
    }

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    QString m_tmp;
    XvfbDisplay m_display;
    std::vector<std::unique_ptr<QProcess>> m_trays;
    const QString m_user = u"first"_s;
};

void TestSingleInstanceGuard::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Trays of other user ids must reach the program and the shared lock directory.
    QVERIFY(QFile::setPermissions(m_dir.path(),
                                  QFile::permissions(m_dir.path()) | QFile::ReadOther | QFile::ExeOther
                                      | QFile::ReadGroup | QFile::ExeGroup));
    m_tree = std::make_unique<TrayTree>(m_dir.filePath(u"tree"_s));
    QVERIFY(m_tree->isValid() && m_tree->addUser(m_user));
    m_tmp = m_dir.filePath(u"tmp"_s);
    QVERIFY(QDir().mkpath(m_tmp));
    QCOMPARE(QProcess::execute(u"chmod"_s, {u"1777"_s, m_tmp}), 0);
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

QProcess* TestSingleInstanceGuard::startTray(const QString& user, QStringList command, bool onDisplay)
{
    auto& tray = m_trays.emplace_back(std::make_unique<QProcess>());
    const QProcessEnvironment env = m_tree->environment(user, m_tmp);
    tray->setProcessEnvironment(onDisplay ? m_display.environment(env) : env);
    command.append(m_tree->executable());
    tray->start(command.takeFirst(), command);
    tray->waitForStarted(10000);
    return tray.get();
}

void TestSingleInstanceGuard::secondTrayOfSameUserRefused()
{
    QProcess* first = startTray(m_user, {}, true);
    QVERIFY(isListening(m_user, first));
    QProcess* second = startTray(m_user, {}, true);
    const qint64 secondPid = second->processId();
    QVERIFY(m_tree->waitForLog(m_user, secondPid, u" - I - QuilletTray is already running - at "_s));

    // The box is closed as a person would: focus it and press Escape.
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(window = m_display.windows(secondPid, u"--name"_s, u"^Kestrum Quillet$"_s)).isEmpty(), 20000);
    QCOMPARE(second->state(), QProcess::Running);
    m_display.run(u"xdotool"_s, {u"windowfocus"_s, u"--sync"_s, window});
    m_display.run(u"xdotool"_s, {u"key"_s, u"Escape"_s});
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY(!m_tree->logLines(m_user, secondPid)
                 .join(u'\n')
                 .contains(u"QuilletTray class is being constructed"_s));

    // The first tray goes on serving.
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(u"ws://127.0.0.1:%1"_s.arg(m_tree->listeningPort(m_user, first->processId()))));
    QVERIFY(connected.wait(10000));
}

// A killed tray leaves its lock behind; the next tray of the user must start all the same.
void TestSingleInstanceGuard::startAfterSigkill()
{
    QProcess* killed = startTray(m_user);
    QVERIFY(isListening(m_user, killed));
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));
    QProcess* next = startTray(m_user);
    QVERIFY(isListening(m_user, next));
    QVERIFY(!m_tree->logLines(m_user, next->processId()).join(u'\n').contains(u"already"_s));
}

void TestSingleInstanceGuard::trayOfAnotherUserStartsBeside()
{
    if (getuid() != 0)
        QSKIP("Starting a tray under another user id needs root");
    const QString other = u"nobody"_s;
    QVERIFY(m_tree->addUser(other));
    QCOMPARE(
        QProcess::execute(u"chown"_s, {u"-R"_s, u"65534:65534"_s, QFileInfo(m_tree->home(other)).path()}), 0);

    QProcess* first = startTray(m_user);
    QVERIFY(isListening(m_user, first));
    QProcess* beside
        = startTray(other, {u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s});
    QVERIFY2(isListening(other, beside), qPrintable(QString::fromLocal8Bit(beside->readAllStandardError())));
    QVERIFY(!m_tree->logLines(other, beside->processId()).join(u'\n').contains(u"already"_s));
    QCOMPARE(first->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestSingleInstanceGuard)
#include "tst_singleinstanceguard.moc"
