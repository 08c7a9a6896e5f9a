// Flood and soak: tens of thousands of SYNs to thousands of new hosts while the status tool
// reads in a loop; bounded to about half a minute.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon_fixture.h"

namespace {

long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

TEST_F(DaemonTest, FloodWhileTheStatusIsReadThenTerm) {
    write_config({{"delay_queue_size", "1000"},
                  {"delay_queue_high_watermark", "800"},
                  {"delay_queue_low_watermark", "400"}});
    std::string status = start_daemon();
    ASSERT_EQ(status.find("failed"), std::string::npos) << status;
    ASSERT_GE(raise_fd_limit(), 6100u);

    // The status tool in a loop: every report must add up, whatever the daemon is doing.
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<int> inconsistent{0};
    std::atomic<int> failed{0};
    std::atomic<int> gave_up{0};
    std::string first_failure;  // written by the reader only, read after it is joined
    std::thread reader([&] {
        while (!stop) {
            int rc = -1;
            std::string report = run_output(std::string(STATUS_TOOL) + " -status 2>&1", &rc);
            if (rc == 101 && report.find("   could not get status\n") != std::string::npos) {
                // After a begin word of 0 the reader re-reads at once, so a writer descheduled
                // in mid-update on a loaded machine can outlast its 300 reads: an honest
                // refusal, not a torn copy.
                ++gave_up;
                continue;
            }
            if (rc != 0) {
                if (failed++ == 0) {
                    first_failure = "status " + std::to_string(rc) + ":\n" + report;
                }
                continue;
            }
            auto c = parse_counters(report);
            ++reads;
            long processed = c["connection establishing packets"];
            if (processed != c["packets passed without delay"] + c["packets placed on queue"] +
                                 c["packets dropped due to queue overflow"] ||
                c["currently queued packets"] > 1000 || c["maximum packets on queue"] > 1000) {
                ++inconsistent;
            }
        }
    });

    // 6000 new hosts; the 5000 that find the queue full are dropped and retried by TCP after
    // 1, 3, 7 and 15 s, each retry another SYN to a new host.
    std::vector<Fd> sockets;
    for (int i = 0; i < 6000; ++i) {
        sockets.push_back(connect_nonblocking("127." + std::to_string(10 + i / 60000) + "." +
                                                  std::to_string(i / 250 % 240) + "." +
                                                  std::to_string(1 + i % 250),
                                              SERVICE_PORT));
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));
    long rss_early = rss_kib(pid_);
    std::this_thread::sleep_for(std::chrono::seconds(14));
    long rss_late = rss_kib(pid_);

    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the daemon stays up";
    auto c = status_counters();
    EXPECT_GE(c["connection establishing packets"], 20000) << "tens of thousands of SYNs";
    EXPECT_LE(c["currently queued packets"], 1000);
    EXPECT_GE(c["packets dropped due to queue overflow"], 10000);
    EXPECT_GT(rss_early, 0);
    RecordProperty("rss_early_kib", static_cast<int>(rss_early));
    RecordProperty("rss_late_kib", static_cast<int>(rss_late));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' shadow memory and quarantine grow with the memory touched; only the plain
    // build's figure says anything about the daemon's own use.
#else
    EXPECT_LE(rss_late - rss_early, 256) << "resident memory grew from " << rss_early << " KiB";
#endif

    stop = true;
    reader.join();

    // SIGTERM while the retries still come in.
    double ms = 0;
    signal_daemon(SIGTERM);
    int exit_status = wait_exit(pid_, 10000, &ms);
    EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 0) << exit_status;
    EXPECT_LT(ms, 5000);
    EXPECT_FALSE(rules_loaded());
    EXPECT_FALSE(block_exists());
    std::string log = read_file(EVENT_LOG);
    EXPECT_EQ(log.substr(log.size() - 17), "kel-ulvo exiting\n");
    EXPECT_EQ(count(log, "[DROPPING_CONNECTIONS] "), 1);
    EXPECT_EQ(count(log, "[ALERT_VLA_DETECTED]   "), 1);
    EXPECT_GE(reads, 10);
    EXPECT_EQ(inconsistent, 0);
    EXPECT_EQ(failed, 0) << "status reads that failed while the daemon ran; the first: "
                         << first_failure;
    EXPECT_LE(gave_up * 20, reads + gave_up) << "reads that found no consistent copy";
    pid_ = 0;
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
