// The packet-filter rules that the daemon keeps in force after its start: the allow-list,
// taken into use at the end of start-up, and the guard, which puts back what another tool
// removed of the rules. Both ask the helper script and read what it answers. The guard runs on
// the main thread, every RULE_GUARD_PERIOD_MS and whenever the helper's check_rules verb
// asks for it (it leaves the request file RULE_CHECK_REQUEST).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int64_t RULE_GUARD_PERIOD_MS = 10000;

// The first step that touches the kernel: old rules go, the IPv4 modules come. 0, or 1
// reported.
int prepare_kernel();
// The last start-up step, under the rules-exchange guard, after the fast path was prepared:
// the rules, then the allow-list. 0, or 1 with the reason reported to the event log and the
// start-status file and no rules left.
int load_rules();
// The allow-list part of it: 0, or 1 with the helper's reason reported.
int load_allow_list();
// The main thread's rule guard: checks the rules and puts back what is missing, while the
// daemon runs (the shutdown waits for a check to end).
void check_rules_now();
// One check of the rules, under the rules-exchange guard; ipv6 when the daemon throttles IPv6 too.
// Restored rules are reported as a warning and counted; a change of the allow-list in force
// (reloaded by hand) is logged and published.
void guard_rules(bool ipv6);
// Entries of the allow-list in force, -1 before it is loaded.
int allow_entries_in_force();
// The helper's check_rules verb creates it; the main thread looks for it at least once a second.
inline constexpr char RULE_CHECK_REQUEST[] = "/var/opt/kel/kel-ulvo/.check_rules";
// True once for each request since the last call.
bool rule_check_requested();

// Moves the detail lines that begin with prefix from detail into taken (size bytes, always
// terminated; lines beyond it are dropped); returns the length taken.
size_t take_detail_lines(char *detail, const char *prefix, char *taken, size_t size);
// Reads the helper's answer: returns N of its "allow_entries=N" line (-1 without one) and
// writes every other line to rest, indented by three blanks as the event log's detail lines,
// with the guard's "restored " prefix dropped.
int parse_helper_output(const char *output, char *rest, size_t size);
