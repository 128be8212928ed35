// Faults and load against the installed program, run from a copy of its tree: pages connect
// over loopback, its signers are the demo signer (QuilletPkcs11) and a signer that misbehaves
// on request (Quillet).
#include "bridgetestsupport.h"
#include "traytree.h"

#include <memory>
#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtTest>
#include <vector>

namespace {
const QString user = QStringLiteral("alice");
const QString healthyApp = QStringLiteral("QuilletPkcs11");
const QString faultyApp = QStringLiteral("Quillet");
constexpr qint64 MiB = 1024 * 1024;

// Under AddressSanitizer freed memory waits in its quarantine, so memory is measured only
// on the normal build.
qint64 residentKiB(qint64 pid)
{
#ifdef QUILLET_SANITIZED
    Q_UNUSED(pid);
    return 0;
#else
    return QRegularExpression(QStringLiteral(R"(VmRSS:\s*(\d+))"))
        .match(readText(QStringLiteral("/proc/%1/status").arg(pid)))
        .captured(1)
        .toLongLong();
#endif
}

int openFiles(qint64 pid)
{
    return int(
        QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

// Children of the process, zombies included, as "pid state" texts.
QStringList childrenOf(qint64 pid)
{
    QStringList children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        // pid (comm) state ppid ...; the command may hold blanks, so read after its ")".
        const QString stat = readText(QStringLiteral("/proc/%1/stat").arg(entry));
        const QStringList fields = stat.mid(stat.lastIndexOf(u')') + 2).split(u' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid)
            children.append(entry + u' ' + fields.at(0));
    }
    return children;
}
} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void concurrentSessionsWithAbruptDisconnects();
    void faultySigner_data();
    void faultySigner();
    void pagesThatNeverCompleteTheHandshake();
    void configurationCorruptedAndRepaired();

private:
    bool roundTrip(Page& page) { return page.echo(healthyApp, QString::number(++m_echoIds), {"é€"}); }
    bool newSessionWorks()
    {
        Page page(m_port);
        return page.startSession(healthyApp) && roundTrip(page);
    }
    // No child left, and the tray's resident size and open files within these bounds.
    bool settled(qint64 extraKiB, int extraFiles);
    bool logged(const QString& text) { return m_tree->waitForLog(user, m_tray.processId(), text); }

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    QProcess m_tray;
    quint16 m_port = 0;
    qint64 m_idleKiB = 0;
    int m_idleFiles = 0;
    int m_echoIds = 0;
};

void TestFaults::initTestCase()
{
    m_tree = std::make_unique<TrayTree>(m_dir.filePath(QStringLiteral("tree")));
    QVERIFY(m_tree->isValid() && m_tree->addUser(user) && QDir().mkpath(m_dir.filePath("tmp")));
    for (const auto& [name, program] : {std::pair {"QuilletPkcs11.sh", QUILLET_DEMO_SIGNER_EXE},
                                        std::pair {"Quillet.sh", QUILLET_FAULT_SIGNER_EXE}}) {
        QFile script(m_tree->root() + QStringLiteral("/bin/") + QLatin1String(name));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QByteArray("#!/bin/sh\nexec '") + program + "'\n");
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
    }
    m_tray.setProcessEnvironment(m_tree->environment(user, m_dir.filePath("tmp")));
    m_tray.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tray.start(m_tree->executable(), {});
    QVERIFY(m_tray.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(
        (m_port = m_tree->listeningPort(user, m_tray.processId())) && Page(m_port).waitConnected(), 30000);

    // The first sessions load what every later one shares; the idle values are taken after them.
    for (int i = 0; i < 10; ++i)
        QVERIFY(newSessionWorks());
    QTRY_VERIFY_WITH_TIMEOUT(childrenOf(m_tray.processId()).isEmpty(), 20000);
    m_idleKiB = residentKiB(m_tray.processId());
    m_idleFiles = openFiles(m_tray.processId());
}

void TestFaults::cleanupTestCase()
{
    m_tray.terminate();
    if (!m_tray.waitForFinished(10000))
        m_tray.kill();
    m_tray.waitForFinished(10000);
    TrayTree::removeInstanceLocks(m_dir.filePath("tmp"));
}

bool TestFaults::settled(qint64 extraKiB, int extraFiles)
{
    const qint64 pid = m_tray.processId();
    if (QTest::qWaitFor(
            [&] {
                return childrenOf(pid).isEmpty() && residentKiB(pid) <= m_idleKiB + extraKiB
                    && openFiles(pid) <= m_idleFiles + extraFiles;
            },
            30000))
        return true;
    qWarning("Children [%s], %lld kB resident, %d files open", qPrintable(childrenOf(pid).join(u',')),
             residentKiB(pid), openFiles(pid));
    return false;
}

void TestFaults::concurrentSessionsWithAbruptDisconnects()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("Seed %u", seed);
    QRandomGenerator random(seed);
    std::vector<std::unique_ptr<Page>> pages;
    std::vector<QStringList> expected(200, {successReply(healthyApp)});
    for (int i = 0; i < 200; ++i)
        pages.push_back(std::make_unique<Page>(m_port));
    // Every eighth page never asks for a session.
    for (size_t i = 0; i < pages.size(); ++i) {
        QVERIFY(pages[i]->waitConnected());
        i % 8 ? pages[i]->send(checkContext(healthyApp)) : expected[i].clear();
    }
    // Rounds of echoes of random sizes on all pages at once; in each, a few pages vanish
    // without a closing handshake while their echo is under way.
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < pages.size(); ++i) {
            if (pages[i]->socket.state() != QAbstractSocket::ConnectedState || expected[i].isEmpty())
                continue;
            const QString id = QString::number(random.generate());
            const QJsonArray args {QString(random.bounded(1, 65536), QChar(u'a' + random.bounded(26)))};
            pages[i]->send(request(healthyApp, QStringLiteral("Echo"), id, args));
            expected[i].append(echoReply(healthyApp, id, args));
            if (random.bounded(10) == 0)
                pages[i]->socket.abort();
        }
        for (size_t i = 0; i < pages.size(); ++i) {
            if (pages[i]->socket.state() == QAbstractSocket::ConnectedState)
                QTRY_COMPARE_WITH_TIMEOUT(pages[i]->received, expected[i], 30000);
        }
    }
    pages.clear();
    // Every signer ends and is reaped, no file stays open, and the sessions' memory is given back.
    QVERIFY(settled(48 * 1024, 0));
}

void TestFaults::faultySigner_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("framesExpected");

    QTest::newRow("crash in the middle of a message") << "Crash"
                                                      << "Quillet terminated unexpectedly" << 0;
    QTest::newRow("exit in the middle of a frame")
        << "ExitMidFrame"
        << "Expected 1000 bytes from STDOUT but received 10 bytes" << 0;
    QTest::newRow("100 MiB of frames") << "FloodFrames"
                                       << "" << 100;
    QTest::newRow("100 MiB of garbage")
        << "FloodGarbage"
        << "A message of 1094795585 bytes from STDOUT exceeds the limit of 67108864 bytes" << 0;
    // The reader stops after each empty frame until more output comes, so they pile up.
    QTest::newRow("empty frames without end")
        << "FloodEmpty"
        << "bytes from Quillet wait for the page, the limit is 134217728" << 0;
    QTest::newRow("never reads while the page sends")
        << "StopReading"
        << "bytes wait for Quillet to read them, the limit is 134217728" << 0;
}

// Until the faulty session is over, the healthy one keeps working and the tray's memory stays
// bounded; a page that keeps sending to a signer that never reads is cut off.
void TestFaults::faultySigner()
{
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    QFETCH(int, framesExpected);

    auto healthy = std::make_unique<Page>(m_port);
    auto faulty = std::make_unique<Page>(m_port);
    QVERIFY(healthy->startSession(healthyApp) && faulty->startSession(faultyApp));
    faulty->send(request(faultyApp, fault, 1));
    const QString pageMessage = request(faultyApp, QStringLiteral("Data"), 2, {QString(int(MiB), u'p')});
    qint64 sent = 0;
    qint64 peakKiB = 0;
    QDeadlineTimer deadline(90000);
    while (!faulty->closed && !deadline.hasExpired()) {
        if (framesExpected && faulty->received.size() == framesExpected)
            faulty->socket.close();
        if (fault == QLatin1String("StopReading") && faulty->socket.bytesToWrite() < 4 * MiB) {
            faulty->send(pageMessage);
            sent += pageMessage.size();
            QVERIFY2(sent < 1024 * MiB, "the tray took 1 GiB for a signer that reads nothing");
        }
        QVERIFY(roundTrip(*healthy));
        peakKiB = qMax(peakKiB, residentKiB(m_tray.processId()));
    }
    QVERIFY(faulty->closed);
    QVERIFY2(peakKiB < m_idleKiB + 640 * 1024, qPrintable(QString::number(peakKiB)));
    QCOMPARE(faulty->received.size(), framesExpected);
    for (const QString& message : std::as_const(faulty->received))
        QCOMPARE(message.size(), qsizetype(MiB));
    if (!warning.isEmpty())
        QVERIFY2(logged(warning), qPrintable(warning));
    QVERIFY(roundTrip(*healthy));
    QVERIFY(newSessionWorks());
    healthy.reset();
    faulty.reset();
    QVERIFY(settled(160 * 1024, 4));
}

// Each is dropped within the handshake time-out, and meanwhile a session works.
void TestFaults::pagesThatNeverCompleteTheHandshake()
{
    Page healthy(m_port);
    QVERIFY(healthy.startSession(healthyApp));
    QTcpSocket garbage;
    QTcpSocket stalled;
    QSslSocket tls;
    for (QTcpSocket* socket : {&garbage, &stalled}) {
        socket->connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(socket->waitForConnected(5000));
    }
    garbage.write(QByteArray("\x01\xfe\xff garbage without a line end ").repeated(128));
    stalled.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n");
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);

    const auto allDropped = [&] {
        return garbage.state() == QAbstractSocket::UnconnectedState
            && stalled.state() == QAbstractSocket::UnconnectedState
            && tls.state() == QAbstractSocket::UnconnectedState;
    };
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && !allDropped())
        QVERIFY(roundTrip(healthy));
    QVERIFY(allDropped());
    QVERIFY(!tls.isEncrypted());
    QVERIFY(roundTrip(healthy));
}

void TestFaults::configurationCorruptedAndRepaired()
{
    const QString path = m_tree->root() + QStringLiteral("/etc/Quillet.conf");
    const auto write = [&](const QByteArray& content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
    };
    const QByteArray original = readText(path).toUtf8();
    QVERIFY(!original.isEmpty());
    Page running(m_port);
    QVERIFY(running.startSession(healthyApp));

    // A file that can't be read: the warning, and the user check still applies.
    QVERIFY(write(original.left(original.size() / 2)));
    QVERIFY(roundTrip(running));
    QVERIFY(newSessionWorks());
    QVERIFY(logged(QStringLiteral("Xml stream error")));
    QVERIFY(logged(QStringLiteral("Performing WebSocket client check")));

    // Repaired with the check switched off: the next session skips it, the running one goes on.
    QVERIFY(
        write(QByteArray(original).replace("<CheckUser>true</CheckUser>", "<CheckUser>false</CheckUser>")));
    QVERIFY(newSessionWorks());
    QVERIFY(logged(QStringLiteral("Skipping WebSocket client check")));
    QVERIFY(roundTrip(running));
    QVERIFY(write(original));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
