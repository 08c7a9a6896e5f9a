// The kernel's fast path (kernel_fast_path=1): the working set is mirrored into an IP set per
// family, and the queue rules return a new connection to a member before it is queued, so that
// packets to known hosts never leave the kernel. A rule counts what it returns, and the
// throttle threads fold those counts into their own at least every FAST_PATH_FOLD_MS. The sets
// and counters are made before the rules are loaded and removed after they are unloaded; when
// they cannot be made or a change fails, the daemon says so once and goes on without them.
#pragma once

#include <cstdint>

// How often a throttle thread reads its family's counter.
inline constexpr int FAST_PATH_FOLD_MS = 200;

// Set from the configuration before the threads start.
void fast_path_configure(bool wanted);
bool fast_path_wanted();
// Before the rules are loaded: makes the sets, filled with the working set, and the counters,
// and from then on mirrors every change. true when the rules are to use them; false when the
// fast path is off or could not be made (reported once).
bool fast_path_prepare();
// true while the rules use it.
bool fast_path_active();
// A throttle thread's fold: the packets its family's rules returned since the last call (read
// and zeroed in the kernel in one step); 0 when the fast path is off or the read failed.
uint64_t fast_path_take(int ip_version);
// The main thread: after a change failed, takes the rules back without the fast path (the
// allow-list reloaded, which replaces the chains in one step) and removes the sets.
void fast_path_check();
// The main thread's guard: compares the sets with the working set and mends what differs
// (another tool changed them), logged.
void fast_path_verify();
// The shutdown, after the rules are gone: removes the sets and the counters.
// Async-signal-safe.
void fast_path_remove();
