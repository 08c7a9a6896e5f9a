// The watchdog's decision: when a worker counts as stalled.
#include <gtest/gtest.h>

#include "watchdog.h"

namespace {

TEST(WatchdogDecision, AWorkerStallsOnlyWhenItsPeriodAndTheGraceHavePassed) {
    const int64_t grace = WATCHDOG_GRACE_MS;
    struct Case {
        int64_t period[WORKER_COUNT];
        int64_t beat[WORKER_COUNT];
        int64_t now;
        int stalled;
    } cases[] = {
        {{1000, 1000, 5000}, {0, 0, 0}, 1000 + grace, -1},               // at the limit
        {{1000, 1000, 5000}, {0, 0, 0}, 1001 + grace, WORKER_IPV4},      // just beyond
        {{1000, -1, 5000}, {9000, 0, 0}, 9000, -1},                      // IPv6 not watched
        {{1000, 1000, 5000}, {9000, 9000, 0}, 9001, WORKER_DETHROTTLE},  // its own period
        {{1000, 1000, 10000}, {9000, 9000, 0}, 9000, -1},
        {{1000, 1000, 1000}, {9000, 100, 100}, 9000, WORKER_IPV6},  // the first one stalled
    };
    for (const Case &c : cases) {
        EXPECT_EQ(stalled_worker(c.period, c.beat, c.now), c.stalled) << "now " << c.now;
    }
}

}  // namespace
