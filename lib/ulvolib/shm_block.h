// The 296-byte shared status block: the daemon's counters, alarm level and configuration,
// published for the status tool with begin and end signature words around every section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config.h"

// The counters of one throttle thread.
struct tt_stat {
    uint64_t processed_crs;        // connection-establishing packets received
    uint64_t throttled_crs;        // placed on the delay queue
    uint64_t never_throttled_crs;  // passed without delay
    uint64_t times_vla_detected;   // times this thread raised the alarm
    uint64_t dropped_crs;          // dropped because the queue was full
};

// The counters of the de-throttle thread.
struct dtt_stat {
    uint64_t max_crs_ever_throttled;  // largest delay-queue length seen
    uint64_t dethrottled_crs;         // held packets released
};

// The block as both programs and both builds lay it out.
struct shm_stat_block {
    char mem_block_sanity_string[128];
    int32_t pid;
    uint32_t ipv4_tt_begin_sig;
    tt_stat ipv4_tt_stat;
    uint32_t ipv4_tt_end_sig;
    uint32_t ipv6_tt_begin_sig;
    tt_stat ipv6_tt_stat;
    uint32_t ipv6_tt_end_sig;
    uint32_t dtt_begin_sig;
    ::dtt_stat dtt_stat;
    uint32_t dtt_end_sig;
    uint32_t wg_begin_sig;
    int32_t water_gauge;
    uint32_t wg_end_sig;
    uint32_t config_begin_sig;
    ulvo_config config;
    uint32_t config_end_sig;
};

inline constexpr size_t SHM_BLOCK_SIZE = 296;
static_assert(sizeof(tt_stat) == 40 && sizeof(dtt_stat) == 16);
static_assert(sizeof(shm_stat_block) == SHM_BLOCK_SIZE);
static_assert(offsetof(shm_stat_block, pid) == 128);
static_assert(offsetof(shm_stat_block, ipv4_tt_begin_sig) == 132);
static_assert(offsetof(shm_stat_block, ipv4_tt_stat) == 136);
static_assert(offsetof(shm_stat_block, ipv4_tt_end_sig) == 176);
static_assert(offsetof(shm_stat_block, ipv6_tt_begin_sig) == 180);
static_assert(offsetof(shm_stat_block, ipv6_tt_stat) == 184);
static_assert(offsetof(shm_stat_block, ipv6_tt_end_sig) == 224);
static_assert(offsetof(shm_stat_block, dtt_begin_sig) == 228);
static_assert(offsetof(shm_stat_block, dtt_stat) == 232);
static_assert(offsetof(shm_stat_block, dtt_end_sig) == 248);
static_assert(offsetof(shm_stat_block, wg_begin_sig) == 252);
static_assert(offsetof(shm_stat_block, water_gauge) == 256);
static_assert(offsetof(shm_stat_block, wg_end_sig) == 260);
static_assert(offsetof(shm_stat_block, config_begin_sig) == 264);
static_assert(offsetof(shm_stat_block, config) == 268);
static_assert(offsetof(shm_stat_block, config_end_sig) == 292);

// The text that identifies a block made by this build (the two builds differ).
#if defined(__LP64__)
inline constexpr char SHM_SANITY_TEXT[] = "KEL Ulvomatic version 1.0.0-9, shared memory block";
#else
inline constexpr char SHM_SANITY_TEXT[] =
    "KEL Ulvomatic version 1.0.0-9.sles9, shared memory block";
#endif

// Reads the configuration into the library's own record: 0, or 1 when it was refused.
int init_ulvolib();
// The library's configuration once init_ulvolib has succeeded, else null.
const ulvo_config *ulvolib_config();
// Creates the request pool, the known-host ring and the status block, or takes over a stale
// block: 0 when this process owns the block, 1 after a report.
int alloc_mem(const ulvo_config *config);
// Detaches and removes the block that alloc_mem made; nothing without one.
void shm_block_free();
// What alloc_mem would find under the key, without touching it: SHM_FREE (no block, or a stale
// one of this build), SHM_FOREIGN (another application's, or the other build's) or SHM_LIVE (a
// live kel-ulvod other than this process holds it; its pid into *owner).
enum { SHM_FREE = 0, SHM_FOREIGN = 1, SHM_LIVE = 2 };
int shm_block_in_the_way(int32_t key, int32_t *owner);
// The start-up reports with which alloc_mem refuses a foreign block or a live one's.
void report_block_in_use(int32_t key);
void report_other_instance(int32_t pid);

// Publish a throttle thread's or the de-throttle thread's counters: 0, or 1 without a block.
int update_ipv4_tt_shm(const tt_stat *stat);
int update_ipv6_tt_shm(const tt_stat *stat);
int update_dtt_shm(const dtt_stat *stat);

// Looks the block up under the configured key and attaches it read-only: 0, or 1 reported.
int shm_block_attach(shm_stat_block **address);
// Detaches a mapping: 0, or 1 reported.
int shm_block_detach(shm_stat_block *address);
// Consistent copies of one section each: 0, or 1 reported.
int get_ipv4_tt_stat(tt_stat *stat);
int get_ipv6_tt_stat(tt_stat *stat);
int get_dtt_stat(dtt_stat *stat);
int get_ulvo_config_from_shm(ulvo_config *config);
// The IPv4 and IPv6 counters summed field by field: 0, or 1 with the destination untouched.
int get_tt_stat(tt_stat *stat);
// Packets on the delay queue by the counters; 0 when the releases have run ahead.
uint64_t currently_throttled_crs(const tt_stat *tt, const dtt_stat *dtt);

// Write the whole block, field by field or in hexadecimal, to the library's output: 0 or 1.
int debug_dump_shm_struct_unlocked();
int debug_dump_shm_unlocked();
