#include "processinfo.h"

#include <QProcess>
#include <QtTest>
#include <unistd.h>

namespace {
// One line of the kernel's table, columns as the kernel aligns them.
QString tableLine(const QString& slot, const QString& local, const QString& remote, const QString& state,
                  const QString& uid)
{
    return QStringLiteral("%1: %2 %3 %4 00000000:00000000 00:00000000 00000000 %5        0 4242 1 "
                          "0000000000000000 20 4 30 10 -1\n")
        .arg(slot, local, remote, state, uid.rightJustified(5));
}
} // namespace

class TestProcessInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordedTable_data();
    void recordedTable();
    void unknownUserIsNobodysEqual();
};

void TestProcessInfo::recordedTable_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("uid");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("peerPort");
    const auto row = [](const char* name, const QString& table, const char* uid,
                        const char* peer = "127.0.0.1", int peerPort = 40000) {
        QTest::newRow(name) << table << QString(uid) << QString(peer) << peerPort;
    };

    // The page at 127.0.0.1:40000 talks to the tray at 127.0.0.1:3306.
    const QString page = QStringLiteral("0100007F:9C40");
    const QString tray = QStringLiteral("0100007F:0CEA");
    row("the page's socket names its user",
        tableLine("   0", tray, "00000000:0000", "0A", "0") + tableLine("   1", tray, page, "01", "0")
            + tableLine("   2", page, tray, "01", "1000"),
        "1000");
    row("only ESTABLISHED", tableLine("   2", page, tray, "06", "1000"), "");
    row("port 161 is 00A1",
        tableLine("   1", "0100007F:A1", tray, "01", "1")
            + tableLine("   2", "0100007F:00a1", tray, "01", "2")
            + tableLine("   3", "0100007F:00A1", tray, "01", "3"),
        "3", "127.0.0.1", 161);
    row("address bytes reversed",
        tableLine("   1", "C0A80102:9C40", tray, "01", "1")
            + tableLine("   2", "0201A8C0:9C40", tray, "01", "2"),
        "2", "192.168.1.2");
    // Slot numbers grow down the kernel's table: one that fills its column leaves no blank
    // before it and never matches, and neither can any line after it.
    row("lines from a full slot column on are not read",
        tableLine("1000", page, tray, "01", "0") + tableLine("   2", page, tray, "01", "5"), "");
    // Far more than one read of the table: lines are cut correctly across reads.
    QString many;
    for (int slot = 0; slot < 999; ++slot)
        many += tableLine(QString::number(slot).rightJustified(4), tray,
                          QStringLiteral("0100007F:%1").arg(slot, 4, 16, QLatin1Char('0')).toUpper(), "01",
                          "0");
    row("match after many reads", many + tableLine(" 999", page, tray, "01", "1000"), "1000");
}

void TestProcessInfo::recordedTable()
{
    QFETCH(QString, table);
    QFETCH(QString, uid);
    QFETCH(QString, peer);
    QFETCH(int, peerPort);

    QTemporaryDir dir;
    QFile file(dir.filePath("tcp"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        + table.toUtf8());
    file.close();
    const ProcessInfo info = ProcessInfo::forConnection(QHostAddress(peer), quint16(peerPort),
                                                        QHostAddress::LocalHost, 3306, file.fileName());
    QCOMPARE(info.uid(), uid);
    QCOMPARE(info.isEmpty(), uid.isEmpty());
}

void TestProcessInfo::unknownUserIsNobodysEqual()
{
    QTest::ignoreMessage(QtWarningMsg, "Unable to open /nonexistent/tcp");
    const ProcessInfo unknown = ProcessInfo::forConnection(
        QHostAddress::LocalHost, 1, QHostAddress::LocalHost, 2, QStringLiteral("/nonexistent/tcp"));
    QVERIFY(unknown.isEmpty());
    QVERIFY(!(unknown == ProcessInfo()) && !(unknown == ProcessInfo("1000"))
            && !(ProcessInfo("1000") == unknown));
    QVERIFY(ProcessInfo("1000") == ProcessInfo("1000") && !(ProcessInfo("1000") == ProcessInfo("100")));
}

QTEST_GUILESS_MAIN(TestProcessInfo)
#include "tst_processinfo.moc"
