// The daemon's life: its phase (starting, running, stopping), the start-up lock that the end of
// the start and the beginning of the shutdown take in turn, and the records of its threads,
// which the shutdown stops.
#pragma once

#include <pthread.h>

#include "guards.h"

enum daemon_phase { PHASE_STARTING, PHASE_RUNNING, PHASE_STOPPING };

// The end of start-up (loading the rules, closing the start-status file) and the beginning of
// the shutdown exclude each other, so that no rules are loaded once the shutdown has unloaded
// them and a start that a shutdown cuts short is recorded as failed. Signals are blocked
// while it is held: the shutdown runs in a signal handler on any thread.
class startup_guard {
  public:
    startup_guard();
    ~startup_guard();
    startup_guard(const startup_guard &) = delete;
    startup_guard &operator=(const startup_guard &) = delete;

  private:
    signal_blocker blocked_;
};

daemon_phase current_phase();
// Moves to the next phase; the caller holds the start-up guard. Returns the phase before.
daemon_phase set_phase(daemon_phase phase);
// True once the shutdown has begun.
inline bool shutting_down() {
    return current_phase() == PHASE_STOPPING;
}

// The threads of the daemon: the main thread and the workers the shutdown stops.
enum daemon_thread { THREAD_IPV4, THREAD_IPV6, THREAD_DETHROTTLE, THREAD_COUNT };
// The calling thread is the daemon's main thread (after the fork).
void register_main_thread();
bool is_main_thread();
// The worker runs (set once by the main thread, never reset).
void register_worker(daemon_thread worker, pthread_t id);
bool worker_running(daemon_thread worker);
// Sends SIGUSR1 to every other recorded thread (the workers and the main thread): each then
// waits inside the handler. The answers thread is not among them: it blocks every signal and
// runs on until the process ends. false when no worker was ever started (a start that failed
// early).
bool stop_other_threads();

// Asks for the one shutdown, which then runs on the calling thread.
void request_shutdown();
// A worker thread's end after a fatal error: asks for the shutdown and never returns.
[[noreturn]] void end_worker_thread();
// Parks a worker thread that found the shutdown under way until the process ends.
[[noreturn]] void park_worker_thread();
