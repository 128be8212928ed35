// The flood benchmark's two programs in one. With --flood reset|close it is the other user's
// program: it connects to the port over and over for the given time, closing each connection
// with a reset (SO_LINGER 0) or ordinarily, and prints how many connections it made. Otherwise it
// is the user's browser: one page that was opened before the flood sends Echo round trips one
// after another, and every quarter second a new page is opened, has its CheckContext answered and
// its first Echo answered, and is closed. It writes CSV rows as the load client does:
//   target,figure,measure,statistic,value,unit,runs
#include "percentile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QWebSocket>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
QElapsedTimer benchClock;

double nowMs()
{
    return double(benchClock.nsecsElapsed()) / 1e6;
}

int flood(quint16 port, bool reset, int seconds)
{
    sockaddr_in tray {};
    tray.sin_family = AF_INET;
    tray.sin_port = htons(port);
    tray.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QDeadlineTimer deadline(seconds * 1000);
    long made = 0;
    long failed = 0;
    while (!deadline.hasExpired()) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return 1;
        if (connect(fd, reinterpret_cast<const sockaddr*>(&tray), sizeof tray) == 0) {
            ++made;
            if (reset) {
                const linger now {1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            }
        } else {
            ++failed;
        }
        close(fd);
    }
    std::printf("%ld %ld\n", made, failed);
    return 0;
}

// The tray's processor time in ms so far, from /proc.
double cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return NAN;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000.0
        / double(sysconf(_SC_CLK_TCK));
}

// One page: a WebSocket that speaks the tray's protocol.
class Page
{
public:
    Page(const QUrl& url, int number)
        : space(QStringLiteral("Quillet.2.6.1.flood%1.QES").arg(number))
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString&) { ++answers, lastAnswerMs = nowMs(); });
        QObject::connect(&socket, &QWebSocket::disconnected, &socket, [this] { closed = true; });
        QObject::connect(&socket, &QWebSocket::connected, &socket, [this] {
            socket.sendTextMessage(
                QStringLiteral(R"({"args":[],"id":"c","method":"%1.CheckContext"})").arg(space));
        });
        startedMs = nowMs();
        socket.open(url);
    }
    void echo()
    {
        sentMs = nowMs();
        socket.sendTextMessage(QStringLiteral(R"({"args":["ping"],"id":"e","method":"%1.Echo"})").arg(space));
    }

    const QString space;
    QWebSocket socket;
    int answers = 0;
    bool closed = false;
    double startedMs = 0;
    double sentMs = 0;
    double lastAnswerMs = 0;
};

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

void row(const QString& target, const QString& measure, const QString& statistic, double value,
         const QString& unit, qsizetype runs)
{
    std::printf("%s,7,%s,%s,%.2f,%s,%lld\n", qPrintable(target), qPrintable(measure), qPrintable(statistic),
                value, qPrintable(unit), qlonglong(runs));
}

int probe(const QString& target, const QUrl& url, int seconds, qint64 pid)
{
    Page open(url, 0);
    if (!waitFor([&] { return open.answers >= 1 || open.closed; }, 10000) || open.closed) {
        std::fprintf(stderr, "the open page was not served\n");
        return 1;
    }
    std::vector<double> roundTrips;
    std::vector<double> setUps;
    int unserved = 0;
    std::unique_ptr<Page> fresh;
    int pages = 0;
    const double cpuBefore = cpuMs(pid);
    const double startMs = nowMs();
    open.echo();
    while (nowMs() - startMs < seconds * 1000.0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (open.answers == int(roundTrips.size()) + 2) {
            roundTrips.push_back(open.lastAnswerMs - open.sentMs);
            open.echo();
        }
        if (fresh && fresh->answers == 1 && fresh->sentMs == 0)
            fresh->echo();
        if (fresh && fresh->answers == 2) {
            setUps.push_back(fresh->lastAnswerMs - fresh->startedMs);
            fresh.reset();
        } else if (fresh && (fresh->closed || nowMs() - fresh->startedMs > 5000)) {
            ++unserved;
            fresh.reset();
        }
        if (!fresh && nowMs() - startMs >= 250.0 * pages)
            fresh = std::make_unique<Page>(url, ++pages);
    }
    // A round trip still waiting counts as long as it has waited.
    if (open.answers < int(roundTrips.size()) + 2)
        roundTrips.push_back(nowMs() - open.sentMs);
    const double cpu = (cpuMs(pid) - cpuBefore) / (nowMs() - startMs) * 100.0;
    row(target, QStringLiteral("open page round trip"), QStringLiteral("median"), percentile(roundTrips, 0.5),
        QStringLiteral("ms"), qsizetype(roundTrips.size()));
    row(target, QStringLiteral("open page round trip"), QStringLiteral("p99"), percentile(roundTrips, 0.99),
        QStringLiteral("ms"), qsizetype(roundTrips.size()));
    row(target, QStringLiteral("open page round trip"), QStringLiteral("max"), percentile(roundTrips, 1.0),
        QStringLiteral("ms"), qsizetype(roundTrips.size()));
    row(target, QStringLiteral("new page served (first echo)"), QStringLiteral("median"),
        percentile(setUps, 0.5), QStringLiteral("ms"), qsizetype(setUps.size()));
    row(target, QStringLiteral("new page served (first echo)"), QStringLiteral("max"),
        percentile(setUps, 1.0), QStringLiteral("ms"), qsizetype(setUps.size()));
    row(target, QStringLiteral("new pages not served within 5 s"), QStringLiteral("value"), unserved,
        QStringLiteral("pages"), pages);
    row(target, QStringLiteral("tray processor use"), QStringLiteral("value"), cpu, QStringLiteral("%"), 1);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    benchClock.start();
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"flood", "reset or close: be the other user's program", "kind"},
                       {"port", "the tray's port", "port"},
                       {"seconds", "how long", "seconds", "10"},
                       {"target", "the name of the row", "name", "flood"},
                       {"pid", "the tray's process id", "pid", "0"}});
    parser.process(app);
    const auto port = quint16(parser.value("port").toUShort());
    const int seconds = parser.value("seconds").toInt();
    if (parser.isSet("flood"))
        return flood(port, parser.value("flood") == QLatin1String("reset"), seconds);
    return probe(parser.value("target"), QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)), seconds,
                 parser.value("pid").toLongLong());
}
