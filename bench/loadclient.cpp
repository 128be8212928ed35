// The QtWebSockets load client of the benchmarks: figures 5 and 6, which measure the bridge's
// set-up in a crowded socket table and its round trips while another session's child is
// killed; the lean client measures figures 1 to 4. The same program drives every target, so
// that the figures compare like with like. It speaks the tray's protocol (CheckContext answered by the tray,
// Echo by the signer) or, for the plain echo servers, sends the same texts and expects them back unchanged.
// Each figure is written as CSV rows to standard output:
//   target,figure,measure,statistic,value,unit,runs
// With --report it instead turns such rows of several targets into a Markdown table.
#include "percentile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdio>
#include <deque>
#include <functional>
#include <netinet/in.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr int messageTimeoutMs = 60000;
constexpr qint64 maxMessageSize = 64 * 1024 * 1024;
// Base64 of this many bytes fills the messages of figure 6.
constexpr qsizetype maxDocumentBytes = 1024;

QElapsedTimer benchClock;

double nowUs()
{
    return double(benchClock.nsecsElapsed()) / 1000.0;
}

// Runs the event loop until the condition holds; false when the time ran out first.
bool waitFor(const std::function<bool()>& done, int timeoutMs = messageTimeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Options
{
    QString target;
    QUrl url;
    bool tray = false;
    QString app = QStringLiteral("Quillet");
    QString stubbornApp;
    QString stubbornQuery;
    int extraConnections = 10000;
    int crowdedChecks = 100;
    int responsivenessMs = 6000;
    QStringList figures;
};

class Output
{
public:
    explicit Output(const QString& target)
        : m_target(target)
    {
    }

    void row(int figure, const QString& measure, const QString& statistic, double value, const QString& unit,
             qsizetype runs)
    {
        const QString text = std::isnan(value) ? QStringLiteral("n/a") : QString::number(value, 'f', 2);
        std::printf("%s,%d,%s,%s,%s,%s,%lld\n", qPrintable(m_target), figure, qPrintable(measure),
                    qPrintable(statistic), qPrintable(text), qPrintable(unit), qint64(runs));
        std::fflush(stdout);
    }

    void latency(int figure, const QString& measure, const std::vector<double>& us, const QString& unit)
    {
        const double scale = unit == QLatin1String("ms") ? 1000.0 : 1.0;
        row(figure, measure, QStringLiteral("median"), percentile(us, 0.5) / scale, unit,
            qsizetype(us.size()));
        row(figure, measure, QStringLiteral("p99"), percentile(us, 0.99) / scale, unit, qsizetype(us.size()));
    }

private:
    QString m_target;
};

// Base64 of pseudo-random bytes, the same in every run, as pages send documents.
const QString& documentText()
{
    static const QString text = [] {
        QRandomGenerator generator(2026);
        QByteArray bytes(maxDocumentBytes, Qt::Uninitialized);
        generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        return QString::fromLatin1(bytes.toBase64());
    }();
    return text;
}

// One page: a WebSocket with the texts it received.
class Session
{
public:
    Session(const Options& options, const QString& instance, const QString& app = QString())
        : m_options(options)
        , m_namespace(QStringLiteral("%1.2.6.1.%2.QES").arg(app.isEmpty() ? options.app : app, instance))
    {
        m_socket.setMaxAllowedIncomingFrameSize(maxMessageSize);
        m_socket.setMaxAllowedIncomingMessageSize(maxMessageSize);
        QObject::connect(&m_socket, &QWebSocket::connected, &m_socket, [this] { m_open = true; });
        QObject::connect(&m_socket, &QWebSocket::disconnected, &m_socket, [this] { m_closed = true; });
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
                         [this](const QString& text) { m_inbox.push_back(text); });
    }

    void open(const QString& query = QString())
    {
        QUrl url = m_options.url;
        if (!query.isEmpty()) {
            if (url.path().isEmpty())
                url.setPath(QStringLiteral("/"));
            url.setQuery(query);
        }
        m_socket.open(url);
    }

    bool waitOpen()
    {
        return waitFor([this] { return m_open || m_closed; }) && m_open;
    }
    void close() { m_socket.close(); }
    bool waitClosed()
    {
        return waitFor([this] { return m_closed; }, 10000);
    }
    bool isClosed() const { return m_closed; }

    QString checkContext() const
    {
        return QStringLiteral(R"({"args":[],"id":"1","method":"%1.CheckContext"})").arg(m_namespace);
    }

    // An Echo request of the given total size in bytes (ASCII, so characters are bytes) that
    // carries a document as pages do: base64 text.
    QString echo(int id, qsizetype size) const
    {
        const QString head = QStringLiteral(R"({"args":[")");
        const QString tail = QStringLiteral(R"("],"id":"%1","method":"%2.Echo"})").arg(id).arg(m_namespace);
        return head + documentText().left(qMax<qsizetype>(0, size - head.size() - tail.size())) + tail;
    }

    bool isCheckContextAnswer(const QString& request, const QString& reply) const
    {
        if (!m_options.tray)
            return reply == request;
        return reply.startsWith(QLatin1String(R"({"error":"","id":"1")"));
    }

    bool isEchoAnswer(const QString& request, const QString& reply) const
    {
        if (!m_options.tray)
            return reply == request;
        // The signer names the array "result" where the page named it "args": two more characters.
        return reply.size() == request.size() + 2 && reply.endsWith(QLatin1String("\"]}"));
    }

    void send(const QString& text) { m_socket.sendTextMessage(text); }

    // Sends one text and waits for the next one to arrive; a null text when none came.
    QString roundTrip(const QString& text, int timeoutMs = messageTimeoutMs)
    {
        send(text);
        if (!waitFor([this] { return !m_inbox.empty() || m_closed; }, timeoutMs) || m_inbox.empty())
            return QString();
        QString reply = std::move(m_inbox.front());
        m_inbox.pop_front();
        return reply;
    }

    bool ready()
    {
        if (!waitOpen())
            return false;
        const QString request = checkContext();
        return isCheckContextAnswer(request, roundTrip(request));
    }

private:
    const Options& m_options;
    QString m_namespace;
    QWebSocket m_socket;
    std::deque<QString> m_inbox;
    bool m_open = false;
    bool m_closed = false;
};

// Established loopback connections that do nothing but fill the kernel's table of TCP sockets.
// A helper process holds the accepting ends, so that neither process needs more than one
// descriptor per connection.
class IdleConnections
{
public:
    ~IdleConnections()
    {
        // Reset rather than closed: no socket lingers in TIME_WAIT to crowd the table later.
        const linger reset {1, 0};
        for (int fd : m_fds) {
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(fd);
        }
        if (m_holder > 0)
            waitpid(m_holder, nullptr, 0);
    }

    int open(int count)
    {
        rlimit limit {};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(rlim_t(count + 1024), limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);

        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int release[2];
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || listen(listener, 4096) != 0
            || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0
            || pipe(release) != 0)
            return 0;

        m_holder = fork();
        if (m_holder == 0) {
            // Accepts every connection, then keeps them until the client closes the pipe.
            ::close(release[1]);
            std::vector<int> accepted;
            for (int i = 0; i < count; ++i) {
                const int fd = accept(listener, nullptr, nullptr);
                if (fd < 0)
                    break;
                accepted.push_back(fd);
            }
            char byte;
            while (read(release[0], &byte, 1) > 0) { }
            _exit(0);
        }
        ::close(listener);
        ::close(release[0]);
        m_fds.push_back(release[1]);
        if (m_holder < 0)
            return 0;

        int opened = 0;
        for (; opened < count; ++opened) {
            const int client = socket(AF_INET, SOCK_STREAM, 0);
            if (client < 0)
                break;
            m_fds.push_back(client);
            if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                break;
        }
        return opened;
    }

private:
    std::vector<int> m_fds;
    pid_t m_holder = 0;
};

int tableLines()
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return 0;
    return int(table.readAll().count('\n')) - 1;
}

void crowdedTable(const Options& options, Output& out)
{
    IdleConnections idle;
    const int opened = idle.open(options.extraConnections);
    out.row(5, QStringLiteral("extra established connections"), QStringLiteral("value"), opened,
            QStringLiteral("connections"), 1);
    out.row(5, QStringLiteral("lines in /proc/net/tcp"), QStringLiteral("value"), tableLines(),
            QStringLiteral("lines"), 1);

    // The tray refuses a page whose socket it can't find in the table; that answer counts too,
    // as it comes after the same search.
    std::vector<double> us;
    int accepted = 0;
    for (int i = 0; i < options.crowdedChecks; ++i) {
        Session session(options, QStringLiteral("crowded%1").arg(i));
        session.open();
        if (!session.waitOpen())
            break;
        const QString request = session.checkContext();
        const double start = nowUs();
        const QString reply = session.roundTrip(request);
        const double elapsed = nowUs() - start;
        if (session.isCheckContextAnswer(request, reply))
            ++accepted;
        else if (!reply.startsWith(QLatin1String(R"({"error":"Bad context!")")))
            break;
        us.push_back(elapsed);
        session.close();
        session.waitClosed();
    }
    out.latency(5, QStringLiteral("CheckContext answered"), us, QStringLiteral("ms"));
    out.row(5, QStringLiteral("pages accepted"), QStringLiteral("value"), accepted, QStringLiteral("pages"),
            qsizetype(us.size()));
}

// Round trips of one session go on while another session's child must be killed.
void responsiveness(const Options& options, Output& out)
{
    Session steady(options, QStringLiteral("steady"));
    steady.open();
    Session ending(options, QStringLiteral("ending"), options.stubbornApp);
    ending.open(options.stubbornQuery);
    if (!steady.ready() || !ending.ready()) {
        out.row(6, QStringLiteral("longest round trip while a child is ended"), QStringLiteral("max"), NAN,
                QStringLiteral("ms"), 0);
        return;
    }

    std::vector<double> us;
    int id = 0;
    auto run = [&](double forUs) {
        const double until = nowUs() + forUs;
        while (nowUs() < until) {
            const QString request = steady.echo(++id, 100);
            const double start = nowUs();
            if (!steady.isEchoAnswer(request, steady.roundTrip(request)))
                return false;
            us.push_back(nowUs() - start);
        }
        return true;
    };
    run(200000);
    us.clear();
    ending.close();
    run(options.responsivenessMs * 1000.0);
    out.row(6, QStringLiteral("longest round trip while a child is ended"), QStringLiteral("max"),
            us.empty() ? NAN : *std::max_element(us.begin(), us.end()) / 1000.0, QStringLiteral("ms"),
            qsizetype(us.size()));
    out.row(6, QStringLiteral("round trip while a child is ended"), QStringLiteral("median"),
            percentile(us, 0.5) / 1000.0, QStringLiteral("ms"), qsizetype(us.size()));
    steady.close();
    steady.waitClosed();
}

// --report: rows of several targets (the first is the tray) side by side with the ratios of
// the first to each other.
int report(const QStringList& files)
{
    QStringList targets;
    QStringList keys;
    QMap<QString, QMap<QString, QStringList>> rows;
    for (const QString& name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return 1;
        QTextStream in(&file);
        while (!in.atEnd()) {
            const QStringList cells = in.readLine().split(QLatin1Char(','));
            if (cells.size() != 7 || cells[1] == QLatin1String("figure"))
                continue;
            if (!targets.contains(cells[0]))
                targets.append(cells[0]);
            const QString key = cells[1] + QLatin1Char(',') + cells[2] + QLatin1Char(',') + cells[3];
            if (!keys.contains(key))
                keys.append(key);
            rows[key][cells[0]] = cells;
        }
    }
    if (targets.isEmpty())
        return 1;
    // Rows that only some targets have come in where their figure is.
    std::stable_sort(keys.begin(), keys.end(), [](const QString& a, const QString& b) {
        return a.section(QLatin1Char(','), 0, 0).toInt() < b.section(QLatin1Char(','), 0, 0).toInt();
    });

    QTextStream out(stdout);
    out << "| Figure | Measure | Statistic | Unit |";
    for (const QString& target : targets)
        out << ' ' << target << " |";
    for (qsizetype i = 1; i < targets.size(); ++i)
        out << ' ' << targets[0] << '/' << targets[i] << " |";
    out << " Runs |\n|---|---|---|---|";
    for (qsizetype i = 0; i < 2 * targets.size() - 1; ++i)
        out << "---:|";
    out << "---|\n";
    for (const QString& key : std::as_const(keys)) {
        const QMap<QString, QStringList>& byTarget = rows[key];
        const QStringList& first = byTarget.first();
        out << "| " << first[1] << " | " << first[2] << " | " << first[3] << " | " << first[5] << " |";
        QStringList runs;
        for (const QString& target : targets) {
            const QStringList cells = byTarget.value(target);
            out << ' ' << (cells.isEmpty() ? QStringLiteral("–") : cells[4]) << " |";
            runs.append(cells.isEmpty() ? QStringLiteral("–") : cells[6]);
        }
        for (qsizetype i = 1; i < targets.size(); ++i) {
            bool ok1 = false;
            bool ok2 = false;
            const double a = byTarget.value(targets[0]).value(4).toDouble(&ok1);
            const double b = byTarget.value(targets[i]).value(4).toDouble(&ok2);
            out << ' ' << (ok1 && ok2 && b > 0 ? QString::number(a / b, 'f', 2) : QStringLiteral("–"))
                << " |";
        }
        runs.removeDuplicates();
        out << ' ' << runs.join(QLatin1Char('/')) << " |\n";
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("target"), QStringLiteral("Name of the target in the rows."), QStringLiteral("name")},
        {QStringLiteral("url"), QStringLiteral("WebSocket address of the target."), QStringLiteral("url")},
        {QStringLiteral("tray"), QStringLiteral("The target is the tray: CheckContext and Echo requests.")},
        {QStringLiteral("stubborn-app"),
         QStringLiteral("Application part whose signer ignores DisposeInstance."), QStringLiteral("app")},
        {QStringLiteral("stubborn-query"), QStringLiteral("Query that starts a child that must be killed."),
         QStringLiteral("query")},
        {QStringLiteral("extra-connections"), QStringLiteral("Idle connections of figure 5."),
         QStringLiteral("n")},
        {QStringLiteral("figures"), QStringLiteral("Comma-separated figures to run (default: all)."),
         QStringLiteral("list")},
        {QStringLiteral("report"),
         QStringLiteral("Write a Markdown table of the CSV files given as arguments.")},
    });
    parser.process(app);
    if (parser.isSet(QStringLiteral("report")))
        return report(parser.positionalArguments());

    Options options;
    options.target = parser.value(QStringLiteral("target"));
    options.url = QUrl(parser.value(QStringLiteral("url")));
    options.tray = parser.isSet(QStringLiteral("tray"));
    options.stubbornApp = parser.value(QStringLiteral("stubborn-app"));
    options.stubbornQuery = parser.value(QStringLiteral("stubborn-query"));
    if (parser.isSet(QStringLiteral("extra-connections")))
        options.extraConnections = parser.value(QStringLiteral("extra-connections")).toInt();
    if (parser.isSet(QStringLiteral("figures")))
        options.figures = parser.value(QStringLiteral("figures")).split(QLatin1Char(','));
    if (options.target.isEmpty() || !options.url.isValid())
        parser.showHelp(2);

    // Wakes the event loop now and then, so that waits notice their deadlines.
    QTimer tick;
    tick.start(100);
    benchClock.start();

    Output out(options.target);
    const auto wanted = [&options](const char* figure) {
        return options.figures.isEmpty() || options.figures.contains(QLatin1String(figure));
    };
    if (wanted("6"))
        responsiveness(options, out);
    // Last: its idle connections are gone at once, but the table is crowded while they last.
    if (wanted("5"))
        crowdedTable(options, out);
    return 0;
}
