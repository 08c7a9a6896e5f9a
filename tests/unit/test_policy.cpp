// The throttle's rule, driven step by step with a virtual clock: verdicts, releases, batching,
// the working set's order, drops, the alarm and the counters.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy.h"

namespace {

policy_address address(const std::string &text) {
    unsigned char bytes[16] = {};
    bool v6 = text.find(':') != std::string::npos;
    EXPECT_EQ(inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), bytes), 1) << text;
    return policy_make_address(bytes, v6 ? 16 : 4);
}

// One step of a scenario: a packet ("p") to the destination with its expected verdict, or a
// release ("r") with the handles it must let go; events are the bits the step must report.
struct step {
    char kind;
    std::string destination;  // packets only
    int expected;             // the verdict; for a release, unused
    std::vector<uint64_t> released = {};
    unsigned events = 0;
};

struct scenario {
    const char *name;
    policy_settings settings;
    std::vector<step> steps;
};

constexpr int P = POLICY_PASS, H = POLICY_HOLD, D = POLICY_DROP;

void play(const scenario &s, policy *rule) {
    ASSERT_EQ(policy_init(rule, &s.settings, 0), 0);
    uint64_t handle = 0;
    int64_t now = 0;
    for (size_t i = 0; i < s.steps.size(); ++i) {
        const step &st = s.steps[i];
        unsigned events = 0;
        now += 10;
        if (st.kind == 'p') {
            policy_address a = address(st.destination);
            EXPECT_EQ(policy_packet(rule, now, &a, 1000, ++handle, &events), st.expected)
                << s.name << ", step " << i << " (" << st.destination << ")";
        } else {
            std::vector<uint64_t> out(s.settings.queue_size);
            int n = policy_release(rule, now, out.data(), static_cast<int>(out.size()), &events);
            out.resize(static_cast<size_t>(n));
            EXPECT_EQ(out, st.released) << s.name << ", release at step " << i;
        }
        EXPECT_EQ(events, st.events) << s.name << ", events at step " << i;
    }
}

TEST(Policy, Scenarios) {
    const policy_settings small{2, 4, 4, 0, 1000};
    const std::vector<scenario> scenarios = {
        {"a new host waits for its release and then passes at once",
         small,
         {{'p', "192.0.2.1", H}, {'r', "", 0, {1}}, {'p', "192.0.2.1", P}, {'r', "", 0, {}}}},
        {"the working set starts as 0.0.0.0, which passes",
         small,
         {{'p', "0.0.0.0", P}, {'p', "::", H}}},
        {"a release takes every packet held for the destination, in queue order",
         small,
         {{'p', "192.0.2.1", H},
          {'p', "192.0.2.2", H},
          {'p', "192.0.2.1", H},
          {'r', "", 0, {1, 3}},
          {'r', "", 0, {2}}}},
        {"IPv4 and IPv6 destinations with the same bytes are different hosts",
         small,
         {{'p', "::ffff:192.0.2.1", H}, {'r', "", 0, {1}}, {'p', "192.0.2.1", H}}},
        {"first in, first out: a lookup does not keep a host in the set",
         small,
         {{'p', "192.0.2.1", H},
          {'r', "", 0, {1}},
          {'p', "192.0.2.2", H},
          {'r', "", 0, {2}},
          {'p', "192.0.2.1", P},  // looked up, not refreshed
          {'p', "192.0.2.3", H},
          {'r', "", 0, {4}},  // 192.0.2.3 pushes out the oldest, 192.0.2.1
          {'p', "192.0.2.2", P},
          {'p', "192.0.2.1", H}}},
        {"a full queue drops, announced once until the alarm is lowered",
         {5, 2, 2, 0, 1000},
         {{'p', "192.0.2.1", H},
          {'p', "192.0.2.2", H, {}, POLICY_ALARM_RAISED},
          {'p', "192.0.2.3", D, {}, POLICY_DROPS_BEGAN},
          {'p', "192.0.2.4", D},
          {'p', "192.0.2.1", D},  // even to a host that is already held
          {'r', "", 0, {1}},
          {'r', "", 0, {2}, POLICY_ALARM_LOWERED},
          {'p', "192.0.2.5", H},
          {'p', "192.0.2.6", H, {}, POLICY_ALARM_RAISED},
          {'p', "192.0.2.7", D, {}, POLICY_DROPS_BEGAN}}},
        {"the alarm rises at the high mark and falls at the low one, once each",
         {5, 10, 3, 1, 1000},
         {{'p', "192.0.2.1", H},
          {'p', "192.0.2.2", H},
          {'p', "192.0.2.3", H, {}, POLICY_ALARM_RAISED},
          {'p', "192.0.2.4", H},  // above the mark: raised already
          {'r', "", 0, {1}},
          {'r', "", 0, {2}},  // 2 left: above the low mark
          {'r', "", 0, {3}, POLICY_ALARM_LOWERED},
          {'p', "192.0.2.5", H},
          {'p', "192.0.2.6", H, {}, POLICY_ALARM_RAISED}}},
        {"a working set of one holds one host",
         {1, 4, 4, 0, 1000},
         {{'p', "192.0.2.1", H},
          {'r', "", 0, {1}},
          {'p', "192.0.2.1", P},
          {'p', "192.0.2.2", H},
          {'r', "", 0, {3}},
          {'p', "192.0.2.1", H}}},
        {"the head's destination goes with its packets from anywhere in the queue, and an "
         "IPv6 address that begins with the same bytes stays",
         small,
         {{'p', "192.0.2.7", H},
          {'p', "c000:207::", H},
          {'p', "10.0.0.1", H},
          {'p', "192.0.2.7", H, {}, POLICY_ALARM_RAISED},
          {'r', "", 0, {1, 4}},
          {'r', "", 0, {2}},
          {'r', "", 0, {3}, POLICY_ALARM_LOWERED}}},
        {"a release of an empty queue does nothing", small, {{'r', "", 0, {}}, {'r', "", 0, {}}}},
    };
    for (const scenario &s : scenarios) {
        policy rule;
        play(s, &rule);
        policy_free(&rule);
    }
}

// The counters add up, and the releases come one delay apart whatever the caller's lateness.
TEST(Policy, CountersAndReleaseTimes) {
    policy_settings settings{3, 5, 4, 2, 1000};
    policy rule;
    ASSERT_EQ(policy_init(&rule, &settings, 500), 0);
    EXPECT_EQ(policy_next_release(&rule), 1500);
    unsigned events = 0;
    const char *destinations[] = {"192.0.2.1", "192.0.2.2", "192.0.2.1", "2001:db8::1",
                                  "192.0.2.3", "192.0.2.4", "192.0.2.5", "0.0.0.0"};
    uint64_t handle = 0;
    for (const char *d : destinations) {
        policy_address a = address(d);
        policy_packet(&rule, 600, &a, 0, ++handle, &events);
    }
    const policy_counters &c = rule.counters;
    EXPECT_EQ(c.packets, 8u);
    EXPECT_EQ(c.passed, 1u);
    EXPECT_EQ(c.held, 5u);
    EXPECT_EQ(c.dropped, 2u);
    EXPECT_EQ(c.queued, 5u);
    EXPECT_EQ(c.max_queued, 5u);
    EXPECT_EQ(c.alarms, 1u);
    std::vector<uint64_t> held;
    for (const policy_held *h = policy_first_held(&rule); h != nullptr;
         h = policy_next_held(&rule, h)) {
        held.push_back(h->handle);
    }
    EXPECT_EQ(held, (std::vector<uint64_t>{1, 2, 3, 4, 5}));

    uint64_t out[5];
    EXPECT_EQ(policy_release(&rule, 1500, out, 5, &events), 2);
    EXPECT_EQ(policy_next_release(&rule), 2500);
    EXPECT_EQ(policy_release(&rule, 2600, out, 5, &events), 1);
    EXPECT_EQ(policy_next_release(&rule), 3500) << "a late release keeps the cadence";
    EXPECT_EQ(policy_release(&rule, 9000, out, 5, &events), 1);
    EXPECT_EQ(policy_next_release(&rule), 10000) << "far behind, the next is one delay on";
    EXPECT_EQ(c.released, 4u);
    EXPECT_EQ(c.queued, 1u);
    EXPECT_EQ(c.held, c.released + c.queued);
    EXPECT_EQ(c.packets, c.passed + c.held + c.dropped);
    // Called exactly one delay late (due at 10000): the next is one delay on, not due at once.
    EXPECT_EQ(policy_release(&rule, 11000, out, 5, &events), 1);
    EXPECT_EQ(policy_next_release(&rule), 12000) << "one delay late, the next is one delay on";
    policy_free(&rule);
}

// A destination already in the set at the head of the queue (held by a thread that judged it
// just before its release) goes alone; the queue stays whole.
TEST(Policy, HeadAlreadyKnownIsReleasedAlone) {
    policy_settings settings{2, 4, 4, 0, 1000};
    policy rule;
    ASSERT_EQ(policy_init(&rule, &settings, 0), 0);
    unsigned events = 0;
    policy_address a = address("192.0.2.1"), b = address("192.0.2.2");
    policy_packet(&rule, 1, &a, 0, 1, &events);
    policy_packet(&rule, 1, &b, 0, 2, &events);
    uint64_t out[4];
    ASSERT_EQ(policy_release(&rule, 1000, out, 4, &events), 1);
    // The same destination queued by hand after it became known, as the race leaves it.
    uint32_t oldest = rule.oldest;
    EXPECT_TRUE(policy_add_known(&rule, &b));
    EXPECT_FALSE(policy_add_known(&rule, &b)) << "known already";
    EXPECT_EQ(rule.oldest, (oldest + 1) % 2) << "a known host does not move the ring on";
    ASSERT_EQ(policy_release(&rule, 2000, out, 4, &events), 1);
    EXPECT_EQ(out[0], 2u);
    EXPECT_EQ(rule.counters.queued, 0u);
    EXPECT_TRUE(policy_known(&rule, &a));
    EXPECT_TRUE(policy_known(&rule, &b));
    policy_free(&rule);
}

TEST(Policy, RefusesEmptySettings) {
    policy rule;
    for (policy_settings s : {policy_settings{0, 1, 1, 0, 1000}, policy_settings{1, 0, 1, 0, 1000},
                              policy_settings{1, 1, 1, 0, 0}}) {
        EXPECT_EQ(policy_init(&rule, &s, 0), 1);
        EXPECT_EQ(rule.working_set, nullptr);
    }
}

}  // namespace

namespace {

// Answer credit, step by step: 'p' a packet (its verdict), 'a' the answer of an earlier packet's
// flow (true when it gave credit back), 'u' the end of a flow without an answer, 'r' a release
// (how many packets it let go), 'c' what came back spent on the queue, as the callers do after
// an answer (how many packets it let go). After each step, the balance.
struct credit_step {
    char kind;
    int host;         // 192.0.2.<host>, port 1000 + host from source port 40000 + host
    int expected;     // the verdict, whether the answer counted, or how many were released
    int32_t balance;  // the credit afterwards
    unsigned events = 0;
};

struct credit_case {
    const char *name;
    policy_settings settings;
    std::vector<credit_step> steps;
};

policy_flow flow_to(int host) {
    unsigned char bytes[4] = {192, 0, 2, static_cast<unsigned char>(host)};
    return policy_flow{policy_make_address(bytes, 4), 6, static_cast<uint16_t>(40000 + host),
                       static_cast<uint16_t>(1000 + host)};
}

TEST(PolicyCredit, Sequences) {
    const policy_settings credit3{5, 4, 4, 0, 1000, 3, 5};
    const std::vector<credit_case> cases = {
        {"new hosts pass on credit while it lasts, then wait in the queue",
         credit3,
         {{'p', 1, P, 2},
          {'p', 2, P, 1},
          {'p', 3, P, 0},
          {'p', 4, H, 0, POLICY_CREDIT_EXHAUSTED},
          {'p', 5, H, 0},  // the episode is announced once
          {'r', 0, 1, 0}}},
        {"an answer gives back what its connection cost, once, never beyond the start; an "
         "unknown flow's answer nothing",
         credit3,
         {{'p', 1, P, 2},
          {'a', 1, 1, 3},
          {'a', 1, 0, 3},  // once only
          {'a', 9, 0, 3},
          {'p', 2, P, 2},
          {'p', 3, P, 1},
          {'a', 2, 1, 2},
          {'a', 3, 1, 3}}},
        {"an answered host joins the working set: the next connection costs nothing",
         credit3,
         {{'p', 1, P, 2}, {'a', 1, 1, 3}, {'p', 1, P, 3}, {'p', 2, P, 2}}},
        {"a destination passed on credit passes again for nothing until it ends unanswered",
         credit3,
         {{'p', 1, P, 2},
          {'p', 1, P, 2},  // its answer still awaited
          {'u', 1, 0, 2},
          {'a', 1, 0, 2},  // no longer awaited
          {'p', 1, P, 1},  // and no longer passed for nothing
          {'a', 1, 1, 2}}},
        {"below the start, the balance comes back one every ten releases",
         credit3,
         {{'p', 1, P, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 2},
          {'r', 0, 0, 3}}},
        {"the allowance bounds what passes on credit even when everything answers",
         {5, 4, 4, 0, 1000, 3, 3},
         {{'p', 1, P, 2},
          {'a', 1, 1, 3},
          {'p', 2, P, 2},
          {'a', 2, 1, 3},
          {'p', 3, P, 2},
          {'a', 3, 1, 3},
          {'p', 4, H, 3, POLICY_CREDIT_EXHAUSTED},  // the whole balance, no allowance
          {'r', 0, 1, 3},
          {'r', 0, 0, 3, POLICY_CREDIT_RESTORED},  // one back every two releases
          {'p', 5, P, 2}}},
        {"a released connection that answers brings nothing",
         {5, 4, 4, 0, 1000, 1, 2},
         {{'p', 1, P, 0}, {'p', 2, H, 0, POLICY_CREDIT_EXHAUSTED}, {'r', 0, 1, 0}, {'a', 2, 0, 0}}},
        {"credit that comes back goes to the oldest held destination at once, in queue order",
         {5, 4, 4, 0, 1000, 1, 4},
         {{'p', 1, P, 0},
          {'p', 2, H, 0, POLICY_CREDIT_EXHAUSTED},
          {'p', 3, H, 0},
          {'a', 1, 1, 1, POLICY_CREDIT_RESTORED},
          {'c', 0, 1, 0},  // host 2, on credit
          {'a', 2, 1, 1},  // awaited like any connection passed on credit
          {'c', 0, 1, 0},  // host 3
          {'c', 0, 0, 0},
          {'p', 4, H, 0, POLICY_CREDIT_EXHAUSTED}}},
        {"the episode ends when the balance is whole again, not at the first answer",
         credit3,
         {{'p', 1, P, 2},
          {'p', 2, P, 1},
          {'p', 3, P, 0},
          {'p', 4, H, 0, POLICY_CREDIT_EXHAUSTED},
          {'a', 1, 1, 1},
          {'c', 0, 1, 0},
          {'a', 2, 1, 1},
          {'a', 3, 1, 2},
          {'a', 4, 1, 3, POLICY_CREDIT_RESTORED}}},
        {"a full queue still drops, and the alarm still rises",
         {5, 2, 2, 0, 1000, 1, 2},
         {{'p', 1, P, 0},
          {'p', 2, H, 0, POLICY_CREDIT_EXHAUSTED},
          {'p', 3, H, 0, POLICY_ALARM_RAISED},
          {'p', 4, D, 0, POLICY_DROPS_BEGAN}}},
    };
    for (const credit_case &c : cases) {
        policy rule;
        ASSERT_EQ(policy_init(&rule, &c.settings, 0), 0) << c.name;
        int64_t now = 0;
        uint64_t handle = 0;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const credit_step &s = c.steps[i];
            policy_flow flow = flow_to(s.host);
            unsigned events = 0;
            now += 100;
            int got = 0;
            if (s.kind == 'p') {
                got = policy_packet_flow(&rule, now, &flow, 0, ++handle, &events);
            } else if (s.kind == 'a') {
                got = policy_answered(&rule, now, &flow, &events) ? 1 : 0;
            } else if (s.kind == 'u') {
                policy_unanswered(&rule, &flow);
            } else if (s.kind == 'c') {
                uint64_t out[4];
                got = policy_credit_release(&rule, now, out, 4, &events);
            } else {
                uint64_t out[4];
                got = policy_release(&rule, now, out, 4, &events);
            }
            EXPECT_EQ(got, s.expected) << c.name << ", step " << i;
            EXPECT_EQ(rule.credit, s.balance) << c.name << ", step " << i;
            EXPECT_EQ(events, s.events) << c.name << ", step " << i;
            int awaited = 0;
            for (int k = 0; k < POLICY_AWAITED; ++k) {
                awaited += rule.awaited[k].reward > 0 ? 1 : 0;
            }
            EXPECT_EQ(rule.awaited_count, awaited) << c.name << ", step " << i;
        }
        policy_free(&rule);
    }
}

// Off, the rule is the rule: no credit, nothing awaited, a new host waits.
TEST(PolicyCredit, OffByDefault) {
    policy_settings settings{5, 4, 4, 0, 1000};
    policy rule;
    ASSERT_EQ(policy_init(&rule, &settings, 0), 0);
    EXPECT_EQ(rule.awaited, nullptr);
    policy_flow flow = flow_to(1);
    unsigned events = 0;
    EXPECT_EQ(policy_packet_flow(&rule, 1, &flow, 0, 1, &events), POLICY_HOLD);
    EXPECT_FALSE(policy_answered(&rule, 2, &flow, &events));
    EXPECT_EQ(events, 0u);
    EXPECT_EQ(rule.counters.credit_passed, 0u);
    policy_free(&rule);
}

}  // namespace
