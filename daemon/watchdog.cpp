#include "watchdog.h"

#include <semaphore.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "event_log.h"
#include "rules.h"
#include "syslog_feed.h"
#include "ulvo.h"

// The messages follow the service manager's notification protocol: datagrams of "KEY=value"
// lines sent to the unix socket that NOTIFY_SOCKET names ("@" at its start stands for the
// abstract namespace). systemd takes the sender's pid from the socket's credentials, so they go
// out from this process, whichever thread sends them.

namespace {

int notify_fd = -1;
sockaddr_un notify_address{};
socklen_t notify_address_length = 0;
int64_t watchdog_usec = 0;  // 0: no watchdog

int64_t period_ms[WORKER_COUNT] = {-1, -1, -1};  // written before the workers start
std::atomic<uint32_t> beats[WORKER_COUNT];       // each written by its own worker alone

sem_t main_wakeup;                      // posted when there is work for the main thread
std::atomic<bool> wakeup_ready{false};  // set once main_wakeup exists

constexpr const char *WORKER_NAMES[WORKER_COUNT] = {"IPv4 throttle", "IPv6 throttle",
                                                    "de-throttle"};

void notify(const char *text) {
    if (notify_fd < 0) {
        return;
    }
    // Best effort: a service manager that is gone has nobody to tell.
    sendto(notify_fd, text, strlen(text), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&notify_address), notify_address_length);
}

// The socket address NOTIFY_SOCKET names: false when it names none this daemon can use.
bool parse_notify_socket(const char *name) {
    size_t length = strlen(name);
    if ((name[0] != '/' && name[0] != '@') || length < 2 ||
        length >= sizeof notify_address.sun_path) {
        return false;
    }
    notify_address.sun_family = AF_UNIX;
    memcpy(notify_address.sun_path, name, length);
    if (name[0] == '@') {
        notify_address.sun_path[0] = '\0';
        notify_address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    } else {
        notify_address_length = static_cast<socklen_t>(sizeof notify_address);
    }
    return true;
}

}  // namespace

void wake_main_thread() {
    if (wakeup_ready.load()) {
        sem_post(&main_wakeup);
    }
}

void watchdog_setup(pid_t started_pid) {
    sem_init(&main_wakeup, 0, 0);
    wakeup_ready = true;
    const char *socket_name = getenv("NOTIFY_SOCKET");
    if (socket_name != nullptr && parse_notify_socket(socket_name)) {
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const char *usec = getenv("WATCHDOG_USEC");
        const char *pid = getenv("WATCHDOG_PID");
        // The watchdog is meant for the process systemd started, which is the daemon's parent
        // until it forks.
        bool ours = pid == nullptr || atol(pid) == static_cast<long>(started_pid) ||
                    atol(pid) == static_cast<long>(getpid());
        if (notify_fd >= 0 && usec != nullptr && ours) {
            watchdog_usec = std::max<int64_t>(0, strtoll(usec, nullptr, 10));
        }
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

bool watchdog_enabled() {
    return notify_fd >= 0 && watchdog_usec > 0;
}

void watchdog_watch(watched_worker worker, int64_t period) {
    period_ms[worker] = period;
}

void worker_beat(watched_worker worker) {
    // The worker is the counter's only writer: no read-modify-write is needed.
    beats[worker].store(beats[worker].load(std::memory_order_relaxed) + 1,
                        std::memory_order_relaxed);
}

void notify_ready() {
    notify("READY=1\nSTATUS=throttling connections to new hosts");
}

void notify_stopping() {
    notify("STOPPING=1");
}

int stalled_worker(const int64_t period[WORKER_COUNT], const int64_t beat_ms[WORKER_COUNT],
                   int64_t now_ms) {
    for (int w = 0; w < WORKER_COUNT; ++w) {
        if (period[w] >= 0 && now_ms - beat_ms[w] > period[w] + WATCHDOG_GRACE_MS) {
            return w;
        }
    }
    return -1;
}

void main_thread_loop() {
    // Checked several times per watchdog interval, and at least once a second.
    const int64_t tick_ms = std::clamp<int64_t>(watchdog_usec / 3000, 100, 1000);
    uint32_t seen[WORKER_COUNT];
    int64_t beat_ms[WORKER_COUNT];
    int64_t start = monotonic_ms();
    for (int w = 0; w < WORKER_COUNT; ++w) {
        seen[w] = beats[w].load(std::memory_order_relaxed);
        beat_ms[w] = start;
    }
    int64_t next_check = start + tick_ms;
    int64_t next_guard = start + RULE_GUARD_PERIOD_MS;
    int reported = -1;
    for (;;) {
        // At least once a second, for a check that the helper asked for.
        int64_t wake_at =
            std::min(monotonic_ms() + 1000,
                     watchdog_enabled() ? std::min(next_check, next_guard) : next_guard);
        timespec until{static_cast<time_t>(wake_at / 1000),
                       static_cast<long>(wake_at % 1000) * 1000000};
        sem_clockwait(&main_wakeup, CLOCK_MONOTONIC, &until);
        syslog_feed_drain();
        int64_t now = monotonic_ms();
        if (rule_check_requested() || now >= next_guard) {
            check_rules_now();
            now = monotonic_ms();
            next_guard = now + RULE_GUARD_PERIOD_MS;
        }
        if (!watchdog_enabled() || now < next_check) {
            continue;
        }
        next_check = now + tick_ms;
        for (int w = 0; w < WORKER_COUNT; ++w) {
            uint32_t count = beats[w].load(std::memory_order_relaxed);
            if (count != seen[w]) {
                seen[w] = count;
                beat_ms[w] = now;
            }
        }
        int stalled = stalled_worker(period_ms, beat_ms, now);
        if (stalled < 0) {
            notify("WATCHDOG=1");
            reported = -1;
        } else if (stalled != reported) {
            reported = stalled;
            lib_report(TAG_WARNING, false,
                       "   the %s thread has made no progress for %" PRId64
                       " s; the service manager\n   is no longer told that the daemon is alive,"
                       " %s,%d\n",
                       WORKER_NAMES[stalled], (now - beat_ms[stalled]) / 1000, ULVO_UNIT, __LINE__);
        }
    }
}
