// The throttle threads' handling of one message and the de-throttle thread's one pass, driven
// directly, with a real status block (in a private IPC namespace) and real verdicts.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "capture.h"
#include "daemon_rule.h"
#include "dethrottle.h"
#include "env_config.h"
#include "event_log.h"
#include "packets.h"
#include "sandbox.h"
#include "shm_block.h"
#include "throttle.h"
#include "ulvolib_testing.h"
#include "verdict_sink.h"
#include "water_gauge.h"

namespace {

class DaemonLogic : public ::testing::Test {
  protected:
    void SetUp() override {
        set_ulvolib_output(out.file());
        ASSERT_EQ(init_ulvolib(), 0);
        ASSERT_EQ(read_config(&config), 0);
        ASSERT_EQ(alloc_mem(&config), 0);
        ASSERT_EQ(init_log_lock(), 0);
        strcpy(v4.thread_name, "IPv4");
        v4.ip_version = 1;
        v4.protocol_family = AF_INET;
        v4.filter = sink.handle;
        v4.config = &config;
        v4.update_tt_stat = update_ipv4_tt_shm;
        current = alloc_cre(1);
        ipv6_current = alloc_cre(2);  // the other thread's receive element
        // Shutdown requests are recorded, not acted on.
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
    }
    void TearDown() override {
        reset_shm_for_test();
        reset_log_lock_for_test();
        set_ulvolib_output(nullptr);
    }

    // One packet to the address, received by the IPv4 thread; returns handle_message's result.
    int packet(const std::string &address, unsigned long id) {
        current->filter = &v4.filter;
        make_packet_message(current, address, id);
        return handle_message(&v4, &current, &counters);
    }
    int control(uint16_t type, int error = 0) {
        make_control_message(current, type, error);
        return handle_message(&v4, &current, &counters);
    }
    bool shutdown_requested() {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGUSR1) == 0) {
            return false;
        }
        int taken;
        sigwait(&usr1, &taken);
        return true;
    }
    tt_stat published() {
        tt_stat copy{};
        EXPECT_EQ(get_ipv4_tt_stat(config.shared_memory_key, &copy), 0);
        return copy;
    }
    int events(const char *tag) {
        std::string text = out.text();
        int n = 0;
        for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
            ++n;
        }
        return n;
    }
    // Makes the address known, as the de-throttle thread does after a release.
    static void make_known(const std::string &address) {
        TestCre c(address);
        make_known_for_test(&c.element);
    }

    EnvConfig config_env{{.host_working_set_size = "2",
                          .delay_queue_delay_seconds = "1",
                          .delay_queue_size = "10",
                          .delay_queue_high_watermark = "8",
                          .delay_queue_low_watermark = "4",
                          .shared_memory_key = "0x4b554c57"}};
    Capture out;
    ulvo_config config{};
    VerdictSink sink;
    tt_param v4{};
    tt_stat counters{};
    dtt_stat dtt_counters{};
    cre *current = nullptr;
    cre *ipv6_current = nullptr;
    sigset_t usr1;
};

TEST_F(DaemonLogic, NewHostIsHeldWithoutAVerdict) {
    cre *first = current;
    ASSERT_EQ(packet("10.0.0.1", 101), 0);
    EXPECT_NE(current, first) << "the held packet keeps its element";
    EXPECT_EQ(first->pkt, reinterpret_cast<ipq_packet_msg *>(first->msg_buf + 16));
    EXPECT_EQ(queued_cr_count(), 1);
    EXPECT_TRUE(sink.take().empty());
    EXPECT_EQ(counters.processed_crs, 1u);
    EXPECT_EQ(counters.throttled_crs, 1u);
    tt_stat shown = published();
    EXPECT_EQ(shown.throttled_crs, 1u);
    EXPECT_EQ(out.text(), "");
}

TEST_F(DaemonLogic, KnownHostPassesAtOnceAndKeepsTheElement) {
    make_known("10.0.0.2");
    cre *element = current;
    ASSERT_EQ(packet("10.0.0.2", 202), 0);
    EXPECT_EQ(current, element);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{202, 1}}));
    EXPECT_EQ(counters.processed_crs, 1u);
    EXPECT_EQ(counters.never_throttled_crs, 1u);
    EXPECT_EQ(queued_cr_count(), 0);
}

TEST_F(DaemonLogic, FullQueueDropsWithOneEventPerEpisodeAndStillPassesKnownHosts) {
    for (int i = 1; i <= 10; ++i) {
        ASSERT_EQ(packet("10.1.0." + std::to_string(i), static_cast<unsigned long>(i)), 0);
    }
    EXPECT_EQ(queued_cr_count(), 10);
    EXPECT_EQ(counters.throttled_crs, 10u);
    ASSERT_EQ(packet("10.2.0.1", 500), 0);
    ASSERT_EQ(packet("10.2.0.2", 501), 0);
    EXPECT_EQ(counters.dropped_crs, 2u);
    EXPECT_EQ(events("[DROPPING_CONNECTIONS] "), 1);
    make_known("10.3.0.1");
    ASSERT_EQ(packet("10.3.0.1", 600), 0);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{500, 0}, {501, 0}, {600, 1}}));
    EXPECT_EQ(counters.processed_crs,
              counters.never_throttled_crs + counters.throttled_crs + counters.dropped_crs);

    // Releasing down to the low water mark ends the episode and re-arms the event.
    for (int pass = 0; pass < 6; ++pass) {
        ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    }
    EXPECT_EQ(queued_cr_count(), 4);
    EXPECT_EQ(events("[ALERT_VLA_STOPPED]    "), 1);
    ASSERT_EQ(packet("10.2.0.3", 502), 0);  // queued: there is room again
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(packet("10.4.0." + std::to_string(i), 700 + static_cast<unsigned long>(i)), 0);
    }
    EXPECT_EQ(events("[DROPPING_CONNECTIONS] "), 2);
}

TEST_F(DaemonLogic, AlarmAtTheHighWaterMarkOnce) {
    for (int i = 1; i <= 7; ++i) {
        ASSERT_EQ(packet("10.1.0." + std::to_string(i), static_cast<unsigned long>(i)), 0);
    }
    EXPECT_EQ(events("[ALERT_VLA_DETECTED]   "), 0);
    EXPECT_EQ(virus_activity_occurring(config.shared_memory_key), 0);
    ASSERT_EQ(packet("10.1.0.8", 8), 0);  // the queue now holds exactly the mark
    EXPECT_EQ(events("[ALERT_VLA_DETECTED]   "), 1);
    EXPECT_EQ(counters.times_vla_detected, 1u);
    EXPECT_EQ(published().times_vla_detected, 1u);
    EXPECT_EQ(virus_activity_occurring(config.shared_memory_key), 1);
    ASSERT_EQ(packet("10.1.0.9", 9), 0);
    ASSERT_EQ(control(NLMSG_NOOP), 0);
    EXPECT_EQ(events("[ALERT_VLA_DETECTED]   "), 1);
    EXPECT_EQ(counters.times_vla_detected, 1u);
}

TEST_F(DaemonLogic, ControlMessages) {
    uint32_t before = own_shm_block_for_test()->ipv4_tt_begin_sig;
    ASSERT_EQ(control(NLMSG_NOOP), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_NE(own_shm_block_for_test()->ipv4_tt_begin_sig, before) << "published all the same";

    ASSERT_EQ(control(NLMSG_ERROR, 0), 0);
    EXPECT_FALSE(shutdown_requested());
    ASSERT_EQ(control(NLMSG_ERROR, -ENOENT), 0);
    EXPECT_FALSE(shutdown_requested());
    EXPECT_EQ(events("[WARNING]              "), 2);
    EXPECT_NE(out.text().find("netlink err=-2, for IPv4 thread, ulvo,"), std::string::npos);

    ASSERT_EQ(control(NLMSG_ERROR, -EINVAL), 0) << "the thread goes on receiving";
    EXPECT_TRUE(shutdown_requested());
    ASSERT_EQ(control(NLMSG_ERROR, -EBUSY), 0);
    EXPECT_TRUE(shutdown_requested());
    EXPECT_EQ(events("[ERROR]                "), 2);
    std::regex busy(
        R"(   netlink message failed, errno=\d+, netlink err=-16, for IPv4 thread, ulvo,\d+\n)"
        R"(   Another application may be using the iptables QUEUE\n)"
        R"(   target causing this error. Run "iptables  -L" to \n)"
        R"(   see if the QUEUE target is already loaded.\n)");
    EXPECT_TRUE(std::regex_search(out.text(), busy)) << out.text();

    Capture unknown;
    set_ulvolib_output(unknown.file());
    ASSERT_EQ(control(0x300), 0);
    std::regex warning(R"(\[WARNING\] {14} \[[^\]]{24}\] \n)"
                       R"(   unknown netlink message type 0x300 in IPv4 thread, ulvo,\d+\n)");
    EXPECT_TRUE(std::regex_match(unknown.text(), warning)) << unknown.text();
    EXPECT_EQ(counters.processed_crs, 0u);
}

// A queued packet that cannot be judged still holds the kernel's queue: it is accepted at once,
// counted as passed, and reported once per episode, not once per packet.
TEST_F(DaemonLogic, UnusablePacketsAreAcceptedAndReportedOncePerEpisode) {
    cre *element = current;
    for (unsigned long id = 900; id < 905; ++id) {
        make_packet_message(current, "10.5.0.1", id);
        nlmsghdr header{};
        header.nlmsg_len = sizeof header + IPQ_PAYLOAD_OFFSET;
        header.nlmsg_type = ULVO_UNUSABLE_PACKET;
        memcpy(current->msg_buf, &header, sizeof header);
        ASSERT_EQ(handle_message(&v4, &current, &counters), 0);
    }
    // A packet message too short to hold its destination address.
    make_packet_message(current, "10.5.0.1", 905);
    size_t short_len = 12;
    memcpy(current->msg_buf + sizeof(nlmsghdr) + offsetof(ipq_packet_msg, data_len), &short_len,
           sizeof short_len);
    ASSERT_EQ(handle_message(&v4, &current, &counters), 0);

    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{
                               {900, 1}, {901, 1}, {902, 1}, {903, 1}, {904, 1}, {905, 1}}));
    EXPECT_EQ(current, element);
    EXPECT_EQ(queued_cr_count(), 0);
    EXPECT_EQ(counters.processed_crs, 6u);
    EXPECT_EQ(counters.never_throttled_crs, 6u);
    EXPECT_EQ(published().never_throttled_crs, 6u);
    EXPECT_EQ(events("[WARNING]              "), 1) << out.text();
    EXPECT_NE(out.text().find("   a queued packet could not be read and was accepted unjudged in "
                              "IPv4 thread (1 so far), ulvo,"),
              std::string::npos)
        << out.text();

    // A minute later a new episode is reported, with the count so far.
    v4.unusable_reported_ms -= 60 * 1000;
    make_packet_message(current, "10.5.0.1", 906);
    memcpy(current->msg_buf + sizeof(nlmsghdr) + offsetof(ipq_packet_msg, data_len), &short_len,
           sizeof short_len);
    ASSERT_EQ(handle_message(&v4, &current, &counters), 0);
    EXPECT_EQ(events("[WARNING]              "), 2);
    EXPECT_NE(out.text().find("(7 so far)"), std::string::npos) << out.text();
}

TEST_F(DaemonLogic, PassReleasesOneDestinationWithAllItsPackets) {
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    EXPECT_EQ(dtt_counters.dethrottled_crs, 0u);
    EXPECT_EQ(own_shm_block_for_test()->dtt_begin_sig, 1u) << "an empty pass publishes nothing";

    packet("10.0.0.1", 1);
    packet("10.0.0.2", 2);
    packet("10.0.0.1", 3);
    packet("10.0.0.1", 4);
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{1, 1}, {3, 1}, {4, 1}}));
    EXPECT_EQ(dtt_counters.dethrottled_crs, 3u);
    EXPECT_EQ(queued_cr_count(), 1);
    dtt_stat shown{};
    ASSERT_EQ(get_dtt_stat(config.shared_memory_key, &shown), 0);
    EXPECT_EQ(shown.dethrottled_crs, 3u);
    EXPECT_EQ(shown.max_crs_ever_throttled, 4u);

    // A packet to 10.0.0.1 from now on passes at once.
    packet("10.0.0.1", 5);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{5, 1}}));

    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{2, 1}}));
    ASSERT_EQ(get_dtt_stat(config.shared_memory_key, &shown), 0);
    EXPECT_EQ(shown.max_crs_ever_throttled, 4u) << "the maximum never decreases";
    EXPECT_EQ(queued_cr_count(), 0);
}

TEST_F(DaemonLogic, AlreadyKnownHeadReleasesOnlyItself) {
    packet("10.0.0.1", 1);
    packet("10.0.0.1", 2);
    make_known("10.0.0.1");  // known between the queueing and the pass
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{1, 1}}));
    EXPECT_EQ(queued_cr_count(), 1);
}

TEST_F(DaemonLogic, LowWaterMarkLowersTheAlarmOnlyWhenReached) {
    for (int i = 1; i <= 9; ++i) {
        packet("10.1.0." + std::to_string(i), static_cast<unsigned long>(i));
    }
    ASSERT_EQ(water_gauge_reading(0), 2);
    for (int pass = 0; pass < 4; ++pass) {  // 9 -> 5: still above the mark of 4
        ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    }
    EXPECT_EQ(queued_cr_count(), 5);
    EXPECT_EQ(water_gauge_reading(0), 2);
    EXPECT_EQ(events("[ALERT_VLA_STOPPED]    "), 0);
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);  // 4: the mark itself
    EXPECT_EQ(water_gauge_reading(0), 1);
    EXPECT_EQ(events("[ALERT_VLA_STOPPED]    "), 1);
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);  // below the mark, gauge already 1
    EXPECT_EQ(events("[ALERT_VLA_STOPPED]    "), 1);
}

TEST_F(DaemonLogic, WorkingSetForgetsItsOldestHost) {
    for (const char *host : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {  // a working set of 2
        packet(host, 1);
        ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    }
    sink.take();
    packet("10.0.0.3", 10);
    packet("10.0.0.2", 11);
    packet("10.0.0.1", 12);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{10, 1}, {11, 1}}));
    EXPECT_EQ(queued_cr_count(), 1);
}

TEST_F(DaemonLogic, IPv4AndIPv6PacketsShareTheQueue) {
    tt_param v6 = v4;
    strcpy(v6.thread_name, "IPv6");
    v6.ip_version = 2;
    v6.update_tt_stat = update_ipv6_tt_shm;
    tt_stat v6_counters{};
    ipv6_current->filter = &v6.filter;
    make_packet_message(ipv6_current, "fd00::1", 61);
    ASSERT_EQ(handle_message(&v6, &ipv6_current, &v6_counters), 0);
    packet("10.0.0.1", 41);
    ASSERT_EQ(queued_cr_count(), 2);
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    ASSERT_EQ(dethrottle_pass(&dtt_counters), 0);
    EXPECT_EQ(sink.take(), (std::vector<SentVerdict>{{61, 1}, {41, 1}}));
    tt_stat sum{};
    ASSERT_EQ(get_tt_stat(config.shared_memory_key, &sum), 0);
    EXPECT_EQ(sum.throttled_crs, 2u);
}

TEST_F(DaemonLogic, HoldingTheLogLockBlocksSignals) {
    get_log_lock();
    sigset_t during;
    pthread_sigmask(SIG_BLOCK, nullptr, &during);
    get_log_lock();
    release_log_lock();
    sigset_t nested;
    pthread_sigmask(SIG_BLOCK, nullptr, &nested);
    release_log_lock();
    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    EXPECT_EQ(sigismember(&during, SIGTERM), 1);
    EXPECT_EQ(sigismember(&nested, SIGTERM), 1) << "still held once";
    EXPECT_EQ(sigismember(&after, SIGTERM), 0);
    EXPECT_EQ(sigismember(&after, SIGUSR1), 1) << "the test's own mask is restored";
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
