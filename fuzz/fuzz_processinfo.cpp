// The kernel's socket tables as the fallback reads them, built from fuzzed data: lines in the
// kernel's own formats for tcp and tcp6, slot numbers of any width, mixed with arbitrary bytes.
// Every kernel line comes out as the socket it describes, in order, and nothing else does.
#include "fuzzcheck.h"
#include "kernelsockets.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QFile>
#include <QTemporaryDir>

namespace {
QString tablePath;

KernelSockets::Endpoint consumeEndpoint(FuzzedDataProvider& provider, bool ipv6)
{
    KernelSockets::Endpoint end;
    if (ipv6) {
        provider.ConsumeData(end.address.c, 16);
    } else {
        end.address.c[10] = end.address.c[11] = 0xff;
        provider.ConsumeData(end.address.c + 12, 4);
    }
    end.port = provider.ConsumeIntegral<quint16>();
    return end;
}

// As the kernel prints an end: each 32-bit word of the address as the number it is in memory.
QByteArray printed(const KernelSockets::Endpoint& end, bool ipv6)
{
    QByteArray text;
    for (int word = ipv6 ? 0 : 3; word < 4; ++word) {
        quint32 value;
        memcpy(&value, end.address.c + 4 * word, 4);
        text += QByteArray::number(value, 16).toUpper().rightJustified(8, '0');
    }
    return text + ':' + QByteArray::number(end.port, 16).toUpper().rightJustified(4, '0');
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static QTemporaryDir dir;
    if (!dir.isValid())
        std::abort();
    tablePath = dir.filePath(QStringLiteral("tcp"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const bool ipv6 = provider.ConsumeBool();
    QByteArray table = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    QList<KernelSockets::Socket> expected;
    for (int slot = provider.ConsumeIntegralInRange(0, 1200); provider.remaining_bytes() > 0; ++slot) {
        if (provider.ConsumeIntegralInRange(0, 3) == 0) {
            // The leading letter keeps arbitrary bytes from ever reading as a socket.
            const std::string raw = provider.ConsumeRandomLengthString(200);
            table += 'x' + QByteArray(raw.data(), qsizetype(raw.size())).replace('\n', ' ') + '\n';
            continue;
        }
        KernelSockets::Socket socket {consumeEndpoint(provider, ipv6), consumeEndpoint(provider, ipv6),
                                      provider.ConsumeIntegralInRange(0, 255),
                                      provider.ConsumeIntegral<quint32>()};
        table += QString::asprintf(
                     "%4d: %s %s %02X %08X:%08X %02X:%08lX %08X %5u %8d %lu %d %016lx %u %u %u %u %d\n", slot,
                     printed(socket.local, ipv6).constData(), printed(socket.remote, ipv6).constData(),
                     socket.state, 0u, 0u, 0u, 0ul, 0u, socket.uid, 0, 123456ul, 1, 0xffff888000000000ul, 20u,
                     4u, 30u, 10u, -1)
                     .toLatin1();
        expected.append(socket);
    }
    {
        QFile file(tablePath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                   && file.write(table) == table.size());
    }

    const std::optional<QList<KernelSockets::Socket>> found = KernelSockets::readTable(tablePath);
    FUZZ_CHECK(found && found->size() == expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const KernelSockets::Socket& got = found->at(i);
        FUZZ_CHECK(got.local == expected[i].local && got.remote == expected[i].remote);
        FUZZ_CHECK(got.state == expected[i].state && got.uid == expected[i].uid);
    }
    return 0;
}
