// Test helpers for the installed daemon inside the sandbox: configuration, start, stop,
// connections timed through the real kernel queue, and the daemon's own outputs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "kernel_set.h"
#include "net.h"
#include "sandbox.h"

inline constexpr char DAEMON[] = "/opt/kel/kel-ulvo/bin/kel-ulvod";
inline constexpr char STATUS_TOOL[] = "/opt/kel/kel-ulvo/bin/ulvostatus";
inline constexpr char HELPER[] = "/opt/kel/kel-ulvo/kel-ulvo-iptables";
inline constexpr char CONF[] = "/etc/opt/kel/kel-ulvo/kel-ulvo.conf";
inline constexpr char EVENT_LOG[] = "/var/opt/kel/kel-ulvo/kel-ulvo.log";
inline constexpr char START_STATUS[] = "/var/opt/kel/kel-ulvo/.start_status.txt";
inline constexpr uint16_t SERVICE_PORT = 7000;
// How much slower the daemon runs in this build: a sanitizer's build (the tests are built with
// the same flags) gets that much more time in the bounds that a timing test sets.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr int BUILD_SLOWDOWN = 3;
#else
inline constexpr int BUILD_SLOWDOWN = 1;
#endif

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_build_tree();
        // Small settings keep the suite quick: one release a second, a queue of ten.
        write_config({{"host_working_set_size", "5"},
                      {"delay_queue_delay_seconds", "1"},
                      {"delay_queue_size", "10"},
                      {"delay_queue_high_watermark", "8"},
                      {"delay_queue_low_watermark", "4"},
                      {"shared_memory_key", "0x4b554c56"}});
        ASSERT_EQ(run("ip -6 addr add fd00:6::1/128 dev lo nodad && "
                      "ip -6 addr add fd00:6::2/128 dev lo nodad && "
                      "ip -6 addr add fd00:6::3/128 dev lo nodad"),
                  0);
        listener4 = listen_tcp("0.0.0.0", SERVICE_PORT);
        listener6 = listen_tcp("::", SERVICE_PORT);
        ASSERT_TRUE(listener4.valid() && listener6.valid());
        // Accepted connections are closed at once so that the backlog never fills.
        acceptor = std::thread([this] {
            while (!stop_accepting) {
                for (int fd : {listener4.get(), listener6.get()}) {
                    if (wait_readable(fd, 20)) {
                        int c = accept(fd, nullptr, nullptr);
                        if (c >= 0) {
                            close(c);
                        }
                    }
                }
            }
        });
    }
    void TearDown() override {
        stop_accepting = true;
        acceptor.join();
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            expect_kernel_queue_matches_daemon();
        }
        if (pid_ > 0 && kill(pid_, 0) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // Skips the test when the tool is not installed, or fails it under CI; the caller returns
    // when HasFatalFailure() || IsSkipped().
    static void need(const char *tool) {
        if (run(std::string("command -v ") + tool + " >/dev/null") == 0) {
            return;
        }
        const char *ci = getenv("CI");
        if (ci != nullptr && strcmp(ci, "true") == 0) {
            FAIL() << tool << " is missing, and under CI a test may not be skipped";
        }
        GTEST_SKIP() << tool << " is not installed";
    }

    static void write_config(const std::vector<std::pair<std::string, std::string>> &keys) {
        std::string text = "# written by the test\n";
        for (auto &[key, value] : keys) {
            text += key + "=" + value + "\n";
        }
        run("mkdir -p /etc/opt/kel/kel-ulvo");
        std::ofstream(CONF) << text;
    }

    // Starts the daemon and waits for the end of its start-up; returns the start-status file.
    // A refused second daemon (expected_exit 1) ends the started process itself.
    std::string start_daemon(const std::string &env = "", int expected_exit = 0) {
        return start_daemon_binary(DAEMON, env, expected_exit);
    }
    std::string start_daemon_binary(const std::string &daemon, const std::string &env = "",
                                    int expected_exit = 0) {
        run(std::string("rm -f ") + START_STATUS);
        int rc = run("ulimit -c 0; " + env + " " + daemon + " >/dev/null 2>&1");
        EXPECT_EQ(rc, expected_exit) << "the started process exits 0 once it has forked, 1 when "
                                        "another daemon runs";
        std::string status;
        auto start = std::chrono::steady_clock::now();
        while (ms_since(start) < 15000) {
            status = read_file(START_STATUS);
            if (status.size() >= 4 && status.compare(status.size() - 4, 4, "end\n") == 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = block_pid();
        if (fast_path_run() && expected_exit == 0 && pid_ > 0 && rules_loaded()) {
            EXPECT_NE(run_output("iptables -S KEL_ULVO_QUEUE").find("--match-set"),
                      std::string::npos)
                << "this run is meant to have the fast path on";
        }
        return status;
    }

    // Signals the daemon this test started. Only a positive pid of a running kel-ulvod is
    // signalled: 0 or -1 (a block not yet written, a daemon gone) would reach this test's own
    // process group, or every process it may signal.
    int signal_daemon(int signal_number) const { return signal_kel_ulvod(pid_, signal_number); }
    static int signal_kel_ulvod(pid_t pid, int signal_number) {
        if (pid <= 0 || read_file("/proc/" + std::to_string(pid) + "/comm") != "kel-ulvod\n") {
            ADD_FAILURE() << "not signalled: " << pid << " is not the pid of a running kel-ulvod";
            return -1;
        }
        return kill(pid, signal_number);
    }

    // The pid recorded in the status block, or 0.
    static pid_t block_pid() {
        int id = shmget(0x4b554c56, 0, 0);
        if (id == -1) {
            return 0;
        }
        void *at = shmat(id, nullptr, SHM_RDONLY);
        if (at == reinterpret_cast<void *>(-1)) {
            return 0;
        }
        pid_t pid;
        memcpy(&pid, static_cast<char *>(at) + 128, sizeof pid);
        shmdt(at);
        return pid;
    }

    static bool block_exists() { return shmget(0x4b554c56, 0, 0) != -1; }
    static bool rules_loaded() {
        return run_output("iptables -S; ip6tables -S").find("KEL_ULVO") != std::string::npos;
    }

    // Waits for a child of this process (the daemon, reparented here) to end; its wait status.
    static int wait_exit(pid_t pid, int timeout_ms, double *elapsed_ms = nullptr) {
        auto start = std::chrono::steady_clock::now();
        int status = -1;
        while (ms_since(start) < timeout_ms) {
            pid_t got = waitpid(pid, &status, WNOHANG);
            if (got == pid || (got == -1 && errno == ECHILD)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (elapsed_ms != nullptr) {
            *elapsed_ms = ms_since(start);
        }
        return status;
    }

    // Milliseconds until a connection to the host is established, or -1 after the timeout.
    static double connect_ms(const std::string &host, int timeout_ms = 15000) {
        auto start = std::chrono::steady_clock::now();
        Fd fd = connect_nonblocking(host, SERVICE_PORT);
        return wait_connected(fd.get(), timeout_ms) ? ms_since(start) : -1;
    }

    // Starts connections to every host at once; returns their completion times in ms.
    static std::vector<double> connect_all(const std::vector<std::string> &hosts,
                                           int timeout_ms = 30000) {
        auto start = std::chrono::steady_clock::now();
        std::vector<Fd> fds;
        for (const std::string &host : hosts) {
            fds.push_back(connect_nonblocking(host, SERVICE_PORT));
        }
        std::vector<double> done(hosts.size(), -1);
        size_t left = hosts.size();
        while (left > 0 && ms_since(start) < timeout_ms) {
            std::vector<pollfd> polls;
            for (size_t i = 0; i < fds.size(); ++i) {
                polls.push_back({fds[i].get(), static_cast<short>(done[i] < 0 ? POLLOUT : 0), 0});
            }
            if (poll(polls.data(), polls.size(), 50) <= 0) {
                continue;
            }
            for (size_t i = 0; i < polls.size(); ++i) {
                if (done[i] < 0 && (polls[i].revents & POLLOUT) != 0) {
                    done[i] = ms_since(start);
                    --left;
                }
            }
        }
        return done;
    }

    // True when the daemons of this run use the kernel's fast path (CI runs the daemon's tests
    // once more so, through the environment that the daemon reads before its file).
    static bool fast_path_run() {
        const char *value = getenv("kernel_fast_path");
        return value != nullptr && strcmp(value, "1") == 0;
    }

    // With the fast path's counters there, waits until the daemon has folded in what the kernel
    // passed (it reads and zeroes them at each fold), and a little longer for the publishing.
    static void wait_for_fast_path_fold() {
        kernel_set_socket ks;
        if (kset_open(&ks) != 0) {
            return;
        }
        for (auto since = std::chrono::steady_clock::now(); ms_since(since) < 2000;) {
            uint64_t v4 = 0, v6 = 0;
            if (kacct_read(&ks, "kel_ulvo_fast4", &v4) != 0 ||
                kacct_read(&ks, "kel_ulvo_fast6", &v6) != 0 || v4 + v6 == 0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kset_close(&ks);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // The counters of "ulvostatus -status" by their labels; with the fast path, once the
    // packets that the kernel passed have been folded in.
    static std::map<std::string, long> status_counters(int *exit_status = nullptr) {
        wait_for_fast_path_fold();
        return parse_counters(
            run_output(std::string(STATUS_TOOL) + " -status 2>/dev/null", exit_status));
    }
    // The counters of a report by their labels; lines without a number after the colon are
    // passed over.
    static std::map<std::string, long> parse_counters(const std::string &report) {
        std::map<std::string, long> values;
        std::istringstream lines(report);
        std::string line;
        while (std::getline(lines, line)) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                values[line.substr(0, colon)] = strtol(line.c_str() + colon + 1, nullptr, 10);
            }
        }
        return values;
    }

    // Packets that the kernel holds in the daemon's queues, waiting for a verdict, by its own
    // count; -1 when it cannot be read.
    // A row of the kernel's queue table: the queue, the packets waiting and the id the queue
    // gave last (it grows by one for each packet queued).
    struct kernel_queue_row {
        long long queue, waiting, sequence;
    };
    // The table's rows; false when it cannot be read.
    static bool kernel_queue_rows(std::vector<kernel_queue_row> *rows) {
        std::ifstream table("/proc/net/netfilter/nfnetlink_queue");
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            // The peer's port id is a u32: not a long on i386.
            long long queue, peer, waiting, mode, range, dropped, user_dropped, sequence;
            if (fields >> queue >> peer >> waiting >> mode >> range >> dropped >> user_dropped >>
                sequence) {
                rows->push_back({queue, waiting, sequence});
            }
        }
        return table.eof();
    }
    static long kernel_queued() {
        std::vector<kernel_queue_row> rows;
        if (!kernel_queue_rows(&rows)) {
            return -1;
        }
        long total = 0;
        for (const kernel_queue_row &row : rows) {
            if (row.queue == 4401 || row.queue == 4406) {
                total += static_cast<long>(row.waiting);
            }
        }
        return total;
    }
    static long long kernel_queue_sequence(long long queue) {
        std::vector<kernel_queue_row> rows;
        kernel_queue_rows(&rows);
        for (const kernel_queue_row &row : rows) {
            if (row.queue == queue) {
                return row.sequence;
            }
        }
        return -1;
    }
    // Once the traffic has settled, every packet that the kernel holds for the daemon is one the
    // daemon reports as queued: nothing waits in the kernel that the daemon has forgotten.
    static void expect_kernel_queue_matches_daemon(int timeout_ms = 5000) {
        auto start = std::chrono::steady_clock::now();
        long kernel = -1, daemon = -2;
        while (ms_since(start) < timeout_ms) {
            kernel = kernel_queued();
            daemon = status_counters()["currently queued packets"];
            if (kernel == daemon) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the kernel holds " << kernel << " packets, the daemon reports " << daemon
                      << " queued\n"
                      << read_file("/proc/net/netfilter/nfnetlink_queue");
    }
    // Processes of the installed daemon in this sandbox, zombies left out.
    static std::vector<pid_t> daemon_pids() {
        std::vector<pid_t> pids;
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            std::error_code ignored;
            auto exe = std::filesystem::read_symlink(entry.path() / "exe", ignored);
            if (exe == DAEMON) {
                pids.push_back(static_cast<pid_t>(std::stol(entry.path().filename())));
            }
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return pids;
    }

    static int count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
            ++n;
        }
        return n;
    }

    Fd listener4, listener6;
    std::thread acceptor;
    std::atomic<bool> stop_accepting{false};
    pid_t pid_ = 0;
};
