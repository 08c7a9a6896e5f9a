// The layout of the 296-byte shared status block: the daemon's counters, alarm level and
// configuration, published for the status tool with begin and end signature words around every
// section.
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
