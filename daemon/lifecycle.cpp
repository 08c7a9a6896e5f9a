#include "lifecycle.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace {

ranked_mutex startup_mutex = RANKED_MUTEX_INITIALIZER(LOCK_STARTUP);
std::atomic<daemon_phase> phase{PHASE_STARTING};  // written under startup_mutex

pthread_t main_thread_id;
// Each set by the main thread once its thread exists, never reset; read by the signal handler.
pthread_t worker_ids[THREAD_COUNT];
std::atomic<bool> worker_started[THREAD_COUNT];

}  // namespace

startup_guard::startup_guard() {
    ranked_lock(&startup_mutex);
}

startup_guard::~startup_guard() {
    ranked_unlock(&startup_mutex);
}

daemon_phase current_phase() {
    return phase.load();
}

daemon_phase set_phase(daemon_phase next) {
    return phase.exchange(next);
}

void register_main_thread() {
    main_thread_id = pthread_self();
}

bool is_main_thread() {
    return pthread_equal(pthread_self(), main_thread_id) != 0;
}

void register_worker(daemon_thread worker, pthread_t id) {
    worker_ids[worker] = id;
    worker_started[worker] = true;
}

bool worker_running(daemon_thread worker) {
    return worker_started[worker].load();
}

bool stop_other_threads() {
    pthread_t self = pthread_self();
    bool any = false;
    for (int w = 0; w < THREAD_COUNT; ++w) {
        if (worker_started[w].load()) {
            any = true;
            if (!pthread_equal(worker_ids[w], self)) {
                pthread_kill(worker_ids[w], SIGUSR1);
            }
        }
    }
    if (!is_main_thread()) {
        pthread_kill(main_thread_id, SIGUSR1);
    }
    return any;
}

void request_shutdown() {
    raise(SIGUSR1);
}

void end_worker_thread() {
    request_shutdown();    // the shutdown runs here, on this thread, and ends the process
    park_worker_thread();  // only if the signal did not end it (blocked for this thread)
}

// A worker does not end itself with pthread_exit while the shutdown runs: a thread stopped by
// the shutdown's signal inside pthread_exit can hold the dynamic loader's lock (it loads the
// unwinder), and exit() then waits for it.
void park_worker_thread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        pause();
    }
}
