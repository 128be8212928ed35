// The installed tray driven from outside: a copy of its tree, real pages over loopback, real
// signer children (the demo signer as QuilletPkcs11, a signer that misbehaves on request as
// Quillet, behind a start script that runs it as its child), pages and floods of another user
// and edits of the configuration while it runs.
#include "testsupport.h"

#include <csignal>
#include <memory>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

namespace {
const QString demo = QStringLiteral("QuilletPkcs11");
const QString faulty = QStringLiteral("Quillet");
const QString checkOn = QStringLiteral("<CheckUser>true</CheckUser>");
const QString checkOff = QStringLiteral("<CheckUser>false</CheckUser>");
constexpr int MiB = 1024 * 1024;

// The first port of the tray's list that is free now.
quint16 firstFreePort()
{
    for (const quint16 port : {2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799}) {
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, port))
            return port;
    }
    return 9796;
}

// Ended, or a zombie that nobody will wait for any more.
bool processGone(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

// Programs on loopback: "listen" holds the port on that address until its input ends; "flood"
// connects that many times and closes every other connection with a reset; "unread" is a page that sends one
// frame of the opcode with its standard input as payload over and over, reads nothing, and exits with 0 once
// the tray has closed the connection.
const char* pythonPrograms = R"(import socket, struct, sys
port = int(sys.argv[2])
if sys.argv[1] == 'listen':
    v6 = ':' in sys.argv[3]
    s = socket.create_server((sys.argv[3], port), family=socket.AF_INET6 if v6 else socket.AF_INET,
                             dualstack_ipv6=v6)
    print(1, flush=True); sys.stdin.read(); sys.exit(0)
for i in range(int(sys.argv[3]) if sys.argv[1] == 'flood' else 0):
    s = socket.create_connection(('127.0.0.1', port))
    i % 2 and s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0)); s.close()
m = sys.argv[1] == 'flood' and sys.exit(0) or sys.stdin.buffer.read()
size = bytes([0x80 | len(m)]) if len(m) < 126 else b'\xff' + struct.pack('>Q', len(m))
frames = (bytes([0x80 | int(sys.argv[3])]) + size + b'\0' * 4 + m) * max(1, 1000000 // (len(m) + 14))
s = socket.create_connection(('127.0.0.1', port))
s.sendall(b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n'
          b'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n')
try:
    [s.sendall(frames) for _ in range((1 << 30) // len(frames) + 1)]
except OSError:
    sys.exit(0)
sys.exit(1)
)";

// A page's frame of less than 126 bytes, masked as a browser sends it unless told otherwise.
QByteArray pageFrame(int first, const QByteArray& payload, bool masked = true)
{
    QByteArray frame = QByteArray(1, char(first)) + char((masked ? 0x80 : 0) | payload.size());
    frame += masked ? "\x11\x22\x33\x44" : "";
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ (masked ? 0x11 * (i % 4 + 1) : 0));
    return frame;
}

void startPython(QProcess& program, bool otherUser, const QStringList& arguments)
{
    const QStringList command = QStringList {"/usr/bin/python3", "-c", pythonPrograms} + arguments;
    if (otherUser)
        program.start("setpriv", QStringList {"--reuid=65534", "--regid=65534", "--clear-groups"} + command);
    else
        program.start(command.first(), command.mid(1));
}
} // namespace

class TestTray : public QObject
{
    Q_OBJECT

private:
    QString bin(const QString& name) const { return tree->root() + QStringLiteral("/bin/") + name; }

    QTemporaryDir dir;
    std::unique_ptr<TrayTree> tree;
    std::unique_ptr<TrayProcess> tray;
    // Connected at the start and never says anything.
    std::unique_ptr<Page> silent;

private Q_SLOTS:
    void initTestCase()
    {
        tree = std::make_unique<TrayTree>(dir.filePath(QStringLiteral("tree")));
        QVERIFY(tree->isValid() && tree->addUser(QStringLiteral("alice"))
                && tree->addUser(QStringLiteral("bob")));
        QVERIFY(tree->writeScript(demo + ".sh", QStringLiteral(QUILLET_DEMO_SIGNER_EXE)));
        QVERIFY(tree->writeScript(faulty + ".sh", QStringLiteral(QUILLET_FAULT_SIGNER_EXE), false));
        QVERIFY(tree->writeConfig(checkOn));
        tray = std::make_unique<TrayProcess>(*tree, QStringLiteral("alice"));
        const quint16 expectedPort = firstFreePort();
        QVERIFY(tray->start());
        // The first free port of the list, on the loopback address alone: no other address of
        // the machine, not even another loopback one, reaches it.
        QCOMPARE(tray->port, expectedPort);
        QTcpSocket elsewhere;
        elsewhere.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), tray->port);
        QVERIFY(!elsewhere.waitForConnected(5000));
        silent = std::make_unique<Page>(tray->port);
        QVERIFY(silent->waitConnected());
    }

    void relay_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QJsonArray>("args");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("origin");

        // Long enough for a frame length of two bytes.
        const QJsonArray text {QStringLiteral("é€𝄞 \"quoted\" ").repeated(100)};
        QTest::newRow("non-ASCII text")
            << demo << "Echo" << text << QStringList {reply(demo, "Echo", "1", text)} << "";
        const QJsonArray large {QString(16 * MiB, u'x')};
        QTest::newRow("16 MiB both ways")
            << demo << "Echo" << large << QStringList {reply(demo, "Echo", "1", large)} << "";
        QTest::newRow("signer's standard error") << demo << "Log" << QJsonArray {QString(100000, u'd')}
                                                 << QStringList {reply(demo, "Log", "1", "")} << "";
        // Bytes that are not UTF-8 reach the page replaced.
        QTest::newRow("frames cut across reads, one not UTF-8")
            << faulty << "Split" << QJsonArray()
            << QStringList {QStringLiteral("{\"result\":\"%1\"}").arg(QString(100000, u's')),
                            QStringLiteral("{\"r\":\"\uFFFD\"}"), "{}"}
            << "";
        // The signer learns the page's origin, or none.
        for (const QString origin : {"https://sign.example.com", ""})
            QTest::newRow(origin.isEmpty() ? "page without an origin" : "page with an origin")
                << demo << "Origin" << QJsonArray() << QStringList {reply(demo, "Origin", "1", origin)}
                << origin;
    }

    void relay()
    {
        QFETCH(QString, app);
        QFETCH(QString, method);
        QFETCH(QJsonArray, args);
        QFETCH(QStringList, expected);
        QFETCH(QString, origin);

        Page page(tray->port, origin);
        QVERIFY(page.startSession(app));
        page.send(request(app, method, "1", args));
        QVERIFY(page.waitReceived(expected.size()));
        QCOMPARE(page.received, expected);
        QVERIFY(!page.closed);
        // A log line quotes at most the first 4 KiB of a message.
        QVERIFY(method != "Log" || tray->logged(QString(4096, u'd')));
        for (const QString& line : tree->logLines(QStringLiteral("alice"), tray->process.processId()))
            QVERIFY(line.size() < 5120);
    }

    void sessionStart_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("hiddenScript");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("closes");

        const QString echo = request(demo, "Echo", "2");
        QTest::newRow("accepted, then relayed")
            << demo << "" << QStringList {checkContext(demo, "7"), echo}
            << QStringList {reply(demo, "CheckContext", "7", "", ""), reply(demo, "Echo", "2", QJsonArray())}
            << false;
        QTest::newRow("a request before CheckContext")
            << demo << "" << QStringList {echo} << QStringList() << true;
        QTest::newRow("script missing") << demo << demo + ".sh" << QStringList {checkContext(demo), echo}
                                        << QStringList {reply(demo, "CheckContext", "ctx", "", "")} << true;
    }

    void sessionStart()
    {
        QFETCH(QString, app);
        QFETCH(QString, hiddenScript);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, expected);
        QFETCH(bool, closes);

        if (!hiddenScript.isEmpty())
            QVERIFY(QFile::rename(bin(hiddenScript), bin(hiddenScript + ".off")));
        const auto restore
            = qScopeGuard([&] { QFile::rename(bin(hiddenScript + ".off"), bin(hiddenScript)); });
        Page page(tray->port);
        QVERIFY(page.waitConnected());
        for (const QString& message : messages) {
            page.send(message);
            (void)page.waitReceived(1);
        }
        QVERIFY(closes ? page.waitClosed() : page.waitReceived(expected.size()));
        QCOMPARE(page.closeCode, closes ? 1001 : 0);
        QCOMPARE(page.received, expected);
    }

    // A script the system refuses to run: the page has its answer, then the session ends; the next
    // page is served once the script can run again.
    void scriptThatCannotRun()
    {
        const QString script = bin(demo + ".sh");
        const QFile::Permissions mode = QFile::permissions(script);
        QVERIFY(QFile::setPermissions(script, mode & ~QFile::Permissions(0x1111)));
        const auto restore = qScopeGuard([&] { QFile::setPermissions(script, mode); });
        Page page(tray->port);
        QVERIFY(page.waitConnected());
        page.send(checkContext(demo));
        QVERIFY(page.waitClosed());
        QCOMPARE(page.closeCode, 1001);
        QCOMPARE(page.received, QStringList {reply(demo, "CheckContext", "ctx", "", "")});
        QVERIFY(QFile::setPermissions(script, mode));
        Page next(tray->port);
        QVERIFY(next.startSession(demo));
    }

    void brokenSigner_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("fault");

        QTest::newRow("crash in a frame") << faulty << "Crash";
        QTest::newRow("exit in a frame") << faulty << "ExitMidFrame";
        QTest::newRow("length over the limit") << faulty << "Garbage";
        QTest::newRow("exit without an answer") << demo << "Exit";
    }

    // The page learns from the closed connection; another page's session goes on.
    void brokenSigner()
    {
        QFETCH(QString, app);
        QFETCH(QString, fault);

        Page healthy(tray->port), page(tray->port);
        QVERIFY(healthy.startSession(demo) && page.startSession(app));
        page.send(request(app, fault, "1", {3}));
        QVERIFY(page.waitClosed());
        QCOMPARE(page.closeCode, 1001);
        QCOMPARE(page.received, QStringList());
        healthy.send(request(demo, "Echo", "2"));
        QTRY_COMPARE(healthy.received, QStringList {reply(demo, "Echo", "2", QJsonArray())});
    }

    void pageOverLimits_data()
    {
        QTest::addColumn<bool>("signerReads");
        QTest::addColumn<int>("closeCode");

        QTest::newRow("one message over 64 MiB") << true << 1009;
        QTest::newRow("a signer that never reads") << false << 1001;
    }

    void pageOverLimits()
    {
        QFETCH(bool, signerReads);
        QFETCH(int, closeCode);

        Page page(tray->port);
        QVERIFY(page.startSession(faulty));
        page.send(signerReads ? QString(64 * MiB + 1, u'x') : request(faulty, "StopReading"));
        const QString message = request(faulty, "Data", "2", {QString(MiB, u'p')});
        // The tray takes no more than its bound for a signer that reads nothing.
        for (qint64 sent = 0; !signerReads && !page.closed && sent < 1024 * MiB; QTest::qWait(1)) {
            if (page.socket.bytesToWrite() < 4 * MiB)
                page.send(message), sent += message.size();
        }
        QVERIFY(page.waitClosed(60000));
        QCOMPARE(page.closeCode, closeCode);
    }

    void pageFrames_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<QStringList>("answers");

        const QByteArray close1000 = pageFrame(0x88, QByteArray::fromHex("03e8"));
        const QByteArray context = checkContext(demo).toUtf8();
        QTest::newRow("CheckContext in two frames, a ping between them")
            << pageFrame(0x01, context.left(37)) + pageFrame(0x89, "abc") + pageFrame(0x80, context.mid(37))
                + close1000
            << QStringList {"10:abc", "1:" + reply(demo, "CheckContext", "ctx", "", ""), "8:1000"};
        QTest::newRow("close without a code") << pageFrame(0x88, "") << QStringList {"8:1000"};
        QTest::newRow("unmasked frame") << pageFrame(0x81, "[]", false) << QStringList {"8:1002"};
        QTest::newRow("reserved bit") << pageFrame(0xC1, "[]") << QStringList {"8:1002"};
        QTest::newRow("continuation of nothing") << pageFrame(0x80, "[]") << QStringList {"8:1002"};
        QTest::newRow("new message inside a fragmented one")
            << pageFrame(0x01, "[") + pageFrame(0x81, "]") << QStringList {"8:1002"};
        QTest::newRow("ping in pieces") << pageFrame(0x09, "a") << QStringList {"8:1002"};
        QTest::newRow("invalid UTF-8 across two frames")
            << pageFrame(0x01, "\xC3") + pageFrame(0x80, "(") << QStringList {"8:1007"};
        QTest::newRow("length over 64 MiB in the header")
            << QByteArray::fromHex("81ff0000000004000001") + "mask" << QStringList {"8:1009"};
    }

    // Frames as a browser, or a broken page, cuts them: answered, or the session ends with the
    // close code that names what was wrong.
    void pageFrames()
    {
        QFETCH(QByteArray, frames);
        QFETCH(QStringList, answers);
        QCOMPARE(rawSession(tray->port, QString(), frames, true), qMakePair(101, answers));
    }

    void pageThatNeverReads_data()
    {
        QTest::addColumn<int>("opcode");
        QTest::addColumn<QByteArray>("payload");

        QTest::newRow("pings") << 9 << QByteArray(125, 'p');
        QTest::newRow("CheckContext with a long id") << 1 << checkContext(demo, QString(MiB, u'i')).toUtf8();
    }

    // What waits for a page that reads nothing, pongs and replies alike, stays within the bound.
    void pageThatNeverReads()
    {
        QFETCH(int, opcode);
        QFETCH(QByteArray, payload);

        QProcess page;
        startPython(page, false, {"unread", QString::number(tray->port), QString::number(opcode)});
        page.write(payload);
        page.closeWriteChannel();
        QVERIFY(page.waitForFinished(120000));
        QCOMPARE(page.exitCode(), 0);
    }

    // Connections of another user's program, closed by resets and ordinarily: an open page is
    // served meanwhile, and the log grows by a line or two, not by one for each.
    void otherUsersFlood()
    {
        if (getuid() != 0)
            QSKIP("Needs root to run a program under another user");
        Page page(tray->port);
        QVERIFY(page.startSession(demo));
        const qsizetype lines = tree->logLines(QStringLiteral("alice"), tray->process.processId()).size();
        QProcess flood;
        startPython(flood, true, {"flood", QString::number(tray->port), "3000"});
        QVERIFY(flood.waitForStarted());
        for (int sent = 1; flood.state() == QProcess::Running; ++sent) {
            page.send(request(demo, "Echo", QString::number(sent)));
            QVERIFY(page.waitReceived(sent));
        }
        QCOMPARE(flood.exitCode(), 0);
        QVERIFY(tree->logLines(QStringLiteral("alice"), tray->process.processId()).size() <= lines + 2);
    }

    void silentPageIsClosed()
    {
        QVERIFY(silent->waitClosed(60000));
        QCOMPARE(silent->closeCode, 1001);
    }

    void handshake_data()
    {
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("closeCode");

        const QString allowed
            = checkOn + "<AllowedOrigins><Origin>https://sign.example.com</Origin></AllowedOrigins>";
        QTest::newRow("listed origin") << allowed << "https://sign.example.com" << 101 << 0;
        QTest::newRow("listed host over http") << allowed << "http://sign.example.com" << 403 << 0;
        QTest::newRow("no Origin header with a list") << allowed << "" << 403 << 0;
        const QString four = checkOn + "<MaxSessions>4</MaxSessions>";
        QTest::newRow("beyond MaxSessions")
            << checkOn + "<MaxSessions>2</MaxSessions><MaxSessionsPerOrigin>2</MaxSessionsPerOrigin>"
            << "" << 101 << 1013;
        QTest::newRow("beyond half of MaxSessions from one origin") << four << "" << 101 << 1013;
        QTest::newRow("another origin within MaxSessions") << four << "https://other.example" << 101 << 0;
    }

    void handshake()
    {
        QFETCH(QString, config);
        QFETCH(QString, origin);
        QFETCH(int, status);
        QFETCH(int, closeCode);

        // The silent page has gone: these two are the only sessions.
        Page first(tray->port), second(tray->port);
        QVERIFY(first.startSession(demo) && second.startSession(demo));
        QVERIFY(tree->writeConfig(config));
        const auto restore = qScopeGuard([&] { tree->writeConfig(checkOn); });
        QCOMPARE(rawHandshake(tray->port, origin, closeCode != 0), qMakePair(status, closeCode));
    }

    void otherUser_data()
    {
        QTest::addColumn<QString>("atConnect");
        QTest::addColumn<QString>("atCheckContext");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("closed before its handshake") << checkOn << checkOn << QStringList();
        // Without a configuration the check stays on.
        QTest::newRow("no configuration: closed before its handshake") << "" << checkOn << QStringList();
        QTest::newRow("served with the check off")
            << checkOff << checkOff << QStringList {"connected", reply(demo, "CheckContext", "9", "", "")};
        QTest::newRow("check switched on after the handshake")
            << checkOff << checkOn
            << QStringList {"connected", reply(demo, "CheckContext", "9", "", "Bad context!")};
    }

    void otherUser()
    {
        QFETCH(QString, atConnect);
        QFETCH(QString, atCheckContext);
        QFETCH(QStringList, expected);
        if (getuid() != 0)
            QSKIP("Needs root to run a page under another user");

        QVERIFY(atConnect.isEmpty() ? QFile::remove(tree->root() + QStringLiteral("/etc/Quillet.conf"))
                                    : tree->writeConfig(atConnect));
        const auto restore = qScopeGuard([&] { tree->writeConfig(checkOn); });
        QProcess client;
        QStringList output;
        connect(&client, &QProcess::readyReadStandardOutput, this, [&] {
            output += QString::fromUtf8(client.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        });
        client.start(QStringLiteral(QUILLET_PEER_UID_CLIENT_EXE),
                     {QString::number(tray->port), QStringLiteral("65534"), checkContext(demo, "9")});
        QTRY_VERIFY_WITH_TIMEOUT(!output.isEmpty() || client.state() == QProcess::NotRunning, 20000);
        if (!output.isEmpty()) {
            QVERIFY(tree->writeConfig(atCheckContext));
            client.write("\n");
            QTRY_VERIFY_WITH_TIMEOUT(output.size() >= 2 || client.state() == QProcess::NotRunning, 20000);
        }
        client.kill();
        client.waitForFinished();
        QCOMPARE(output, expected);
    }

    void portOfAnotherUser_data()
    {
        QTest::addColumn<QString>("address");
        QTest::newRow("IPv4 loopback") << "127.0.0.1";
        QTest::newRow("every address, both families") << "::";
    }

    // A program of another user on a port before the tray's own is named in a warning: pages
    // may reach it instead of the tray.
    void portOfAnotherUser()
    {
        QFETCH(QString, address);
        if (getuid() != 0)
            QSKIP("Needs root to listen as another user");
        // The squatter takes the first free port of the tray's list, before the one Bob's tray gets.
        const quint16 squatted = firstFreePort();
        QProcess squatter;
        startPython(squatter, true, {"listen", QString::number(squatted), address});
        QVERIFY(squatter.waitForReadyRead(20000));
        TrayProcess bobsTray(*tree, QStringLiteral("bob"));
        QVERIFY(bobsTray.start());
        QVERIFY(
            bobsTray.logged(QStringLiteral("Port %1 is held by a program of another user, user id: \"65534\"")
                                .arg(squatted)));
        // Alice's tray is of the same user: no warning for its port.
        QVERIFY(!tree->logLines(QStringLiteral("bob"), bobsTray.process.processId())
                     .join(u'\n')
                     .contains(QStringLiteral("Port %1 is held").arg(tray->port)));
        squatter.kill();
        squatter.waitForFinished();
    }

    void shutdown_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("signalCount");

        QTest::newRow("SIGTERM") << SIGTERM << 1;
        QTest::newRow("SIGHUP") << SIGHUP << 1;
        QTest::newRow("a second SIGINT while ending") << SIGINT << 2;
        QTest::newRow("SIGKILL") << SIGKILL << 1;
        QTest::newRow("no signal: the pages close") << 0 << 1;
    }

    // Two pages, one signer that ends on DisposeInstance and one that ignores it, each the child
    // of its start script: the tray closes both pages as going away, asks both signers to end,
    // kills the group of the one that stays and exits with 0. Killed outright, it leaves no
    // child of its own behind (what a child started is beyond its reach).
    void shutdown()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, signalCount);

        TrayProcess bobsTray(*tree, QStringLiteral("bob"));
        QVERIFY(bobsTray.start());
        QFile::remove(bin("signer-events"));
        Page pages[] = {Page(bobsTray.port), Page(bobsTray.port)};
        QList<qint64> pids;
        for (Page& page : pages) {
            QVERIFY(page.startSession(faulty));
            if (&page == &pages[1] && signalNumber != SIGKILL)
                page.send(request(faulty, "IgnoreDispose"));
            page.send(request(faulty, "Pid"));
            QVERIFY(page.waitReceived());
            pids.append(page.received.first().section(u':', 1).chopped(1).toLongLong());
        }
        // A signer that reads nothing more: it ends only when it is killed.
        if (signalNumber == SIGKILL) {
            pages[1].send(request(faulty, "StopReading"));
            QVERIFY(pages[1].waitReceived(2));
        }
        const QStringList children = execute("pgrep", {"-P", QString::number(bobsTray.process.processId())})
                                         .value_or(QString())
                                         .split(u'\n', Qt::SkipEmptyParts);
        ::kill(pid_t(bobsTray.process.processId()), signalNumber);
        if (signalNumber == SIGKILL) {
            QVERIFY(children.size() >= 2);
            for (const QString& child : children)
                QTRY_VERIFY(processGone(child.toLongLong()));
            ::kill(pid_t(pids[1]), SIGKILL);
            return;
        }
        // Pages that go: the signer that stays is killed after its grace time, the tray runs on.
        if (signalNumber == 0) {
            for (Page& page : pages)
                page.socket.close();
            for (const qint64 pid : pids)
                QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 15000);
            QCOMPARE(readFile(bin("signer-events")), "disposed\ndisposed\n");
            QCOMPARE(bobsTray.process.state(), QProcess::Running);
            return;
        }
        if (signalCount == 2) {
            QVERIFY(bobsTray.logged("Shutting down the server"));
            ::kill(pid_t(bobsTray.process.processId()), signalNumber);
        }
        QVERIFY(bobsTray.process.waitForFinished(20000));
        QCOMPARE(bobsTray.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(bobsTray.process.exitCode(), 0);
        // Both signers were asked to end, unless a second signal cut the way out short.
        QVERIFY(signalCount == 2 || readFile(bin("signer-events")) == "disposed\ndisposed\n");
        for (Page& page : pages) {
            QVERIFY(page.waitClosed());
            QCOMPARE(page.closeCode, 1001);
        }
        for (const qint64 pid : pids)
            QTRY_VERIFY(processGone(pid));
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "tst_tray.moc"
