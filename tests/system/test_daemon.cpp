// kel-ulvod end to end: the installed binaries, the real helper script and the real kernel
// queue, in the test's own namespaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>

#include "daemon_fixture.h"

namespace {

std::string ipv4_host(int n) {
    return "127.0." + std::to_string(n / 250) + "." + std::to_string(2 + n % 250);
}

// ---------------------------------------------------------------------------------- start-up

TEST_F(DaemonTest, StartUpRecordsWarningsTwiceAndEndsWithEnd) {
    write_config({{"delay_queue_size", "10"},
                  {"delay_queue_high_watermark", "8"},
                  {"delay_queue_low_watermark", "4"}});
    std::string status = start_daemon();
    std::string warnings =
        "   host_working_set_size is not set in /etc/opt/kel/kel-ulvo/kel-ulvo.conf,\n"
        "   or kel-ulvod was started from the command line.\n"
        "   Using default value of 5.\n"
        "   delay_queue_delay_seconds is not set in /etc/opt/kel/kel-ulvo/kel-ulvo.conf,\n"
        "   or kel-ulvod was started from the command line.\n"
        "   Using default value of 1.\n"
        "   shared_memory_key is not set in /etc/opt/kel/kel-ulvo/kel-ulvo.conf,\n"
        "   using default value of 0x4b554c56.\n";
    size_t banner_end = status.find('\n');
    ASSERT_NE(banner_end, std::string::npos);
    EXPECT_NE(status.substr(0, banner_end).find("kel-ulvod"), std::string::npos);
    EXPECT_EQ(status.substr(banner_end + 1), warnings + warnings + "end\n");

    std::string log = read_file(EVENT_LOG);
    std::regex start_line(
        R"(^\[INFO\] {17} \[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d )"
        R"(\d\d:\d\d:\d\d \d{4}\] kel-ulvo started - v1\.0\.0-9\.sles9\n)");
    EXPECT_TRUE(std::regex_search(log, start_line)) << log;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line[0] == '[') {
            EXPECT_EQ(line.find(" ["), 23u) << "tag 23 wide, '[' in column 25: " << line;
        } else {
            EXPECT_EQ(line.substr(0, 3), "   ") << line;
        }
    }
    EXPECT_TRUE(rules_loaded());
    EXPECT_GT(pid_, 0);
}

// A stand-in helper that records its verbs and answers with chosen statuses; other verbs go
// to the real script.
class HelperFailures : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(run(std::string("mv ") + HELPER + " " + HELPER + ".real"), 0);
        std::ofstream(HELPER) << "#!/bin/bash\n"
                                 "echo \"$1\" >>/var/opt/kel-ulvo-test/helper-verbs\n"
                                 "f=/var/opt/kel-ulvo-test/helper-status-$1\n"
                                 "[ -f $f ] && exit $(cat $f)\n"
                                 "exec "
                              << HELPER << ".real \"$@\"\n";
        ASSERT_EQ(run(std::string("chmod +x ") + HELPER + ""), 0);
    }
    static void answer(const std::string &verb, int status) {
        std::ofstream(private_dir() + "/helper-status-" + verb) << status;
    }
    static std::string verbs() { return read_file(private_dir() + "/helper-verbs"); }
    static std::string command(const char *verb) {
        return std::string(HELPER) + " " + verb + " &>/dev/null;";
    }
    // The start-status file after the banner line.
    static std::string after_banner(const std::string &status) {
        return status.substr(status.find('\n') + 1);
    }
};

TEST_F(HelperFailures, Ipv4ModulesFailureEndsStartUp) {
    answer("load_ipv4_modules", 3);
    std::string status = start_daemon();
    EXPECT_EQ(after_banner(status), "   could not load required iptable modules using \n\"" +
                                        command("load_ipv4_modules") +
                                        "\", rc=3\nkel-ulvod failed to start\nend\n");
    EXPECT_EQ(verbs(), "unload_rules\nload_ipv4_modules\n");
    std::string log = read_file(EVENT_LOG);
    EXPECT_NE(log.find("[ERROR]                 ["), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 26), "kel-ulvod failed to start\n");
    EXPECT_FALSE(block_exists());
}

TEST_F(HelperFailures, MissingHelperGives127) {
    ASSERT_EQ(run(std::string("rm ") + HELPER), 0);
    std::string status = start_daemon();
    EXPECT_NE(status.find("\", rc=127\nkel-ulvod failed to start\nend\n"), std::string::npos)
        << status;
}

TEST_F(HelperFailures, Ipv6ModulesFailureShutsDown) {
    answer("load_ipv6_modules", 5);
    std::string status = start_daemon();
    EXPECT_EQ(after_banner(status).substr(after_banner(status).find("   could not load required")),
              "   could not load required iptable modules using \n   \"" +
                  command("load_ipv6_modules") + "\", rc=5\nkel-ulvod failed to start\nend\n");
    double ms = 0;
    int exit_status = wait_exit(pid_, 10000, &ms);
    // A failed start ends with 1 also through the shutdown: a service manager must not take it
    // for a stop, nor restart it.
    EXPECT_TRUE(WIFEXITED(exit_status) && WEXITSTATUS(exit_status) == 1) << exit_status;
    EXPECT_EQ(verbs(),
              "unload_rules\nload_ipv4_modules\nload_ipv6_modules\ndetach_rules\n"
              "unload_rules\n");
    std::string log = read_file(EVENT_LOG);
    EXPECT_NE(log.find("kel-ulvo exiting"), std::string::npos);
    EXPECT_EQ(count(log, "kel-ulvod failed to start"), 1) << "the ending is written once\n" << log;
    EXPECT_FALSE(block_exists());
}

TEST_F(HelperFailures, RulesFailureUnloadsThenShutsDown) {
    answer("load_rules", 4);
    std::string status = start_daemon();
    EXPECT_NE(status.find("   could not load iptable rules, \n   \"" + command("load_rules") +
                          "\" returned 4\nkel-ulvod failed to start\nend\n"),
              std::string::npos)
        << status;
    wait_exit(pid_, 10000);
    EXPECT_EQ(verbs(),
              "unload_rules\nload_ipv4_modules\nload_ipv6_modules\nload_rules\nunload_rules\n"
              "detach_rules\nunload_rules\n");
    EXPECT_EQ(count(read_file(EVENT_LOG), "kel-ulvod failed to start"), 1);
    EXPECT_EQ(count(status, "kel-ulvod failed to start"), 1);
    EXPECT_FALSE(block_exists());
}

TEST_F(HelperFailures, NoIpv6GivesAnIpv4OnlyDaemon) {
    answer("load_ipv6_modules", 21);
    std::string status = start_daemon();
    EXPECT_EQ(status.find("ip6_queue"), std::string::npos)
        << "the warning is for the event log only";
    EXPECT_EQ(status.substr(status.size() - 4), "end\n");
    std::string log = read_file(EVENT_LOG);
    EXPECT_NE(log.find("   could not load ip6_queue module for IPv6 throttling,\n   \"" +
                       command("load_ipv6_modules") +
                       "\", rc=21\n   will continue with IPv4 throttling\n"),
              std::string::npos)
        << log;
    // IPv4 is throttled: ten new hosts fill the queue exactly, as with two threads.
    std::vector<std::string> hosts;
    for (int i = 0; i < 11; ++i) {
        hosts.push_back(ipv4_host(i));
    }
    std::vector<Fd> fds;
    for (const std::string &h : hosts) {
        fds.push_back(connect_nonblocking(h, SERVICE_PORT));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto counters = status_counters();
    EXPECT_EQ(counters["connection establishing packets"],
              counters["packets passed without delay"] + counters["packets placed on queue"] +
                  counters["packets dropped due to queue overflow"]);
    EXPECT_GE(counters["packets dropped due to queue overflow"], 1);
    EXPECT_LE(counters["currently queued packets"], 10);
}

TEST_F(HelperFailures, FailedUnloadAtShutdownIsAWarning) {
    std::string status = start_daemon();
    ASSERT_EQ(status.substr(status.size() - 4), "end\n");
    answer("unload_rules", 9);
    signal_daemon(SIGTERM);
    wait_exit(pid_, 10000);
    std::string log = read_file(EVENT_LOG);
    std::regex warning(
        R"(\[WARNING\] {14} \[[^\]]{24}\] \n   could not unload iptables kel-ulvo filter, 9, ulvo,\d+\n)");
    EXPECT_TRUE(std::regex_search(log, warning)) << log;
    EXPECT_FALSE(block_exists());
}

// -------------------------------------------------------------------------------- throttling

// One new host per delay_queue_delay_seconds, whatever the delay; a released host is known.
TEST_F(DaemonTest, NewHostsAreReleasedOnePerDelayAndThenPassAtOnce) {
    for (int delay : {1, 2}) {
        write_config({{"delay_queue_delay_seconds", std::to_string(delay)},
                      {"delay_queue_size", "10"},
                      {"delay_queue_high_watermark", "8"},
                      {"delay_queue_low_watermark", "4"}});
        start_daemon();
        const double ms = 1000.0 * delay;
        std::vector<std::string> hosts;
        for (int i = 0; i < 5 - delay; ++i) {
            hosts.push_back("127.0." + std::to_string(delay) + "." + std::to_string(2 + i));
        }
        std::vector<double> done = connect_all(hosts);
        for (double t : done) {
            ASSERT_GT(t, 0) << "every connection completes";
        }
        std::sort(done.begin(), done.end());
        EXPECT_LT(done[0], ms + 600) << "the first is released within one delay";
        for (size_t i = 1; i < done.size(); ++i) {
            EXPECT_GT(done[i] - done[i - 1], ms - 400) << "one new host per delay of " << delay;
            EXPECT_LT(done[i] - done[i - 1], ms + 600) << "one new host per delay of " << delay;
        }
        for (const std::string &host : hosts) {
            double again = connect_ms(host);
            EXPECT_GE(again, 0);
            EXPECT_LT(again, 400) << host << " is known now";
        }
        auto c = status_counters();
        auto n = static_cast<long>(hosts.size());
        EXPECT_EQ(c["connection establishing packets"], 2 * n);
        EXPECT_EQ(c["packets placed on queue"], n);
        EXPECT_EQ(c["packets passed without delay"], n);
        EXPECT_EQ(c["currently queued packets"], 0);
        expect_kernel_queue_matches_daemon();
        signal_daemon(SIGTERM);
        wait_exit(pid_, 10000);
        pid_ = 0;
    }
}

TEST_F(DaemonTest, HeldConnectionsToOneHostGoTogether) {
    start_daemon();
    std::vector<double> done =
        connect_all({"127.0.0.20", "127.0.0.20", "127.0.0.20", "127.0.0.21"});
    ASSERT_TRUE(std::all_of(done.begin(), done.end(), [](double t) { return t > 0; }));
    double first = *std::min_element(done.begin(), done.begin() + 3);
    double last = *std::max_element(done.begin(), done.begin() + 3);
    EXPECT_LT(last - first, 300) << "the three to one host are released in one pass";
    EXPECT_GT(done[3] - last, 600) << "the other host one delay later";
    EXPECT_EQ(status_counters()["maximum packets on queue"], 4);
}

TEST_F(DaemonTest, WorkingSetForgetsItsOldestHost) {
    write_config({{"host_working_set_size", "3"},
                  {"delay_queue_size", "10"},
                  {"delay_queue_high_watermark", "8"},
                  {"delay_queue_low_watermark", "4"}});
    start_daemon();
    std::vector<std::string> hosts = {"127.0.0.30", "127.0.0.31", "127.0.0.32", "127.0.0.33"};
    for (double t : connect_all(hosts)) {
        ASSERT_GT(t, 0);
    }
    auto before = status_counters();
    EXPECT_LT(connect_ms("127.0.0.33"), 400);
    EXPECT_GT(connect_ms("127.0.0.30"), 0);
    auto after = status_counters();
    EXPECT_EQ(after["packets passed without delay"] - before["packets passed without delay"], 1);
    EXPECT_EQ(after["packets placed on queue"] - before["packets placed on queue"], 1)
        << "the oldest host was forgotten and is held again";
}

TEST_F(DaemonTest, Ipv6IsThrottledToo) {
    start_daemon();
    std::vector<double> done = connect_all({"fd00:6::1", "fd00:6::2", "fd00:6::3"});
    ASSERT_TRUE(std::all_of(done.begin(), done.end(), [](double t) { return t > 0; }));
    std::sort(done.begin(), done.end());
    EXPECT_GT(done[2] - done[0], 1400) << "three new hosts take two delays after the first";
    EXPECT_LT(connect_ms("fd00:6::2"), 400);
    auto c = status_counters();
    EXPECT_EQ(c["packets placed on queue"], 3);
    EXPECT_EQ(c["packets passed without delay"], 1);
}

TEST_F(DaemonTest, BurstRaisesTheAlarmDropsAndLowersItAgain) {
    start_daemon();
    std::vector<std::string> hosts;
    for (int i = 0; i < 12; ++i) {
        hosts.push_back(ipv4_host(100 + i));
    }
    std::vector<Fd> fds;
    for (const std::string &h : hosts) {
        fds.push_back(connect_nonblocking(h, SERVICE_PORT));
    }
    // Waits for the alarm itself, not for a time: a release may come at any moment of the
    // burst (its phase is the daemon's), so the queue's peak is what is certain.
    int vla = -1;
    std::string occurring;
    for (auto since = std::chrono::steady_clock::now(); ms_since(since) < 5000;) {
        occurring =
            run_output(std::string(STATUS_TOOL) + " -ProprietaryInterface -vla_occurring", &vla);
        if (occurring == "YES\n") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(occurring, "YES\n");
    EXPECT_EQ(vla, 1);
    auto c = status_counters();
    EXPECT_EQ(c["connection establishing packets"], c["packets passed without delay"] +
                                                        c["packets placed on queue"] +
                                                        c["packets dropped due to queue overflow"]);
    EXPECT_GE(c["packets dropped due to queue overflow"], 1);
    EXPECT_GE(c["packets placed on queue"], 10) << "the queue of ten filled";

    // Drops are retried by TCP; every connection gets through in the end, one host a second.
    auto start = std::chrono::steady_clock::now();
    size_t connected = 0;
    while (connected < fds.size() && ms_since(start) < 40000) {
        connected = 0;
        for (Fd &fd : fds) {
            connected += wait_connected(fd.get(), 0) ? 1 : 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(connected, fds.size());
    EXPECT_EQ(run_output(std::string(STATUS_TOOL) + " -ProprietaryInterface -vla_occurring", &vla),
              "NO\n");
    EXPECT_EQ(vla, 0);
    std::string log = read_file(EVENT_LOG);
    EXPECT_EQ(count(log, "[ALERT_VLA_DETECTED]   "), 1);
    EXPECT_EQ(count(log, "[ALERT_VLA_STOPPED]    "), 1);
    EXPECT_EQ(count(log, "[DROPPING_CONNECTIONS] "), 1);
    EXPECT_LT(log.find("[ALERT_VLA_DETECTED]   "), log.find("[ALERT_VLA_STOPPED]    "));
    c = status_counters();
    EXPECT_EQ(c["times virus-like activity detected"], 1);
    EXPECT_EQ(c["maximum packets on queue"], 10);
    EXPECT_EQ(c["connection establishing packets"], c["packets passed without delay"] +
                                                        c["packets placed on queue"] +
                                                        c["packets dropped due to queue overflow"]);
    std::string report = run_output(std::string(STATUS_TOOL) + " -status 2>/dev/null");
    EXPECT_NE(report.find("virus-like activity has occurred in the past\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------- shutdown

TEST_F(DaemonTest, TermHupAndRealtimeSignalsShutDownCleanly) {
    for (int sig : {SIGTERM, SIGHUP, SIGRTMIN}) {
        start_daemon();
        ASSERT_GT(pid_, 0);
        ASSERT_TRUE(rules_loaded());
        signal_daemon(sig);
        double ms = 0;
        int status = wait_exit(pid_, 10000, &ms);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "signal " << sig;
        EXPECT_GT(ms, 800) << "signal " << sig;
        EXPECT_LT(ms, 4000) << "signal " << sig;
        EXPECT_FALSE(rules_loaded()) << "signal " << sig;
        EXPECT_FALSE(block_exists()) << "signal " << sig;
        std::string log = read_file(EVENT_LOG);
        EXPECT_EQ(log.substr(log.size() - 17), "kel-ulvo exiting\n") << "signal " << sig;
        pid_ = 0;
    }
    EXPECT_EQ(count(read_file(EVENT_LOG), "kel-ulvo exiting"), 3);
}

TEST_F(DaemonTest, SegvFromOutsideShutsDownAndAborts) {
    start_daemon();
    signal_daemon(SIGSEGV);
    int status = wait_exit(pid_, 10000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    std::string log = read_file(EVENT_LOG);
    std::regex ending(
        R"(kel-ulvo exiting\n\[ERROR\] {16} \[[^\]]{24}\] \n   received signal 11\n$)");
    EXPECT_TRUE(std::regex_search(log, ending)) << log;
    EXPECT_FALSE(rules_loaded());
    EXPECT_FALSE(block_exists());
    pid_ = 0;
}

TEST_F(DaemonTest, HarmlessSignalsLeaveItRunning) {
    start_daemon();
    for (int sig : {SIGCHLD, SIGWINCH, SIGURG}) {
        signal_daemon(sig);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "still running";
    EXPECT_TRUE(rules_loaded());
    EXPECT_GT(connect_ms("127.0.0.40"), 0);
    EXPECT_EQ(status_counters()["packets placed on queue"], 1);
}

TEST_F(DaemonTest, SecondDaemonIsRefusedAndTheFirstKeepsThrottling) {
    start_daemon();
    pid_t first = pid_;
    std::string second = start_daemon("", 1);
    EXPECT_NE(second.find("   Another instance of kel-ulvod appears to be running,\n"
                          "   check process id " +
                          std::to_string(first) + ".\nkel-ulvod failed to start\nend\n"),
              std::string::npos)
        << second;
    EXPECT_EQ(pid_, first);
    EXPECT_TRUE(rules_loaded()) << "the second daemon ran no helper verb";
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0);
    double held = connect_ms("127.0.0.41");
    EXPECT_GT(held, 0);
    EXPECT_EQ(status_counters()["packets placed on queue"], 1) << "still throttled";
}

TEST_F(DaemonTest, AfterSigkillTrafficPassesAndARestartTakesOver) {
    start_daemon();
    Fd held = connect_nonblocking("127.0.0.50", SERVICE_PORT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    signal_daemon(SIGKILL);
    wait_exit(pid_, 5000);
    pid_ = 0;
    EXPECT_TRUE(rules_loaded()) << "nobody removed the rules";
    EXPECT_TRUE(block_exists()) << "nobody removed the block";
    double fresh = connect_ms("127.0.0.51");
    EXPECT_GE(fresh, 0);
    EXPECT_LT(fresh, 500) << "fail-open: no reader, no delay";
    EXPECT_TRUE(wait_connected(held.get(), 4000)) << "a held SYN is retried and passes";

    std::string status = start_daemon();
    EXPECT_EQ(status.substr(status.size() - 4), "end\n");
    EXPECT_EQ(status.find("failed"), std::string::npos) << status;
    auto c = status_counters();
    EXPECT_EQ(c["connection establishing packets"], 0) << "the stale block starts from zero";
    EXPECT_GT(connect_ms("127.0.0.52"), 0);
    EXPECT_EQ(status_counters()["packets placed on queue"], 1);
}

// The other build (KEL_ULVO_OTHER_BUILD names its build tree: the i386 one for the x86-64
// suite and the other way round) writes another sanity text. While one build's daemon runs, the
// other's is refused as a second daemon; once it has been killed, the other refuses the block it
// left, and in both cases before any helper verb could touch the rules.
TEST_F(DaemonTest, EachBuildRefusesTheOtherBuildsBlock) {
    const char *other_tree = getenv("KEL_ULVO_OTHER_BUILD");
    if (other_tree == nullptr) {
        GTEST_SKIP() << "KEL_ULVO_OTHER_BUILD is not set; CI sets it once both builds exist";
    }
    const std::string this_daemon = DAEMON;
    const std::string other_daemon = std::string(other_tree) + "/bin/kel-ulvod";
    const std::string refusal =
        "   The shared memory key 0x4b554c56, appears to be in use\n"
        "   by another application. Setting shared_memory_key in \n"
        "   /etc/opt/kel/kel-ulvo/kel-ulvo.conf\n"
        "   may resolve this issue, run \"ipcs -m\" to view\n"
        "   shared memory usage.\n   The segment belongs to uid 0.\nkel-ulvod failed to "
        "start\nend\n";
    for (const auto &[running, refused] :
         {std::pair{this_daemon, other_daemon}, std::pair{other_daemon, this_daemon}}) {
        std::string status = start_daemon_binary(running);
        ASSERT_EQ(status.find("failed"), std::string::npos) << running << "\n" << status;
        pid_t first = pid_;
        std::string second = start_daemon_binary(refused, "", 1);
        EXPECT_NE(second.find("   Another instance of kel-ulvod appears to be running,\n"
                              "   check process id " +
                              std::to_string(first) + ".\n"),
                  std::string::npos)
            << refused << "\n"
            << second;
        EXPECT_TRUE(rules_loaded()) << running << " runs, " << refused << " was refused";
        EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the running daemon is untouched";

        signal_kel_ulvod(first, SIGKILL);
        wait_exit(first, 5000);
        std::string after = start_daemon_binary(refused);
        EXPECT_NE(after.find(refusal), std::string::npos) << refused << "\n" << after;
        EXPECT_TRUE(rules_loaded()) << "the refused daemon ran no helper verb";
        EXPECT_TRUE(block_exists()) << "the other build's block is left alone";
        run("ipcrm -M 0x4b554c56; " + std::string(HELPER) + " unload_rules");
        pid_ = 0;
    }
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
