// The reader of the kernel's sock_diag answers. Any bytes (the seeds are real answers) are read
// without going past their end; an answer built from fuzzed sockets, with attributes after each
// and ended as the kernel ends it, comes out as exactly those sockets.
#include "fuzzcheck.h"
#include "kernelsockets.h"

#include <cerrno>
#include <fuzzer/FuzzedDataProvider.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

namespace {
void append(QByteArray& answer, quint16 type, const QByteArray& body)
{
    nlmsghdr header {};
    header.nlmsg_len = quint32(sizeof header + size_t(body.size()));
    header.nlmsg_type = type;
    answer += QByteArray(reinterpret_cast<const char*>(&header), sizeof header) + body;
    answer += QByteArray(qsizetype(NLMSG_ALIGN(header.nlmsg_len) - header.nlmsg_len), '\0');
}

KernelSockets::Endpoint endpoint(bool ipv4, const __be32* address, __be16 port)
{
    KernelSockets::Endpoint end;
    if (ipv4) {
        end.address.c[10] = end.address.c[11] = 0xff;
        memcpy(end.address.c + 12, address, 4);
    } else {
        memcpy(end.address.c, address, 16);
    }
    end.port = ntohs(port);
    return end;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const KernelSockets::Reply raw = KernelSockets::parseReply(QByteArrayView(data, qsizetype(size)));
    FUZZ_CHECK(size_t(raw.sockets.size()) <= size / (sizeof(nlmsghdr) + sizeof(inet_diag_msg)));
    FUZZ_CHECK(raw.error <= 0 && (raw.error == 0 || raw.done));
    FuzzedDataProvider provider(data, size);
    const int ending = provider.ConsumeIntegralInRange(0, 2);
    QByteArray answer;
    QList<KernelSockets::Socket> expected;
    while (provider.remaining_bytes() > 0) {
        inet_diag_msg message {};
        provider.ConsumeData(&message, sizeof message);
        const bool ipv4 = provider.ConsumeBool();
        message.idiag_family = ipv4 ? AF_INET : AF_INET6;
        // Attributes that the reader steps over.
        const QByteArray attributes(provider.ConsumeIntegralInRange<qsizetype>(0, 40), 'a');
        append(answer, SOCK_DIAG_BY_FAMILY,
               QByteArray(reinterpret_cast<const char*>(&message), sizeof message) + attributes);
        expected.append({endpoint(ipv4, message.id.idiag_src, message.id.idiag_sport),
                         endpoint(ipv4, message.id.idiag_dst, message.id.idiag_dport), message.idiag_state,
                         message.idiag_uid});
    }
    const nlmsgerr error {-ENOENT, {}};
    if (ending == 1)
        append(answer, NLMSG_DONE, QByteArray(4, '\0'));
    else if (ending == 2)
        append(answer, NLMSG_ERROR, QByteArray(reinterpret_cast<const char*>(&error), sizeof error));
    const KernelSockets::Reply built = KernelSockets::parseReply(answer);
    FUZZ_CHECK(built.done == (ending != 0) && built.error == (ending == 2 ? -ENOENT : 0));
    FUZZ_CHECK(built.sockets.size() == expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const KernelSockets::Socket& got = built.sockets[i];
        FUZZ_CHECK(got.local == expected[i].local && got.remote == expected[i].remote
                   && got.state == expected[i].state && got.uid == expected[i].uid);
    }
    return 0;
}
