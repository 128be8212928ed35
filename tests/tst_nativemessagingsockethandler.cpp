#include "bridgetestsupport.h"
#include "nativemessagingsockethandler.h"
#include "servercommunicator.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <QtTest>

namespace {
QByteArray frame(const QString& text)
{
    const QByteArray payload = text.toUtf8();
    QByteArray bytes(4, '\0');
    qToLittleEndian(qint32(payload.size()), bytes.data());
    return bytes + payload;
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}
} // namespace

// A real server, real pages over loopback and real signer processes: the demo signer and
// small scripts that misbehave on purpose.
class TestNativeMessagingSocketHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void states_data();
    void states();
    void pageCloseDisposesChild_data();
    void pageCloseDisposesChild();
    void childEndingInTimeIsNotKilled();
    void childOutputBeforeExitReachesPage();
};

void TestNativeMessagingSocketHandler::states_data()
{
    QTest::addColumn<QString>("scripts");
    QTest::addColumn<bool>("checkUser");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("ordered");

    const QString q = QStringLiteral("Quillet");
    const QString p = QStringLiteral("QuilletPkcs11");
    const QJsonArray args {QStringLiteral("é€ \"x\""), 1};
    const QString closing = QStringLiteral("Socket is going to be closed.");
    const QString notRunning = QStringLiteral("Unable to send message to Quillet. Quillet is not running!");

    QTest::newRow("first message not CheckContext")
        << "demo" << true << QStringList {request(q, "Echo", "1", args)} << QStringList() << true
        << QStringList {notRunning, closing} << true;
    QTest::newRow("check off, relaying")
        << "demo" << false << QStringList {checkContext(q), request(q, "Echo", "1", args)}
        << QStringList {successReply(q), echoReply(q, "1", args)} << false
        << QStringList {"Skipping WebSocket client check", "Starting Quillet"} << true;
    QTest::newRow("check on, same user")
        << "demo" << true << QStringList {checkContext(q, QJsonValue()), request(q, "Echo", "1", args)}
        << QStringList {successReply(q, QString()), echoReply(q, "1", args)} << false
        << QStringList {"Performing WebSocket client check",
                        "WebSocket client is authorized to communicate with this server", "Starting Quillet"}
        << true;
    QTest::newRow("numeric id is not echoed")
        << "demo" << true << QStringList {checkContext(q, 42)} << QStringList {successReply(q, QString())}
        << false << QStringList {"Starting Quillet"} << true;
    QTest::newRow("unknown application in lower case")
        << "demo" << true << QStringList {checkContext("quillet")} << QStringList {successReply("quillet")}
        << true << QStringList {"Unknown application to run! ( \"quillet\" )", closing} << true;
    QTest::newRow("missing script, then a message")
        << "none" << true << QStringList {checkContext(q), request(q, "Echo", "1")}
        << QStringList {successReply(q)} << true
        << QStringList {"Quillet executable does not exist in path: \"%BIN%/Quillet.sh\"", notRunning,
                        closing}
        << true;
    QTest::newRow("QuilletPkcs11 runs its own script in its directory")
        << "pkcs11" << true << QStringList {checkContext(p), request(p, "Echo", "1", args)}
        << QStringList {successReply(p), echoReply(p, "1", args)} << false
        << QStringList {"Starting QuilletPkcs11", "Something wrote into - STDERR - \"%BIN%\\n\""} << true;
    QTest::newRow("messages for a starting child keep their order")
        << "demo" << true
        << QStringList {checkContext(q), request(q, "Echo", "1"), request(q, "Echo", "2"),
                        request(q, "Echo", "3")}
        << QStringList {successReply(q), echoReply(q, "1", {}), echoReply(q, "2", {}), echoReply(q, "3", {})}
        << false << QStringList {"Starting Quillet"} << true;
    QTest::newRow("repeated CheckContext keeps the child")
        << "demo" << true
        << QStringList {checkContext(q), request(q, "Echo", "1"), checkContext(q, "again"),
                        request(q, "Echo", "2")}
        << QStringList {successReply(q), echoReply(q, "1", {}), successReply(q, "again"),
                        echoReply(q, "2", {})}
        << false << QStringList {"Starting Quillet"} << false;
    QTest::newRow("child exits") << "demo" << true
                                 << QStringList {checkContext(q), request(q, "Exit", "1", {3})}
                                 << QStringList {successReply(q)} << true
                                 << QStringList {"Quillet exited with code: 3", closing} << true;
    QTest::newRow("child crashes") << "crash" << true << QStringList {checkContext(q)}
                                   << QStringList {successReply(q)} << true
                                   << QStringList {"Quillet terminated unexpectedly", closing} << true;
    QTest::newRow("child fails to start, queued messages dropped")
        << "not executable" << true << QStringList {checkContext(q), request(q, "Echo", "1")}
        << QStringList {successReply(q)} << true << QStringList {"Failed to start Quillet", closing} << true;
    QTest::newRow("standard error is logged, relaying goes on")
        << "demo" << true
        << QStringList {checkContext(q), request(q, "Log", "1", {"oops\x01"}), request(q, "Echo", "2")}
        << QStringList {successReply(q), R"({"id":"1","method":"Quillet.2.6.1.page1.QES.Log","result":""})",
                        echoReply(q, "2", {})}
        << false << QStringList {"Something wrote into - STDERR - \"oops\\x01\""} << true;
}

void TestNativeMessagingSocketHandler::states()
{
    QFETCH(QString, scripts);
    QFETCH(bool, checkUser);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, replies);
    QFETCH(bool, closes);
    QFETCH(QStringList, log);
    QFETCH(bool, ordered);

    AppDir dir(checkUser);
    QVERIFY(dir.isValid());
    if (scripts == QLatin1String("demo")) {
        QVERIFY(dir.useDemoSigner("Quillet.sh"));
    } else if (scripts == QLatin1String("pkcs11")) {
        QVERIFY(dir.writeScript("Quillet.sh", "exit 7"));
        QVERIFY(dir.writeScript("QuilletPkcs11.sh",
                                QStringLiteral("pwd >&2\nexec '%1'").arg(QUILLET_DEMO_SIGNER_EXE)));
    } else if (scripts == QLatin1String("crash")) {
        QVERIFY(dir.writeScript("Quillet.sh", "kill -KILL $$"));
    } else if (scripts == QLatin1String("not executable")) {
        QVERIFY(dir.writeScript("Quillet.sh", "exit 0", false));
    }
    log.replaceInStrings(QStringLiteral("%BIN%"), QDir::currentPath());

    LogCapture capture;
    ServerCommunicator server;
    const quint16 port = listenOnFreePort(server);
    QVERIFY(port);
    Page page(port);
    QVERIFY(page.waitConnected());
    for (const QString& message : messages)
        page.send(message);

    if (closes) {
        QTRY_VERIFY_WITH_TIMEOUT(page.isClosed(), 10000);
        QTRY_VERIFY(capture.containsInOrder(log));
        QCOMPARE(page.received, replies);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(page.received.size(), replies.size(), 10000);
        // The bridge answers CheckContext at once, the child answers later: only the child's
        // answers have an order among themselves.
        if (!ordered) {
            page.received.sort();
            replies.sort();
        }
        QCOMPARE(page.received, replies);
        QVERIFY2(capture.containsInOrder(log), qPrintable(capture.lines().join('\n')));
        QVERIFY(!page.isClosed());
        QVERIFY(capture.lines().count(QStringLiteral("Starting Quillet")) <= 1);
    }
    QCOMPARE(capture.count("Creating new WebSocket handler"), 1);
}

void TestNativeMessagingSocketHandler::pageCloseDisposesChild_data()
{
    QTest::addColumn<bool>("abort");
    QTest::newRow("page closes") << false;
    QTest::newRow("page vanishes") << true;
}

void TestNativeMessagingSocketHandler::pageCloseDisposesChild()
{
    QFETCH(bool, abort);
    AppDir dir;
    QVERIFY(dir.isValid());
    // A child that records its standard input and never ends by itself.
    QVERIFY(dir.writeScript("Quillet.sh", "echo $$ > pid\nexec cat > stdin.bin"));

    LogCapture capture;
    ServerCommunicator server;
    const quint16 port = listenOnFreePort(server);
    QVERIFY(port);
    Page page(port);
    QVERIFY(page.waitConnected());
    const QString message = request("Quillet", "Sign", "1", {QStringLiteral("žluťoučký kůň 🐎")});
    page.send(checkContext("Quillet"));
    page.send(message);
    QTRY_COMPARE(page.received.size(), 1);
    QTRY_VERIFY(!readAll(dir.bin() + "/pid").isEmpty());
    const qint64 pid = readAll(dir.bin() + "/pid").toLongLong();
    QVERIFY(processExists(pid));

    if (abort)
        page.socket.abort();
    else
        page.socket.close();

    const QByteArray expected
        = frame(message) + frame(R"({"args":[],"method":"Quillet.2.6.1.page1.QES.DisposeInstance"})");
    QFile input(dir.bin() + "/stdin.bin");
    QTRY_VERIFY_WITH_TIMEOUT(input.size() >= expected.size(), 10000);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QCOMPARE(input.readAll(), expected);
    QVERIFY(capture.containsInOrder({"Socket is going to be closed.", "Terminating Quillet"}));
    // It ignored the request: it is killed, later, without anyone waiting for it.
    QVERIFY(processExists(pid));
    QTRY_VERIFY_WITH_TIMEOUT(!processExists(pid), 20000);
}

void TestNativeMessagingSocketHandler::childEndingInTimeIsNotKilled()
{
    AppDir dir;
    QVERIFY(dir.isValid());
    // The demo signer ends on DisposeInstance; the script then records how it ended.
    QVERIFY(dir.writeScript("Quillet.sh",
                            QStringLiteral("'%1'\necho \"exit $?\" > ended").arg(QUILLET_DEMO_SIGNER_EXE)));

    ServerCommunicator server;
    const quint16 port = listenOnFreePort(server);
    QVERIFY(port);
    Page page(port);
    QVERIFY(page.waitConnected());
    page.send(checkContext("Quillet"));
    page.send(request("Quillet", "Echo", "1"));
    QTRY_COMPARE(page.received.size(), 2);
    page.socket.close();
    QTRY_COMPARE_WITH_TIMEOUT(readAll(dir.bin() + "/ended"), QStringLiteral("exit 0"), 10000);
}

void TestNativeMessagingSocketHandler::childOutputBeforeExitReachesPage()
{
    AppDir dir;
    QVERIFY(dir.isValid());
    // Two answers, an empty message between them, written at once just before the child exits.
    QVERIFY(dir.writeScript("Quillet.sh",
                            "printf '\\002\\000\\000\\000{}\\000\\000\\000\\000\\002\\000\\000\\000[]'"));

    LogCapture capture;
    ServerCommunicator server;
    const quint16 port = listenOnFreePort(server);
    QVERIFY(port);
    Page page(port);
    QVERIFY(page.waitConnected());
    page.send(checkContext("Quillet"));
    QTRY_VERIFY_WITH_TIMEOUT(page.isClosed(), 10000);
    QCOMPARE(page.received, (QStringList {successReply("Quillet"), "{}", "[]"}));
    QVERIFY(capture.containsInOrder({"Quillet exited with code: 0", "Socket is going to be closed."}));
}

QTEST_GUILESS_MAIN(TestNativeMessagingSocketHandler)
#include "tst_nativemessagingsockethandler.moc"
