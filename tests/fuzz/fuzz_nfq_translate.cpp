// libFuzzer target: the translation of nfnetlink_queue datagrams into the packet-queue layout.
// Input: one byte of flags (bit 0: sent by the kernel; bit 1: read the datagram unaligned),
// two bytes of output buffer size, then the datagram.
#include <linux/netlink.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ipq_msg.h"
#include "nfq_translate.h"

namespace {

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    bool from_kernel = (data[0] & 1) != 0;
    bool unaligned = (data[0] & 2) != 0;
    size_t out_size = (static_cast<size_t>(data[1]) | static_cast<size_t>(data[2]) << 8) % 1024;
    size_t in_len = size - 3;

    // Exactly sized heap buffers, so that AddressSanitizer sees any access outside them.
    auto *staged = static_cast<unsigned char *>(malloc(in_len + 1));
    unsigned char *in = staged + (unaligned ? 1 : 0);
    if (in_len > 0) {
        memcpy(in, data + 3, in_len);
    }
    std::vector<unsigned char> out(out_size);
    size_t written = nfq_translate(in, in_len, from_kernel, out.data(), out.size());
    check(written <= out_size);

    if (written >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        memcpy(&header, out.data(), sizeof header);
        if (header.nlmsg_type == IPQM_PACKET || header.nlmsg_type == ULVO_UNUSABLE_PACKET) {
            // Only a kernel's packet message may become a packet, and it says no more than it
            // holds.
            check(from_kernel && !unaligned && in_len >= sizeof(nlmsghdr));
            nlmsghdr original;
            memcpy(&original, in, sizeof original);
            check(original.nlmsg_type == ((3 << 8) | 0));  // NFNL_SUBSYS_QUEUE, NFQNL_MSG_PACKET
            check(header.nlmsg_len <= out_size || out_size < sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET);
        }
    }
    free(staged);
    return 0;
}
