// The replay's virtual time: flows built by hand with known delays, retransmissions and drops,
// then the program itself on a capture the test writes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simulate.h"

namespace {

struct flow_row {
    double time;
    const char *destination;
    int protocol;
    int port;
};

replay_capture capture_of(const std::vector<flow_row> &rows) {
    replay_capture capture;
    for (const flow_row &s : rows) {
        replay_flow f{};
        f.time = s.time;
        f.family = 4;
        inet_pton(AF_INET, s.destination, f.destination);
        f.protocol = static_cast<uint8_t>(s.protocol);
        f.port = static_cast<uint16_t>(s.port);
        f.packets = 1;
        capture.packets.push_back({s.time, static_cast<uint32_t>(capture.flows.size())});
        capture.flows.push_back(f);
        capture.duration = s.time;
    }
    return capture;
}

struct expected {
    bool held, dropped;
    double delay;
};

TEST(Replay, DelaysRetransmissionsAndDrops) {
    struct scenario {
        const char *name;
        policy_settings settings;
        std::vector<flow_row> flows;
        std::vector<expected> outcomes;
        uint64_t retransmissions;
    };
    const std::vector<scenario> scenarios = {
        {"held until the release; a later flow to a released host passes at once",
         {5, 10, 8, 4, 1000},
         {{0.2, "192.0.2.1", 6, 443}, {0.3, "192.0.2.2", 17, 53}, {1.5, "192.0.2.1", 6, 443}},
         {{true, false, 0.8}, {true, false, 1.7}, {false, false, 0.0}},
         0},
        {"a held SYN is not sent again while it waits (the packet is still the kernel's)",
         {5, 10, 8, 4, 1000},
         {{0.1, "192.0.2.1", 6, 80},
          {0.2, "192.0.2.2", 6, 80},
          {0.3, "192.0.2.3", 6, 80},
          {0.4, "192.0.2.4", 6, 80}},
         {{true, false, 0.9}, {true, false, 1.8}, {true, false, 2.7}, {true, false, 3.6}},
         0},
        {"a dropped SYN comes back a second later; a dropped datagram is lost",
         {5, 1, 8, 4, 1000},
         {{0.1, "192.0.2.1", 6, 80}, {0.2, "192.0.2.2", 6, 80}, {0.3, "192.0.2.3", 17, 53}},
         {{true, false, 0.9}, {true, false, 1.8}, {true, true, 0.0}},
         1},
    };
    for (const scenario &s : scenarios) {
        replay_capture capture = capture_of(s.flows);
        replay_run run;
        ASSERT_EQ(replay_simulate(capture, s.settings, &run), 0) << s.name;
        ASSERT_EQ(run.flows.size(), s.outcomes.size());
        for (size_t i = 0; i < s.outcomes.size(); ++i) {
            EXPECT_EQ(run.flows[i].held, s.outcomes[i].held) << s.name << ", flow " << i;
            EXPECT_EQ(run.flows[i].dropped, s.outcomes[i].dropped) << s.name << ", flow " << i;
            EXPECT_NEAR(run.flows[i].delay, s.outcomes[i].delay, 0.002) << s.name << ", flow " << i;
        }
        EXPECT_EQ(run.retransmissions, s.retransmissions) << s.name;
        EXPECT_EQ(run.counters.queued, 0u) << s.name << ": the run ends with the queue empty";
    }
}

// A burst to new hosts raises the alarm at the high mark and lowers it at the low one; the
// classes split DNS, web and a port that takes most flows.
TEST(Replay, AlarmAndClasses) {
    std::vector<flow_row> rows = {{0.0, "192.0.2.250", 17, 53}, {0.0, "192.0.2.251", 6, 443}};
    std::vector<std::string> addresses;
    for (int i = 0; i < 10; ++i) {
        char text[32];  // not string concatenation: GCC 12 warns falsely on it for i386
        snprintf(text, sizeof text, "198.51.100.%d", i + 1);
        addresses.push_back(text);
    }
    for (int i = 0; i < 10; ++i) {
        rows.push_back({0.5 + 0.01 * i, addresses[static_cast<size_t>(i)].c_str(), 17, 6892});
    }
    replay_capture capture = capture_of(rows);
    replay_run run;
    ASSERT_EQ(replay_simulate(capture, policy_settings{5, 20, 8, 4, 1000}, &run), 0);
    ASSERT_EQ(run.alarms.size(), 1u);
    EXPECT_NEAR(run.alarms[0].raised, 0.55, 0.002) << "the 8th held packet";
    EXPECT_NEAR(run.alarms[0].lowered, 8.0, 0.002) << "12 held, 4 left after the 8th release";
    std::vector<replay_class_stats> classes = replay_classes(capture, run);
    std::vector<std::string> names;
    for (const replay_class_stats &c : classes) {
        names.push_back(c.name + ":" + std::to_string(c.flows) + "/" + std::to_string(c.held));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"DNS:1/1", "web:1/1", "udp/6892:10/10", "all:12/12"}));
    EXPECT_NEAR(classes[2].max, 12.0 - 0.59, 0.002) << "the last of the burst, released last";
}

// The nearest-rank percentile: the smallest value with at least p of them at or below it.
TEST(Replay, PercentilesAreNearestRank) {
    const std::vector<double> four = {1, 2, 3, 4};
    const std::vector<double> five = {10, 20, 30, 40, 50};
    const struct {
        const std::vector<double> *values;
        double p, expected;
    } rows[] = {{&four, 0.5, 2},  {&four, 0.9, 4},  {&four, 0.26, 2}, {&four, 0.25, 1},
                {&four, 0.0, 1},  {&four, 1.0, 4},  {&five, 0.5, 30}, {&five, 0.9, 50},
                {&five, 0.2, 10}, {&five, 0.21, 20}};
    for (const auto &r : rows) {
        EXPECT_EQ(replay_percentile(*r.values, r.p), r.expected) << r.p;
    }
    EXPECT_EQ(replay_percentile({}, 0.5), 0.0);
}

}  // namespace
