#include "alarm.h"

#include <pthread.h>

#include "cre_pool.h"
#include "event_log.h"
#include "guards.h"
#include "water_gauge.h"

namespace {

pthread_mutex_t dropping_conn_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards the flag below
int log_dropping_conn_event = 1;  // 1: the next drop writes "[DROPPING_CONNECTIONS] "

}  // namespace

bool alarm_raise_if_high(const ulvo_config *config) {
    // The gauge is only asked once the mark is reached: below it, it is never touched here.
    auto count = static_cast<unsigned>(queued_cr_count());
    return count >= static_cast<unsigned>(config->dq_high_watermark) &&
           test_and_set_water_mark(WG_NORMAL, WG_VLA_OCCURRING) != 0;
}

void alarm_report_raised() {
    log_lock_guard locked;
    log_event(ulvolib_output(), TAG_ALERT_VLA_DETECTED, "");
}

// Only the de-throttle thread lowers the gauge and only the throttle threads raise it, so the
// reading and the write need not be one step.
void alarm_lower_if_low(const ulvo_config *config) {
    if (queued_cr_count() > config->dq_low_watermark ||
        water_gauge_reading(0) != WG_VLA_OCCURRING) {
        return;
    }
    set_water_gauge(WG_NORMAL, 0);
    {
        log_lock_guard locked;
        log_event(ulvolib_output(), TAG_ALERT_VLA_STOPPED, "");
    }
    signal_blocker blocked;
    mutex_guard flag(&dropping_conn_mutex);
    log_dropping_conn_event = 1;
}

// The event is written under the flag's mutex and not the log lock; signals stay blocked so
// that the shutdown never waits for a thread stopped in here.
void alarm_note_drop() {
    signal_blocker blocked;
    mutex_guard flag(&dropping_conn_mutex);
    if (log_dropping_conn_event == 1) {
        log_event(ulvolib_output(), TAG_DROPPING_CONNECTIONS, "");
        log_dropping_conn_event = 0;
    }
}
