#include <gtest/gtest.h>

#include <regex>

#include "capture.h"
#include "event_log.h"
#include "known_hosts.h"
#include "packets.h"
#include "ulvolib_testing.h"

namespace {

class KnownHosts : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_known_hosts_for_test();
        set_ulvolib_output(out.file());
    }
    void TearDown() override {
        reset_known_hosts_for_test();
        set_ulvolib_output(nullptr);
    }
    static bool known(const std::string &address) {
        TestCre c(address);
        return a_known_host(&c.element) == 1;
    }
    static int add(const std::string &address) {
        TestCre c(address);
        return add_known_host(&c.element);
    }
    Capture out;
};

TEST_F(KnownHosts, FreshRingKnowsOnlyTheZeroAddress) {
    ASSERT_EQ(create_known_host_ring(3), 0);
    EXPECT_FALSE(known("10.0.0.1"));
    EXPECT_TRUE(known("0.0.0.0"));  // never-written entries are zero-filled IPv4 entries
    EXPECT_FALSE(known("::"));
}

TEST_F(KnownHosts, RingForgetsTheOldestEvenIfLookedUp) {
    ASSERT_EQ(create_known_host_ring(3), 0);
    EXPECT_EQ(add("10.0.0.1"), 1);
    EXPECT_EQ(add("10.0.0.2"), 1);
    EXPECT_EQ(add("10.0.0.3"), 1);
    EXPECT_TRUE(known("10.0.0.1"));  // a lookup does not refresh the entry
    EXPECT_EQ(add("10.0.0.4"), 1);
    EXPECT_FALSE(known("10.0.0.1"));
    EXPECT_TRUE(known("10.0.0.2"));
    EXPECT_TRUE(known("10.0.0.3"));
    EXPECT_TRUE(known("10.0.0.4"));
}

TEST_F(KnownHosts, AddingAKnownHostKeepsTheHead) {
    ASSERT_EQ(create_known_host_ring(2), 0);
    EXPECT_EQ(add("10.0.0.1"), 1);
    known_host *head = known_hosts_head_for_test();
    EXPECT_EQ(add("10.0.0.1"), 0);
    EXPECT_EQ(known_hosts_head_for_test(), head);
    EXPECT_EQ(add("10.0.0.2"), 1);
    EXPECT_TRUE(known("10.0.0.1"));
}

TEST_F(KnownHosts, RingOfOneHoldsOneHost) {
    ASSERT_EQ(create_known_host_ring(1), 0);
    EXPECT_EQ(add("10.0.0.1"), 1);
    EXPECT_TRUE(known("10.0.0.1"));
    EXPECT_EQ(add("fd00::1"), 1);
    EXPECT_FALSE(known("10.0.0.1"));
    EXPECT_TRUE(known("fd00::1"));
}

TEST_F(KnownHosts, IPv4AndIPv6NeverMatch) {
    ASSERT_EQ(create_known_host_ring(4), 0);
    // 10.0.0.1 and 0a00:0001:: share their first four bytes.
    EXPECT_EQ(add("10.0.0.1"), 1);
    EXPECT_FALSE(known("a00:1::"));
    EXPECT_EQ(add("a00:1::"), 1);
    EXPECT_TRUE(known("a00:1::"));
    EXPECT_FALSE(known("a00:1::1"));  // IPv6 compares all sixteen bytes
    EXPECT_EQ(add("a00:1::1"), 1);
    EXPECT_TRUE(known("a00:1::1"));
    EXPECT_TRUE(known("10.0.0.1"));
}

TEST_F(KnownHosts, DumpShowsEntriesFromTheHeadAsDottedQuads) {
    ASSERT_EQ(create_known_host_ring(3), 0);
    add("192.0.2.1");
    add("c0a8:102::");  // IPv6 shown as its first four bytes
    debug_dump_known_hosts();
    std::regex dump(R"(\[DEBUG\] {16} \[[^\]]{24}\] \n)"
                    R"(   known_host\[0\] = 0\.0\.0\.0\n)"
                    R"(   known_host\[1\] = 192\.0\.2\.1\n)"
                    R"(   known_host\[2\] = 192\.168\.1\.2\n)");
    EXPECT_TRUE(std::regex_match(out.text(), dump)) << out.text();
}

TEST_F(KnownHosts, MissingRingIsReportedAndNothingIsKnown) {
    EXPECT_FALSE(known("10.0.0.1"));
    EXPECT_EQ(add("10.0.0.1"), 0);
    debug_dump_known_hosts();
    std::regex report(R"((\[ERROR\] {16} \[[^\]]{24}\] \n)"
                      R"(   INTERNAL ERROR: pknown_hosts_head is null ulvolib,\d+\n){3})");
    // a_known_host, add_known_host (one lookup-and-insert) and the dump.
    EXPECT_TRUE(std::regex_match(out.text(), report)) << out.text();
}

}  // namespace
