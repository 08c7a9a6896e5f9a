// The held connections by owner: a second SysV segment beside the status block, at the block's
// key plus one, versioned apart from it. The daemon publishes its per-owner counts there, and
// in a second section the state of its rules (the allow-list entries in force, the rules put
// back by its guard); the status tool's metrics read them. The same signature discipline as
// the status block, one writing thread per section: no lock, and a reader never takes a torn
// copy for a whole one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cre_pool.h"

struct shm_owner_block {
    char magic[32];    // OWNER_BLOCK_MAGIC
    uint32_t version;  // OWNER_BLOCK_VERSION
    int32_t pid;       // the daemon's, as in its status block
    // When the daemon's process started (/proc/PID/stat, clock ticks since boot; low and high
    // 32 bits): with the pid, it tells the daemon from a process that took the pid after it.
    uint32_t start_ticks[2];
    uint32_t begin_sig;
    uint32_t count;                       // entries of owners in use
    owner_count owners[OWNER_SLOTS + 1];  // largest first
    uint32_t end_sig;
    // Written by the main thread.
    uint32_t rules_begin_sig;
    uint32_t allow_entries;   // entries of the allow-list in force
    uint32_t rules_restored;  // times the guard put missing rules back
    uint32_t rules_end_sig;
    // Written by the de-throttle thread; zero while answer credit is off.
    uint32_t credit_begin_sig;
    uint32_t credit_on;
    int32_t credit_balance;
    uint32_t credit_passed[2];  // low and high 32 bits
    uint32_t credit_answers[2];
    uint32_t credit_events_lost[2];
    uint32_t credit_end_sig;
};
// Only 32-bit fields: both builds lay it out alike.
static_assert(sizeof(owner_count) == 8);
static_assert(sizeof(shm_owner_block) == 380);
static_assert(offsetof(shm_owner_block, begin_sig) == 48);
static_assert(offsetof(shm_owner_block, end_sig) == 320);
static_assert(offsetof(shm_owner_block, rules_begin_sig) == 324);
static_assert(offsetof(shm_owner_block, rules_end_sig) == 336);
static_assert(offsetof(shm_owner_block, credit_begin_sig) == 340);
static_assert(offsetof(shm_owner_block, credit_end_sig) == 376);

inline constexpr char OWNER_BLOCK_MAGIC[] = "kel-ulvo held by owner";
inline constexpr uint32_t OWNER_BLOCK_VERSION = 4;

// The state of the daemon's rules, as the metrics show it.
struct owner_block_rules {
    uint32_t allow_entries;
    uint32_t rules_restored;
};

// The answer credit, as the metrics show it.
struct owner_block_credit {
    bool on;
    int32_t balance;
    uint64_t passed, answers, events_lost;
};

// The segment's key for a status block key (never IPC_PRIVATE).
int32_t owner_block_key(int32_t status_key);

// The daemon: makes the segment (a stale one of a killed daemon is replaced; anything else
// there is left alone with a warning, and nothing is published): 0, or 1.
int owner_block_create(int32_t status_key, int32_t pid);
// The daemon: publishes the pool's current counts (nothing without a segment).
void owner_block_publish();
// The daemon's main thread: publishes the state of the rules (nothing without a segment).
void owner_block_publish_rules(uint32_t allow_entries, uint32_t rules_restored);
// The daemon's de-throttle thread: publishes the answer credit (nothing without a segment).
void owner_block_publish_credit(const owner_block_credit *credit);
// The daemon: removes the segment.
void owner_block_free();

// False when the segment under the status key says that the daemon with the pid started at
// another time than the process that has the pid now (which took the pid after the daemon
// ended); true when they agree or there is nothing to tell them apart.
bool owner_block_start_matches(int32_t status_key, int32_t pid);
// True when the process with the pid runs (process_running) and its start agrees.
bool daemon_alive(int32_t status_key, int32_t pid);

// The status tool: the counts that the daemon with the pid published under the status key,
// into out (OWNER_SLOTS + 1 entries); 0 with *count set, 1 when there are none to read.
int owner_block_read(int32_t status_key, int32_t pid, owner_count *out, int *count);
// The status tool: the state of the rules that the daemon with the pid published; 0, or 1 when
// there is none to read (no segment, or the daemon has not loaded its rules yet).
int owner_block_read_rules(int32_t status_key, int32_t pid, owner_block_rules *rules);
// The status tool: the answer credit that the daemon with the pid published; 0, or 1 when there
// is none to read (no segment, or answer credit is off).
int owner_block_read_credit(int32_t status_key, int32_t pid, owner_block_credit *credit);
