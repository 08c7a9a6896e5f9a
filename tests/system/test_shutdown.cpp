// The shutdown against the daemon's own functions, in a process of its own: a signal that
// reaches a worker holding the rule's lock while the main thread's rule guard is under way
// (the kernel fast path on, its IP sets real) must still end the daemon, at once.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "allow_list.h"
#include "capture.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "fast_path.h"
#include "kernel_sets.h"
#include "lifecycle.h"
#include "rules.h"
#include "sandbox.h"
#include "shutdown.h"
#include "ulvolib_testing.h"

namespace {

constexpr char HELPER_PATH[] = "/opt/kel/kel-ulvo/kel-ulvo-iptables";

// The helper's stand-in: every verb ends at once but the guard's, which says it runs (a file)
// and takes half a second, as a helper waiting for iptables does.
void write_helper_stand_in(const std::string &running) {
    run("mkdir -p /opt/kel/kel-ulvo /var/opt/kel/kel-ulvo");
    std::ofstream(HELPER_PATH) << "#!/bin/bash\n"
                                  "echo \"$1\" >>" +
                                      running +
                                      ".verbs\n"
                                      "[ \"$1\" = guard_rules ] || exit 0\n"
                                      ": >" +
                                      running +
                                      "\n"
                                      "sleep 0.5\n"
                                      "echo allow_entries=0\n";
    run(std::string("chmod 0755 ") + HELPER_PATH);
}

std::atomic<bool> rule_held{false};

// A worker as the signal finds it: holding the rule's lock, signals open.
void *worker_holding_the_rule(void *) {
    hold_rule_lock_for_test(true);
    rule_held = true;
    for (;;) {
        pause();
    }
}

// The daemon's part, in the child: the rule, the fast path's sets, the handlers, a worker
// holding the rule's lock; then the rule guard on the main thread, during which SIGTERM reaches
// the worker. Returns only if the shutdown never ended the process.
void run_daemon_part(const std::string &running, const std::string &log_path) {
    FILE *log = fopen(log_path.c_str(), "w");
    setvbuf(log, nullptr, _IONBF, 0);
    set_ulvolib_output(log);
    ulvo_config config{5, 1, 10, 8, 4, 0x4b554c56};
    if (init_log_lock() != 0 || init_daemon_rule(&config) != 0) {
        _exit(3);
    }
    fast_path_configure(true);
    if (!fast_path_prepare()) {
        _exit(4);
    }
    register_main_thread();
    set_phase(PHASE_RUNNING);
    if (set_sig_handler(log) != 0) {
        _exit(5);
    }
    pthread_t worker;
    pthread_create(&worker, nullptr, worker_holding_the_rule, nullptr);
    register_worker(THREAD_DETHROTTLE, worker);
    while (!rule_held) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The signal comes while the guard's helper runs: once the stand-in says so.
    std::thread signaller([&running, worker] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        while (access(running.c_str(), F_OK) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pthread_kill(worker, SIGTERM);
    });
    signaller.detach();
    check_rules_now();
    // The main loop goes on until the shutdown stops this thread and ends the process.
    for (;;) {
        pause();
    }
}

TEST(Shutdown, ASignalToAWorkerHoldingTheRuleEndsTheDaemonDuringTheGuard) {
    const std::string running = private_dir() + "/guard-running";
    const std::string log_path = private_dir() + "/event.log";
    write_helper_stand_in(running);

    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        run_daemon_part(running, log_path);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (got == 0) {
        kill(child, SIGKILL);  // the child this test forked, by the pid fork gave it
        waitpid(child, &status, 0);
        FAIL() << "the daemon hung in its shutdown (ended by the test after 10 s)\n"
               << read_file(log_path);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << read_file(log_path);
    EXPECT_LT(seconds, 3.0) << "the shutdown waits only for the guard's helper and its own pause";
    std::string log = read_file(log_path);
    EXPECT_NE(log.find("on signal 15 (SIGTERM)"), std::string::npos) << log;
    // The removal came after the guard, in its turn, and the sets went with the daemon.
    EXPECT_EQ(read_file(running + ".verbs"), "guard_rules\ndetach_rules\nunload_rules\n");
    kernel_set_socket ks;
    ASSERT_EQ(kset_open(&ks), 0);
    int rc = 0;
    set_members(&ks, FAST_PATH_IPV4, &rc);
    EXPECT_EQ(rc, ENOENT) << "the IPv4 set is removed";
    kset_close(&ks);
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
