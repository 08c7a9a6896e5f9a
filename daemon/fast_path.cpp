#include "fast_path.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "allow_list.h"
#include "common.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "helper.h"
#include "kernel_set.h"
#include "lifecycle.h"

namespace {

constexpr char FAST_PATH_RECORD[] = "/var/opt/kel/kel-ulvo/.fast_path";
const char *const names[2] = {FAST_PATH_IPV4, FAST_PATH_IPV6};

bool wanted = false;              // set before the threads start
std::atomic<bool> active{false};  // the rules use the sets
std::atomic<bool> failed{false};  // a change failed: the main thread takes the fast path back
bool prepared = false;            // the sets and counters exist (the main thread's, set once)
std::atomic<bool> counters_ready{false};  // the throttle threads may read the counters
// Each connection has one user at a time: the working set's changes and the guard's comparison
// (under the rule's lock); the removals (start-up, the main thread's take-back, the shutdown:
// should the shutdown cut a take-back short, the answers to the cut exchange are skipped by
// their sequence numbers); and each throttle thread its own counter.
kernel_set_socket changes, removal, counters[2];

const char *name_of(int ip_version) {
    return names[ip_version == 2 ? 1 : 0];
}

// The kernel's error as text: an errno value, or one of ipset's own codes.
const char *error_text(int code) {
    return code == KSET_NO_ANSWER ? "no answer within a second"
           : code >= 4096         ? "refused by the IP set module"
                                  : strerror(code);
}

// A change failed: the sets are emptied, so that they never hold a destination the working set
// does not: every packet then goes to the daemon, as without the fast path, until the main
// thread takes the rules back. The rule's lock is held.
void fail_locked() {
    active = false;
    kset_flush(&changes, names[0]);
    kset_flush(&changes, names[1]);
    failed = true;
}

// The unspecified address (0.0.0.0, the working set's first fill) is no destination a packet
// leaves with, and an IP set cannot hold it: it is left to the daemon.
bool unspecified(const policy_address *address) {
    static constexpr unsigned char zero[16] = {};
    return memcmp(address->addr, zero, sizeof zero) == 0;
}

// The working set's hook: the kernel's copy changes in the same step.
void mirror(const policy_address *left, const policy_address *joined) {
    if (!active.load(std::memory_order_relaxed)) {
        return;
    }
    if (left != nullptr && unspecified(left)) {
        left = nullptr;
    }
    if (unspecified(joined)) {
        joined = nullptr;
    }
    int rc = 0;
    if (left != nullptr && (joined == nullptr || left->ip_version != joined->ip_version)) {
        rc = kset_replace(&changes, name_of(left->ip_version), left->ip_version, left->addr,
                          nullptr);
        left = nullptr;
    }
    if (rc == 0 && joined != nullptr) {
        rc = kset_replace(&changes, name_of(joined->ip_version), joined->ip_version,
                          left != nullptr ? left->addr : nullptr, joined->addr);
    }
    if (rc != 0) {
        fail_locked();
    }
}

// The guard's comparison, under the rule's lock: what the sets held that the working set does
// not (taken out) and what they lacked (put in); an error ends the fast path as in mirror.
struct mending {
    int removed, added;
};
mending mended;

bool same_member(const unsigned char *a, const unsigned char *b) {
    return memcmp(a, b, 16) == 0;
}

void mend_family(int version, const policy_address *members, int count, unsigned char (*kernel)[16],
                 int in_kernel) {
    const char *name = name_of(version);
    int rc = 0;
    for (int k = 0; k < in_kernel && rc == 0; ++k) {
        bool wanted_member = std::any_of(members, members + count, [&](const policy_address &m) {
            return m.ip_version == version && same_member(m.addr, kernel[k]);
        });
        if (!wanted_member) {
            rc = kset_replace(&changes, name, version, kernel[k], nullptr);
            ++mended.removed;
        }
    }
    for (int i = 0; i < count && rc == 0; ++i) {
        const policy_address &m = members[i];
        if (m.ip_version == version && !unspecified(&m) &&
            std::none_of(kernel, kernel + in_kernel,
                         [&](const unsigned char *k) { return same_member(m.addr, k); })) {
            rc = kset_replace(&changes, name, version, nullptr, m.addr);
            ++mended.added;
        }
    }
    if (rc != 0) {
        fail_locked();
    }
}

void compare_and_mend(const policy_address *members, int count) {
    static unsigned char kernel[KSET_MAX_MEMBERS][16];  // the main thread's alone
    mended = mending{};
    for (int version = 1; version <= 2 && active.load(); ++version) {
        int in_kernel = 0;
        if (kset_members(&changes, name_of(version), kernel, KSET_MAX_MEMBERS, &in_kernel) != 0) {
            fail_locked();
            return;
        }
        mend_family(version, members, count, kernel, in_kernel);
    }
}

// Removes whatever the names hold (a set or counter left by a daemon that was killed, too).
void remove_objects(kernel_set_socket *connection) {
    for (const char *name : names) {
        kset_destroy(connection, name);
        kacct_delete(connection, name);
    }
}

int make_objects() {
    for (kernel_set_socket *connection : {&changes, &removal, &counters[0], &counters[1]}) {
        if (int rc = kset_open(connection); rc != 0) {
            return rc;
        }
    }
    remove_objects(&removal);
    for (int version = 1; version <= 2; ++version) {
        if (int rc = kset_create(&removal, name_of(version), version); rc != 0) {
            return rc;
        }
        if (int rc = kacct_create(&removal, name_of(version)); rc != 0) {
            return rc;
        }
    }
    return 0;
}

}  // namespace

void fast_path_configure(bool on) {
    wanted = on;
}

bool fast_path_wanted() {
    return wanted;
}

bool fast_path_prepare() {
    if (!wanted || prepared) {
        return active;
    }
    prepared = true;
    int rc = make_objects();
    if (rc == 0) {
        // The sets get the working set's members and every change from now on; the rules that
        // use them come next.
        active = true;
        set_working_set_hook(mirror);
        if (failed.exchange(false)) {
            set_working_set_hook(nullptr);
            rc = EIO;
        }
    }
    if (rc != 0) {
        active = false;
        remove_objects(&removal);
        lib_report(TAG_WARNING, true,
                   "   the kernel fast path is off: its IP sets and counters could not be made,\n"
                   "   error %d (%s); every connection-establishing packet goes to kel-ulvod\n",
                   rc, error_text(rc));
        return false;
    }
    counters_ready.store(true, std::memory_order_release);
    return true;
}

bool fast_path_active() {
    return active.load(std::memory_order_relaxed);
}

uint64_t fast_path_take(int ip_version) {
    uint64_t packets = 0;
    if (!counters_ready.load(std::memory_order_acquire) ||
        kacct_take(&counters[ip_version == 2 ? 1 : 0], name_of(ip_version), &packets) != 0) {
        return 0;
    }
    return packets;
}

void fast_path_check() {
    if (!failed.exchange(false)) {
        return;
    }
    lib_report(TAG_WARNING, false,
               "   the kernel fast path could not follow the working set and is off from now "
               "on;\n   every connection-establishing packet goes to kel-ulvod\n");
    set_working_set_hook(nullptr);  // the rule's lock: before the helper's turn, never in it
    set_helper_fast_path(false);
    unlink(FAST_PATH_RECORD);
    {
        rules_exchange_guard exchange;
        if (current_phase() != PHASE_RUNNING) {
            return;  // the shutdown removes rules and sets
        }
        int status = run_helper(CMD_LOAD_ALLOW_LIST);
        if (status != 0) {
            lib_report(TAG_WARNING, false,
                       "   could not take the rules back without the fast path, \n"
                       "   \"%s\" returned %d; its sets stay empty\n",
                       CMD_LOAD_ALLOW_LIST, helper_exit_status(status));
            return;
        }
    }
    for (const char *name : names) {
        kset_destroy(&removal, name);  // the counters stay: the threads read what is left
    }
}

void fast_path_verify() {
    if (!active.load()) {
        return;
    }
    visit_working_set(compare_and_mend);
    if (mended.removed + mended.added > 0) {
        lib_report(TAG_WARNING, false,
                   "   the kernel fast path's IP sets differed from the working set and were "
                   "mended:\n   %d taken out, %d put in\n",
                   mended.removed, mended.added);
    }
}

void fast_path_remove() {
    if (!prepared) {
        return;
    }
    active = false;
    remove_objects(&removal);
}
