// The status tool's side of the status block: consistent copies of its sections. Every reader
// names the block by its key (the configuration's shared_memory_key).
#pragma once

#include <cstddef>
#include <cstdint>

#include "shm_layout.h"

// Looks the block up under the key and attaches it read-only: 0, or 1 reported.
int shm_block_attach(int32_t key, shm_stat_block **address);
// True when a segment exists under the key (also one this process may not see); says nothing
// either way.
bool shm_block_exists(int32_t key);
// The pid that the block records as its daemon's: 0, or 1 reported.
int get_shm_owner_pid(int32_t key, int32_t *pid);
// True when the process exists and is neither stopped nor a zombie.
bool process_running(int32_t pid);
// When the process started, in clock ticks since boot (/proc/PID/stat); 0 when it cannot be
// read.
uint64_t process_start_ticks(int32_t pid);
// Detaches a mapping: 0, or 1 reported.
int shm_block_detach(shm_stat_block *address);
// Copies the section between the signature words at the two offsets consistently: 0, or 1
// reported.
int get_shm_struct(int32_t key, size_t begin_offset, size_t end_offset, void *destination);
// Consistent copies of one section each: 0, or 1 reported.
int get_ipv4_tt_stat(int32_t key, tt_stat *stat);
int get_ipv6_tt_stat(int32_t key, tt_stat *stat);
int get_dtt_stat(int32_t key, dtt_stat *stat);
int get_ulvo_config_from_shm(int32_t key, ulvo_config *config);
// The IPv4 and IPv6 counters summed field by field: 0, or 1 with the destination untouched.
int get_tt_stat(int32_t key, tt_stat *stat);
// Packets on the delay queue by the counters; 0 when the releases have run ahead.
uint64_t currently_throttled_crs(const tt_stat *tt, const dtt_stat *dtt);
