// The installed tray driven from outside: a copy of its tree, real pages over loopback, real
// signer children (the demo signer as QuilletPkcs11, a signer that misbehaves on request as
// Quillet), a page of another user and edits of the configuration while it runs.
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

// Ended, or a zombie that nobody will wait for any more.
bool processGone(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
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
        QVERIFY(tree->writeScript(faulty + ".sh", QStringLiteral(QUILLET_FAULT_SIGNER_EXE)));
        QVERIFY(tree->writeConfig(checkOn));
        tray = std::make_unique<TrayProcess>(*tree, QStringLiteral("alice"));
        QVERIFY(tray->start());
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
        QTest::newRow("beyond MaxSessions") << checkOn + "<MaxSessions>2</MaxSessions>"
                                            << "" << 101 << 1013;
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

        QVERIFY(tree->writeConfig(atConnect));
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

    // A program of another user on a port before the tray's own is named in a warning: pages
    // may reach it instead of the tray.
    void portOfAnotherUser()
    {
        if (getuid() != 0)
            QSKIP("Needs root to listen as another user");
        // The squatter takes the first free port of the tray's list, before the one Bob's tray gets.
        quint16 squatted = 0;
        for (const quint16 port : {2378, 3546, 4384, 5147, 5692, 6378, 7678, 7681, 9799}) {
            QTcpServer probe;
            if (!squatted && probe.listen(QHostAddress::LocalHost, port))
                squatted = port;
        }
        QProcess squatter;
        squatter.start(QStringLiteral("setpriv"),
                       {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                        QStringLiteral("import socket, sys\ns = socket.create_server(('127.0.0.1', %1))\n"
                                       "print(1, flush=True)\nsys.stdin.read()")
                            .arg(squatted)});
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
    }

    // Two pages, one signer that ends on DisposeInstance and one that ignores it: the tray closes
    // both pages as going away, asks both signers to end, kills the one that stays and exits with 0.
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
            if (&page == &pages[1])
                page.send(request(faulty, "IgnoreDispose"));
            page.send(request(faulty, "Pid"));
            QVERIFY(page.waitReceived());
            pids.append(page.received.first().section(u':', 1).chopped(1).toLongLong());
        }
        ::kill(pid_t(bobsTray.process.processId()), signalNumber);
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
