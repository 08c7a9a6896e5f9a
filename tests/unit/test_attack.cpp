// Answer credit against worms that know it, in virtual time, and against a busy browser: every
// strategy of the attack suite bounded at the recommended settings, the burst that waits no
// longer than its answers, and a browsing session read back from a capture the test writes.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../support/browsing.h"
#include "attack.h"
#include "capture.h"
#include "simulate.h"

namespace {

using namespace capture_writer;

// The settings the package installs: the sample configuration's rule, credit 10, allowance 60.
replay_settings_text recommended() {
    return replay_settings_text{5, 1, 200, 160, 100, 10, 60};
}
replay_settings_text rule_alone() {
    replay_settings_text s = recommended();
    s.credit = s.ceiling = 0;
    return s;
}

// The bounds at the recommended settings, over ten minutes of attack, for every strategy at
// its worst: against targets that rarely answer at most 1.5 times the rule's worst, against
// targets that all answer at most 5 times (in fact 1.5), and none beyond twice the rule's.
TEST(Attack, EveryStrategyIsBoundedAtTheRecommendedSettings) {
    std::vector<attack_row> rows = attack_suite(nullptr, {rule_alone(), recommended()}, nullptr);
    ASSERT_EQ(rows.size(), 2u * 2u * ATTACK_COUNT);
    for (double answered : {0.05, 1.0}) {
        double rule = attack_rule_rate(rows, answered);
        ASSERT_GT(rule, 50.0) << "the rule lets about one probe a second through";
        ASSERT_LT(rule, 65.0);
        for (const attack_row &r : rows) {
            if (r.policy == "rule" || (r.params.answered >= 1.0) != (answered >= 1.0)) {
                continue;
            }
            double bound = answered >= 1.0 ? 5.0 : 1.5;
            EXPECT_LE(r.per_minute, bound * rule) << r.strategy << ", answered " << answered;
            EXPECT_LE(r.per_minute, 2.0 * rule) << r.strategy << ", answered " << answered;
        }
    }
}

// The same, table by table: what each strategy gets against credit as it was (an answer
// earned twice its cost, a released connection one more) is what the suite is for; the
// rule's figures are the yardstick.
TEST(Attack, StrategiesAgainstTheRuleAndCredit) {
    struct row {
        attack_params params;
        bool credit;
        double at_least, at_most;  // scan probes a minute
        bool alarm;
    };
    attack_params naive;
    naive.rate = 100;
    naive.seconds = 600;
    attack_params interleave = naive;
    interleave.strategy = ATTACK_INTERLEAVE;
    interleave.rate = 2;
    attack_params dense = naive;
    dense.answered = 1.0;
    attack_params steady = naive;
    steady.strategy = ATTACK_STEADY;
    attack_params adaptive = naive;
    adaptive.strategy = ATTACK_ADAPTIVE;
    adaptive.helper = 1;
    adaptive.reserve = 1;
    const row rows[] = {
        // The rule: one release a second, 95 % of them to targets that never answer.
        {naive, false, 50, 60, true},
        // Credit adds its balance once, then a tenth of the rule's pace for silent targets.
        {naive, true, 55, 70, true},
        // Answered connections to a pool earn nothing beyond their cost.
        {interleave, true, 50, 70, true},
        // Every target answers: the allowance, half the rule's pace, on top of the rule's.
        {dense, true, 80, 110, true},
        // Just under the high water mark: the rule's pace, with no alarm, and no more.
        {steady, false, 50, 62, false},
        {adaptive, true, 50, 70, false},
    };
    for (const row &r : rows) {
        attack_result result;
        replay_settings_text s = r.credit ? recommended() : rule_alone();
        ASSERT_EQ(attack_run(r.params, replay_policy_settings(s), nullptr, &result), 0);
        double per_minute = attack_per_minute(r.params, result);
        std::string what = std::string(attack_name(r.params.strategy)) +
                           (r.credit ? " / credit" : " / rule") + ", answered " +
                           std::to_string(r.params.answered);
        EXPECT_GE(per_minute, r.at_least) << what;
        EXPECT_LE(per_minute, r.at_most) << what;
        EXPECT_EQ(result.alarm_at >= 0, r.alarm) << what << ": alarm at " << result.alarm_at;
    }
}

// A burst larger than the balance passes as soon as the answers come back, in queue order: 40
// new hosts at once, all answering after 50 ms, with a balance of 10.
TEST(Attack, ABurstWaitsOnlyForTheAnswersOfItsOwnFirstConnections) {
    replay_capture capture;
    for (int i = 0; i < 40; ++i) {
        replay_flow f{};
        f.time = 0.1 + 0.001 * i;
        f.family = 4;
        f.destination[0] = 192;
        f.destination[1] = 0;
        f.destination[2] = 2;
        f.destination[3] = static_cast<unsigned char>(1 + i);
        f.protocol = 6;
        f.source_port = static_cast<uint16_t>(50000 + i);
        f.port = 443;
        f.answered = true;
        f.answer_time = f.time + 0.05;
        f.packets = 1;
        capture.packets.push_back({f.time, static_cast<uint32_t>(capture.flows.size())});
        capture.flows.push_back(f);
    }
    capture.duration = 0.2;
    replay_run run;
    ASSERT_EQ(replay_simulate(capture, policy_settings{5, 200, 160, 100, 1000, 10, 40}, &run), 0);
    int held = 0;
    double last = 0.0, previous = 0.0;
    for (size_t i = 0; i < run.flows.size(); ++i) {
        const replay_outcome &o = run.flows[i];
        ASSERT_FALSE(o.dropped) << i;
        held += o.held ? 1 : 0;
        double passed_at = capture.flows[i].time + o.delay;
        EXPECT_GE(passed_at + 1e-9, previous) << "queue order: flow " << i;
        previous = passed_at;
        last = std::max(last, o.delay);
    }
    EXPECT_EQ(held, 30) << "the balance passes 10 at once";
    EXPECT_LT(last, 0.25) << "each held one waits for an answer, not for a release";
    EXPECT_EQ(run.counters.credit_released, 30u);
    EXPECT_EQ(run.counters.released, 30u);
}

std::string private_file(const char *name) {
    char dir[] = "/tmp/kel-ulvo-attack-XXXXXX";
    EXPECT_NE(mkdtemp(dir), nullptr);
    return std::string(dir) + "/" + name;
}

// A busy browsing session, written as a capture and read back by the replay's reader: credit
// at the recommended settings holds at most 1 % of its flows, the rule most of them; a scan
// under it still gets no more than the suite's bound.
TEST(Attack, ABusyBrowserIsNotHeldWithCredit) {
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        browsing_session session = busy_browsing(seed);
        ASSERT_GE(session.hosts, 90) << seed;
        std::string path = private_file("browsing.pcap");
        ASSERT_TRUE(write_pcap(path, DLT_EN10MB, session.records));
        replay_capture capture;
        char error[256];
        ASSERT_EQ(read_capture(path.c_str(), &capture, error, sizeof error), 0) << error;
        unlink(path.c_str());
        int family = 0;
        unsigned char host[16] = {};
        ASSERT_EQ(pick_host(capture, &family, host), 0);
        keep_host(capture, family, host, &capture);
        size_t flows = capture.flows.size();
        ASSERT_GT(flows, 180u) << seed;

        replay_run rule, credit;
        ASSERT_EQ(replay_simulate(capture, replay_policy_settings(rule_alone()), &rule), 0);
        ASSERT_EQ(replay_simulate(capture, replay_policy_settings(recommended()), &credit), 0);
        auto held = [](const replay_run &run) {
            size_t n = 0;
            for (const replay_outcome &o : run.flows) {
                n += o.held ? 1 : 0;
            }
            return n;
        };
        EXPECT_LE(held(credit) * 100, flows)
            << "seed " << seed << ": " << held(credit) << " of " << flows << " held with credit";
        EXPECT_GE(held(rule) * 2, flows) << "seed " << seed << ": the rule holds most";
        double without_credit = 0.0;
        for (const replay_alarm &out : credit.credit_out) {
            without_credit += (out.lowered < 0 ? credit.end : out.lowered) - out.raised;
        }
        EXPECT_LE(without_credit, 2.0)
            << "seed " << seed << ": back to the rule for a moment at most";
        printf("seed %u: %d hosts, %zu flows over %.0f s: held %zu by the rule, %zu with credit\n",
               seed, session.hosts, flows, session.seconds, held(rule), held(credit));
    }
}

}  // namespace
