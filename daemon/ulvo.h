// kel-ulvod: start-up, the throttle threads, the de-throttle thread and the one shutdown.
#pragma once

#include <pthread.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "config.h"
#include "cre_pool.h"
#include "nllib.h"
#include "shm_block.h"
#include "version.h"

// Milliseconds of the monotonic clock: what the daemon's periods and episodes are timed with.
inline int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Source unit name that the daemon's report lines end with.
inline constexpr char ULVO_UNIT[] = "ulvo";

inline constexpr char ULVO_LOG_PATH[] = "/var/opt/kel/kel-ulvo/kel-ulvo.log";
inline constexpr char ULVO_START_STATUS_PATH[] = "/var/opt/kel/kel-ulvo/.start_status.txt";
// Held locked by the running daemon, with its pid in it: one daemon per host.
inline constexpr char ULVO_LOCK_PATH[] = "/var/opt/kel/kel-ulvo/kel-ulvod.lock";
inline constexpr char CMD_UNLOAD_RULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables unload_rules &>/dev/null;";
inline constexpr char CMD_DETACH_RULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables detach_rules &>/dev/null;";
inline constexpr char CMD_LOAD_IPV4_MODULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables load_ipv4_modules &>/dev/null;";
inline constexpr char CMD_LOAD_IPV6_MODULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables load_ipv6_modules &>/dev/null;";
inline constexpr char CMD_LOAD_RULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables load_rules &>/dev/null;";
// Run with their output captured: it is reported, and the helper's "allow_entries=N" read.
inline constexpr char CMD_LOAD_ALLOW_LIST[] = "/opt/kel/kel-ulvo/kel-ulvo-iptables load_allow_list";
inline constexpr char CMD_GUARD_IPV4_RULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables guard_rules iptables";
inline constexpr char CMD_GUARD_RULES[] =
    "/opt/kel/kel-ulvo/kel-ulvo-iptables guard_rules iptables ip6tables";
// The helper's exit status when IPv6 queueing is not available.
inline constexpr int HELPER_NO_IPV6 = 21;
// The guard verb's exit status when it put missing rules back.
inline constexpr int HELPER_RESTORED = 3;

// What one throttle thread works with.
struct tt_param {
    char thread_name[20];     // "IPv4" or "IPv6"
    int32_t ip_version;       // 1 or 2
    int32_t protocol_family;  // AF_INET or AF_INET6
    nl_filter_handle filter;  // the thread's queue connection
    pthread_t thread_id;
    const ulvo_config *config;
    int (*update_tt_stat)(const tt_stat *stat);  // publishes the thread's counters
    uint64_t unusable_crs;                       // packets accepted unjudged: unreadable
    int64_t unusable_reported_ms;                // when they were last reported (monotonic)
};

// The command line: "--help" and "--version" are answered on standard output (0), anything
// else is refused before anything is touched (2); -1 when there are no arguments and the
// daemon is to start.
int ulvo_options(int argc, char **argv);
// The daemon's whole life: start-up, then waiting for signals.
int ulvo_main();

// Installs sig_handler for every signal that would end the process: 0, or 1 reported to out.
int set_sig_handler(FILE *out);
// The one shutdown: rules unloaded, threads stopped, status block removed, process ended.
void sig_handler(int signal_number);
// True once the shutdown has begun.
bool shutting_down();
// Asks for the one shutdown, which then runs on the calling thread.
void request_shutdown();
// A worker thread's end after a fatal error: asks for the shutdown and never returns.
[[noreturn]] void end_worker_thread();
// Parks a worker thread that found the shutdown under way until the process ends.
[[noreturn]] void park_worker_thread();

// How long a helper may run before it is ended with everything it started: well under the
// watchdog's period, since the main thread waits for the rule guard.
inline constexpr int64_t HELPER_TIME_LIMIT_MS = 10000;
// Runs a helper command line through bash and returns its wait status (-1 without a child); a
// helper still running after HELPER_TIME_LIMIT_MS is killed (reported).
int run_helper(const char *command);
// The same, with the command's standard output and error into output (size bytes, always
// terminated; the rest is read and dropped).
int run_helper_capture(const char *command, char *output, size_t size);
// The main thread's rule guard: checks the rules and puts back what is missing, unless the
// start has not ended or the shutdown has begun (which then waits for the check to end).
void check_rules_now();
// The exit status in a wait status; 128 + the signal for a helper that a signal ended, as a
// shell reports it.
inline int helper_exit_status(int wait_status) {
    if (wait_status != -1 && WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WEXITSTATUS(wait_status);
}

// Opens the thread's queue connection and starts the thread: 0, or 1 reported.
int create_throttle_thread(tt_param *param);
// The throttle thread's body.
void *throttle_thread_start(void *param);
// Handles the message just received into *current: 0 to go on, 1 when the thread must end.
int handle_message(tt_param *param, cre **current, tt_stat *counters);

// The de-throttle thread's body; its argument is the daemon's configuration.
void *dethrottle_thread_start(void *config);
// One release after the thread's sleep: 0 to go on, 1 when a verdict failed (reported).
int dethrottle_pass(dtt_stat *counters);
