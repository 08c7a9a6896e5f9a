#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "nfq_translate.h"
#include "nllib.h"
#include "nllib_testing.h"

namespace {

template <typename T>
T load(const unsigned char *at) {
    T value;
    memcpy(&value, at, sizeof value);
    return value;
}

TEST(NlLegacy, ModeRequestBytes) {
    unsigned char request[NL_MODE_REQUEST_SIZE];
    memset(request, 0xff, sizeof request);
    nl_encode_mode_request(request, 0x1234567, 352);
    const size_t expected_size = sizeof(long) == 8 ? 48 : 40;
    EXPECT_EQ(load<uint32_t>(request + 0), expected_size);  // nlmsg_len
    EXPECT_EQ(load<uint16_t>(request + 4), 17);             // IPQM_MODE
    EXPECT_EQ(load<uint16_t>(request + 6), NLM_F_REQUEST);
    EXPECT_EQ(load<uint32_t>(request + 8), 0u);  // seq
    EXPECT_EQ(load<uint32_t>(request + 12), 0x1234567u);
    EXPECT_EQ(request[16], 2);  // IPQ_COPY_PACKET
    const size_t range_at = 16 + sizeof(size_t);
    for (size_t i = 17; i < range_at; ++i) {
        EXPECT_EQ(request[i], 0) << i;
    }
    EXPECT_EQ(load<size_t>(request + range_at), 352u);
    for (size_t i = range_at + sizeof(size_t); i < expected_size; ++i) {
        EXPECT_EQ(request[i], 0) << "trailing zero byte " << i;
    }
}

TEST(NlLegacy, VerdictBytes) {
    nlmsghdr header;
    ipq_verdict_msg payload;
    memset(&header, 0xff, sizeof header);
    memset(&payload, 0xff, sizeof payload);
    nl_encode_verdict(&header, &payload, 77, 0xabcdef, ULVO_NF_ACCEPT);
    const size_t expected = sizeof(long) == 8 ? 40 : 28;
    EXPECT_EQ(header.nlmsg_len, expected);
    EXPECT_EQ(header.nlmsg_type, 18);  // IPQM_VERDICT
    EXPECT_EQ(header.nlmsg_flags, NLM_F_REQUEST);
    EXPECT_EQ(header.nlmsg_seq, 0u);
    EXPECT_EQ(header.nlmsg_pid, 77u);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&payload);
    EXPECT_EQ(load<uint32_t>(bytes), 1u);
    EXPECT_EQ(load<unsigned long>(bytes + sizeof(long)), 0xabcdefu);
    EXPECT_EQ(load<size_t>(bytes + 2 * sizeof(long)), 0u);
    if (sizeof(long) == 8) {
        EXPECT_EQ(load<uint32_t>(bytes + 4), 0u) << "padding after the verdict value";
    }
    nl_encode_verdict(&header, &payload, 77, 5, ULVO_NF_DROP);
    EXPECT_EQ(payload.value, 0u);
    EXPECT_EQ(header.nlmsg_len, expected);
}

TEST(NlLegacy, LocalPidComputation) {
    // (tid << 16 | pid) + count, then halved.
    EXPECT_EQ(nl_local_pid(0x0001, 0x0100, 0), (0x00010100u + 0) >> 1);
    EXPECT_EQ(nl_local_pid(0xabcd1234, 4321, 3), ((0x1234u << 16 | 4321u) + 3) >> 1);
    EXPECT_EQ(nl_local_pid(0, 0, 1), 0u);
    EXPECT_EQ(nl_local_pid(0xffff, 0xffff, 0xffffffff), 0x7fffffffu) << "never above 2^31 - 1";
    for (uint32_t count = 0; count < 8; ++count) {
        uint32_t first = nl_local_pid(0x55, 1000, count);
        uint32_t second = nl_local_pid(0x55, 1000, count + 1);
        EXPECT_LE(second - first, 1u);
        EXPECT_EQ(first == second, (((0x55u << 16 | 1000u) + count) % 2) == 0);
    }
}

TEST(NlCreate, UnknownFamilyOpensNothingButCounts) {
    uint32_t before = nl_call_count_for_test();
    nl_filter_handle filter;
    memset(&filter, 0xff, sizeof filter);
    errno = EINTR;
    EXPECT_EQ(nl_create_filter(&filter, 0, 352), NL_BAD_FAMILY);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(filter.fd, 0);
    EXPECT_EQ(filter.peer.nl_family, AF_NETLINK);
    EXPECT_EQ(nl_call_count_for_test(), before + 1);
}

TEST(NlCreate, DestroyClosesOnce) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    nl_filter_handle filter{};
    filter.fd = fds[0];
    nl_destroy_filter(&filter);
    EXPECT_EQ(filter.fd, -1);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    int reused = dup(fds[1]);  // likely takes the freed number again
    nl_destroy_filter(&filter);
    EXPECT_NE(fcntl(reused, F_GETFD), -1) << "the second call closed someone else's descriptor";
    close(reused);
    close(fds[1]);
}

TEST(NlCopyRange, FitsTheCallersBuffer) {
    const uint32_t header = sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
    EXPECT_EQ(nfq_packet_copy_range(ULVO_MSG_BUF_SIZE), PACKET_COPY_BYTES);
    EXPECT_EQ(nfq_packet_copy_range(header), 0u);
    EXPECT_EQ(nfq_packet_copy_range(header + 1), 1u);
    EXPECT_EQ(nfq_packet_copy_range(1 << 20), NFQ_MAX_PACKET_COPY);
}

// Builds nfnetlink_queue messages as the kernel sends them.
class NfqMessage {
  public:
    explicit NfqMessage(uint16_t type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET) {
        nlh_ = mnl_nlmsg_put_header(buffer_);
        nlh_->nlmsg_type = type;
        nlh_->nlmsg_seq = 42;
        auto *nfg = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(nlh_, sizeof(nfgenmsg)));
        nfg->nfgen_family = AF_UNSPEC;
        nfg->res_id = htons(4401);
    }
    NfqMessage &packet_header(uint32_t id, uint16_t hw_protocol = htons(0x0800), uint8_t hook = 3) {
        nfqnl_msg_packet_hdr header{htonl(id), hw_protocol, hook};
        mnl_attr_put(nlh_, NFQA_PACKET_HDR, sizeof header, &header);
        return *this;
    }
    NfqMessage &mark(uint32_t value) {
        mnl_attr_put_u32(nlh_, NFQA_MARK, htonl(value));
        return *this;
    }
    NfqMessage &payload(const std::vector<unsigned char> &bytes) {
        mnl_attr_put(nlh_, NFQA_PAYLOAD, bytes.size(), bytes.data());
        return *this;
    }
    NfqMessage &attribute(uint16_t type, const std::vector<unsigned char> &bytes) {
        mnl_attr_put(nlh_, type, bytes.size(), bytes.data());
        return *this;
    }
    const unsigned char *data() const { return reinterpret_cast<const unsigned char *>(buffer_); }
    size_t size() const { return nlh_->nlmsg_len; }
    nlmsghdr *header() { return nlh_; }

  private:
    alignas(nlmsghdr) char buffer_[8192] = {};
    nlmsghdr *nlh_;
};

std::vector<unsigned char> ipv4_syn_to(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    std::vector<unsigned char> ip(60, 0);
    ip[0] = 0x45;
    ip[9] = 6;
    ip[16] = a;
    ip[17] = b;
    ip[18] = c;
    ip[19] = d;
    return ip;
}

// An output buffer with guard bytes on both sides.
struct Guarded {
    explicit Guarded(size_t length) : bytes(length + 64, 0xa5), size(length) {}
    unsigned char *out() { return bytes.data() + 32; }
    bool guards_intact() const {
        for (size_t i = 0; i < 32; ++i) {
            if (bytes[i] != 0xa5 || bytes[32 + size + i] != 0xa5) {
                return false;
            }
        }
        return true;
    }
    nlmsghdr header() { return load<nlmsghdr>(out()); }
    ipq_packet_msg packet() { return load<ipq_packet_msg>(out() + sizeof(nlmsghdr)); }
    std::vector<unsigned char> bytes;
    size_t size;
};

TEST(NfqTranslate, PacketBecomesAnIpqPacketMessage) {
    NfqMessage m;
    m.packet_header(0x01020304).mark(9).payload(ipv4_syn_to(127, 0, 0, 9));
    Guarded g(ULVO_MSG_BUF_SIZE);
    memset(g.out(), 0x77, g.size);  // stale content of an earlier message
    size_t n = nfq_translate(m.data(), m.size(), true, g.out(), g.size);
    EXPECT_TRUE(g.guards_intact());
    EXPECT_EQ(n, ULVO_MSG_BUF_SIZE);
    nlmsghdr h = g.header();
    EXPECT_EQ(h.nlmsg_type, IPQM_PACKET);
    EXPECT_EQ(h.nlmsg_len, sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET + 60);
    ipq_packet_msg p = g.packet();
    EXPECT_EQ(p.packet_id, 0x01020304u);
    EXPECT_EQ(p.mark, 9u);
    EXPECT_EQ(p.hook, 3u);
    EXPECT_EQ(p.hw_protocol, htons(0x0800));
    EXPECT_EQ(p.data_len, 60u);
    const unsigned char *ip = g.out() + sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
    EXPECT_EQ(ip[0], 0x45);
    EXPECT_EQ(std::vector<unsigned char>(ip + 16, ip + 20),
              (std::vector<unsigned char>{127, 0, 0, 9}));
    for (size_t i = 60; i < PACKET_COPY_BYTES; ++i) {
        ASSERT_EQ(ip[i], 0) << "stale byte left at " << i;
    }
}

TEST(NfqTranslate, LongPacketIsCutToTheBuffer) {
    std::vector<unsigned char> big(1500, 0x11);
    NfqMessage m;
    m.packet_header(7).payload(big);
    for (size_t size : {ULVO_MSG_BUF_SIZE, size_t{200}, sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET,
                        size_t{50}, size_t{16}, size_t{3}, size_t{1}}) {
        Guarded g(size);
        size_t n = nfq_translate(m.data(), m.size(), true, g.out(), g.size);
        EXPECT_TRUE(g.guards_intact()) << size;
        EXPECT_EQ(n, size);
    }
    Guarded g(ULVO_MSG_BUF_SIZE);
    nfq_translate(m.data(), m.size(), true, g.out(), g.size);
    EXPECT_EQ(g.packet().data_len, PACKET_COPY_BYTES);
    EXPECT_EQ(g.header().nlmsg_len, ULVO_MSG_BUF_SIZE);
}

TEST(NfqTranslate, ErrorKeepsItsCodeAndABindRefusalReadsAsBusy) {
    alignas(nlmsghdr) unsigned char raw[64] = {};
    auto *h = reinterpret_cast<nlmsghdr *>(raw);
    h->nlmsg_type = NLMSG_ERROR;
    h->nlmsg_len = sizeof(nlmsghdr) + sizeof(nlmsgerr);
    auto *e = reinterpret_cast<nlmsgerr *>(raw + sizeof(nlmsghdr));
    e->error = -ENOENT;
    e->msg.nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT;
    Guarded g(ULVO_MSG_BUF_SIZE);
    nfq_translate(raw, h->nlmsg_len, true, g.out(), g.size);
    EXPECT_EQ(g.header().nlmsg_type, NLMSG_ERROR);
    EXPECT_EQ(load<int>(g.out() + 16), -ENOENT);

    e->error = -EPERM;
    e->msg.nlmsg_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
    nfq_translate(raw, h->nlmsg_len, true, g.out(), g.size);
    EXPECT_EQ(load<int>(g.out() + 16), -EBUSY);

    // A short error message is padded: the reader finds a code of 0, not stale bytes.
    h->nlmsg_len = 16;
    memset(g.out(), 0x77, g.size);
    nfq_translate(raw, 16, true, g.out(), g.size);
    EXPECT_EQ(g.header().nlmsg_type, NLMSG_ERROR);
    EXPECT_EQ(load<int>(g.out() + 16), 0);
    EXPECT_TRUE(g.guards_intact());
}

// Only a well-formed kernel packet message becomes a packet; one that cannot be read but names
// its packet keeps that packet's id, so that the packet still gets its verdict.
TEST(NfqTranslate, NothingButAWellFormedKernelPacketBecomesAPacket) {
    NfqMessage good;
    good.packet_header(1).payload(ipv4_syn_to(10, 0, 0, 1));

    struct Case {
        const char *what;
        std::vector<unsigned char> bytes;
        bool from_kernel;
        uint16_t expect_type;
    };
    std::vector<Case> cases;
    std::vector<unsigned char> good_bytes(good.data(), good.data() + good.size());
    cases.push_back({"from another process", good_bytes, false, NLMSG_NOOP});
    cases.push_back({"shorter than a header", {1, 2, 3}, true, NLMSG_NOOP});
    cases.push_back({"empty", {}, true, NLMSG_NOOP});
    {
        std::vector<unsigned char> cut(good_bytes.begin(), good_bytes.begin() + 30);
        cases.push_back({"declared longer than received", cut, true, 0x300});
    }
    {
        NfqMessage m;
        m.payload(ipv4_syn_to(10, 0, 0, 1));
        cases.push_back({"no packet header", {m.data(), m.data() + m.size()}, true, 0x300});
    }
    {
        NfqMessage m;
        m.packet_header(1);
        cases.push_back(
            {"no payload", {m.data(), m.data() + m.size()}, true, ULVO_UNUSABLE_PACKET});
    }
    {
        NfqMessage m;
        m.attribute(NFQA_PACKET_HDR, {1, 2}).payload(ipv4_syn_to(10, 0, 0, 1));
        cases.push_back({"packet header too short", {m.data(), m.data() + m.size()}, true, 0x300});
    }
    {
        // A declared length with the top bit set reads as negative to a signed comparison.
        std::vector<unsigned char> huge = good_bytes;
        uint32_t length = 0x80000010;
        memcpy(huge.data(), &length, sizeof length);
        cases.push_back({"declared length beyond 2^31", huge, true, ULVO_UNUSABLE_PACKET});
    }
    {
        // The last attribute claims more bytes than were received.
        std::vector<unsigned char> unpadded = good_bytes;
        unpadded.resize(unpadded.size() - 2);
        uint32_t length = static_cast<uint32_t>(unpadded.size() - 1);
        memcpy(unpadded.data(), &length, sizeof length);
        cases.push_back({"payload beyond the datagram", unpadded, true, ULVO_UNUSABLE_PACKET});
    }
    {
        std::vector<unsigned char> bad = good_bytes;
        bad[20] = 0xff;  // first attribute's length beyond the message
        bad[21] = 0x7f;
        cases.push_back({"attribute overruns", bad, true, 0x300});
    }
    {
        NfqMessage m(IPQM_PACKET);
        m.packet_header(1).payload(ipv4_syn_to(10, 0, 0, 1));
        cases.push_back({"legacy packet type", {m.data(), m.data() + m.size()}, true, NLMSG_NOOP});
        NfqMessage u(ULVO_UNUSABLE_PACKET);
        u.packet_header(1);
        cases.push_back({"forged unusable", {u.data(), u.data() + u.size()}, true, NLMSG_NOOP});
    }
    {
        NfqMessage m(NLMSG_NOOP);
        cases.push_back({"no-op", {m.data(), m.data() + m.size()}, true, NLMSG_NOOP});
    }
    {
        NfqMessage m(NLMSG_DONE);
        cases.push_back({"other type", {m.data(), m.data() + m.size()}, true, NLMSG_DONE});
    }
    for (const Case &c : cases) {
        // Aligned copies, as the receive stages them.
        alignas(nlmsghdr) unsigned char in[8192];
        if (!c.bytes.empty()) {
            memcpy(in, c.bytes.data(), c.bytes.size());
        }
        Guarded g(ULVO_MSG_BUF_SIZE);
        size_t n = nfq_translate(in, c.bytes.size(), c.from_kernel, g.out(), g.size);
        EXPECT_TRUE(g.guards_intact()) << c.what;
        EXPECT_EQ(g.header().nlmsg_type, c.expect_type) << c.what;
        size_t length = sizeof(nlmsghdr);
        if (c.expect_type == ULVO_UNUSABLE_PACKET) {
            length += IPQ_PAYLOAD_OFFSET;
            EXPECT_EQ(g.packet().packet_id, 1u) << c.what;
            EXPECT_EQ(g.packet().data_len, 0u) << c.what;
        }
        EXPECT_EQ(n, length) << c.what;
        EXPECT_EQ(g.header().nlmsg_len, length) << c.what;
    }
}

// The kernel does not pad the last attribute, the packet: a message ends where the packet does,
// whatever its length (a UDP datagram of 1 byte makes a 29-byte IPv4 packet). Every length
// translates into the whole packet, and nothing past the received bytes is read.
TEST(NfqTranslate, UnpaddedPacketsOfEveryLengthBecomePackets) {
    for (size_t ip_len = 20; ip_len <= PACKET_COPY_BYTES; ++ip_len) {
        std::vector<unsigned char> ip(ip_len);
        for (size_t i = 0; i < ip_len; ++i) {
            ip[i] = static_cast<unsigned char>(i + 1);
        }
        NfqMessage m;
        m.packet_header(static_cast<uint32_t>(ip_len)).payload(ip);
        m.header()->nlmsg_len -= static_cast<uint32_t>(MNL_ALIGN(ip_len) - ip_len);
        alignas(nlmsghdr) unsigned char in[512];
        memset(in, 0xee, sizeof in);  // what lies past the datagram must never be read
        memcpy(in, m.data(), m.size());
        Guarded g(ULVO_MSG_BUF_SIZE);
        nfq_translate(in, m.size(), true, g.out(), g.size);
        ASSERT_EQ(g.header().nlmsg_type, IPQM_PACKET) << ip_len;
        EXPECT_EQ(g.packet().packet_id, ip_len);
        EXPECT_EQ(g.packet().data_len, ip_len);
        const unsigned char *copied = g.out() + sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
        EXPECT_EQ(std::vector<unsigned char>(copied, copied + ip_len), ip) << ip_len;
        for (size_t i = ip_len; i < PACKET_COPY_BYTES; ++i) {
            ASSERT_EQ(copied[i], 0) << ip_len << " byte " << i;
        }
    }
}

}  // namespace
