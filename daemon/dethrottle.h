// The de-throttle thread: once per delay it releases the oldest held destination, and whenever
// answer credit comes back while packets wait, it spends it on the oldest held destinations.
#pragma once

#include "shm_block.h"

// Before the thread starts: its wake-up. 0, or 1 reported.
int dethrottle_setup();
// The de-throttle thread's body; its argument is the daemon's configuration.
void *dethrottle_thread_start(void *config);
// Wakes the thread to spend credit that came back (the answers thread).
void dethrottle_wake();
// One release when it is due, or (credit_only) what credit pays for: 0 to go on, 1 when a
// verdict failed (reported).
int dethrottle_pass(dtt_stat *counters, bool credit_only = false);
