#include "dethrottle.h"

#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

#include "alarm.h"
#include "answers.h"
#include "common.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "lifecycle.h"
#include "nllib.h"
#include "owner_block.h"
#include "watchdog.h"

namespace {

sem_t credit_wakeup;                    // posted when answer credit came back while packets wait
std::atomic<bool> wakeup_ready{false};  // set once credit_wakeup exists

}  // namespace

int dethrottle_setup() {
    if (sem_init(&credit_wakeup, 0, 0) != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not make the de-throttle thread's wake-up, errno=%d, %s,%d\n", errno,
                   ULVO_UNIT, __LINE__);
        return 1;
    }
    wakeup_ready = true;
    return 0;
}

void dethrottle_wake() {
    if (wakeup_ready.load()) {
        sem_post(&credit_wakeup);
    }
}

int dethrottle_pass(dtt_stat *counters, bool credit_only) {
    // The rule makes the destination known and takes its packets off the queue in one step
    // under its lock, so that a packet to it that arrives from now on passes at once instead of
    // joining the queue.
    unsigned events = 0;
    const released_cre *released = nullptr;
    int count = credit_only ? credit_release_cres(monotonic_ms(), &events, &released)
                            : release_cres(monotonic_ms(), &events, &released);
    if (count == 0) {
        return 0;
    }
    // Counted and published before the verdicts, so that whoever sees a released connection
    // complete finds it released in the status block.
    counters->dethrottled_crs += static_cast<uint64_t>(count);
    counters->max_crs_ever_throttled = static_cast<uint64_t>(max_queued_cr_count());
    if (update_dtt_shm(counters) != 0) {
        lib_report(TAG_WARNING, false, "   could not update de-throttle thread stat block, %s,%d\n",
                   ULVO_UNIT, __LINE__);
    }
    for (int i = 0; i < count; ++i) {
        int rc = nl_msg_action(released[i].filter, &released[i].packet_id, ULVO_NF_ACCEPT);
        if (rc != NL_OK) {
            lib_report(TAG_ERROR, false, "   nl_msg_action failed errno=%d, rc=%d, %s,%d\n", errno,
                       rc, ULVO_UNIT, __LINE__);
            return 1;
        }
    }
    if ((events & POLICY_ALARM_LOWERED) != 0) {
        alarm_lower();
    }
    return 0;
}

void *dethrottle_thread_start(void *arg) {
    const auto *config = static_cast<const ulvo_config *>(arg);
    pthread_setname_np(pthread_self(), "ulvo-dethrottle");
    dtt_stat counters{};
    const int64_t delay_ms = int64_t{config->dq_delay_seconds} * 1000;
    int64_t next_release = monotonic_ms() + delay_ms;
    for (;;) {
        // One release a delay; in between, whatever credit comes back at once.
        bool woken = wait_posted_until(&credit_wakeup, next_release);
        int64_t now = monotonic_ms();
        bool due = now >= next_release;
        if (due) {
            next_release += delay_ms;
            if (next_release <= now) {
                next_release = now + delay_ms;  // late (a stopped thread): one release, then on
            }
        }
        if (!due && !woken) {
            continue;  // interrupted
        }
        if (dethrottle_pass(&counters, !due) != 0) {
            end_worker_thread();
        }
        owner_block_publish();
        if (daemon_rule_credit_on()) {
            credit_state credit = daemon_rule_credit();
            owner_block_credit published{true, credit.balance, credit.passed_on_credit,
                                         credit.answers, answer_events_lost()};
            owner_block_publish_credit(&published);
        }
        worker_beat(WORKER_DETHROTTLE);
    }
}
