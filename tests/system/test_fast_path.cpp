// The kernel's fast path (kernel_fast_path=1) against the real kernel: the IP sets follow the
// working set release by release, packets to known hosts never reach the queue yet are
// counted, the guard keeps rules and sets, and a stop removes everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "daemon_fixture.h"
#include "kernel_sets.h"

namespace {

int fast_path_rules() {
    std::string rules = run_output("iptables -S KEL_ULVO_QUEUE");
    int n = 0;
    for (size_t at = 0;
         (at = rules.find("--match-set kel_ulvo_fast4 dst", at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

class FastPath : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(kset_open(&ks), 0);
        write_config({{"host_working_set_size", "3"},
                      {"delay_queue_delay_seconds", "1"},
                      {"delay_queue_size", "10"},
                      {"delay_queue_high_watermark", "8"},
                      {"delay_queue_low_watermark", "4"},
                      {"kernel_fast_path", "1"}});
    }
    void TearDown() override {
        kset_close(&ks);
        DaemonTest::TearDown();
    }
    kernel_set_socket ks;
};

// One run: a burst of six new hosts, the set compared with the working set it must equal after
// each release; then the known hosts again, in the kernel only but counted; the guard puts back
// a removed rule and takes out a foreign member; the stop removes sets, counters and rules.
TEST_F(FastPath, TheKernelSetIsTheWorkingSetAndCountsStayTrue) {
    std::string started = start_daemon();
    ASSERT_NE(started.find("end\n"), std::string::npos) << started;
    EXPECT_EQ(started.find("fast path is off"), std::string::npos) << started;
    EXPECT_EQ(fast_path_rules(), 4) << "one return before each protocol's queue rule";
    // A guard check right after the start, while the working set still holds only its first
    // fill (0.0.0.0, which no set can hold): nothing to mend, and the fast path stays on.
    ASSERT_EQ(run(std::string(HELPER) + " check_rules >/dev/null 2>&1"), 0);
    for (int i = 0; i < 40 && run("test -e /var/opt/kel/kel-ulvo/.check_rules") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the check itself
    EXPECT_EQ(set_members(&ks, "kel_ulvo_fast4"), address_set{});
    EXPECT_EQ(read_file(EVENT_LOG).find("fast path"), std::string::npos) << read_file(EVENT_LOG);
    EXPECT_EQ(fast_path_rules(), 4);

    std::vector<std::string> hosts;
    for (int i = 2; i <= 7; ++i) {
        hosts.push_back("127.0.5." + std::to_string(i));
    }
    // The working set after k releases: the last three hosts released (a ring of three).
    auto expected = [&](int k) {
        address_set want;
        for (int i = std::max(0, k - 3); i < k; ++i) {
            want.insert(set_member(hosts[i]));
        }
        return want;
    };
    std::atomic<bool> burst_done{false};
    std::vector<address_set> seen;
    std::thread watcher([&] {
        kernel_set_socket own;
        EXPECT_EQ(kset_open(&own), 0);
        while (!burst_done) {
            address_set now = set_members(&own, "kel_ulvo_fast4");
            if (seen.empty() || seen.back() != now) {
                seen.push_back(now);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kset_close(&own);
    });
    std::vector<double> done = connect_all(hosts);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last release's state
    burst_done = true;
    watcher.join();
    for (double t : done) {
        EXPECT_GT(t, 0) << "every connection completes";
    }
    // Every state seen is the working set after some release, in order, each one seen; a
    // replacement is one exchange with the kernel, but a listing may fall between its removal
    // and its addition: then it sees the two members that stay.
    int k = 0;
    for (const address_set &state : seen) {
        address_set before = expected(k), after = expected(k + 1), between;
        std::set_intersection(before.begin(), before.end(), after.begin(), after.end(),
                              std::inserter(between, between.begin()));
        if (state == after) {
            ++k;
        } else {
            EXPECT_TRUE(state == before || (k >= 3 && state == between))
                << "after " << k << " releases the set has " << state.size() << " members";
        }
    }
    EXPECT_EQ(k, 6) << "each release seen, in order";

    // The known hosts again: passed in the kernel, never queued, and counted within a fold.
    long long sequence = kernel_queue_sequence(4401);
    for (int round = 0; round < 5; ++round) {
        for (int i = 3; i < 6; ++i) {
            EXPECT_GE(connect_ms(hosts[i], 2000), 0);
        }
    }
    EXPECT_EQ(kernel_queue_sequence(4401), sequence) << "nothing to a known host reached the queue";
    auto c = status_counters();
    EXPECT_EQ(c["connection establishing packets"], 6 + 15);
    EXPECT_EQ(c["packets passed without delay"], 15);
    EXPECT_EQ(c["packets placed on queue"], 6);
    EXPECT_GE(connect_ms(hosts[0]), 0);
    EXPECT_EQ(kernel_queue_sequence(4401), sequence + 1)
        << "a host the working set forgot is queued again";

    // The guard: a removed return rule comes back; a member another tool added goes.
    ASSERT_EQ(kset_replace(&ks, "kel_ulvo_fast4", 1, nullptr, bytes_of(set_member("192.0.2.9"))),
              0);
    ASSERT_EQ(run("iptables -D KEL_ULVO_QUEUE 1"), 0);
    run(std::string(HELPER) + " check_rules >/dev/null 2>&1");
    for (auto since = std::chrono::steady_clock::now();
         (fast_path_rules() != 4 || set_members(&ks, "kel_ulvo_fast4").size() != 3) &&
         ms_since(since) < 5000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(fast_path_rules(), 4);
    address_set last_three = expected(6);
    last_three.erase(set_member(hosts[3]));
    last_three.insert(set_member(hosts[0]));  // released again just now
    EXPECT_EQ(set_members(&ks, "kel_ulvo_fast4"), last_three);
    std::string log = read_file(EVENT_LOG);
    EXPECT_NE(log.find("were mended:\n   1 taken out, 0 put in"), std::string::npos) << log;
    EXPECT_EQ(run(std::string(HELPER) + " reload_allow_list >/dev/null 2>&1"), 0);
    EXPECT_EQ(fast_path_rules(), 4) << "a reload by hand keeps the fast path";

    signal_daemon(SIGTERM);
    EXPECT_EQ(WEXITSTATUS(wait_exit(pid_, 10000)), 0);
    pid_ = 0;
    EXPECT_FALSE(rules_loaded());
    for (const char *name : {"kel_ulvo_fast4", "kel_ulvo_fast6"}) {
        int rc = 0;
        set_members(&ks, name, &rc);
        EXPECT_EQ(rc, ENOENT) << name << " removed at the stop";
        uint64_t packets = 0;
        EXPECT_EQ(kacct_take(&ks, name, &packets), ENOENT) << name;
    }
    EXPECT_NE(access("/var/opt/kel/kel-ulvo/.fast_path", F_OK), 0);
}

// When the sets cannot be made (a set of the name that another rule uses), the daemon says so
// once and throttles as without the fast path; the other's set stays.
TEST_F(FastPath, WithoutItsSetsTheDaemonRunsWithoutTheFastPath) {
    ASSERT_EQ(kset_create(&ks, "kel_ulvo_fast4", 1), 0);
    ASSERT_EQ(run("iptables -A INPUT -m set --match-set kel_ulvo_fast4 src -j ACCEPT"), 0);
    std::string started = start_daemon();
    ASSERT_NE(started.find("end\n"), std::string::npos) << started;
    EXPECT_NE(started.find("the kernel fast path is off: its IP sets and counters could not "
                           "be made,\n   error 17 (File exists)"),
              std::string::npos)
        << started;
    EXPECT_EQ(fast_path_rules(), 0);
    // A new host is held until a release (whenever in its delay it comes), then known: told by
    // the daemon's counts, not by the wait.
    EXPECT_GE(connect_ms("127.0.5.20"), 0);
    EXPECT_GE(connect_ms("127.0.5.20"), 0);
    auto c = status_counters();
    EXPECT_EQ(c["connection establishing packets"], 2);
    EXPECT_EQ(c["packets placed on queue"], 1) << "the first was held";
    EXPECT_EQ(c["packets passed without delay"], 1) << "the second passed";
    signal_daemon(SIGTERM);
    EXPECT_EQ(WEXITSTATUS(wait_exit(pid_, 10000)), 0);
    pid_ = 0;
    int rc = -1;
    set_members(&ks, "kel_ulvo_fast4", &rc);
    EXPECT_EQ(rc, 0) << "the other's set stays";
}

// A change the kernel refuses (another tool filled the set to its limit, before the guard's first
// look) ends the fast path at once: the sets are emptied, the rules are loaded again without
// it, and the daemon goes on throttling through the queue.
TEST_F(FastPath, AFailedChangeTakesTheRulesBackWithoutIt) {
    std::string started = start_daemon();
    ASSERT_NE(started.find("end\n"), std::string::npos) << started;
    for (uint32_t i = 0; i < KSET_MAX_MEMBERS; ++i) {
        std::string foreign =
            set_member("10.77." + std::to_string(i / 200) + "." + std::to_string(1 + i % 200));
        ASSERT_EQ(kset_replace(&ks, "kel_ulvo_fast4", 1, nullptr, bytes_of(foreign)), 0) << i;
    }
    EXPECT_GE(connect_ms("127.0.5.30"), 0) << "released by the daemon all the same";
    int rc = 0;
    for (auto since = std::chrono::steady_clock::now();
         (fast_path_rules() != 0 || rc != ENOENT) && ms_since(since) < 5000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        set_members(&ks, "kel_ulvo_fast4", &rc);
    }
    EXPECT_EQ(fast_path_rules(), 0) << "the rules without the fast path";
    EXPECT_EQ(rc, ENOENT) << "its sets removed";
    std::string log = read_file(EVENT_LOG);
    EXPECT_NE(log.find("the kernel fast path could not follow the working set and is off"),
              std::string::npos)
        << log;
    long long sequence = kernel_queue_sequence(4401);
    EXPECT_GE(connect_ms("127.0.5.30"), 0);
    EXPECT_GT(connect_ms("127.0.5.31"), 0);
    EXPECT_EQ(kernel_queue_sequence(4401), sequence + 2)
        << "known and new hosts go to the daemon again";
    auto c = status_counters();
    EXPECT_EQ(c["packets placed on queue"], 2);
    EXPECT_EQ(c["packets passed without delay"], 1);
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
