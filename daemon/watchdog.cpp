#include "watchdog.h"

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

#include "common.h"
#include "event_log.h"

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

// The main thread's alone.
uint32_t seen[WORKER_COUNT];    // each worker's count at its last change
int64_t beat_ms[WORKER_COUNT];  // when it last changed
int reported = -1;              // the stalled worker reported last, -1 for none

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

void watchdog_setup(pid_t started_pid) {
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

int64_t watchdog_tick_ms() {
    // Checked several times per watchdog interval, and at least once a second.
    return std::clamp<int64_t>(watchdog_usec / 3000, 100, 1000);
}

void watchdog_start(int64_t now_ms) {
    for (int w = 0; w < WORKER_COUNT; ++w) {
        seen[w] = beats[w].load(std::memory_order_relaxed);
        beat_ms[w] = now_ms;
    }
}

void watchdog_check(int64_t now_ms) {
    for (int w = 0; w < WORKER_COUNT; ++w) {
        uint32_t count = beats[w].load(std::memory_order_relaxed);
        if (count != seen[w]) {
            seen[w] = count;
            beat_ms[w] = now_ms;
        }
    }
    int stalled = stalled_worker(period_ms, beat_ms, now_ms);
    if (stalled < 0) {
        notify("WATCHDOG=1");
        reported = -1;
    } else if (stalled != reported) {
        reported = stalled;
        lib_report(TAG_WARNING, false,
                   "   the %s thread has made no progress for %" PRId64
                   " s; the service manager\n   is no longer told that the daemon is alive,"
                   " %s,%d\n",
                   WORKER_NAMES[stalled], (now_ms - beat_ms[stalled]) / 1000, ULVO_UNIT, __LINE__);
    }
}
