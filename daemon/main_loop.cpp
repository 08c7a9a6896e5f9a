#include "main_loop.h"

#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "common.h"
#include "event_log.h"
#include "fast_path.h"
#include "rules.h"
#include "syslog_feed.h"
#include "watchdog.h"

namespace {

sem_t main_wakeup;                      // posted when there is work for the main thread
std::atomic<bool> wakeup_ready{false};  // set once main_wakeup exists

}  // namespace

int main_loop_setup() {
    if (sem_init(&main_wakeup, 0, 0) != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not make the main thread's wake-up, errno=%d, %s,%d\n", errno,
                   ULVO_UNIT, __LINE__);
        return 1;
    }
    wakeup_ready = true;
    return 0;
}

void wake_main_thread() {
    if (wakeup_ready.load()) {
        sem_post(&main_wakeup);
    }
}

void main_thread_loop() {
    const int64_t tick_ms = watchdog_tick_ms();
    int64_t start = monotonic_ms();
    watchdog_start(start);
    int64_t next_check = start + tick_ms;
    int64_t next_guard = start + RULE_GUARD_PERIOD_MS;
    for (;;) {
        // At least once a second, for a check that the helper asked for.
        int64_t next_work = watchdog_enabled() ? std::min(next_check, next_guard) : next_guard;
        wait_posted_until(&main_wakeup, std::min(monotonic_ms() + 1000, next_work));
        syslog_feed_drain();
        fast_path_check();
        int64_t now = monotonic_ms();
        if (rule_check_requested() || now >= next_guard) {
            check_rules_now();
            now = monotonic_ms();
            next_guard = now + RULE_GUARD_PERIOD_MS;
        }
        if (watchdog_enabled() && now >= next_check) {
            next_check = now + tick_ms;
            watchdog_check(now);
        }
    }
}
