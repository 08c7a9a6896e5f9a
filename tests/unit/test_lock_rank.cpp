// The order of the daemon's locks, checked as they are taken: one out of order ends the process
// with both names, whatever the threads happen to do at the time.
#include <gtest/gtest.h>

#include "guards.h"
#include "helper.h"
#include "lifecycle.h"
#include "ulvolib_testing.h"

namespace {

TEST(LockRank, TheOrderIsCheckedAsLocksAreTaken) {
#ifndef ULVO_LOCK_RANKS
    GTEST_SKIP() << "built without ULVO_LOCK_RANKS";
#else
    // In order: the rule's lock, then the start-up guard, then the helper's turn.
    hold_rule_lock_for_test(true);
    {
        startup_guard startup;
        EXPECT_EQ(lock_ranks_held(), (1u << LOCK_RULE) | (1u << LOCK_STARTUP));
    }
    {
        rules_exchange_guard exchange;
        EXPECT_EQ(lock_ranks_held(), (1u << LOCK_RULE) | (1u << LOCK_RULES_EXCHANGE));
    }
    hold_rule_lock_for_test(false);
    EXPECT_EQ(lock_ranks_held(), 0u);

    // Out of order, each with the names of both.
    struct {
        void (*take)();
        const char *message;
    } const wrong[] = {
        {[] {
             startup_guard startup;
             hold_rule_lock_for_test(true);
         },
         "lock order broken: rule_mutex taken while startup_mutex is held"},
        {[] {
             rules_exchange_guard exchange;
             hold_rule_lock_for_test(true);
         },
         "lock order broken: rule_mutex taken while rules_exchange_mutex is held"},
        {[] {
             rules_exchange_guard exchange;
             startup_guard startup;
         },
         "lock order broken: startup_mutex taken while rules_exchange_mutex is held"},
        {[] {
             startup_guard startup;
             startup_guard again;
         },
         "lock order broken: startup_mutex taken while startup_mutex is held"},
    };
    for (const auto &w : wrong) {
        EXPECT_DEATH(w.take(), w.message);
    }
#endif
}

}  // namespace
