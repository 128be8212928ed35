// The search of the kernel's TCP table for the page's end of a connection, on tables built
// from fuzzed data: lines in the kernel's own format, slot numbers in order, with fuzzed
// addresses, states and user ids, mixed with arbitrary bytes. The user found must be the one
// of the first line that lists the connection from the page's side as established, with a
// blank before its slot.
#include "fuzzcheck.h"
#include "processinfo.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <QFile>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QtEndian>

namespace {
QString tablePath;

struct Endpoint
{
    quint32 address;
    quint16 port;
};

Endpoint consumeEndpoint(FuzzedDataProvider& provider)
{
    return {provider.ConsumeIntegral<quint32>(), provider.ConsumeIntegral<quint16>()};
}

// One of the two ends of the connection, or another end altogether.
Endpoint pickEndpoint(FuzzedDataProvider& provider, const Endpoint& peer, const Endpoint& local)
{
    switch (provider.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return peer;
    case 1:
        return local;
    case 2:
        return {peer.address, provider.ConsumeIntegral<quint16>()};
    default:
        return consumeEndpoint(provider);
    }
}

// As the kernel prints a socket: the address in the byte order of this little-endian machine.
QByteArray kernelLine(int slot, const Endpoint& from, const Endpoint& to, int state, quint32 uid)
{
    QByteArray line
        = QString::asprintf(
              "%4d: %08X:%04X %08X:%04X %02X %08X:%08X %02X:%08lX %08X %5u %8d %lu %d %016lx %u %u %u %u %d",
              slot, qbswap(from.address), from.port, qbswap(to.address), to.port, state, 0u, 0u, 0u, 0ul, 0u,
              uid, 0, 123456ul, 1, 0xffff888000000000ul, 20u, 4u, 30u, 10u, -1)
              .toLatin1();
    // The kernel pads each line with blanks to a fixed width.
    if (line.size() < 149)
        line.append(QByteArray(149 - line.size(), ' '));
    return line + '\n';
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
    const Endpoint peer = consumeEndpoint(provider);
    const Endpoint local = consumeEndpoint(provider);

    QByteArray table;
    QString expected;
    const int lines = provider.ConsumeIntegralInRange(0, 24);
    int slot = 0;
    for (int i = 0; i < lines; ++i) {
        switch (provider.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            // Arbitrary bytes; the leading letter keeps the line from ever matching.
            const std::string raw = provider.ConsumeRandomLengthString(200);
            table += 'x' + QByteArray(raw.data(), qsizetype(raw.size())).replace('\n', ' ') + '\n';
            break;
        }
        case 1:
            table += "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
                     "timeout inode\n";
            break;
        default: {
            // The kernel numbers its lines in order; a fuzzed step lets the numbers reach the
            // width of their column within a table.
            slot += provider.ConsumeIntegralInRange(0, 1200);
            const bool connection = provider.ConsumeBool();
            const Endpoint from = connection ? peer : pickEndpoint(provider, peer, local);
            const Endpoint to = connection ? local : pickEndpoint(provider, peer, local);
            const int state = provider.ConsumeBool() ? 1 : provider.ConsumeIntegralInRange(0, 255);
            const quint32 uid = provider.ConsumeIntegral<quint32>();
            table += kernelLine(slot, from, to, state, uid);
            const bool matches = slot < 1000 && from.address == peer.address && from.port == peer.port
                && to.address == local.address && to.port == local.port && state == 1;
            if (matches && expected.isEmpty())
                expected = QString::number(uid);
            break;
        }
        }
    }
    {
        QFile file(tablePath);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(table) == table.size());
    }

    const ProcessInfo found = ProcessInfo::forConnection(QHostAddress(peer.address), peer.port,
                                                         QHostAddress(local.address), local.port, tablePath);
    FUZZ_CHECK(found.uid() == expected);
    return 0;
}
