#include "alarm.h"

#include <pthread.h>
#include <syslog.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "common.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "guards.h"
#include "syslog_feed.h"
#include "water_gauge.h"

namespace {

ranked_mutex dropping_conn_mutex = RANKED_MUTEX_INITIALIZER(LOCK_DROPPING);  // guards what follows
// The episode since the alarm was raised, for the summary when it stops.
uint64_t drops_total = 0;
struct episode {
    int64_t started_ms;
    uint64_t queued, released, dropped;  // the totals when it began
} current_episode{};

}  // namespace

bool alarm_raise() {
    return test_and_set_water_mark(WG_NORMAL, WG_VLA_OCCURRING) != 0;
}

void alarm_report_raised() {
    {
        log_lock_guard locked;
        log_event(ulvolib_output(), TAG_ALERT_VLA_DETECTED, "");
    }
    episode begun{monotonic_ms(), 0, 0, 0};
    cr_queue_totals(&begun.queued, &begun.released);
    {
        signal_blocker blocked;
        mutex_guard flag(&dropping_conn_mutex);
        begun.dropped = drops_total;
        current_episode = begun;
    }
    syslog_alarm_raised();
}

// Only the de-throttle thread lowers the gauge and only the throttle threads raise it, so the
// reading and the write need not be one step.
void alarm_lower() {
    if (water_gauge_reading(0) != WG_VLA_OCCURRING) {
        return;
    }
    set_water_gauge(WG_NORMAL, 0);
    {
        log_lock_guard locked;
        log_event(ulvolib_output(), TAG_ALERT_VLA_STOPPED, "");
    }
    uint64_t queued = 0;
    uint64_t released = 0;
    cr_queue_totals(&queued, &released);
    episode ended;
    uint64_t dropped;
    {
        signal_blocker blocked;
        mutex_guard flag(&dropping_conn_mutex);
        ended = current_episode;
        dropped = drops_total;
    }
    char text[256];
    snprintf(text, sizeof text,
             "virus-like activity stopped after %" PRId64 " s: %" PRIu64
             " connections held, %" PRIu64 " released and %" PRIu64 " dropped during it",
             (monotonic_ms() - ended.started_ms + 500) / 1000, queued - ended.queued,
             released - ended.released, dropped - ended.dropped);
    syslog_event(LOG_NOTICE, text);
}

// The event is written under the flag's mutex and not the log lock; signals stay blocked so
// that the shutdown never waits for a thread stopped in here.
void alarm_note_drop(bool first_of_episode) {
    {
        signal_blocker blocked;
        mutex_guard flag(&dropping_conn_mutex);
        ++drops_total;
        if (first_of_episode) {
            log_event(ulvolib_output(), TAG_DROPPING_CONNECTIONS, "");
        }
    }
    if (first_of_episode) {
        char text[160];
        snprintf(text, sizeof text,
                 "the delay queue is full (%d connections held): connections to new hosts are "
                 "being dropped",
                 queued_cr_count());
        syslog_event(LOG_WARNING, text);
    }
}
