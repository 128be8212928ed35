#include "bridgetestsupport.h"

#include <QDir>
#include <QFile>
#include <QtEndian>
#include <QtTest>

// One session from a page's side: a real server, a page over loopback and real signer
// processes, the demo signer or small scripts that misbehave on purpose.
class TestNativeMessagingSocketHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void session_data();
    void session();
    void pageCloseDisposesChild();
};

void TestNativeMessagingSocketHandler::session_data()
{
    QTest::addColumn<QString>("script"); // Quillet.sh; none when empty
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QStringList>("log"); // the session ends when it says so
    QTest::addColumn<bool>("ordered");

    const QString q = QStringLiteral("Quillet");
    const QString p = QStringLiteral("QuilletPkcs11");
    const QString demo = QStringLiteral("exec '%1'").arg(QUILLET_DEMO_SIGNER_EXE);
    const QJsonArray args {QStringLiteral("é€ \"x\""), 1};
    const QString closing = QStringLiteral("Socket is going to be closed.");
    const QString notRunning = QStringLiteral("Unable to send message to Quillet. Quillet is not running!");
    using L = QStringList;

    QTest::newRow("same user, messages for a starting child keep their order")
        << demo
        << L {checkContext(q, QJsonValue()), request(q, "Echo", "1", args), request(q, "Echo", "2"),
              request(q, "Echo", "3")}
        << L {successReply(q, QString()), echoReply(q, "1", args), echoReply(q, "2", {}),
              echoReply(q, "3", {})}
        << L {"Performing WebSocket client check",
              "WebSocket client is authorized to communicate with this server", "Starting Quillet"}
        << true;
    QTest::newRow("first message not CheckContext")
        << demo << L {request(q, "Echo", "1", args)} << L() << L {notRunning, closing} << true;
    QTest::newRow("unknown application in lower case")
        << demo << L {checkContext("quillet")} << L {successReply("quillet")}
        << L {"Unknown application to run! ( \"quillet\" )", closing} << true;
    QTest::newRow("missing script, then a message")
        << "" << L {checkContext(q), request(q, "Echo", "1")} << L {successReply(q)}
        << L {"Quillet executable does not exist in path: \"%BIN%/Quillet.sh\"", notRunning, closing} << true;
    QTest::newRow("child fails to start, queued messages dropped")
        << "not executable" << L {checkContext(q), request(q, "Echo", "1")} << L {successReply(q)}
        << L {"Failed to start Quillet", closing} << true;
    QTest::newRow("QuilletPkcs11 runs its own script in its directory, standard error is logged")
        << "exit 7" << L {checkContext(p), request(p, "Echo", "1", args)}
        << L {successReply(p), echoReply(p, "1", args)}
        << L {"Starting QuilletPkcs11", "Something wrote into - STDERR - \"%BIN%\\n\""} << true;
    // The bridge answers CheckContext at once, the child answers later.
    QTest::newRow("repeated CheckContext keeps the child")
        << demo
        << L {checkContext(q), request(q, "Echo", "1"), checkContext(q, "again"), request(q, "Echo", "2")}
        << L {successReply(q), echoReply(q, "1", {}), successReply(q, "again"), echoReply(q, "2", {})}
        << L {"Starting Quillet"} << false;
    // Two answers with an empty message between them, written at once just before the exit.
    QTest::newRow("output before the exit reaches the page")
        << "printf '\\002\\000\\000\\000{}\\000\\000\\000\\000\\002\\000\\000\\000[]'" << L {checkContext(q)}
        << L {successReply(q), "{}", "[]"} << L {"Quillet exited with code: 0", closing} << true;
}

void TestNativeMessagingSocketHandler::session()
{
    QFETCH(QString, script);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, replies);
    QFETCH(QStringList, log);
    QFETCH(bool, ordered);
    const bool closes = log.contains(QStringLiteral("Socket is going to be closed."));

    AppDir dir;
    if (!script.isEmpty())
        QVERIFY(dir.writeScript("Quillet.sh", script == "not executable" ? "exit 0" : script,
                                script != "not executable"));
    QVERIFY(dir.writeScript("QuilletPkcs11.sh",
                            QStringLiteral("pwd >&2\nexec '%1'").arg(QUILLET_DEMO_SIGNER_EXE)));
    log.replaceInStrings(QStringLiteral("%BIN%"), QDir::currentPath());

    Bridge bridge;
    Page page(bridge.port);
    QVERIFY(page.waitConnected());
    for (const QString& message : messages)
        page.send(message);
    if (closes)
        QTRY_VERIFY_WITH_TIMEOUT(page.closed, 10000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(page.received.size(), replies.size(), 10000);
    QTRY_VERIFY2(bridge.logged(log), qPrintable(bridge.capture.lines().join('\n')));
    if (!ordered) {
        page.received.sort();
        replies.sort();
    }
    QCOMPARE(page.received, replies);
    QCOMPARE(page.closed, closes);
    QVERIFY(bridge.capture.lines().count(QStringLiteral("I: Starting Quillet")) <= 1);
    QCOMPARE(bridge.capture.count("Creating new WebSocket handler"), 1);
}

// The child is asked to end, and killed when it does not, without holding up other sessions.
// Pages that vanish without closing are part of the load test in tst_faults.
void TestNativeMessagingSocketHandler::pageCloseDisposesChild()
{
    AppDir dir;
    QVERIFY(dir.writeScript("Quillet.sh", "echo $$ > pid\nexec cat > stdin.bin"));
    QVERIFY(dir.useDemoSigner("QuilletPkcs11.sh"));
    Bridge bridge;
    Page page(bridge.port);
    QVERIFY(page.waitConnected());
    const QString message = request("Quillet", "Sign", "1", {QStringLiteral("žluťoučký kůň 🐎")});
    page.send(checkContext("Quillet"));
    page.send(message);
    QTRY_VERIFY(!readText("pid").isEmpty());
    const QString proc = "/proc/" + readText("pid");
    QVERIFY(QFile::exists(proc));
    page.socket.close();

    QByteArray expected;
    for (const QByteArray& payload :
         {message.toUtf8(),
          QByteArray(R"({"args":[],"method":"Quillet.2.6.1.page1.QES.DisposeInstance"})")}) {
        QByteArray header(4, '\0');
        qToLittleEndian(qint32(payload.size()), header.data());
        expected += header + payload;
    }
    QFile input("stdin.bin");
    QTRY_VERIFY_WITH_TIMEOUT(input.size() >= expected.size(), 10000);
    QVERIFY(input.open(QIODevice::ReadOnly));
    QCOMPARE(input.readAll(), expected);
    QVERIFY(bridge.logged({"Socket is going to be closed.", "Terminating Quillet"}));

    Page other(bridge.port);
    QVERIFY(other.startSession("QuilletPkcs11"));
    QVERIFY(other.echo("QuilletPkcs11", "1"));
    QVERIFY(QFile::exists(proc));
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(proc), 20000);
}

QTEST_GUILESS_MAIN(TestNativeMessagingSocketHandler)
#include "tst_nativemessagingsockethandler.moc"
