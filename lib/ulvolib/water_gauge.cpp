#include "water_gauge.h"

#include <pthread.h>

#include <cstddef>

#include "guards.h"
#include "shm_layout.h"
#include "shm_protocol.h"
#include "shm_reader.h"

namespace {

// Every read and write in the daemon.
ranked_mutex water_gauge_mutex = RANKED_MUTEX_INITIALIZER(LOCK_WATER_GAUGE);

}  // namespace

void set_water_gauge(int value, int locked) {
    block_writer writer;
    shm_stat_block *block = writer.block();
    if (block == nullptr) {
        return;
    }
    int32_t gauge = value;
    if (locked == 1) {
        publish_section(&block->wg_begin_sig, &block->wg_end_sig, &gauge, sizeof gauge);
        return;
    }
    mutex_guard guard(&water_gauge_mutex);
    publish_section(&block->wg_begin_sig, &block->wg_end_sig, &gauge, sizeof gauge);
}

int water_gauge_reading(int locked) {
    block_writer writer;
    shm_stat_block *block = writer.block();
    if (block == nullptr) {
        return 0;  // no block, no level: nothing can be raised or lowered
    }
    if (locked == 1) {
        return block->water_gauge;
    }
    mutex_guard guard(&water_gauge_mutex);
    return block->water_gauge;
}

int test_and_set_water_mark(int expected, int value) {
    mutex_guard guard(&water_gauge_mutex);
    int was = water_gauge_reading(1);
    if (was == expected) {
        set_water_gauge(value, 1);
    }
    return was == expected ? 1 : 0;
}

int read_water_gauge(int32_t key, int32_t *level) {
    return get_shm_struct(key, offsetof(shm_stat_block, wg_begin_sig),
                          offsetof(shm_stat_block, wg_end_sig), level);
}

int virus_activity_occurring(int32_t key) {
    int32_t gauge = 0;  // stays 0 when the block cannot be attached at all
    read_water_gauge(key, &gauge);
    return gauge == WG_VLA_OCCURRING ? 1 : 0;
}
