// Connection-tracking events as the kernel sends them, built with libmnl: the original tuple and
// the status bits are read; anything cut short or missing is malformed, never read past.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>

#include <cstring>
#include <vector>

#include "ct_events.h"

namespace {

struct message_shape {
    int kind = IPCTNL_MSG_CT_NEW;
    int subsystem = NFNL_SUBSYS_CTNETLINK;
    bool v6 = false;
    bool with_status = true;
    bool with_ports = true;
    uint32_t status = IPS_SEEN_REPLY;
};

std::vector<unsigned char> build(const message_shape &m) {
    std::vector<unsigned char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr *header = mnl_nlmsg_put_header(buffer.data());
    header->nlmsg_type = static_cast<uint16_t>(m.subsystem << 8 | m.kind);
    auto *nfg = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(header, sizeof(nfgenmsg)));
    nfg->nfgen_family = m.v6 ? AF_INET6 : AF_INET;
    nlattr *orig = mnl_attr_nest_start(header, CTA_TUPLE_ORIG);
    nlattr *ip = mnl_attr_nest_start(header, CTA_TUPLE_IP);
    if (m.v6) {
        unsigned char a[16], b[16];
        inet_pton(AF_INET6, "fd00::1", a);
        inet_pton(AF_INET6, "2001:db8::7", b);
        mnl_attr_put(header, CTA_IP_V6_SRC, 16, a);
        mnl_attr_put(header, CTA_IP_V6_DST, 16, b);
    } else {
        mnl_attr_put_u32(header, CTA_IP_V4_SRC, inet_addr("10.0.0.1"));
        mnl_attr_put_u32(header, CTA_IP_V4_DST, inet_addr("192.0.2.7"));
    }
    mnl_attr_nest_end(header, ip);
    nlattr *proto = mnl_attr_nest_start(header, CTA_TUPLE_PROTO);
    mnl_attr_put_u8(header, CTA_PROTO_NUM, 6);
    if (m.with_ports) {
        mnl_attr_put_u16(header, CTA_PROTO_SRC_PORT, htons(40000));
        mnl_attr_put_u16(header, CTA_PROTO_DST_PORT, htons(443));
    }
    mnl_attr_nest_end(header, proto);
    mnl_attr_nest_end(header, orig);
    if (m.with_status) {
        mnl_attr_put_u32(header, CTA_STATUS, htonl(m.status));
    }
    buffer.resize(header->nlmsg_len);
    return buffer;
}

TEST(CtEvents, ReadsTheOriginalTupleAndTheStatus) {
    struct row {
        const char *name;
        message_shape shape;
        int result;
        bool replied, assured, destroyed;
    };
    const row rows[] = {
        {"update with a reply", {}, CT_EVENT, true, false, false},
        {"assured", {.status = IPS_SEEN_REPLY | IPS_ASSURED}, CT_EVENT, true, true, false},
        {"end without a reply",
         {.kind = IPCTNL_MSG_CT_DELETE, .status = 0},
         CT_EVENT,
         false,
         false,
         true},
        {"IPv6", {.v6 = true}, CT_EVENT, true, false, false},
        {"no ports: still an event", {.with_ports = false}, CT_EVENT, true, false, false},
        {"no status", {.with_status = false}, CT_MALFORMED, false, false, false},
        {"another subsystem",
         {.subsystem = NFNL_SUBSYS_QUEUE},
         CT_NOT_AN_EVENT,
         false,
         false,
         false},
        {"another message", {.kind = IPCTNL_MSG_CT_GET}, CT_NOT_AN_EVENT, false, false, false},
    };
    for (const row &r : rows) {
        std::vector<unsigned char> message = build(r.shape);
        ct_event event;
        ASSERT_EQ(ct_parse_event(message.data(), message.size(), &event), r.result) << r.name;
        EXPECT_EQ(event.replied, r.replied) << r.name;
        EXPECT_EQ(event.assured, r.assured) << r.name;
        EXPECT_EQ(event.destroyed, r.destroyed) << r.name;
        if (r.result == CT_EVENT) {
            EXPECT_EQ(event.ip_version, r.shape.v6 ? 2 : 1) << r.name;
            EXPECT_EQ(event.protocol, 6) << r.name;
            EXPECT_EQ(event.port, r.shape.with_ports ? 443 : 0) << r.name;
            EXPECT_EQ(event.source_port, r.shape.with_ports ? 40000 : 0) << r.name;
            unsigned char expected[16] = {};
            inet_pton(r.shape.v6 ? AF_INET6 : AF_INET, r.shape.v6 ? "2001:db8::7" : "192.0.2.7",
                      expected);
            EXPECT_EQ(memcmp(event.destination, expected, 16), 0) << r.name;
        }
    }
}

// Every cut of a good message is refused or read as far as it goes, never past its end (the
// sanitizer builds watch the reads).
TEST(CtEvents, MessagesCutShortAreNeverReadPast) {
    std::vector<unsigned char> whole = build({});
    for (size_t length = 0; length < whole.size(); ++length) {
        std::vector<unsigned char> cut(whole.begin(), whole.begin() + static_cast<long>(length));
        ct_event event;
        EXPECT_NE(ct_parse_event(cut.data(), cut.size(), &event), CT_EVENT) << length;
        // The header claims more than there is: the same, whatever it says.
        if (length >= sizeof(nlmsghdr)) {
            reinterpret_cast<nlmsghdr *>(cut.data())->nlmsg_len = static_cast<uint32_t>(length);
            int result = ct_parse_event(cut.data(), cut.size(), &event);
            EXPECT_TRUE(result == CT_MALFORMED || result == CT_NOT_AN_EVENT)
                << length << " of " << whole.size();
        }
    }
}

}  // namespace
