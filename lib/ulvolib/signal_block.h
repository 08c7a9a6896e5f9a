// Blocking every signal for the calling thread while it holds something that the shutdown,
// which runs in a signal handler, needs too.
#pragma once

#include <pthread.h>

#include <csignal>

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
