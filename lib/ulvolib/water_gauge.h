// The alarm level in the status block: 1 normal, 2 virus-like activity occurring.
#pragma once

#include <cstdint>

inline constexpr int WG_NORMAL = 1;
inline constexpr int WG_VLA_OCCURRING = 2;

// Writes the level into this process's block (nothing without one); locked == 1: caller holds
// water_gauge_mutex.
void set_water_gauge(int value, int locked);
// Reads the level of this process's block (0 without one); locked == 1: caller holds
// water_gauge_mutex.
int water_gauge_reading(int locked);
// Moves the level from expected to value in one step: 1 when it did, else 0.
int test_and_set_water_mark(int expected, int value);
// Reads the running daemon's level from its block: 0, or 1 reported.
int read_water_gauge(int32_t key, int32_t *level);
// 1 when the running daemon's block reads 2, else 0 (also when it cannot be read).
int virus_activity_occurring(int32_t key);
