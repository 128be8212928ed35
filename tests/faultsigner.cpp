// A signer that misbehaves on request, for tst_faults: it reads native messages like a real
// signer and commits the fault that the last part of a message's method names (see the
// test's table). DisposeInstance ends it; other methods are ignored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {
void put(const void* data, size_t size)
{
    std::fwrite(data, 1, size, stdout);
}
} // namespace

int main()
{
    std::int32_t length = 0;
    std::string payload;
    while (std::fread(&length, sizeof length, 1, stdin) == 1 && length >= 0) {
        payload.resize(size_t(length));
        if (std::fread(payload.data(), 1, payload.size(), stdin) != payload.size())
            return 0;
        const auto has = [&](const char* name) { return payload.find(name) != std::string::npos; };
        if (has(".QES.DisposeInstance\""))
            return 0;
        if (has(".QES.Crash\"") || has(".QES.ExitMidFrame\"")) {
            // A frame of 1000 bytes of which only 10 come.
            length = 1000;
            put(&length, sizeof length);
            put("{\"result\":", 10);
            std::fflush(stdout);
            if (has(".QES.Crash\""))
                std::abort();
            return 0;
        }
        if (has(".QES.FloodFrames\"")) {
            const std::string frame = "{\"result\":\"" + std::string(1024 * 1024 - 13, 'x') + "\"}";
            length = std::int32_t(frame.size());
            for (int i = 0; i < 100; ++i) {
                put(&length, sizeof length);
                put(frame.data(), frame.size());
            }
            std::fflush(stdout);
        } else if (has(".QES.FloodGarbage\"") || has(".QES.FloodEmpty\"")) {
            // 100 MiB that are no frames, or empty frames without end.
            const bool garbage = has(".QES.FloodGarbage\"");
            const std::string block(1024 * 1024, garbage ? 'A' : '\0');
            for (int i = 0; i < 100 || !garbage; ++i)
                put(block.data(), block.size());
            std::fflush(stdout);
            return 0;
        } else if (has(".QES.StopReading\"")) {
            for (;;)
                pause();
        }
    }
    return 0;
}
