#include "rules.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "event_log.h"
#include "fast_path.h"
#include "helper.h"
#include "lifecycle.h"
#include "owner_block.h"

namespace {

constexpr char RESTORED_PREFIX[] = "restored ";
constexpr char ENTRIES_PREFIX[] = "allow_entries=";

constexpr char UNTRACKED_PREFIX[] = "   untracked ";

std::atomic<int> allow_entries{-1};  // written by the main thread, read by the syslog feed
// The main thread's alone.
uint32_t rules_restored = 0;
bool failure_reported = false;  // a guard that keeps failing is reported once
char untracked_reported[1024];  // the untracked rules last reported, so that each set is once

// Rules that keep packets from connection tracking are taken out of the helper's answer and
// reported once for each set of them (and once when they are gone).
void report_untracked(char *detail) {
    char untracked[sizeof untracked_reported];
    take_detail_lines(detail, UNTRACKED_PREFIX, untracked, sizeof untracked);
    if (strcmp(untracked, untracked_reported) == 0) {
        return;
    }
    if (untracked[0] != '\0') {
        lib_report(TAG_WARNING, false,
                   "   packet-filter rules keep connections from connection tracking, so that\n"
                   "   kel-ulvod never sees them:\n%s",
                   untracked);
    } else {
        lib_report(TAG_INFO, false,
                   "   no packet-filter rule keeps connections from connection tracking any "
                   "more\n");
    }
    memcpy(untracked_reported, untracked, sizeof untracked_reported);
}

void publish() {
    owner_block_publish_rules(static_cast<uint32_t>(std::max(allow_entries.load(), 0)),
                              rules_restored);
}

}  // namespace

size_t take_detail_lines(char *detail, const char *prefix, char *taken, size_t size) {
    size_t kept = 0;
    size_t written = 0;
    size_t prefix_length = strlen(prefix);
    if (size > 0) {
        taken[0] = '\0';
    }
    for (char *line = detail; *line != '\0';) {
        size_t length = strcspn(line, "\n");
        size_t whole = length + (line[length] == '\n' ? 1 : 0);
        if (length >= prefix_length && strncmp(line, prefix, prefix_length) == 0) {
            if (written + whole < size) {
                memcpy(taken + written, line, whole);
                written += whole;
                taken[written] = '\0';
            }
        } else {
            memmove(detail + kept, line, whole);
            kept += whole;
        }
        line += whole;
    }
    detail[kept] = '\0';
    return written;
}

int parse_helper_output(const char *output, char *rest, size_t size) {
    int entries = -1;
    size_t written = 0;
    if (size > 0) {
        rest[0] = '\0';
    }
    for (const char *line = output; *line != '\0';) {
        size_t length = strcspn(line, "\n");
        if (length > sizeof ENTRIES_PREFIX - 1 &&
            strncmp(line, ENTRIES_PREFIX, sizeof ENTRIES_PREFIX - 1) == 0) {
            entries = atoi(line + sizeof ENTRIES_PREFIX - 1);
        } else if (length > 0 && written < size) {
            const char *text = line;
            if (strncmp(text, RESTORED_PREFIX, sizeof RESTORED_PREFIX - 1) == 0) {
                text += sizeof RESTORED_PREFIX - 1;
            }
            int n = snprintf(rest + written, size - written, "   %.*s\n",
                             static_cast<int>(line + length - text), text);
            written = std::min(size - 1, written + static_cast<size_t>(std::max(n, 0)));
        }
        line += length;
        if (*line == '\n') {
            ++line;
        }
    }
    return entries;
}

int load_allow_list() {
    char output[2048];
    char detail[2048];
    int status = run_helper_capture(CMD_LOAD_ALLOW_LIST, output, sizeof output);
    int entries = parse_helper_output(output, detail, sizeof detail);
    if (status != 0 || entries < 0) {
        lib_report(TAG_ERROR, true, "   could not load the allow-list, \n   \"%s\" returned %d\n%s",
                   CMD_LOAD_ALLOW_LIST, helper_exit_status(status), detail);
        return 1;
    }
    allow_entries = entries;
    publish();
    return 0;
}

int prepare_kernel() {
    run_helper(CMD_UNLOAD_RULES);
    int status = run_helper(CMD_LOAD_IPV4_MODULES);
    if (status != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not load required iptable modules using \n\"%s\", rc=%d\n",
                   CMD_LOAD_IPV4_MODULES, helper_exit_status(status));
        return 1;
    }
    return 0;
}

int load_rules() {
    int status = run_helper(CMD_LOAD_RULES);
    if (status != 0) {
        run_helper(CMD_UNLOAD_RULES);
        lib_report(TAG_ERROR, true, "   could not load iptable rules, \n   \"%s\" returned %d\n",
                   CMD_LOAD_RULES, helper_exit_status(status));
        return 1;
    }
    if (load_allow_list() != 0) {
        run_helper(CMD_UNLOAD_RULES);
        return 1;
    }
    return 0;
}

// The helper's repair takes its turn with the shutdown's removal; the fast path's comparison
// takes the rule's lock and so runs outside every lock the shutdown takes. A shutdown that
// begins meanwhile removes the sets, and the comparison then fails harmlessly.
void check_rules_now() {
    {
        rules_exchange_guard exchange;
        if (current_phase() != PHASE_RUNNING) {
            return;  // the shutdown removes the rules; a start in progress has not loaded them yet
        }
        guard_rules(worker_running(THREAD_IPV6));
    }
    if (!shutting_down()) {
        fast_path_verify();
    }
}

void guard_rules(bool ipv6) {
    char output[2048];
    char detail[2048];
    const char *command = ipv6 ? CMD_GUARD_RULES : CMD_GUARD_IPV4_RULES;
    int status = run_helper_capture(command, output, sizeof output);
    int entries = parse_helper_output(output, detail, sizeof detail);
    int code = helper_exit_status(status);
    report_untracked(detail);
    if (status != -1 && code == HELPER_RESTORED) {
        ++rules_restored;
        lib_report(TAG_WARNING, false,
                   "   rules of kel-ulvo were missing and have been restored:\n%s", detail);
        failure_reported = false;
    } else if (status != 0) {
        if (!failure_reported) {
            lib_report(TAG_WARNING, false,
                       "   could not check the rules of kel-ulvo, \n   \"%s\" returned %d\n%s",
                       command, code, detail);
        }
        failure_reported = true;
    } else {
        failure_reported = false;
    }
    int before = allow_entries.load();
    if (entries >= 0 && entries != before) {
        allow_entries = entries;
        lib_report(TAG_INFO, false, "   the allow-list in force has %d entries (before: %d)\n",
                   entries, before);
    }
    publish();
}

int allow_entries_in_force() {
    return allow_entries.load();
}

bool rule_check_requested() {
    return unlink(RULE_CHECK_REQUEST) == 0;  // taken, so that one request makes one check
}
