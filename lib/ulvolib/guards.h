// Scoped guards for the daemon's locks and signal mask, and the one order of its locks.
//
// The order, the why and who holds what are in the lock table of docs/architecture.md. In
// short: the locks held with signals open (the rule's, the pool's, the water gauge's) come
// first; the locks held with every signal blocked come after them, and they are the only ones
// the shutdown takes. The shutdown runs in a signal handler on whichever thread the signal
// reaches, which may hold any of the first kind: so no thread may wait for a lock of the first
// kind while it holds one of the second, or the shutdown waits for it for ever.
//
// Built with ULVO_LOCK_RANKS (every test build), each acquisition is checked against the locks
// the thread holds, and a lock taken out of order ends the process with both names.
#pragma once

#include <pthread.h>

#include <csignal>

#include "event_log.h"

enum lock_rank : unsigned {
    // Held with signals open.
    LOCK_RULE,         // rule_mutex: the working set, the queue, the credit; on every packet
    LOCK_POOL,         // cr_mutex: the pool's free list, under the rule's when it frees
    LOCK_WATER_GAUGE,  // water_gauge_mutex: the status block's gauge
    // Held with every signal blocked; the shutdown takes these.
    LOCK_STARTUP,         // startup_mutex: the phase and the start-status file
    LOCK_RULES_EXCHANGE,  // rules_exchange_mutex: helper runs that change the kernel's rules
    LOCK_DROPPING,        // dropping_conn_mutex: the drop counter and its episode
    LOCK_LOG,             // the log lock (recursive)
    LOCK_SYSLOG_QUEUE,    // the system-log queue
    LOCK_SYSLOG_SEND,     // the system-log socket
    LOCK_RANK_COUNT
};

// The lock's name in the order check's message.
const char *lock_rank_name(lock_rank rank);

#ifdef ULVO_LOCK_RANKS
// The calling thread is about to wait for a lock of this rank: ends the process (with both
// names on standard error) when it holds one of the same or a later rank.
void lock_rank_acquire(lock_rank rank);
// The calling thread now holds (taken) or no longer holds a lock of this rank.
void lock_rank_taken(lock_rank rank);
void lock_rank_release(lock_rank rank);
// The ranks the calling thread holds, a bit for each.
unsigned lock_ranks_held();
#else
inline void lock_rank_acquire(lock_rank) {}
inline void lock_rank_taken(lock_rank) {}
inline void lock_rank_release(lock_rank) {}
inline unsigned lock_ranks_held() {
    return 0;
}
#endif

// A mutex with its place in the order.
struct ranked_mutex {
    pthread_mutex_t mutex;
    lock_rank rank;
};
#define RANKED_MUTEX_INITIALIZER(rank)  \
    ranked_mutex {                      \
        PTHREAD_MUTEX_INITIALIZER, rank \
    }

// Locks and unlocks a ranked mutex, checked; try_lock never waits and so is never out of
// order: 0 when taken, or pthread_mutex_trylock's error.
inline void ranked_lock(ranked_mutex *m) {
    lock_rank_acquire(m->rank);
    pthread_mutex_lock(&m->mutex);
}
inline int ranked_try_lock(ranked_mutex *m) {
    int rc = pthread_mutex_trylock(&m->mutex);
    if (rc == 0) {
        lock_rank_taken(m->rank);
    }
    return rc;
}
inline void ranked_unlock(ranked_mutex *m) {
    pthread_mutex_unlock(&m->mutex);
    lock_rank_release(m->rank);
}

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
    explicit mutex_guard(ranked_mutex *mutex) : mutex_(mutex) { ranked_lock(mutex_); }
    ~mutex_guard() { ranked_unlock(mutex_); }
    mutex_guard(const mutex_guard &) = delete;
    mutex_guard &operator=(const mutex_guard &) = delete;

  private:
    ranked_mutex *mutex_;
};

// Holds the log lock (which blocks signals itself) until the end of its scope.
class log_lock_guard {
  public:
    log_lock_guard() { get_log_lock(); }
    ~log_lock_guard() { release_log_lock(); }
    log_lock_guard(const log_lock_guard &) = delete;
    log_lock_guard &operator=(const log_lock_guard &) = delete;
};
