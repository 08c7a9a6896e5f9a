// Who is to blame for an alarm: what a program calls itself reaches the system log only as
// plain text, the owners come in order, the look-up is bounded, the shutdown never waits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "blame.h"
#include "cre_pool.h"
#include "daemon_rule.h"
#include "net.h"
#include "packets.h"
#include "syslog_feed.h"
#include "ulvolib_testing.h"

namespace {

TEST(Blame, ControlBytesInAProgramsNameAreEscaped) {
    struct row {
        const char *name;
        const char *expected;
    };
    const row rows[] = {
        {"wormlet", "wormlet"},
        {"\x1b[31mred", "\\x1b[31mred"},
        {"x\r<1>root: hi", "x\\x0d<1>root: hi"},
        {"tab\there\n", "tab\\x09here\\x0a"},
        {"del\x7f", "del\\x7f"},
        {"back\\slash", "back\\x5cslash"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 stays as it is
    };
    for (const row &r : rows) {
        char out[128];
        size_t n = escape_control(r.name, out, sizeof out);
        EXPECT_STREQ(out, r.expected) << r.name;
        EXPECT_EQ(n, strlen(r.expected));
    }
    // Cut to the room there is, never inside an escape.
    char small[7];
    escape_control(
        "ab\x1b"
        "cd",
        small, sizeof small);
    EXPECT_STREQ(small, "ab\\x1b");
    char tiny[5];
    escape_control(
        "ab\x1b"
        "cd",
        tiny, sizeof tiny);
    EXPECT_STREQ(tiny, "ab");
}

TEST(Blame, SocketTablesGiveTheInodeOfAnOwnersPort) {
    const char table[] =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:1B58 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0  "
        "      0 1111 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:A2C4 0105007F:1B58 02 00000001:00000000 01:00000064 00000002 65534  "
        "      0 2222 2 0000000000000000 100 0 0 10 0\n"
        "   2: 00000000000000000000000001000000:A2C5 00000000000000000000000001000000:1B58 02 "
        "00000000:00000000 00:00000000 00000000  1000        0 3333 1\n";
    struct {
        uint16_t port;
        uint32_t uid;
        unsigned long inode;
    } cases[] = {{0x1B58, 0, 1111},
                 {0xA2C4, 65534, 2222},
                 {0xA2C4, 0, 0},
                 {0xA2C5, 1000, 3333},
                 {0x1234, 0, 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(socket_inode_in_table(table, c.port, c.uid), c.inode) << c.port;
    }
    EXPECT_EQ(socket_inode_in_table("header only\n", 1, 0), 0u);
    EXPECT_EQ(socket_inode_in_table("", 1, 0), 0u);
}

// The alarm's message from the rule's queue; the shutdown's version never waits for the rule's
// lock, which a thread it stopped may hold for ever.
TEST(Blame, TheAlarmsMessageAndTheShutdownsWhenTheRuleIsHeld) {
    char text[256];
    compose_alarm_message(text, sizeof text, true);
    EXPECT_STREQ(text, "virus-like activity detected: 0 connections held for 0 new hosts");

    // Held packets of four owners: the three holding the most are named, the most first.
    reset_cre_pool_for_test();
    reset_daemon_rule_for_test();
    ASSERT_EQ(init_cre_pool(12), 0);
    ulvo_config config{5, 1, 10, 8, 4, 0x4b554c56};
    ASSERT_EQ(init_daemon_rule(&config), 0);
    const struct {
        const char *address;
        uint32_t owner;
    } held[] = {{"10.0.0.1", 1000}, {"10.0.0.2", 2000}, {"10.0.0.3", 3000}, {"10.0.0.2", 2000},
                {"fd00::9", 3000},  {"10.0.0.4", 2000}, {"10.0.0.5", 4000}};
    unsigned long id = 0;
    unsigned events = 0;
    for (const auto &h : held) {
        cre *element = alloc_cre(strchr(h.address, ':') == nullptr ? 1 : 2);
        ASSERT_NE(element, nullptr);
        make_packet_message(element, h.address, ++id);
        set_destination(element, h.address);
        element->pkt->packet_id = id;
        element->owner_uid = h.owner;
        ASSERT_EQ(judge_cre(element, 0, &events), POLICY_HOLD) << h.address;
    }
    compose_alarm_message(text, sizeof text, false);
    EXPECT_STREQ(text,
                 "virus-like activity detected: 7 connections held for 6 new hosts; most from "
                 "uid 2000: 3, uid 3000: 2, uid 1000: 1");
    reset_daemon_rule_for_test();
    reset_cre_pool_for_test();
    EXPECT_EXIT(
        {
            // This thread holding the lock is, for the mutex, the same as a stopped one: a
            // wait for it would never end.
            hold_rule_lock_for_test(true);
            alarm(5);
            compose_alarm_message(text, sizeof text, false);
            syslog_alarm_raised();
            syslog_feed_drain(true);  // the shutdown's drain
            fprintf(stderr, "%s\n", text);
            _exit(0);
        },
        ::testing::ExitedWithCode(0),
        "virus-like activity detected; the daemon stopped before it could name the connections "
        "held");
}

// The program behind an alarm is found from a held packet's source port, and the look-up stops
// at its budget: a user with a million descriptors cannot hold the daemon's thread for long.
TEST(Blame, TheProgramIsNamedWithinTheLookupsBudget) {
    Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &length), 0);

    reset_cre_pool_for_test();
    reset_daemon_rule_for_test();
    ASSERT_EQ(init_cre_pool(4), 0);
    ulvo_config config{5, 1, 10, 8, 4, 0x4b554c56};
    ASSERT_EQ(init_daemon_rule(&config), 0);
    cre *element = alloc_cre(1);
    ASSERT_NE(element, nullptr);
    make_packet_message(element, "10.0.0.9", 1);
    set_destination(element, "10.0.0.9");  // and the packet's place in the buffer
    // A TCP header behind a 20-byte IPv4 header, from the listener's port.
    unsigned char *ip = element->msg_buf + sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
    ip[0] = 0x45;
    ip[9] = 6;
    memcpy(ip + 20, &address.sin_port, sizeof address.sin_port);
    element->owner_uid = static_cast<uint32_t>(getuid());
    unsigned events = 0;
    ASSERT_EQ(judge_cre(element, 0, &events), POLICY_HOLD);

    char text[256];
    compose_alarm_message(text, sizeof text, true);
    std::string named = "(pid " + std::to_string(getpid()) + ")";
    EXPECT_NE(std::string(text).find(", program "), std::string::npos) << text;
    EXPECT_NE(std::string(text).find(named), std::string::npos) << text;
    set_lookup_budget_for_test(2000, 3);  // ".", ".." and one descriptor of the first process
    compose_alarm_message(text, sizeof text, true);
    EXPECT_EQ(std::string(text).find(", program "), std::string::npos) << text;
    set_lookup_budget_for_test(2000, 200000);
    reset_daemon_rule_for_test();
    reset_cre_pool_for_test();
}

}  // namespace
