// The outbreak lab's worm and listener: the scan stays in the lab's range, follows its seed and
// its rate, and a host is infected once.
#include <gtest/gtest.h>

#include <set>

#include "lab.h"

namespace {

TEST(OutbreakLab, RangesParseAndCountTheirHosts) {
    struct {
        const char *text;
        int status;
        uint32_t base;
        uint32_t hosts;
    } cases[] = {
        {"10.77.0.0/22", 0, 0x0a4d0000, 1022},
        {"10.77.1.9/22", 0, 0x0a4d0000, 1022},
        {"192.0.2.0/30", 0, 0xc0000200, 2},
        {"10.0.0.0/7", 1, 0, 0},
        {"10.0.0.0/31", 1, 0, 0},
        {"10.0.0/22", 1, 0, 0},
        {"10.0.0.0/22x", 1, 0, 0},
        {"junk", 1, 0, 0},
    };
    for (const auto &c : cases) {
        lab_range range{};
        EXPECT_EQ(parse_range(c.text, &range), c.status) << c.text;
        if (c.status == 0) {
            EXPECT_EQ(range.base, c.base) << c.text;
            EXPECT_EQ(range_hosts(range), c.hosts) << c.text;
        }
    }
}

TEST(OutbreakLab, TheScanStaysInTheRangeAvoidsItselfAndFollowsTheSeed) {
    lab_range range{};
    ASSERT_EQ(parse_range("192.0.2.0/29", &range), 0);  // hosts .1 to .6
    const uint32_t self = 0xc0000203;
    lab_random a{42}, b{42}, c{43};
    std::set<uint32_t> seen;
    bool differs = false;
    for (int i = 0; i < 2000; ++i) {
        uint32_t target = pick_target(range, self, &a);
        EXPECT_EQ(target, pick_target(range, self, &b));
        differs |= target != pick_target(range, self, &c);
        EXPECT_GE(target, range.base + 1);
        EXPECT_LE(target, range.base + 6);
        EXPECT_NE(target, self);
        seen.insert(target);
    }
    EXPECT_EQ(seen.size(), 5u) << "every other host of the range is probed";
    EXPECT_TRUE(differs) << "another seed, another scan";
}

TEST(OutbreakLab, ProbesKeepTheirRateAndAHostIsInfectedOnce) {
    EXPECT_EQ(probe_due_ms(0, 10), 0);
    EXPECT_EQ(probe_due_ms(10, 10), 1000);
    EXPECT_EQ(probe_due_ms(3, 4), 750);
    EXPECT_EQ(probe_due_ms(1000, 0.5), 2000000);
    listener_state state{};
    EXPECT_TRUE(note_connection(&state, 1234));
    EXPECT_FALSE(note_connection(&state, 5678));
    EXPECT_EQ(state.infected_at_ms, 1234);
}

}  // namespace
