#include "syslog_feed.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "blame.h"
#include "event_log.h"
#include "guards.h"
#include "rules.h"

namespace {

constexpr char LOG_SOCKET[] = "/dev/log";
constexpr char IDENT[] = "kel-ulvod";

// Messages composed only when they are sent.
enum message_kind { PLAIN, ALARM, STARTED };

struct pending_message {
    int priority;
    message_kind kind;
    char text[480];
};
constexpr unsigned QUEUE_SLOTS = 64;
pending_message queued[QUEUE_SLOTS];
unsigned queue_head = 0;  // next to send
unsigned queue_size = 0;
uint64_t lost = 0;  // messages the queue or the log could not take, not yet reported
ranked_mutex queue_mutex = RANKED_MUTEX_INITIALIZER(LOCK_SYSLOG_QUEUE);  // signals blocked

// The socket to the system log, used by the main thread and by the shutdown (on any thread).
ranked_mutex send_mutex = RANKED_MUTEX_INITIALIZER(LOCK_SYSLOG_SEND);  // signals blocked
int log_fd = -1;
bool connected = false;

void (*wake_sender)() = nullptr;  // set before any thread exists

void enqueue(int priority, message_kind kind, const char *text) {
    {
        signal_blocker blocked;
        mutex_guard queue(&queue_mutex);
        if (queue_size == QUEUE_SLOTS) {
            ++lost;
        } else {
            pending_message &slot = queued[(queue_head + queue_size) % QUEUE_SLOTS];
            slot.priority = priority;
            slot.kind = kind;
            snprintf(slot.text, sizeof slot.text, "%s", text);
            ++queue_size;
        }
    }
    if (wake_sender != nullptr) {
        wake_sender();
    }
}

// The alarm's message names who is to blame, which means reading /proc: that runs on a thread
// of its own (bounded in time and work), so that the main thread goes on feeding the watchdog
// meanwhile. The alarm stays at the head of the queue until its text is ready, so that the
// messages after it keep their order.
enum blame_state { BLAME_IDLE, BLAME_RUNNING, BLAME_DONE };
std::atomic<int> blame{BLAME_IDLE};
char blame_text[sizeof pending_message::text];  // the blame thread's until BLAME_DONE

void *blame_thread_start(void *) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);  // the shutdown never runs here
    pthread_setname_np(pthread_self(), "ulvo-blame");
    compose_alarm_message(blame_text, sizeof blame_text, true);
    blame = BLAME_DONE;
    if (wake_sender != nullptr) {
        wake_sender();
    }
    return nullptr;
}

// Starts the blame thread: false when it could not be started.
bool start_blame_thread() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    blame = BLAME_RUNNING;
    bool started = pthread_create(&thread, &attributes, blame_thread_start, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        blame = BLAME_IDLE;
    }
    return started;
}

// What the head of the queue is for the sender.
enum head_state { HEAD_NONE, HEAD_READY, HEAD_ALARM_WAITS };

// Takes the oldest queued message into *out (HEAD_READY). An alarm is taken once its blame is
// composed, or at once in the shutdown or when no blame thread can run (kind ALARM: the caller
// composes it without look-ups); until then HEAD_ALARM_WAITS.
head_state dequeue(pending_message *out, uint64_t *lost_so_far, bool in_shutdown) {
    bool start_blame = false;
    {
        signal_blocker blocked;
        mutex_guard queue(&queue_mutex);
        *lost_so_far = lost;
        lost = 0;
        if (queue_size == 0) {
            return HEAD_NONE;
        }
        const pending_message &head = queued[queue_head];
        int state = blame.load();
        if (head.kind != ALARM || in_shutdown || state == BLAME_DONE) {
            *out = head;
            if (head.kind == ALARM && state == BLAME_DONE && !in_shutdown) {
                out->kind = PLAIN;
                memcpy(out->text, blame_text, sizeof out->text);
                blame = BLAME_IDLE;
            }
            queue_head = (queue_head + 1) % QUEUE_SLOTS;
            --queue_size;
            return HEAD_READY;
        }
        start_blame = state == BLAME_IDLE;
    }
    if (start_blame && !start_blame_thread()) {
        uint64_t more = 0;
        head_state taken = dequeue(out, &more, true);  // the alarm, composed without look-ups
        *lost_so_far += more;
        return taken;
    }
    return HEAD_ALARM_WAITS;
}

// One datagram to the log socket, never waiting: false when the log did not take it.
bool send_now(int priority, const char *text) {
    signal_blocker blocked;
    mutex_guard sending(&send_mutex);
    if (log_fd < 0) {
        return false;
    }
    char datagram[640];
    size_t length =
        syslog_datagram(priority, time(nullptr), getpid(), text, datagram, sizeof datagram);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connected) {
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            memcpy(address.sun_path, LOG_SOCKET, sizeof LOG_SOCKET);
            connected =
                connect(log_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
            if (!connected) {
                return false;
            }
        }
        if (send(log_fd, datagram, length, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            return false;  // the log is not reading: the message is lost, not waited for
        }
        // The log went away (restarted): connect afresh once.
        close(log_fd);
        log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        connected = false;
    }
    return false;
}

// The event log's reports, mirrored: tag lines without text are the alarm module's, which
// queues messages of its own for them.
void mirror(const char *tag, const char *text) {
    char line[480];
    if (join_detail_lines(text, line, sizeof line) > 0) {
        syslog_event(syslog_priority_of(tag), line);
    }
}

}  // namespace

void syslog_feed_setup(void (*wake)()) {
    wake_sender = wake;
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    set_report_sink(mirror);
}

void syslog_event(int priority, const char *text) {
    enqueue(priority, PLAIN, text);
}

void syslog_alarm_raised() {
    enqueue(LOG_ALERT, ALARM, "");
}

void syslog_started(const char *text) {
    enqueue(LOG_INFO, STARTED, text);
}

size_t compose_start_message(const char *started, int allow_entries, char *out, size_t size) {
    int n = allow_entries < 0 ? snprintf(out, size, "%s", started)
                              : snprintf(out, size, "%s, %d allow-list %s in force", started,
                                         allow_entries, allow_entries == 1 ? "entry" : "entries");
    return std::min(size - 1, static_cast<size_t>(std::max(n, 0)));
}

void syslog_feed_drain(bool in_shutdown) {
    pending_message message;
    uint64_t lost_before = 0;
    for (;;) {
        head_state head = dequeue(&message, &lost_before, in_shutdown);
        if (lost_before > 0) {
            char text[128];
            snprintf(text, sizeof text, "%" PRIu64 " messages to the system log were lost",
                     lost_before);
            send_now(LOG_WARNING, text);
        }
        if (head != HEAD_READY) {
            return;  // nothing queued, or the alarm's blame is still being worked out
        }
        if (message.kind == ALARM) {
            compose_alarm_message(message.text, sizeof message.text, false);
        } else if (message.kind == STARTED && allow_entries_in_force() < 0) {
            continue;  // the start failed (it never loaded the allow-list): no "started" line
        } else if (message.kind == STARTED) {
            char started[sizeof message.text];
            memcpy(started, message.text, sizeof started);
            compose_start_message(started, allow_entries_in_force(), message.text,
                                  sizeof message.text);
        }
        if (!send_now(message.priority, message.text)) {
            signal_blocker blocked;
            mutex_guard queue(&queue_mutex);
            ++lost;
        }
    }
}

int syslog_priority_of(const char *tag) {
    struct {
        const char *tag;
        int priority;
    } constexpr priorities[] = {
        {TAG_ERROR, LOG_ERR},
        {TAG_WARNING, LOG_WARNING},
        {TAG_INFO, LOG_INFO},
        {TAG_DEBUG, LOG_DEBUG},
        {TAG_DROPPING_CONNECTIONS, LOG_WARNING},
        {TAG_ALERT_VLA_DETECTED, LOG_ALERT},
        {TAG_ALERT_VLA_STOPPED, LOG_NOTICE},
    };
    for (const auto &entry : priorities) {
        if (strcmp(entry.tag, tag) == 0) {
            return entry.priority;
        }
    }
    return LOG_INFO;
}

size_t join_detail_lines(const char *detail, char *out, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t written = 0;
    out[0] = '\0';
    const char *line = detail;
    while (*line != '\0') {
        const char *end = strchr(line, '\n');
        size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        const char *text = line;
        while (text < line + length && (*text == ' ' || *text == '\t')) {
            ++text;
        }
        size_t text_length = static_cast<size_t>(line + length - text);
        while (text_length > 0 && text[text_length - 1] == ' ') {
            --text_length;
        }
        if (text_length > 0) {
            int n = snprintf(out + written, size - written, "%s%.*s", written > 0 ? "; " : "",
                             static_cast<int>(text_length), text);
            written = std::min(size - 1, written + static_cast<size_t>(std::max(n, 0)));
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return written;
}

size_t syslog_datagram(int priority, time_t now, pid_t pid, const char *text, char *out,
                       size_t size) {
    char stamp[32] = "";
    tm local{};
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    }
    int n = snprintf(out, size, "<%d>%s %s[%d]: %s", LOG_DAEMON | priority, stamp, IDENT,
                     static_cast<int>(pid), text);
    return std::min(size - 1, static_cast<size_t>(std::max(n, 0)));
}
