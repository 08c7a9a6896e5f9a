// The de-throttle thread: once per delay it releases the oldest held destination.
#pragma once

#include "shm_block.h"

// The de-throttle thread's body; its argument is the daemon's configuration.
void *dethrottle_thread_start(void *config);
// One release after the thread's sleep: 0 to go on, 1 when a verdict failed (reported).
int dethrottle_pass(dtt_stat *counters);
