// The metrics of ulvostatus -metrics: the kernel's queue table and the exposition text.
#include "metrics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "water_gauge.h"

namespace {

// As the kernel prints its queue table ("%5u %6u %5u %1u %5u %5u %5u %8u %2d"); older kernels
// print the same columns with %d, so a counter past 2^31 comes negative.
constexpr char TABLE[] =
    "    0   4242     1 2 65535     0     0       17  1\n"
    " 4401 2147483 12 2 65535     3     5    90210  1\n"
    "44060     77     9 2 65535     1     1        3  1\n"
    "   12   4406     8 2 65535     8     8        8  1\n"
    " 4406     81     0 2 65535    -2 2147483647  4294967295  1";

TEST(NfqueueTable, FindsTheQueuesOwnLineOnly) {
    struct Case {
        const char *table;
        uint16_t queue;
        int result;
        uint32_t waiting, dropped, user_dropped;
    };
    const std::vector<Case> cases = {
        {TABLE, 4401, 0, 12, 3, 5},
        // Not the line of 44060, nor the one with 4406 in its port column; no newline at the end.
        {TABLE, 4406, 0, 0, 4294967294u, 2147483647u},
        {TABLE, 0, 0, 1, 0, 0},
        {TABLE, 4402, 1, 0, 0, 0},
        {"", 4401, 1, 0, 0, 0},
        // A line cut short, or with text in a counter, is not a queue's line.
        {" 4401 2147483 12 2 65535 3\n", 4401, 1, 0, 0, 0},
        {" 4401 2147483 12 2 65535 3x 5 90210 1\n", 4401, 1, 0, 0, 0},
        {"4401\n2147483 12 2 65535 3 5 90210 1\n", 4401, 1, 0, 0, 0},
    };
    for (const Case &c : cases) {
        kernel_queue_stat stat{};
        stat.waiting = 99;
        EXPECT_EQ(parse_nfqueue_table(c.table, c.queue, &stat), c.result) << c.queue << c.table;
        EXPECT_EQ(stat.queue, c.queue);
        EXPECT_EQ(stat.bound, c.result == 0) << c.queue << c.table;
        EXPECT_EQ(stat.waiting, c.waiting) << c.queue << c.table;
        EXPECT_EQ(stat.dropped, c.dropped) << c.queue << c.table;
        EXPECT_EQ(stat.user_dropped, c.user_dropped) << c.queue << c.table;
    }
}

ulvo_metrics running_daemon() {
    ulvo_metrics m{};
    m.up = true;
    m.water_gauge = WG_VLA_OCCURRING;
    m.ipv4 = {.processed_crs = 5'000'000'007,
              .throttled_crs = 14'000'000'030,
              .never_throttled_crs = 7,
              .times_vla_detected = 5'000'000'000,
              .dropped_crs = 11};
    m.ipv6 = {.processed_crs = 30,
              .throttled_crs = 20,
              .never_throttled_crs = 10,
              .times_vla_detected = 1,
              .dropped_crs = 0};
    // Every unlabelled counter beyond 32 bits: none may be narrowed on its way out.
    m.dtt = {.max_crs_ever_throttled = 4'294'967'396, .dethrottled_crs = 9'000'000'000};
    m.config = {7, 2, 300, 250, 120, 0x4b554c56};
    m.kernel[0] = {4401, true, 12, 3, 5};
    m.kernel[1] = {4406, true, 0, 0, 4'000'000'000u};
    m.rules_known = true;
    m.allow_entries = 3;
    m.rules_restored = 2;
    return m;
}

TEST(WriteMetrics, WritesWhatIsKnownAndNothingElse) {
    const std::vector<std::string> daemon_lines = {
        "kel_ulvo_virus_activity ", "kel_ulvo_virus_activity_detected_total ",
        "kel_ulvo_packets_total{",  "kel_ulvo_packets_released_total ",
        "kel_ulvo_queue_length ",   "kel_ulvo_queue_length_max ",
        "kel_ulvo_allow_entries ",  "kel_ulvo_rules_restored_total ",
    };
    struct Case {
        const char *name;
        ulvo_metrics metrics;
        std::vector<std::string> present, absent;
    };
    ulvo_metrics idle = running_daemon();
    idle.water_gauge = WG_NORMAL;
    idle.dtt.dethrottled_crs = idle.ipv4.throttled_crs + idle.ipv6.throttled_crs;
    idle.kernel[0].bound = false;
    idle.rules_known = false;  // a daemon that has not published them
    ulvo_metrics down = running_daemon();
    down.up = false;
    down.kernel[0].bound = down.kernel[1].bound = false;
    const std::vector<Case> cases = {
        {"running",
         running_daemon(),
         {"kel_ulvo_up 1\n",
          "kel_ulvo_virus_activity 1\n",
          "kel_ulvo_virus_activity_detected_total 5000000001\n",
          "kel_ulvo_packets_total{family=\"ipv4\"} 5000000007\n",
          "kel_ulvo_packets_total{family=\"ipv6\"} 30\n",
          "kel_ulvo_packets_passed_total{family=\"ipv4\"} 7\n",
          "kel_ulvo_packets_passed_total{family=\"ipv6\"} 10\n",
          "kel_ulvo_packets_queued_total{family=\"ipv4\"} 14000000030\n",
          "kel_ulvo_packets_queued_total{family=\"ipv6\"} 20\n",
          "kel_ulvo_packets_dropped_total{family=\"ipv4\"} 11\n",
          "kel_ulvo_packets_dropped_total{family=\"ipv6\"} 0\n",
          "kel_ulvo_packets_released_total 9000000000\n",
          "kel_ulvo_queue_length 5000000050\n",
          "kel_ulvo_queue_length_max 4294967396\n",
          "kel_ulvo_config_working_set_size 7\n",
          "kel_ulvo_config_delay_seconds 2\n",
          "kel_ulvo_config_queue_size 300\n",
          "kel_ulvo_config_high_watermark 250\n",
          "kel_ulvo_config_low_watermark 120\n",
          "kel_ulvo_kernel_queue_waiting{queue=\"4401\"} 12\n",
          "kel_ulvo_kernel_queue_waiting{queue=\"4406\"} 0\n",
          "kel_ulvo_kernel_queue_dropped_total{queue=\"4401\"} 3\n",
          "kel_ulvo_kernel_queue_user_dropped_total{queue=\"4406\"} 4000000000\n",
          "kel_ulvo_allow_entries 3\n",
          "kel_ulvo_rules_restored_total 2\n"},
         {}},
        {"idle, IPv4 queue not bound",
         idle,
         {"kel_ulvo_virus_activity 0\n", "kel_ulvo_queue_length 0\n",
          "kel_ulvo_kernel_queue_waiting{queue=\"4406\"} 0\n",
          "# TYPE kel_ulvo_allow_entries gauge\n"},
         {"{queue=\"4401\"}", "kel_ulvo_allow_entries ", "kel_ulvo_rules_restored_total "}},
        {"no daemon",
         down,
         {"kel_ulvo_up 0\n", "kel_ulvo_config_queue_size 300\n",
          "# TYPE kel_ulvo_packets_total counter\n"},
         daemon_lines},
    };
    for (const Case &c : cases) {
        Capture out;
        ASSERT_EQ(write_metrics(out.file(), &c.metrics), 0) << c.name;
        std::string text = "\n";
        text += out.text();  // "\n" + out.text() draws a false -Wrestrict from GCC 12 at -O3
        for (const std::string &line : c.present) {
            EXPECT_NE(text.find("\n" + line), std::string::npos) << c.name << ": " << line;
        }
        for (const std::string &line : c.absent) {
            EXPECT_EQ(text.find("\n" + line), std::string::npos) << c.name << ": " << line;
        }
    }
}

TEST(WriteMetrics, WriteErrorIsReported) {
    FILE *full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    ulvo_metrics m = running_daemon();
    EXPECT_EQ(write_metrics(full, &m), 1);
    fclose(full);
}

}  // namespace
