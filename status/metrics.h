// ulvostatus -metrics: the daemon's status as Prometheus text exposition (format 0.0.4), and the
// kernel's own counters of the daemon's packet queues.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config.h"
#include "cre_pool.h"
#include "owner_block.h"
#include "shm_layout.h"

// Where the kernel lists the nfnetlink queues of the caller's network namespace.
inline constexpr char NFQUEUE_TABLE_PATH[] = "/proc/net/netfilter/nfnetlink_queue";

// The kernel's counters of one packet queue.
struct kernel_queue_stat {
    uint16_t queue;
    bool bound;             // the table has a line for it: some program reads the queue
    uint32_t waiting;       // packets waiting for a verdict
    uint32_t dropped;       // dropped because the queue was full
    uint32_t user_dropped;  // dropped because the reader's socket could not take them
};

// Everything one run writes. The block's values count only when up.
struct ulvo_metrics {
    bool up;  // the status block was read and the daemon it records runs
    int32_t water_gauge;
    tt_stat ipv4;
    tt_stat ipv6;
    dtt_stat dtt;
    ulvo_config config;  // the daemon's when up, else what the configuration says
    kernel_queue_stat kernel[2];
    int owners;  // entries of held_by: the running daemon's held connections by owning uid
    owner_count held_by[OWNER_SLOTS + 1];
    bool rules_known;         // the daemon published the state of its rules
    uint32_t allow_entries;   // allow-list entries in force
    uint32_t rules_restored;  // times the rule guard put missing rules back
    bool credit_known;        // answer credit is on and the daemon published it
    owner_block_credit credit;
};

// Looks the queue up in the text of the kernel's queue table: 0 with its counters filled in, 1
// when the table has no readable line for it (stat->bound false).
int parse_nfqueue_table(const char *table, uint16_t queue, kernel_queue_stat *stat);
// Writes every metric, with HELP and TYPE lines, to the stream: 0, or 1 when the stream
// reports an error.
int write_metrics(FILE *out, const ulvo_metrics *metrics);
