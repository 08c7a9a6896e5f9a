// The worker threads: a throttle thread per address family the kernel can queue, the
// de-throttle thread and the answers thread.
#pragma once

#include "config.h"

// Starts every worker; a failure ends the start through the shutdown.
void start_workers(const ulvo_config *config);
// Accepts every packet the throttle threads' queues still hold (the shutdown's part, once
// nothing new is queued); a failure is a warning.
void accept_held_packets();
