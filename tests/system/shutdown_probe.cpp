// The daemon's part of Shutdown.ASignalToAWorkerHoldingTheRuleEndsTheDaemonDuringTheGuard, a
// program of its own: the rule, the fast path's sets, the handlers, a worker holding the rule's
// lock; then the rule guard on the main thread, during which SIGTERM reaches the worker. Only
// the shutdown ends it.
//
// usage: shutdown_probe RUNNING_FILE EVENT_LOG
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

#include "daemon_rule.h"
#include "event_log.h"
#include "fast_path.h"
#include "lifecycle.h"
#include "rules.h"
#include "shutdown.h"
#include "ulvolib_testing.h"

namespace {

const char *running = nullptr;
std::atomic<bool> rule_held{false};

// A worker as the signal finds it: holding the rule's lock, signals open.
void *worker_holding_the_rule(void *) {
    hold_rule_lock_for_test(true);
    rule_held = true;
    for (;;) {
        pause();
    }
}

// Sends SIGTERM to the worker once the guard's helper says it runs; takes no signal itself.
void *signal_during_the_guard(void *worker) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (access(running, F_OK) != 0) {
        usleep(1000);
    }
    pthread_kill(*static_cast<pthread_t *>(worker), SIGTERM);
    return nullptr;
}

// The daemon's part, in the child: the rule, the fast path's sets, the handlers, a worker
// holding the rule's lock; then the rule guard on the main thread, during which SIGTERM reaches
// the worker. Only the shutdown ends it.
void run_daemon_part(const char *log_path) {
    FILE *log = fopen(log_path, "w");
    setvbuf(log, nullptr, _IONBF, 0);
    // The time zone is read once, as the daemon's first event-log line does at its start: not
    // for the first time inside the signal handler.
    tzset();
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
        usleep(1000);
    }
    // The signal comes while the guard's helper runs: once the stand-in says so.
    pthread_t signaller;
    pthread_create(&signaller, nullptr, signal_during_the_guard, &worker);
    pthread_detach(signaller);
    check_rules_now();
    // The main loop goes on until the shutdown stops this thread and ends the process.
    for (;;) {
        pause();
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: shutdown_probe RUNNING_FILE EVENT_LOG\n");
        return 2;
    }
    running = argv[1];
    run_daemon_part(argv[2]);
}
