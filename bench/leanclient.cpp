// The lean load client of the benchmarks: round trips, large messages, session set-up and the
// server's resident size (figures 1 to 4). It speaks WebSocket over plain sockets with one
// buffer per direction and never converts text, so that no target is limited by the client.
// It speaks the tray's protocol (CheckContext answered by the tray, Echo by the signer) or, for
// the plain echo servers, sends the same texts and expects them back unchanged. Rows go to
// standard output as CSV, as the Qt client writes them: target,figure,measure,statistic,value,unit,runs
#include "percentile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr double messageTimeoutMs = 60000;
constexpr size_t readChunk = 256 * 1024;

double nowUs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

struct Options
{
    std::string target;
    std::string host = "127.0.0.1";
    int port = 0;
    std::string path = "/";
    bool tray = false;
    long pid = 0;
    int roundTrips = 10000;
    int sequentialSessions = 1000;
    int parallelSessions = 100;
    std::string figures;
};

Options options;

void row(int figure, const std::string& measure, const char* statistic, double value, const char* unit,
         size_t runs)
{
    char text[64];
    if (std::isnan(value))
        std::snprintf(text, sizeof text, "n/a");
    else
        std::snprintf(text, sizeof text, "%.2f", value);
    std::printf("%s,%d,%s,%s,%s,%s,%zu\n", options.target.c_str(), figure, measure.c_str(), statistic, text,
                unit, runs);
    std::fflush(stdout);
}

void latency(int figure, const std::string& measure, const std::vector<double>& us, const char* unit,
             bool withMax = false)
{
    const double scale = std::strcmp(unit, "ms") == 0 ? 1000.0 : 1.0;
    row(figure, measure, "median", percentile(us, 0.5) / scale, unit, us.size());
    row(figure, measure, "p99", percentile(us, 0.99) / scale, unit, us.size());
    if (withMax)
        row(figure, measure, "max", percentile(us, 1.0) / scale, unit, us.size());
}

// A line of /proc/<pid>/status in KiB, such as VmRSS or VmHWM.
double statusKiB(const char* key)
{
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%ld/status", options.pid);
    FILE* file = std::fopen(name, "r");
    if (!file)
        return NAN;
    char line[256];
    double value = NAN;
    const size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = std::atof(line + keyLength + 1);
            break;
        }
    }
    std::fclose(file);
    return value;
}

// Starts the server's peak resident size (VmHWM) anew from what it holds now.
void resetPeak()
{
    char name[64];
    std::snprintf(name, sizeof name, "/proc/%ld/clear_refs", options.pid);
    if (FILE* file = std::fopen(name, "w")) {
        std::fputs("5", file);
        std::fclose(file);
    }
}

// Base64 of pseudo-random bytes, the same in every run, as pages send documents.
const std::string& documentText()
{
    static const std::string text = [] {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out(16 * 1024 * 1024, '\0');
        uint64_t state = 2026;
        for (size_t i = 0; i + 4 <= out.size(); i += 4) {
            // splitmix64: three bytes of it make four characters.
            state += 0x9E3779B97F4A7C15ULL;
            uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            z ^= z >> 31;
            for (int k = 0; k < 4; ++k)
                out[i + size_t(k)] = alphabet[(z >> (6 * k)) & 63];
        }
        return out;
    }();
    return text;
}

uint64_t nextRandom()
{
    static uint64_t state = uint64_t(nowUs());
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

// One page over a non-blocking socket. It sends a whole message at a time (as one frame or as
// frames of a given size) and collects the next whole message it receives.
class Connection
{
public:
    explicit Connection(std::string ns)
        : m_namespace(std::move(ns))
    {
    }
    ~Connection() { closeNow(); }

    void open(const std::string& query = std::string())
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(options.port));
        inet_pton(AF_INET, options.host.c_str(), &address.sin_addr);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)
            return fail();
        const std::string target = query.empty() ? options.path : options.path + "?" + query;
        char key[25];
        for (int i = 0; i < 24; ++i)
            key[i] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[nextRandom() % 64];
        std::memcpy(key + 22, "==", 3);
        m_out = "GET " + target + " HTTP/1.1\r\nHost: " + options.host + ":" + std::to_string(options.port)
            + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key
            + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
        m_sent = 0;
    }

    bool isOpen() const { return m_open; }
    bool isClosed() const { return m_closed; }
    bool hasMessage() const { return m_complete; }
    bool busy() const { return m_fd >= 0 && !m_closed; }
    int fd() const { return m_fd; }
    bool wantsWrite() const { return m_sent < m_out.size(); }

    // The message received; the next one is collected once it is taken.
    std::string& message() { return m_message; }
    void takeMessage()
    {
        m_complete = false;
        m_message.clear();
    }

    // One text message, masked as a client must, in frames of at most fragment bytes (0: one frame).
    void send(const std::string& text, size_t fragment = 0)
    {
        const size_t size = text.size();
        const size_t frame = fragment == 0 ? std::max<size_t>(size, 1) : fragment;
        m_out.clear();
        m_out.reserve(size + (size / frame + 1) * 14);
        m_sent = 0;
        size_t at = 0;
        do {
            const size_t length = std::min(frame, size - at);
            const bool last = at + length == size;
            char header[14];
            size_t headerLength = 2;
            header[0] = char((last ? 0x80 : 0) | (at == 0 ? 1 : 0));
            if (length < 126) {
                header[1] = char(0x80 | length);
            } else if (length < 65536) {
                header[1] = char(0x80 | 126);
                header[2] = char(length >> 8);
                header[3] = char(length);
                headerLength = 4;
            } else {
                header[1] = char(0x80 | 127);
                for (int i = 0; i < 8; ++i)
                    header[2 + i] = char(uint64_t(length) >> (56 - 8 * i));
                headerLength = 10;
            }
            const auto mask = uint32_t(nextRandom());
            std::memcpy(header + headerLength, &mask, 4);
            m_out.append(header, headerLength + 4);
            const size_t start = m_out.size();
            m_out.resize(start + length);
            const uint64_t mask8 = uint64_t(mask) << 32 | mask;
            const char* from = text.data() + at;
            char* to = &m_out[start];
            size_t i = 0;
            for (; i + 8 <= length; i += 8) {
                uint64_t word;
                std::memcpy(&word, from + i, 8);
                word ^= mask8;
                std::memcpy(to + i, &word, 8);
            }
            for (; i < length; ++i)
                to[i] = char(from[i] ^ reinterpret_cast<const char*>(&mask)[i & 3]);
            at += length;
        } while (at < size);
        flush();
    }

    void closeNow()
    {
        if (m_fd < 0)
            return;
        if (m_open && !m_closed) {
            // A close frame with code 1000, masked with a zero key, then the socket goes.
            const char frame[] = {char(0x88), char(0x82), 0, 0, 0, 0, char(0x03), char(0xE8)};
            [[maybe_unused]] const ssize_t ignored = ::send(m_fd, frame, sizeof frame, MSG_NOSIGNAL);
        }
        ::close(m_fd);
        m_fd = -1;
        m_closed = true;
    }

    // Called when poll() says the socket is ready.
    void handle(short events)
    {
        if (events & POLLOUT)
            flush();
        if (events & (POLLIN | POLLHUP | POLLERR))
            receive();
    }

    std::function<void()> onOpen;
    std::function<void()> onMessage;

    std::string checkContext() const
    {
        return R"({"args":[],"id":"1","method":")" + m_namespace + R"(.CheckContext"})";
    }

    // An Echo request of the given total size that carries a document as pages do: base64 text.
    std::string echo(int id, size_t size) const
    {
        const std::string head = R"({"args":[")";
        const std::string tail
            = R"("],"id":")" + std::to_string(id) + R"(","method":")" + m_namespace + R"(.Echo"})";
        const size_t fill = size > head.size() + tail.size() ? size - head.size() - tail.size() : 0;
        return head + documentText().substr(0, fill) + tail;
    }

    bool isCheckContextAnswer(const std::string& request) const
    {
        if (!options.tray)
            return m_message == request;
        return m_message.rfind(R"({"error":"","id":"1")", 0) == 0;
    }

    bool isEchoAnswer(const std::string& request) const
    {
        if (!options.tray)
            return m_message == request;
        // The signer names the array "result" where the page named it "args": two more characters.
        return m_message.size() == request.size() + 2
            && m_message.compare(m_message.size() - 3, 3, "\"]}") == 0;
    }

private:
    void fail()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        m_closed = true;
    }

    void flush()
    {
        while (m_fd >= 0 && m_sent < m_out.size()) {
            const ssize_t sent = ::send(m_fd, m_out.data() + m_sent, m_out.size() - m_sent, MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno != EAGAIN && errno != ENOTCONN)
                    fail();
                return;
            }
            m_sent += size_t(sent);
        }
    }

    void receive()
    {
        while (m_fd >= 0) {
            ssize_t got;
            if (m_open && m_payloadLeft > 0 && m_inLength == m_inStart) {
                // The rest of a large payload goes straight into the message.
                const size_t at = m_message.size();
                m_message.resize(at + m_payloadLeft);
                got = recv(m_fd, &m_message[at], m_payloadLeft, 0);
                m_message.resize(at + size_t(std::max<ssize_t>(got, 0)));
                if (got > 0) {
                    m_payloadLeft -= size_t(got);
                    if (m_payloadLeft == 0 && m_final)
                        complete();
                    continue;
                }
            } else {
                if (m_in.size() < m_inLength + readChunk) {
                    if (m_inStart > 0) {
                        std::memmove(m_in.data(), m_in.data() + m_inStart, m_inLength - m_inStart);
                        m_inLength -= m_inStart;
                        m_inStart = 0;
                    }
                    m_in.resize(std::max(m_in.size(), m_inLength + readChunk));
                }
                got = recv(m_fd, m_in.data() + m_inLength, m_in.size() - m_inLength, 0);
                if (got > 0) {
                    m_inLength += size_t(got);
                    parse();
                    continue;
                }
            }
            if (got == 0 || errno != EAGAIN)
                fail();
            return;
        }
    }

    void complete()
    {
        m_complete = true;
        if (onMessage)
            onMessage();
    }

    void parse()
    {
        if (!m_open) {
            const std::string head(m_in.data() + m_inStart, m_inLength - m_inStart);
            const size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            if (head.compare(0, 12, "HTTP/1.1 101") != 0)
                return fail();
            m_inStart += end + 4;
            m_open = true;
            if (onOpen)
                onOpen();
        }
        while (m_fd >= 0) {
            if (m_payloadLeft > 0) {
                const size_t take = std::min(m_payloadLeft, m_inLength - m_inStart);
                m_message.append(m_in.data() + m_inStart, take);
                m_inStart += take;
                m_payloadLeft -= take;
                if (m_payloadLeft > 0)
                    return;
                if (m_final)
                    complete();
                continue;
            }
            const auto* at = reinterpret_cast<const unsigned char*>(m_in.data() + m_inStart);
            const size_t available = m_inLength - m_inStart;
            if (available < 2)
                return;
            uint64_t length = at[1] & 0x7F;
            const size_t headerLength = length == 126 ? 4 : length == 127 ? 10 : 2;
            if (available < headerLength)
                return;
            if (length == 126)
                length = uint64_t(at[2]) << 8 | at[3];
            else if (length == 127)
                length = [at] {
                    uint64_t value = 0;
                    for (int i = 0; i < 8; ++i)
                        value = value << 8 | at[2 + i];
                    return value;
                }();
            const int opcode = at[0] & 0x0F;
            const bool final = at[0] & 0x80;
            if (opcode == 8) {
                m_closed = true;
                return;
            }
            if (opcode >= 8) {
                // Pings and pongs: none of the targets sends any unasked; skipped whole.
                if (available < headerLength + length)
                    return;
                m_inStart += headerLength + size_t(length);
                continue;
            }
            if (m_complete)
                return; // The previous message has not been taken yet.
            m_inStart += headerLength;
            m_final = final;
            m_payloadLeft = size_t(length);
            if (opcode != 0)
                m_message.clear();
            m_message.reserve(m_message.size() + m_payloadLeft);
            if (m_payloadLeft == 0 && m_final)
                complete();
        }
    }

    std::string m_namespace;
    int m_fd = -1;
    bool m_open = false;
    bool m_closed = false;
    std::string m_out;
    size_t m_sent = 0;
    std::vector<char> m_in;
    size_t m_inStart = 0;
    size_t m_inLength = 0;
    size_t m_payloadLeft = 0;
    bool m_final = false;
    bool m_complete = false;
    std::string m_message;
};

// Serves every connection until the condition holds; false when the time ran out first.
bool waitFor(const std::vector<Connection*>& connections, const std::function<bool()>& done,
             double timeoutMs = messageTimeoutMs)
{
    const double deadline = nowUs() + timeoutMs * 1000.0;
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    while (!done()) {
        const double left = deadline - nowUs();
        if (left <= 0)
            return false;
        fds.clear();
        polled.clear();
        for (Connection* c : connections) {
            if (!c->busy())
                continue;
            fds.push_back({c->fd(), short(POLLIN | (c->wantsWrite() ? POLLOUT : 0)), 0});
            polled.push_back(c);
        }
        if (fds.empty())
            return done();
        if (poll(fds.data(), nfds_t(fds.size()), int(std::min(left / 1000.0, 100.0)) + 1) < 0
            && errno != EINTR)
            return false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents)
                polled[i]->handle(fds[i].revents);
        }
    }
    return true;
}

bool waitOpen(Connection& c)
{
    return waitFor({&c}, [&c] { return c.isOpen() || c.isClosed(); }) && c.isOpen();
}

bool roundTrip(Connection& c, const std::string& request, size_t fragment = 0)
{
    c.takeMessage();
    c.send(request, fragment);
    return waitFor({&c}, [&c] { return c.hasMessage() || c.isClosed(); }) && c.hasMessage();
}

bool ready(Connection& c)
{
    if (!waitOpen(c))
        return false;
    const std::string request = c.checkContext();
    return roundTrip(c, request) && c.isCheckContextAnswer(request);
}

std::string pageNamespace(const std::string& instance)
{
    return "Quillet.2.6.1." + instance + ".QES";
}

void roundTrips()
{
    Connection c(pageNamespace("rtt"));
    c.open();
    std::vector<double> us;
    if (ready(c)) {
        us.reserve(size_t(options.roundTrips));
        for (int i = 0; i < options.roundTrips; ++i) {
            const std::string request = c.echo(i, 100);
            const double start = nowUs();
            if (!roundTrip(c, request) || !c.isEchoAnswer(request))
                break;
            us.push_back(nowUs() - start);
        }
    }
    latency(1, "100 B round trip", us, "us");
}

// Round trips of large messages, sent as one frame and as frames of 64 KiB as browsers cut
// them; for each size also the server's peak resident size during the first round trip of a
// fresh session and its size a second after that round trip, both above its size before it.
void throughput()
{
    const struct
    {
        const char* name;
        size_t size;
        int runs;
    } sizes[] = {{"64 KiB", 64 * 1024, 100}, {"1 MiB", 1024 * 1024, 20}, {"16 MiB", 16 * 1024 * 1024, 5}};
    const size_t fragments[] = {0, 64 * 1024};

    for (const auto& size : sizes) {
        for (const size_t fragment : fragments) {
            const std::string measure
                = std::string(size.name) + " round trip" + (fragment ? " in 64 KiB frames" : "");
            Connection c(pageNamespace("size"));
            c.open();
            std::vector<double> mbps;
            double beforeKiB = NAN;
            double peakKiB = NAN;
            double afterKiB = NAN;
            if (ready(c)) {
                // The first round trip is not timed: it measures the memory that one message takes.
                for (int i = 0; i <= size.runs; ++i) {
                    const std::string request = c.echo(i, size.size);
                    if (i == 0) {
                        beforeKiB = statusKiB("VmRSS");
                        resetPeak();
                    }
                    const double start = nowUs();
                    if (!roundTrip(c, request, fragment) || !c.isEchoAnswer(request)) {
                        mbps.clear();
                        break;
                    }
                    if (i > 0) {
                        mbps.push_back(double(size.size) / (nowUs() - start));
                        continue;
                    }
                    peakKiB = statusKiB("VmHWM");
                    waitFor(
                        {&c}, [] { return false; }, 1000);
                    afterKiB = statusKiB("VmRSS");
                }
            }
            row(2, measure, "median", mbps.empty() ? NAN : percentile(mbps, 0.5), "MB/s", mbps.size());
            // No commas: the measure is one cell of the CSV rows.
            row(4, measure + ": peak resident size above the size before", "value",
                (peakKiB - beforeKiB) / 1024.0, "MiB", 1);
            row(4, measure + ": resident size a second after above the size before", "value",
                (afterKiB - beforeKiB) / 1024.0, "MiB", 1);
            c.closeNow();
        }
    }
}

struct SetupTimes
{
    std::vector<double> connected;
    std::vector<double> checkContext;
    std::vector<double> firstEcho;
};

// Connected, CheckContext answered, first echo answered, each from the start of the session's
// connect; sessions run one after another or all at once.
void setUp(std::vector<std::unique_ptr<Connection>>& sessions, int count, bool atOnce, SetupTimes& times)
{
    int finished = 0;
    std::vector<Connection*> live;
    auto start = [&](int index) {
        sessions.push_back(std::make_unique<Connection>(pageNamespace("setup" + std::to_string(index))));
        Connection* c = sessions.back().get();
        live.push_back(c);
        const double begin = nowUs();
        auto request = std::make_shared<std::string>();
        auto step = std::make_shared<int>(0);
        auto finish = [&finished, c, &live, atOnce] {
            ++finished;
            c->onMessage = nullptr;
            if (!atOnce) {
                c->closeNow();
                live.erase(std::find(live.begin(), live.end(), c));
            }
        };
        c->onOpen = [c, begin, request, &times] {
            times.connected.push_back(nowUs() - begin);
            *request = c->checkContext();
            c->send(*request);
        };
        c->onMessage = [c, begin, request, step, &times, finish] {
            if (*step == 0) {
                if (!c->isCheckContextAnswer(*request))
                    return finish();
                times.checkContext.push_back(nowUs() - begin);
                *step = 1;
                *request = c->echo(2, 100);
                c->takeMessage();
                c->send(*request);
                return;
            }
            if (c->isEchoAnswer(*request))
                times.firstEcho.push_back(nowUs() - begin);
            finish();
        };
        c->open();
    };

    if (atOnce) {
        for (int i = 0; i < count; ++i)
            start(i);
        waitFor(live, [&] { return finished == count; });
        return;
    }
    for (int i = 0; i < count; ++i) {
        start(i);
        const int target = i + 1;
        if (!waitFor(live, [&] { return finished == target || sessions.back()->isClosed(); }))
            break;
    }
}

void report(const char* how, const SetupTimes& times)
{
    latency(3, std::string(how) + ": connected", times.connected, "ms");
    latency(3, std::string(how) + ": CheckContext answered", times.checkContext, "ms");
    latency(3, std::string(how) + ": first echo answered", times.firstEcho, "ms", true);
}

void sessionSetUp(double idleKiB, bool afterLargeMessages)
{
    row(4, "resident size idle", "value", idleKiB / 1024.0, "MiB", 1);
    if (afterLargeMessages) {
        // What the messages of figure 2 leave behind once their sessions have ended.
        usleep(1000 * 1000);
        row(4, "resident size idle after figure 2", "value", statusKiB("VmRSS") / 1024.0, "MiB", 1);
    }
    {
        std::vector<std::unique_ptr<Connection>> sessions;
        SetupTimes times;
        setUp(sessions, options.sequentialSessions, false, times);
        report("one after another", times);
    }
    std::vector<std::unique_ptr<Connection>> sessions;
    SetupTimes times;
    setUp(sessions, options.parallelSessions, true, times);
    report("at once", times);
    // The server's own memory, not its children's.
    row(4, "resident size with " + std::to_string(options.parallelSessions) + " sessions open", "value",
        statusKiB("VmRSS") / 1024.0, "MiB", times.firstEcho.size());
}

bool wanted(const char* figure)
{
    if (options.figures.empty())
        return true;
    const std::string list = "," + options.figures + ",";
    return list.find("," + std::string(figure) + ",") != std::string::npos;
}

int usage()
{
    std::fprintf(
        stderr,
        "usage: QuilletBenchLean --target NAME --url ws://127.0.0.1:PORT[/PATH] [--tray] [--pid PID]\n"
        "                        [--round-trips N] [--figures 1,2,3,4]\n");
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    std::string url;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--tray") {
            options.tray = true;
            continue;
        }
        if (!value)
            return usage();
        ++i;
        if (arg == "--target")
            options.target = value;
        else if (arg == "--url")
            url = value;
        else if (arg == "--pid")
            options.pid = std::atol(value);
        else if (arg == "--round-trips")
            options.roundTrips = std::atoi(value);
        else if (arg == "--figures")
            options.figures = value;
        else
            return usage();
    }
    // ws://host:port/path, with a numeric IPv4 host as the benchmarks use.
    if (options.target.empty() || url.rfind("ws://", 0) != 0)
        return usage();
    const std::string rest = url.substr(5);
    const size_t colon = rest.find(':');
    const size_t slash = rest.find('/');
    if (colon == std::string::npos)
        return usage();
    options.host = rest.substr(0, colon);
    options.port = std::atoi(rest.substr(colon + 1, slash - colon - 1).c_str());
    if (slash != std::string::npos)
        options.path = rest.substr(slash);
    documentText();

    const double idleKiB = statusKiB("VmRSS");
    if (wanted("1"))
        roundTrips();
    if (wanted("2"))
        throughput();
    if (wanted("3") || wanted("4"))
        sessionSetUp(idleKiB, wanted("2"));
    return 0;
}
