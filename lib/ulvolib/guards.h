// Scoped guards for the daemon's locks and signal mask.
//
// The rules, in one place:
// - Each of rule_mutex, cr_mutex, water_gauge_mutex and dropping_conn_mutex is taken and
//   released inside one operation. cr_mutex may be taken while rule_mutex is held (the rule
//   frees the elements it releases), never the other way round; no other two of them are held
//   at once.
// - The system-log queue's mutex may be taken under the log lock (a report sent to the report
//   sink), never the other way round; it and the system-log socket's send mutex are each taken
//   alone otherwise, with signals blocked. The daemon's startup_mutex is taken before the log
//   lock.
// - Whoever holds the log lock, dropping_conn_mutex, startup_mutex or the system log's two
//   mutexes blocks every signal meanwhile: the shutdown runs in a signal handler on any thread
//   and needs the streams, the start-status file and the system log, so no thread may be
//   stopped by it while holding them. rule_mutex is held on every packet without: the shutdown
//   never waits for it (it only tries it, to name who is to blame).
#pragma once

#include <pthread.h>

#include <csignal>

#include "event_log.h"

// Blocks every signal for the calling thread until the end of its scope.
class signal_blocker {
  public:
    signal_blocker() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~signal_blocker() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    signal_blocker(const signal_blocker &) = delete;
    signal_blocker &operator=(const signal_blocker &) = delete;

  private:
    sigset_t saved_;
};

// Holds a mutex until the end of its scope.
class mutex_guard {
  public:
    explicit mutex_guard(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
    ~mutex_guard() { pthread_mutex_unlock(mutex_); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

  private:
    pthread_mutex_t *mutex_;
};

// Holds the log lock (which blocks signals itself) until the end of its scope.
class log_lock_guard {
  public:
    log_lock_guard() { get_log_lock(); }
    ~log_lock_guard() { release_log_lock(); }
    log_lock_guard(const log_lock_guard &) = delete;
    log_lock_guard &operator=(const log_lock_guard &) = delete;
};
