#include "bridgetestsupport.h"
#include "nativemessagingsockethandler.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QtTest>

class TestServerCommunicator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void boundToLoopbackOnly_data();
    void boundToLoopbackOnly();
    void largeMessagesBothWays();
    void oversizedMessageEndsOnlyItsSession();
    void originAllowList_data();
    void originAllowList();
    void originListReadForEachConnection();
};

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
    const QString generated = QStringLiteral("0123456789abcdef").repeated(size / 16);
    QString document = generated;
    document[size / 2] = QChar(0x017E); // ž
    page.send(checkContext("Quillet"));
    page.send(request("Quillet", "Echo", "big", {document}));
    page.send(request("Quillet", "Generate", "gen", {double(size)}));
    QTRY_COMPARE_WITH_TIMEOUT(page.received.size(), 3, 60000);
    const QJsonObject echo = QJsonDocument::fromJson(page.received.at(1).toUtf8()).object();
    QCOMPARE(echo.value("id").toString(), QStringLiteral("big"));
    QVERIFY(echo.value("result").toArray().at(0).toString() == document);
    const QJsonObject made = QJsonDocument::fromJson(page.received.at(2).toUtf8()).object();
    QCOMPARE(made.value("id").toString(), QStringLiteral("gen"));
    QVERIFY(made.value("result").toString() == generated);
}

void TestServerCommunicator::oversizedMessageEndsOnlyItsSession()
{
    AppDir dir;
    QVERIFY(dir.useDemoSigner("Quillet.sh"));
    Bridge bridge;
    Page bystander(bridge.port);
    Page offender(bridge.port);
    QVERIFY(bystander.startSession("Quillet") && offender.startSession("Quillet"));
    QVERIFY(bystander.echo("Quillet", "1", {"bystander"}));
    QVERIFY(offender.echo("Quillet", "2", {"offender"}));

    offender.send(QString(qsizetype(NativeMessagingSocketHandler::maxIncomingMessageSize) + 1, u'x'));
    QTRY_VERIFY_WITH_TIMEOUT(offender.closed, 60000);
    QCOMPARE(offender.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY(bridge.logged({"Closing the connection, the page sent a message over 67108864 bytes:",
                           "Socket is going to be closed."}));
    QVERIFY(bystander.echo("Quillet", "3", {"still here"}));
    QVERIFY(!bystander.closed);
}

void TestServerCommunicator::originAllowList_data()
{
    QTest::addColumn<QString>("origin");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("warning");

    QTest::newRow("listed origin") << "http://127.0.0.1:8765" << 101 << "";
    QTest::newRow("other origin") << "http://127.0.0.1:8766" << 403
                                  << "Refusing a connection from origin \"http://127.0.0.1:8766\"";
    QTest::newRow("no Origin header") << "" << 403 << "Refusing a connection without an Origin header";
}

// The list also holds an invalid entry, which is logged while the others apply.
void TestServerCommunicator::originAllowList()
{
    QFETCH(QString, origin);
    QFETCH(int, status);
    QFETCH(QString, warning);
    AppDir dir;
    QVERIFY(dir.writeConfig("<AllowedOrigins><Origin>http://*.example.com</Origin>"
                            "<Origin>http://127.0.0.1:8765</Origin></AllowedOrigins>"));
    Bridge bridge;
    QCOMPARE(handshakeStatus(bridge.port, origin), status);
    QCOMPARE(bridge.capture.count("Ignoring an invalid entry of AllowedOrigins: \"http://*.example.com\""),
             1);
    if (!warning.isEmpty())
        QCOMPARE(bridge.capture.count(warning), 1);
    if (status == 101) {
        QTRY_COMPARE(bridge.capture.count("Creating new WebSocket handler"), 1);
    } else {
        // A refused page gets no session: nothing is pending, nothing was created.
        QCoreApplication::processEvents();
        QCOMPARE(bridge.capture.count("New connection!"), 0);
    }
}

void TestServerCommunicator::originListReadForEachConnection()
{
    AppDir dir;
    QVERIFY(dir.useDemoSigner("Quillet.sh"));
    QVERIFY(dir.writeConfig("<AllowedOrigins><Origin>https://a.example</Origin></AllowedOrigins>"));
    Bridge bridge;
    QCOMPARE(handshakeStatus(bridge.port, "https://b.example"), 403);
    QVERIFY(dir.writeConfig("<AllowedOrigins><Origin>https://b.example</Origin></AllowedOrigins>"));
    QCOMPARE(handshakeStatus(bridge.port, "https://b.example"), 101);
    QCOMPARE(handshakeStatus(bridge.port, "https://a.example"), 403);

    // A broken edit keeps the last good list in force rather than letting every site in.
    QVERIFY(dir.writeConfig("<AllowedOrigins>"));
    QCOMPARE(handshakeStatus(bridge.port, "https://a.example"), 403);

    // Without the element every page is let in again, up to a whole session.
    QVERIFY(dir.writeConfig(QString()));
    Page page(bridge.port);
    QVERIFY(page.startSession("Quillet"));
    QVERIFY(page.echo("Quillet", "1", {"in"}));
}

QTEST_GUILESS_MAIN(TestServerCommunicator)
#include "tst_servercommunicator.moc"
