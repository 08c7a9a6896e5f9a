// The daemon's side of the status block: taking the key, publishing the counters, removing it.
#pragma once

#include <cstdint>

#include "shm_layout.h"

// Detaches and removes the block that alloc_mem made; nothing without one.
void shm_block_free();
// What alloc_mem would find under the key, without touching it: SHM_FREE (no block, a stale one
// of this build, or an impostor's that alloc_mem removes), SHM_FOREIGN (another application's,
// or the other build's; the segment owner's uid into *owner) or SHM_LIVE (a live kel-ulvod
// other than this process holds it; its pid into *owner).
enum { SHM_FREE = 0, SHM_FOREIGN = 1, SHM_LIVE = 2 };
int shm_block_in_the_way(int32_t key, int32_t *owner);
// The start-up reports with which alloc_mem refuses a foreign block or a live one's.
void report_block_in_use(int32_t key, int32_t owner_uid);
void report_other_instance(int32_t pid);

// Publish a throttle thread's or the de-throttle thread's counters: 0, or 1 without a block.
int update_ipv4_tt_shm(const tt_stat *stat);
int update_ipv6_tt_shm(const tt_stat *stat);
int update_dtt_shm(const dtt_stat *stat);
