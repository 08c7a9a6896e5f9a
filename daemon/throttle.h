// The throttle threads: one per address family, each reading its own packet queue and judging
// every connection-establishing packet at once.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "config.h"
#include "cre_pool.h"
#include "nllib.h"
#include "shm_block.h"

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

// Opens the thread's queue connection and starts the thread: 0, or 1 reported.
int create_throttle_thread(tt_param *param);
// The throttle thread's body.
void *throttle_thread_start(void *param);
// Handles the message just received into *current: 0 to go on, 1 when the thread must end.
int handle_message(tt_param *param, cre **current, tt_stat *counters);
