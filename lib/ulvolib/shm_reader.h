// The status tool's side of the status block: consistent copies of its sections.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shm_layout.h"

// Looks the block up under the configured key and attaches it read-only: 0, or 1 reported.
int shm_block_attach(shm_stat_block **address);
// True when a segment exists under the configured key (also one this process may not see);
// says nothing either way.
bool shm_block_exists();
// The pid that the block records as its daemon's: 0, or 1 reported.
int get_shm_owner_pid(int32_t *pid);
// True when the process exists and is neither stopped nor a zombie.
bool process_running(int32_t pid);
// Detaches a mapping: 0, or 1 reported.
int shm_block_detach(shm_stat_block *address);
// Copies the section between the signature words at the two offsets consistently: 0, or 1
// reported.
int get_shm_struct(size_t begin_offset, size_t end_offset, void *destination);
// Consistent copies of one section each: 0, or 1 reported.
int get_ipv4_tt_stat(tt_stat *stat);
int get_ipv6_tt_stat(tt_stat *stat);
int get_dtt_stat(dtt_stat *stat);
int get_ulvo_config_from_shm(ulvo_config *config);
// The IPv4 and IPv6 counters summed field by field: 0, or 1 with the destination untouched.
int get_tt_stat(tt_stat *stat);
// Packets on the delay queue by the counters; 0 when the releases have run ahead.
uint64_t currently_throttled_crs(const tt_stat *tt, const dtt_stat *dtt);
