// The helper script kel-ulvo-iptables, which loads the kernel modules and the packet-filter
// rules: its verbs as the daemon runs them, and the one way to run them.
#pragma once

#include <sys/wait.h>

#include <cstddef>
#include <cstdint>

#include "guards.h"

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

// How long a helper may run before it is ended with everything it started: well under the
// watchdog's period, since the main thread waits for the rule guard.
inline constexpr int64_t HELPER_TIME_LIMIT_MS = 10000;
// Runs a helper command line through bash and returns its wait status (-1 without a child); a
// helper still running after HELPER_TIME_LIMIT_MS is killed (reported).
int run_helper(const char *command);
// The same, with the command's standard output and error into output (size bytes, always
// terminated; the rest is read and dropped).
int run_helper_capture(const char *command, char *output, size_t size);
// The daemon's helper runs that change the kernel's rules (the start's load, the guard's
// repair, the fast path's take-back and the shutdown's removal) take turns: each holder checks
// the phase once it has the turn, so that nothing is loaded after the shutdown removed it.
// Signals are blocked while it is held: the shutdown waits for it. Nothing that takes the rule's
// lock or talks netlink runs under it.
class rules_exchange_guard {
  public:
    rules_exchange_guard();
    ~rules_exchange_guard();
    rules_exchange_guard(const rules_exchange_guard &) = delete;
    rules_exchange_guard &operator=(const rules_exchange_guard &) = delete;

  private:
    signal_blocker blocked_;
};
// Tells the helper's rule loads whether the fast path's sets exist (KEL_ULVO_FAST_PATH=1).
void set_helper_fast_path(bool on);
// The exit status in a wait status; 128 + the signal for a helper that a signal ended, as a
// shell reports it.
inline int helper_exit_status(int wait_status) {
    if (wait_status != -1 && WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return WEXITSTATUS(wait_status);
}
