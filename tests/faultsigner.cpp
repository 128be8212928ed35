// A signer that misbehaves on request, for the fault tests. It reads native messages like a
// real signer; the last part of a message's method names the fault, which it then commits:
//   Crash         starts a frame of 1000 bytes, writes 10 of them and aborts
//   ExitMidFrame  starts a frame of 1000 bytes, writes 10 of them and exits with code 0
//   FloodFrames   writes 100 frames of 1 MiB each, then goes on reading
//   FloodGarbage  writes 100 MiB that are no frames, then exits
//   FloodEmpty    writes empty frames without end
//   StopReading   never reads its standard input again and waits to be killed
// DisposeInstance ends it; other methods are ignored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
bool readMessage(std::string& payload)
{
    int32_t length = 0;
    if (std::fread(&length, sizeof length, 1, stdin) != 1 || length < 0)
        return false;
    payload.resize(size_t(length));
    return std::fread(payload.data(), 1, payload.size(), stdin) == payload.size();
}

std::string methodName(const std::string& payload)
{
    const std::string key = "\"method\":\"";
    const size_t start = payload.find(key);
    if (start == std::string::npos)
        return {};
    const std::string method
        = payload.substr(start + key.size(), payload.find('"', start + key.size()) - start - key.size());
    return method.substr(method.rfind('.') + 1);
}

void writeAll(const void* data, size_t size)
{
    std::fwrite(data, 1, size, stdout);
}
} // namespace

int main()
{
    std::string payload;
    while (readMessage(payload)) {
        const std::string name = methodName(payload);
        if (name == "DisposeInstance")
            return 0;
        if (name == "Crash" || name == "ExitMidFrame") {
            const int32_t length = 1000;
            writeAll(&length, sizeof length);
            writeAll("{\"result\":", 10);
            std::fflush(stdout);
            if (name == "Crash")
                std::abort();
            return 0;
        }
        if (name == "FloodFrames") {
            const std::string frame = "{\"result\":\"" + std::string(1024 * 1024 - 13, 'x') + "\"}";
            const int32_t length = int32_t(frame.size());
            for (int i = 0; i < 100; ++i) {
                writeAll(&length, sizeof length);
                writeAll(frame.data(), frame.size());
            }
            std::fflush(stdout);
        } else if (name == "FloodGarbage" || name == "FloodEmpty") {
            const std::string block(1024 * 1024, name == "FloodGarbage" ? 'A' : '\0');
            for (int i = 0; i < 100 || name == "FloodEmpty"; ++i)
                writeAll(block.data(), block.size());
            std::fflush(stdout);
            return 0;
        } else if (name == "StopReading") {
            for (;;)
                pause();
        }
    }
    return 0;
}
