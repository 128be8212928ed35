// The bridge's own classes: the namespace, the origin rules and the user check. The frame reader
// is held to a plain reading of the whole stream by its fuzz target; sessions and the server are
// driven through the installed tray by the whole-tray program.
#include "kernelsockets.h"
#include "nativemessages.h"
#include "originpolicy.h"
#include "processinfo.h"
#include "servercommunicator.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// As a sandbox such as systemd's RestrictAddressFamilies does it: netlink sockets can't be made.
bool refuseNetlink()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program {sizeof filter / sizeof *filter, filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
        && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 && socket(AF_NETLINK, SOCK_DGRAM, 0) < 0;
}
} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namespaces_data();
    void namespaces();
    void origins_data();
    void origins();
    void identities();
    void acceptsInBatches();
    void owners_data();
    void owners();
};

void TestBridge::namespaces_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("appName"); // empty when the name carries no namespace
    const auto row = [](const char* name, const char* method, const char* appName) {
        QTest::newRow(name) << QString(method) << QString(appName);
    };
    row("document signer", "Quillet.2.6.1.page1.QES.CheckContext", "Quillet");
    row("version of four numbers", "Quillet.2.6.1.4.page1.QES.CheckContext", "");
    row("non-ASCII letter", "Quillét.2.6.1.page1.QES.CheckContext", "");
}

void TestBridge::namespaces()
{
    QFETCH(QString, method);
    QFETCH(QString, appName);
    NativeMessages messages;
    const NativeMessages::Request first
        = messages.read(QStringLiteral(R"({"id":"1","method":"%1"})").arg(method).toUtf8());
    QCOMPARE(messages.isValid(), !appName.isEmpty());
    QCOMPARE(messages.appName(), appName);
    QCOMPARE(first.isCheckContext, !appName.isEmpty());
    QCOMPARE(first.id, appName.isEmpty() ? QString() : QStringLiteral("1"));
    // Another page's CheckContext is not this session's; while none is known, it would set one.
    QVERIFY(appName.isEmpty()
            || !messages.read(R"({"method":"Quillet.2.6.1.page2.QES.\u0043heckContext"})").isCheckContext);
}

void TestBridge::origins_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("origin");
    QTest::addColumn<bool>("allowed");
    const auto row = [](const char* name, const char* entry, const char* origin, bool allowed) {
        QTest::newRow(name) << QString(entry) << QString(origin) << allowed;
    };
    const char* site = "https://sign.example.com";
    const char* wildcard = "https://*.example.com";
    row("host as a suffix", site, "https://notsign.example.com", false);
    row("default port written out", site, "https://sign.example.com:443", true);
    row("other port", site, "https://sign.example.com:8443", false);
    row("wildcard: subdomain", wildcard, "https://a.b.example.com", true);
    row("wildcard: bare host", wildcard, "https://example.com", false);
    row("wildcard: look-alike", wildcard, "https://evilexample.com", false);
    row("wildcard: over http", wildcard, "http://sign.example.com", false);
    row("wildcard on http", "http://*.example.com", "http://sign.example.com", false);
}

void TestBridge::origins()
{
    QFETCH(QString, entry);
    QFETCH(QString, origin);
    QFETCH(bool, allowed);
    // The row's entry comes second: every entry of the list counts.
    QCOMPARE(OriginPolicy({"http://127.0.0.1:9000", entry}).allows(origin), allowed);
}

void TestBridge::identities()
{
    QVERIFY(!(ProcessInfo() == ProcessInfo()) && !(ProcessInfo("1000") == ProcessInfo()));
    QVERIFY(ProcessInfo("1000") == ProcessInfo("1000") && !(ProcessInfo("1000") == ProcessInfo("100")));
    // A connection whose owner can't be found, as one that has gone, is refused; the kernel's
    // "no such socket" is its answer, not a refusal that the socket tables would have to make up for.
    QVERIFY(!ProcessInfo::checkPeer(QHostAddress::LocalHost, 1, QHostAddress::LocalHost, 1));
    const KernelSockets::Endpoint gone = KernelSockets::endpoint(QHostAddress::LocalHost, 1);
    QVERIFY(KernelSockets::queryConnection(gone, gone).value_or(QList<KernelSockets::Socket>(1)).isEmpty());
}

// Connections that closed their side before the server took them are dropped, a batch at a time:
// the event loop gets its turn in between.
void TestBridge::acceptsInBatches()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    ServerCommunicator server;
    QVERIFY(server.startListening(port));
    QList<int> pages(40);
    for (int& page : pages) {
        const sockaddr_in tray {AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        page = socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(::connect(page, reinterpret_cast<const sockaddr*>(&tray), sizeof tray) == 0
                && shutdown(page, SHUT_WR) == 0);
    }
    const auto closed = [&pages] {
        return std::count_if(pages.begin(), pages.end(), [](int page) {
            char c;
            return recv(page, &c, 1, MSG_DONTWAIT) == 0;
        });
    };
    QCoreApplication::processEvents();
    QVERIFY(closed() > 0 && closed() < pages.size());
    QTRY_COMPARE(closed(), pages.size());
    std::for_each(pages.begin(), pages.end(), close);
}

void TestBridge::owners_data()
{
    QTest::addColumn<bool>("netlinkRefused");
    QTest::newRow("netlink") << false;
    QTest::newRow("table, netlink refused") << true; // last: the refusal can't be lifted
}

void TestBridge::owners()
{
    QFETCH(bool, netlinkRefused);
    if (getuid() != 0)
        QSKIP("Needs root to run programs under another user");
    if (netlinkRefused)
        QVERIFY(refuseNetlink());
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const auto check = [&server] {
        QTcpSocket* peer = server.waitForNewConnection(20000) ? server.nextPendingConnection() : nullptr;
        return peer
            && ProcessInfo::checkPeer(peer->localAddress(), peer->localPort(), peer->peerAddress(),
                                      peer->peerPort());
    };
    QTcpSocket own;
    own.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(check());
    QProcess page;
    page.start(QStringLiteral(QUILLET_PEER_UID_CLIENT_EXE),
               {QString::number(server.serverPort()), "65534", "{}"});
    QVERIFY(!check());

    QProcess listener;
    listener.start(QStringLiteral("setpriv"),
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                    "import socket, sys\ns = socket.create_server(('0.0.0.0', 0))\n"
                    "print(s.getsockname()[1], flush=True)\nsys.stdin.read()"});
    QVERIFY(listener.waitForReadyRead(20000));
    QCOMPARE(ProcessInfo::forListener(quint16(listener.readLine().trimmed().toUInt())).uid(), "65534");
}

QTEST_GUILESS_MAIN(TestBridge)
#include "tst_bridge.moc"
