// A signer that misbehaves on request: it reads native messages like a real signer and commits
// the fault that the last part of a message's method names. DisposeInstance is noted in the
// file "signer-events" of its working directory and ends it, unless IgnoreDispose came first:
// then it reads nothing more and waits to be killed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
void put(const std::string& bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::string frame(const std::string& payload)
{
    const auto length = std::int32_t(payload.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + payload;
}
} // namespace

int main()
{
    std::int32_t length = 0;
    std::string payload;
    bool ignoreDispose = false;
    while (std::fread(&length, sizeof length, 1, stdin) == 1 && length >= 0) {
        payload.resize(size_t(length));
        if (std::fread(payload.data(), 1, payload.size(), stdin) != payload.size())
            return 0;
        const auto has = [&](const char* name) { return payload.find(name) != std::string::npos; };
        if (has(".QES.DisposeInstance\"")) {
            if (FILE* events = std::fopen("signer-events", "a"))
                std::fputs("disposed\n", events), std::fclose(events);
            while (ignoreDispose)
                pause();
            return 0;
        }
        ignoreDispose = ignoreDispose || has(".QES.IgnoreDispose\"");
        if (has(".QES.Pid\""))
            put(frame("{\"result\":" + std::to_string(getpid()) + "}"));
        if (has(".QES.Crash\"") || has(".QES.ExitMidFrame\"")) {
            // A frame of 1000 bytes of which only 10 come.
            put(frame(std::string(1000, ' ')).substr(0, 14));
            if (has(".QES.Crash\""))
                std::abort();
            return 0;
        }
        if (has(".QES.Garbage\""))
            put("AAAA{}");
        if (has(".QES.Split\"")) {
            // Two messages, cut across their headers and payloads, with pauses between the pieces;
            // the second is not UTF-8.
            const std::string bytes
                = frame("{\"result\":\"" + std::string(100000, 's') + "\"}") + frame("{\"r\":\"\xff\"}");
            for (size_t at = 0; at < bytes.size(); at += 40001, usleep(20000))
                put(bytes.substr(at, 40001));
            put(frame("{}").substr(0, 2)), usleep(20000), put(frame("{}").substr(2));
        }
        if (has(".QES.StopReading\"")) {
            put(frame("{}"));
            for (;;)
                pause();
        }
    }
    return 0;
}
