// Liveness for the service manager. Under systemd (NOTIFY_SOCKET set) the daemon says when it
// is ready and, when the unit has a watchdog, tells it periodically that it is alive, but only
// while every worker thread is making progress: a throttle thread that no longer receives, or
// a de-throttle thread that no longer releases, stops the messages, and systemd restarts the
// daemon. Without NOTIFY_SOCKET nothing of this happens.
#pragma once

#include <sys/types.h>

#include <cstdint>

// The threads the watchdog watches.
enum watched_worker { WORKER_IPV4 = 0, WORKER_IPV6 = 1, WORKER_DETHROTTLE = 2, WORKER_COUNT = 3 };

// How long a throttle thread waits for a packet before it beats anyway, while watched.
inline constexpr int WATCHDOG_RECEIVE_TIMEOUT_MS = 1000;
// The time beyond its own period after which a worker counts as stalled.
inline constexpr int64_t WATCHDOG_GRACE_MS = 4000;

// Reads the service manager's environment (NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID; the
// last names started_pid, the process systemd started before the daemon forked) and removes it,
// so that the helper script's commands do not inherit it. Call once, before any thread exists.
void watchdog_setup(pid_t started_pid);
// True when the service manager wants periodic liveness messages.
bool watchdog_enabled();
// Puts a worker under watch with its period: how long it may go without a beat normally.
void watchdog_watch(watched_worker worker, int64_t period_ms);
// A worker's sign of progress; cheap enough for every packet.
void worker_beat(watched_worker worker);

// "READY=1" after a good start, "STOPPING=1" when the shutdown begins (async-signal-safe).
void notify_ready();
void notify_stopping();

// How often the main thread checks the workers while a watchdog is on.
int64_t watchdog_tick_ms();
// The main thread's part, from its loop: watchdog_start once, then watchdog_check every tick,
// which sends "WATCHDOG=1" while every worker progresses and reports a stalled one once.
void watchdog_start(int64_t now_ms);
void watchdog_check(int64_t now_ms);

// The decision, kept apart for the tests: the first worker whose last beat (beat_ms, the time
// its count last changed) lies further back than its period plus the grace at now_ms, or -1.
// Unwatched workers have period -1.
int stalled_worker(const int64_t period_ms[WORKER_COUNT], const int64_t beat_ms[WORKER_COUNT],
                   int64_t now_ms);
