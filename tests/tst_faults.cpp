// Faults and load against a running tray with real processes: the installed program runs from
// a copy of its tree, pages connect over loopback, and its signers are the demo signer
// (QuilletPkcs11) and a signer that misbehaves on request (Quillet).
#include "bridgetestsupport.h"
#include "traytree.h"

#include <memory>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <signal.h>
#include <vector>

namespace {
const QString user = QStringLiteral("alice");
const QString healthyApp = QStringLiteral("QuilletPkcs11");
const QString faultyApp = QStringLiteral("Quillet");
constexpr qint64 MiB = 1024 * 1024;

// A value of the process's status file, in kB for sizes.
qint64 statusValue(qint64 pid, const QByteArray& key)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Under AddressSanitizer freed memory waits in its quarantine and sizes say little, so the
// memory bounds are checked on the normal build only.
#ifdef QUILLET_SANITIZED
constexpr bool memoryChecked = false;
#else
constexpr bool memoryChecked = true;
#endif

qint64 residentKiB(qint64 pid)
{
    return memoryChecked ? statusValue(pid, "VmRSS") : 0;
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
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...; the command may hold blanks, so read after its ")".
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == pid)
            children.append(entry + QLatin1Char(' ') + QString::fromLatin1(fields.at(0)));
    }
    return children;
}

QString randomText(QRandomGenerator& random, int size)
{
    QString text(size, Qt::Uninitialized);
    for (QChar& c : text)
        c = QChar(u'a' + random.bounded(26));
    return text;
}

// A page that runs a scripted conversation: CheckContext, then echoes one after another, each
// reply checked against what the demo signer must answer.
class EchoPage : public QObject
{
    Q_OBJECT

public:
    EchoPage(quint16 port, int echoes, QRandomGenerator& generator)
        : random(generator)
        , echoesLeft(echoes)
    {
        socket.setMaxAllowedIncomingMessageSize(256 * MiB);
        connect(&socket, &QWebSocket::connected, this,
                [this] { socket.sendTextMessage(checkContext(healthyApp)); });
        connect(&socket, &QWebSocket::textMessageReceived, this, &EchoPage::received);
        connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    }

    void abortNow()
    {
        aborted = true;
        socket.abort();
    }

    QWebSocket socket;
    QStringList wrong;
    int answered = 0;
    bool finished = false;
    bool closed = false;
    bool aborted = false;

private:
    void received(const QString& message)
    {
        if (message != expected) {
            wrong.append(message.left(200));
            return;
        }
        ++answered;
        if (echoesLeft == 0) {
            finished = true;
            return;
        }
        --echoesLeft;
        const QString id = QString::number(random.generate());
        const QJsonArray args {randomText(random, random.bounded(1, 65536))};
        expected = echoReply(healthyApp, id, args);
        socket.sendTextMessage(request(healthyApp, QStringLiteral("Echo"), id, args));
    }

    QRandomGenerator& random;
    int echoesLeft;
    QString expected = successReply(healthyApp);
};
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
    void logDirectoryRemovedThenLoggingOn();
    void configurationCorruptedAndRepaired();
    void connectDisconnectCycles();
    void killedTrayStartsAgain();

private:
    bool startTray();
    void stopTray();
    // A page with an accepted CheckContext, or null.
    std::unique_ptr<Page> openSession(const QString& app);
    bool roundTrip(Page& page);
    bool settled(qint64 maxResidentKiB, int maxFiles);
    QStringList log() const { return m_tree->logLines(user, m_tray.processId()); }
    bool waitForLog(const QString& text, int timeoutMs = 20000);
    QString configPath() const { return m_tree->root() + QStringLiteral("/etc/Quillet.conf"); }

    QTemporaryDir m_dir;
    std::unique_ptr<TrayTree> m_tree;
    QString m_tmp;
    QProcess m_tray;
    quint16 m_port = 0;
    qint64 m_idleKiB = 0;
    int m_idleFiles = 0;
    int m_echoIds = 0;
};

void TestFaults::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_tree = std::make_unique<TrayTree>(m_dir.filePath(QStringLiteral("tree")));
    QVERIFY(m_tree->isValid());
    QVERIFY(m_tree->addUser(user));
    m_tmp = m_dir.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tmp));
    const QList<QPair<QString, QString>> scripts {
        {QStringLiteral("QuilletPkcs11.sh"), QStringLiteral(QUILLET_DEMO_SIGNER_EXE)},
        {QStringLiteral("Quillet.sh"), QStringLiteral(QUILLET_FAULT_SIGNER_EXE)},
    };
    for (const auto& [name, program] : scripts) {
        QFile script(m_tree->root() + QStringLiteral("/bin/") + name);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\nexec '%1'\n").arg(program).toUtf8());
        script.close();
        QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));
    }
    QVERIFY(startTray());

    // The first sessions load what every later one shares; the idle values are taken after them.
    for (int i = 0; i < 10; ++i) {
        auto page = openSession(healthyApp);
        QVERIFY(page);
        QVERIFY(roundTrip(*page));
    }
    QTRY_VERIFY_WITH_TIMEOUT(childrenOf(m_tray.processId()).isEmpty(), 20000);
    QTest::qWait(500);
    m_idleKiB = residentKiB(m_tray.processId());
    m_idleFiles = openFiles(m_tray.processId());
    qInfo("Idle tray: %lld kB resident, %d open files", m_idleKiB, m_idleFiles);
}

void TestFaults::cleanupTestCase()
{
    stopTray();
    TrayTree::removeInstanceLocks(m_tmp);
}

bool TestFaults::startTray()
{
    m_tray.setProcessEnvironment(m_tree->environment(user, m_tmp));
    m_tray.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tray.start(m_tree->executable(), {});
    if (!m_tray.waitForStarted(10000))
        return false;
    // The last port that the tray tried is the one that it listens on.
    const QRegularExpression attempt(
        QStringLiteral(R"(Server starts listening on "127\.0\.0\.1" : (\d+) - )"));
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && m_tray.state() == QProcess::Running) {
        m_port = 0;
        for (const QString& line : log()) {
            const QRegularExpressionMatch match = attempt.match(line);
            if (match.hasMatch())
                m_port = match.captured(1).toUShort();
        }
        if (m_port) {
            Page probe(m_port);
            if (probe.waitConnected())
                return true;
        }
        QTest::qWait(100);
    }
    return false;
}

void TestFaults::stopTray()
{
    if (m_tray.state() == QProcess::NotRunning)
        return;
    m_tray.terminate();
    if (!m_tray.waitForFinished(10000)) {
        m_tray.kill();
        m_tray.waitForFinished(10000);
    }
}

std::unique_ptr<Page> TestFaults::openSession(const QString& app)
{
    auto page = std::make_unique<Page>(m_port);
    if (!page->waitConnected())
        return nullptr;
    page->send(checkContext(app));
    if (!QTest::qWaitFor([&] { return !page->received.isEmpty() || page->closed; }, 20000))
        return nullptr;
    if (page->received.value(0) != successReply(app))
        return nullptr;
    page->received.clear();
    return page;
}

bool TestFaults::roundTrip(Page& page)
{
    const QString id = QString::number(++m_echoIds);
    const QJsonArray args {id, QStringLiteral("é€")};
    page.send(request(healthyApp, QStringLiteral("Echo"), id, args));
    if (!QTest::qWaitFor([&] { return !page.received.isEmpty() || page.closed; }, 20000))
        return false;
    return page.received.takeFirst() == echoReply(healthyApp, id, args);
}

bool TestFaults::settled(qint64 maxResidentKiB, int maxFiles)
{
    const qint64 pid = m_tray.processId();
    return QTest::qWaitFor(
        [&] {
            return childrenOf(pid).isEmpty() && residentKiB(pid) <= maxResidentKiB
                && openFiles(pid) <= maxFiles;
        },
        30000);
}

bool TestFaults::waitForLog(const QString& text, int timeoutMs)
{
    return QTest::qWaitFor([&] { return log().join(QLatin1Char('\n')).contains(text); }, timeoutMs);
}

void TestFaults::concurrentSessionsWithAbruptDisconnects()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("Seed %u", seed);
    QRandomGenerator random(seed);
    std::vector<std::unique_ptr<EchoPage>> pages;
    QList<int> abortAfter;
    for (int i = 0; i < 200; ++i) {
        pages.push_back(std::make_unique<EchoPage>(m_port, 3, random));
        // A third of the pages vanish without a closing handshake at a random point.
        abortAfter.append(random.bounded(3) == 0 ? random.bounded(4) : -1);
    }
    qint64 peakKiB = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            peakKiB = qMax(peakKiB, residentKiB(m_tray.processId()));
            bool done = true;
            for (size_t i = 0; i < pages.size(); ++i) {
                EchoPage& page = *pages[i];
                if (abortAfter[int(i)] >= 0 && page.answered >= abortAfter[int(i)] && !page.aborted)
                    page.abortNow();
                done = done && (page.finished || page.closed || page.aborted);
            }
            return done;
        },
        90000));
    int completed = 0;
    for (size_t i = 0; i < pages.size(); ++i) {
        const EchoPage& page = *pages[i];
        QVERIFY2(page.wrong.isEmpty(), qPrintable(page.wrong.join(QLatin1Char('\n'))));
        if (abortAfter[int(i)] < 0) {
            QVERIFY2(page.finished,
                     qPrintable(QStringLiteral("page %1 answered %2").arg(i).arg(page.answered)));
            ++completed;
        }
    }
    qInfo("%d sessions completed, %d aborted; peak resident %lld kB", completed, 200 - completed, peakKiB);
    pages.clear();

    // Every signer ends and is reaped, and the memory of the sessions is given back.
    QVERIFY2(settled(m_idleKiB + 48 * 1024, m_idleFiles + 4),
             qPrintable(QStringLiteral("children %1, resident %2 kB, files %3")
                            .arg(childrenOf(m_tray.processId()).join(QLatin1Char(',')))
                            .arg(residentKiB(m_tray.processId()))
                            .arg(openFiles(m_tray.processId()))));
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

void TestFaults::faultySigner()
{
    QFETCH(QString, fault);
    QFETCH(QString, warning);
    QFETCH(int, framesExpected);

    auto healthy = openSession(healthyApp);
    QVERIFY(healthy);
    auto faulty = openSession(faultyApp);
    QVERIFY(faulty);
    faulty->send(request(faultyApp, fault, 1));

    // Until the faulty session is over, the healthy one keeps working and the tray's memory
    // stays bounded; a page that keeps sending to a signer that never reads is cut off.
    const QString chunk(int(MiB), QLatin1Char('p'));
    const QString pageMessage = request(faultyApp, QStringLiteral("Data"), 2, QJsonArray {chunk});
    qint64 sent = 0;
    qint64 peakKiB = 0;
    int roundTrips = 0;
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
        ++roundTrips;
        peakKiB = qMax(peakKiB, residentKiB(m_tray.processId()));
    }
    QVERIFY(faulty->closed);
    qInfo("%d round trips meanwhile, %lld MiB sent, peak resident %lld kB", roundTrips, sent / MiB, peakKiB);
    QVERIFY2(peakKiB < m_idleKiB + 640 * 1024, qPrintable(QString::number(peakKiB)));
    if (framesExpected) {
        QCOMPARE(faulty->received.size(), framesExpected);
        for (const QString& message : std::as_const(faulty->received))
            QCOMPARE(message.size(), qsizetype(MiB));
    } else {
        QVERIFY(faulty->received.isEmpty());
    }
    if (!warning.isEmpty())
        QVERIFY2(waitForLog(warning), qPrintable(warning));
    QVERIFY(roundTrip(*healthy));
    healthy.reset();
    faulty.reset();
    QVERIFY(settled(m_idleKiB + 160 * 1024, m_idleFiles + 4));
}

void TestFaults::pagesThatNeverCompleteTheHandshake()
{
    auto healthy = openSession(healthyApp);
    QVERIFY(healthy);

    QTcpSocket garbage;
    garbage.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(garbage.waitForConnected(5000));
    QByteArray noise(4096, '\0');
    for (char& c : noise)
        c = char(QRandomGenerator::global()->bounded(256));
    garbage.write(noise.replace('\n', ' '));

    QTcpSocket stalled;
    stalled.connectToHost(QHostAddress::LocalHost, m_port);
    QVERIFY(stalled.waitForConnected(5000));
    stalled.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n");

    QSslSocket tls;
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_port);

    // Each is dropped within the handshake time-out, and meanwhile the session works.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()
           && (garbage.state() != QAbstractSocket::UnconnectedState
               || stalled.state() != QAbstractSocket::UnconnectedState
               || tls.state() != QAbstractSocket::UnconnectedState)) {
        QVERIFY(roundTrip(*healthy));
        QTest::qWait(200);
    }
    QCOMPARE(garbage.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(stalled.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(tls.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!tls.isEncrypted());
    QVERIFY(roundTrip(*healthy));
}

void TestFaults::logDirectoryRemovedThenLoggingOn()
{
    const QString logDir = m_tree->dataHome(user) + QStringLiteral("/Kestrum/Quillet/Logs");
    QVERIFY(QDir(logDir).removeRecursively());
    {
        auto page = openSession(healthyApp);
        QVERIFY(page);
        QVERIFY(roundTrip(*page));
    }
    QCOMPARE(m_tray.state(), QProcess::Running);
    QVERIFY(!QFile::exists(logDir));

    // What the diagnostic menu's "logging on" does: the directory and the four log files.
    QVERIFY(QDir().mkpath(logDir));
    for (const char* name : {"QuilletLog", "QuilletPkcs11Log", "QuilletUpdaterLog", "QuilletTrayLog"}) {
        QFile file(logDir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    auto page = openSession(healthyApp);
    QVERIFY(page);
    QVERIFY(roundTrip(*page));
    QVERIFY(waitForLog(QStringLiteral("New connection!")));
}

void TestFaults::configurationCorruptedAndRepaired()
{
    QFile config(configPath());
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray original = config.readAll();
    config.close();
    auto write = [&](const QByteArray& content) {
        QFile file(configPath());
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
    };

    auto running = openSession(healthyApp);
    QVERIFY(running);

    // A file that can't be read: the warning, and the check is applied (the page is of this user).
    QVERIFY(write(original.left(original.size() / 2)));
    QVERIFY(roundTrip(*running));
    {
        auto page = openSession(healthyApp);
        QVERIFY(page);
        QVERIFY(roundTrip(*page));
    }
    QVERIFY(waitForLog(QStringLiteral("Xml stream error")));
    QVERIFY(waitForLog(QStringLiteral("Performing WebSocket client check")));

    // Repaired with the check switched off: the next session skips it, the running one goes on.
    QVERIFY(
        write(QByteArray(original).replace("<CheckUser>true</CheckUser>", "<CheckUser>false</CheckUser>")));
    {
        auto page = openSession(healthyApp);
        QVERIFY(page);
        QVERIFY(roundTrip(*page));
    }
    QVERIFY(waitForLog(QStringLiteral("Skipping WebSocket client check")));
    QVERIFY(roundTrip(*running));
    QVERIFY(write(original));
}

void TestFaults::connectDisconnectCycles()
{
    QVERIFY(settled(m_idleKiB + 160 * 1024, m_idleFiles + 4));
    QTest::qWait(500);
    const qint64 beforeKiB = residentKiB(m_tray.processId());
    const int beforeFiles = openFiles(m_tray.processId());

    // In batches, every fourth page with a session and its signer.
    const int batch = 25;
    for (int cycle = 0; cycle < 1000; cycle += batch) {
        std::vector<std::unique_ptr<Page>> pages;
        for (int i = 0; i < batch; ++i)
            pages.push_back(std::make_unique<Page>(m_port));
        for (int i = 0; i < batch; ++i) {
            QVERIFY(pages[i]->waitConnected());
            if ((cycle + i) % 4 == 0)
                pages[i]->send(checkContext(healthyApp));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (int i = 0; i < batch; ++i) {
                    if ((cycle + i) % 4 == 0 && pages[i]->received.isEmpty())
                        return false;
                }
                return true;
            },
            20000));
        for (auto& page : pages)
            page->socket.close();
        QVERIFY(QTest::qWaitFor(
            [&] { return std::all_of(pages.begin(), pages.end(), [](const auto& p) { return p->closed; }); },
            20000));
    }
    QVERIFY2(settled(beforeKiB + 16 * 1024, beforeFiles),
             qPrintable(QStringLiteral("resident %1 kB (before %2), files %3 (before %4)")
                            .arg(residentKiB(m_tray.processId()))
                            .arg(beforeKiB)
                            .arg(openFiles(m_tray.processId()))
                            .arg(beforeFiles)));
    qInfo("After 1000 cycles: %lld kB resident (before %lld), %d open files (before %d)",
          residentKiB(m_tray.processId()), beforeKiB, openFiles(m_tray.processId()), beforeFiles);
}

void TestFaults::killedTrayStartsAgain()
{
    ::kill(pid_t(m_tray.processId()), SIGKILL);
    QVERIFY(m_tray.waitForFinished(10000));
    QCOMPARE(m_tray.exitStatus(), QProcess::CrashExit);
    QVERIFY(startTray());
    QVERIFY(!log().join(QLatin1Char('\n')).contains(QStringLiteral("already running")));
    auto page = openSession(healthyApp);
    QVERIFY(page);
    QVERIFY(roundTrip(*page));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
