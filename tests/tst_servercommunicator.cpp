#include "bridgetestsupport.h"
#include "nativemessagingsockethandler.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {
QString generated(qsizetype size)
{
    return QStringLiteral("0123456789abcdef").repeated(size / 16 + 1).left(size);
}
} // namespace

class TestServerCommunicator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portTaken();
    void boundToLoopbackOnly_data();
    void boundToLoopbackOnly();
    void largeMessagesBothWays();
    void twoSessionsOneOversizedMessage();
    void framingErrorEndsOnlyItsSession_data();
    void framingErrorEndsOnlyItsSession();
    void originAllowList_data();
    void originAllowList();
    void originListReadForEachConnection();
};

void TestServerCommunicator::portTaken()
{
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHost));
    LogCapture capture;
    ServerCommunicator server;
    QVERIFY(!server.startListening(other.serverPort()));
    QCOMPARE(capture.lines().value(0),
             QStringLiteral("Server starts listening on \"127.0.0.1\" : %1").arg(other.serverPort()));
    QVERIFY(listenOnFreePort(server));
}

void TestServerCommunicator::boundToLoopbackOnly_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
    QTest::newRow("another loopback address") << "127.0.0.2" << false;
    QTest::newRow("IPv6 loopback") << "::1" << false;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (!address.isLoopback() && address.protocol() == QAbstractSocket::IPv4Protocol)
            QTest::addRow("interface %s", qPrintable(address.toString())) << address.toString() << false;
    }
}

void TestServerCommunicator::boundToLoopbackOnly()
{
    QFETCH(QString, address);
    QFETCH(bool, reachable);
    Bridge bridge;
    QVERIFY(bridge.port);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(address), bridge.port);
    QTRY_VERIFY_WITH_TIMEOUT(socket.state() == QAbstractSocket::ConnectedState
                                 || socket.state() == QAbstractSocket::UnconnectedState,
                             10000);
    QCOMPARE(socket.state() == QAbstractSocket::ConnectedState, reachable);
}

void TestServerCommunicator::largeMessagesBothWays()
{
    AppDir dir;
    QVERIFY(dir.useDemoSigner("Quillet.sh"));
    Bridge bridge;
    Page page(bridge.port);
    QVERIFY(page.waitConnected());

    const qsizetype size = 16 * 1024 * 1024;
    QString document = generated(size);
    document[size / 2] = QChar(0x017E); // one non-ASCII letter in the middle: ž
    page.send(checkContext("Quillet"));
    page.send(request("Quillet", "Echo", "big", {document}));
    page.send(request("Quillet", "Generate", "gen", {double(size)}));
    QTRY_COMPARE_WITH_TIMEOUT(page.received.size(), 3, 60000);

    const QJsonObject echo = QJsonDocument::fromJson(page.received.at(1).toUtf8()).object();
    QCOMPARE(echo.value("id").toString(), QStringLiteral("big"));
    QVERIFY(echo.value("result").toArray().at(0).toString() == document);
    const QJsonObject made = QJsonDocument::fromJson(page.received.at(2).toUtf8()).object();
    QCOMPARE(made.value("id").toString(), QStringLiteral("gen"));
    QVERIFY(made.value("result").toString() == generated(size));
}

void TestServerCommunicator::twoSessionsOneOversizedMessage()
{
    AppDir dir;
    QVERIFY(dir.useDemoSigner("Quillet.sh"));
    Bridge bridge;
    Page bystander(bridge.port);
    Page offender(bridge.port);
    QVERIFY(bystander.waitConnected() && offender.waitConnected());
    bystander.send(checkContext("Quillet", "a"));
    offender.send(checkContext("Quillet", "b"));
    QVERIFY(bystander.echo("Quillet", "1", {"bystander"}));
    QVERIFY(offender.echo("Quillet", "2", {"offender"}));
    QCOMPARE(bridge.capture.lines().count("Starting Quillet"), 2);

    offender.send(
        QString(qsizetype(NativeMessagingSocketHandler::maxIncomingMessageSize) + 1, QLatin1Char('x')));
    QTRY_VERIFY_WITH_TIMEOUT(offender.isClosed(), 60000);
    QCOMPARE(offender.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY(bridge.capture.containsInOrder(
        {"Closing the connection, the page sent a message over 67108864 bytes:",
         "Socket is going to be closed."}));
    QVERIFY(bystander.echo("Quillet", "3", {"still here"}));
    QVERIFY(!bystander.isClosed());
}

void TestServerCommunicator::framingErrorEndsOnlyItsSession_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QString>("error");
    QTest::newRow("payload cut off by exit") << "printf '\\005\\000\\000\\000abc'"
                                             << "Expected 5 bytes from STDOUT but received 3 bytes";
    QTest::newRow("header cut off by exit") << "printf '\\002\\000\\000\\000{}\\005\\000'"
                                            << "Expected 4 bytes from STDOUT but received 2 bytes";
    QTest::newRow("negative length") << "printf '\\377\\377\\377\\377'\nexec sleep 60"
                                     << "Expected -1 bytes from STDOUT but received 0 bytes";
}

// In a process of its own with the tray's application object and event loop, where the
// framing error really reaches the application object.
void TestServerCommunicator::framingErrorEndsOnlyItsSession()
{
    QFETCH(QString, signer);
    QFETCH(QString, error);
    AppDir dir;
    QVERIFY(dir.writeScript("Quillet.sh", signer));
    QVERIFY(dir.useDemoSigner("QuilletPkcs11.sh"));
    const QString logDir = dir.root() + "/data/Kestrum/Quillet/Logs";
    const QString logPath = logDir + "/QuilletTrayLog.txt";
    QFile log(logPath);
    QVERIFY(QDir().mkpath(logDir) && log.open(QIODevice::WriteOnly));
    log.close();

    QProcess tray;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", dir.root() + "/data");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    tray.setProcessEnvironment(environment);
    const quint16 port = freePort();
    tray.start(QStringLiteral(QUILLET_BRIDGE_SERVER_EXE), {QString::number(port)});
    QVERIFY(tray.waitForReadyRead(20000));

    Page good(port);
    QVERIFY(good.waitConnected());
    good.send(checkContext("QuilletPkcs11"));
    QTRY_COMPARE(good.received.size(), 1);
    Page broken(port);
    QVERIFY(broken.waitConnected());
    broken.send(checkContext("Quillet"));
    QTRY_VERIFY_WITH_TIMEOUT(broken.isClosed(), 10000);
    QTRY_VERIFY(readText(logPath).contains("Caught AppException -  \"AppException: " + error));

    QVERIFY(good.echo("QuilletPkcs11", "1"));
    Page later(port);
    QVERIFY(later.waitConnected());
    later.send(checkContext("QuilletPkcs11"));
    QVERIFY(later.echo("QuilletPkcs11", "2"));
    QCOMPARE(tray.state(), QProcess::Running);
    tray.kill();
    QVERIFY(tray.waitForFinished(10000));
}

void TestServerCommunicator::originAllowList_data()
{
    QTest::addColumn<QString>("trayExtra");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("warning");

    const QString list = "<AllowedOrigins><Origin>http://127.0.0.1:8765</Origin>"
                         "<Origin>https://*.example.com</Origin></AllowedOrigins>";
    const QString refused = QStringLiteral("Refusing a connection from origin \"%1\"");
    QTest::newRow("no list, no Origin header") << ""
                                               << "" << 101 << "";
    QTest::newRow("no list, any origin") << ""
                                         << "https://elsewhere.example.net" << 101 << "";
    QTest::newRow("listed origin") << list << "http://127.0.0.1:8765" << 101 << "";
    QTest::newRow("other port of a listed host")
        << list << "http://127.0.0.1:8766" << 403 << refused.arg("http://127.0.0.1:8766");
    QTest::newRow("no Origin header")
        << list << "" << 403 << "Refusing a connection without an Origin header";
    QTest::newRow("empty list refuses all")
        << "<AllowedOrigins/>"
        << "http://127.0.0.1:8765" << 403 << refused.arg("http://127.0.0.1:8765");
    QTest::newRow("invalid entry logged, the others apply")
        << "<AllowedOrigins><Origin>http://*.example.com</Origin><Origin>http://127.0.0.1:8765</Origin>"
           "</AllowedOrigins>"
        << "http://127.0.0.1:8765" << 101
        << "Ignoring an invalid entry of AllowedOrigins: \"http://*.example.com\"";
}

void TestServerCommunicator::originAllowList()
{
    QFETCH(QString, trayExtra);
    QFETCH(QString, origin);
    QFETCH(int, status);
    QFETCH(QString, warning);
    AppDir dir;
    QVERIFY(dir.writeConfig(true, trayExtra));
    Bridge bridge;
    QCOMPARE(handshakeStatus(bridge.port, origin), status);
    if (!warning.isEmpty())
        QCOMPARE(bridge.capture.count(warning), 1);
    if (status == 101) {
        QTRY_COMPARE(bridge.capture.count("Creating new WebSocket handler"), 1);
    } else {
        // A refused page gets no session: nothing is pending, nothing was created.
        QCoreApplication::processEvents();
        QCOMPARE(bridge.capture.count("New connection!"), 0);
        QCOMPARE(bridge.capture.count("Creating new WebSocket handler"), 0);
    }
}

void TestServerCommunicator::originListReadForEachConnection()
{
    AppDir dir;
    QVERIFY(dir.useDemoSigner("Quillet.sh"));
    QVERIFY(dir.writeConfig(true, "<AllowedOrigins><Origin>https://a.example</Origin></AllowedOrigins>"));
    Bridge bridge;
    QCOMPARE(handshakeStatus(bridge.port, "https://b.example"), 403);
    QVERIFY(dir.writeConfig(true, "<AllowedOrigins><Origin>https://b.example</Origin></AllowedOrigins>"));
    QCOMPARE(handshakeStatus(bridge.port, "https://b.example"), 101);
    QCOMPARE(handshakeStatus(bridge.port, "https://a.example"), 403);

    // A broken edit keeps the last good list in force rather than letting every site in.
    QFile broken(dir.root() + "/etc/Quillet.conf");
    QVERIFY(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("<Quillet><QuilletTray>");
    broken.close();
    QCOMPARE(handshakeStatus(bridge.port, "https://a.example"), 403);

    // Without the element every page is let in again, up to a whole session.
    QVERIFY(dir.writeConfig(true, QString()));
    Page page(bridge.port);
    QVERIFY(page.waitConnected());
    page.send(checkContext("Quillet"));
    QVERIFY(page.echo("Quillet", "1", {"in"}));
}

QTEST_GUILESS_MAIN(TestServerCommunicator)
#include "tst_servercommunicator.moc"
