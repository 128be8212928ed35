// The line-echo child that websocketd runs for each connection in the benchmarks: every line
// read from standard input is written back to standard output at once. Started with the query
// "stubborn" (websocketd passes it as QUERY_STRING), it ignores the end of its input and the
// signals that ask it to stop, so that it has to be killed, like a signer that ignores
// DisposeInstance.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main()
{
    const char* query = std::getenv("QUERY_STRING");
    const bool stubborn = query && std::strstr(query, "stubborn");
    if (stubborn) {
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGTERM, SIG_IGN);
        std::signal(SIGHUP, SIG_IGN);
        std::signal(SIGPIPE, SIG_IGN);
    }

    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, stdin)) > 0) {
        std::fwrite(line, 1, size_t(length), stdout);
        std::fflush(stdout);
    }
    std::free(line);
    while (stubborn)
        pause();
    return 0;
}
