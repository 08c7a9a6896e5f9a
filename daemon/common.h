// What every part of the daemon uses: the unit name its report lines end with, its clock and
// its files.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <ctime>

// Source unit name that the daemon's report lines end with.
inline constexpr char ULVO_UNIT[] = "ulvo";

// Root's own: the daemon's files and the helper's records.
inline constexpr char ULVO_STATE_DIR[] = "/var/opt/kel/kel-ulvo";
inline constexpr char ULVO_LOG_PATH[] = "/var/opt/kel/kel-ulvo/kel-ulvo.log";
inline constexpr char ULVO_START_STATUS_PATH[] = "/var/opt/kel/kel-ulvo/.start_status.txt";
// Held locked by the running daemon, with its pid in it: one daemon per host.
inline constexpr char ULVO_LOCK_PATH[] = "/var/opt/kel/kel-ulvo/kel-ulvod.lock";

// Milliseconds of the monotonic clock: what the daemon's periods and episodes are timed with.
inline int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Waits on the semaphore until wake_at (monotonic milliseconds): true when it was posted,
// false at the time or when a signal cut the wait short.
inline bool wait_posted_until(sem_t *semaphore, int64_t wake_at) {
    timespec until{static_cast<time_t>(wake_at / 1000),
                   static_cast<long>(wake_at % 1000) * 1000000};
    return sem_clockwait(semaphore, CLOCK_MONOTONIC, &until) == 0;
}
