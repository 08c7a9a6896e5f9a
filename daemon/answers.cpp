#include "answers.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "common.h"
#include "ct_events.h"
#include "daemon_rule.h"
#include "dethrottle.h"
#include "event_log.h"

namespace {

constexpr int EVENT_BUFFER = 4 << 20;  // the socket's receive buffer: bursts of connections
int events_fd = -1;                    // set at start-up, read by the thread alone
pthread_t answers_thread;
std::atomic<uint64_t> events_lost{0};

void on_event(const ct_event &event) {
    answer_kind kind = classify_answer(event);
    if (kind == ANSWER_IGNORED || kind == ANSWER_NOT_YET) {
        return;
    }
    bool answered = kind == ANSWER_YES;
    policy_flow flow{policy_make_address(event.destination, event.ip_version == 2 ? 16 : 4),
                     event.protocol, event.source_port, event.port};
    unsigned events = 0;
    if (answer_seen(&flow, answered, monotonic_ms(), &events)) {
        dethrottle_wake();  // credit came back while packets wait: it pays for the oldest
    }
    credit_report(events);
}

void *answers_thread_start(void *) {
    // Signals go to the other threads: this one never runs the shutdown, which ends it with
    // the process.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "ulvo-answers");
    static unsigned char buffer[64 * 1024];  // this thread's alone: no allocation per message
    for (;;) {
        ssize_t n = recv(events_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == ENOBUFS) {
            // Lost events: their answers bring no credit. Said once; the count is published.
            if (events_lost.fetch_add(1) == 0) {
                lib_report(TAG_WARNING, false,
                           "   connection-tracking events were lost (the socket's buffer "
                           "overflowed);\n   answers among them bring no credit, %s,%d\n",
                           ULVO_UNIT, __LINE__);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            lib_report(TAG_ERROR, false,
                       "   could not read connection-tracking events, errno=%d; answer credit "
                       "comes back no more, %s,%d\n",
                       errno, ULVO_UNIT, __LINE__);
            return nullptr;
        }
        auto length = static_cast<size_t>(n);
        for (auto *header = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            ct_event event;
            if (ct_parse_event(header, length, &event) == CT_EVENT) {
                on_event(event);
            }
        }
    }
}

// 0 when the kernel's connection-tracking events are switched off in this network namespace
// (net.netfilter.nf_conntrack_events), else 1 (also when it cannot be told).
int conntrack_events_setting() {
    FILE *setting = fopen("/proc/sys/net/netfilter/nf_conntrack_events", "re");
    int value = 1;
    if (setting != nullptr) {
        if (fscanf(setting, "%d", &value) != 1) {
            value = 1;
        }
        fclose(setting);
    }
    return value;
}

}  // namespace

answer_kind classify_answer(const ct_event &event) {
    if (event.protocol != 6 && event.protocol != 17) {
        return ANSWER_IGNORED;
    }
    bool answered = event.protocol == 6 ? event.assured : event.replied;
    if (answered) {
        return ANSWER_YES;
    }
    return event.destroyed ? ANSWER_NEVER : ANSWER_NOT_YET;
}

int answers_open(const ulvo_optional_config *credit) {
    if (credit->new_host_credit == 0) {
        return 0;
    }
    if (conntrack_events_setting() == 0) {
        lib_report(TAG_ERROR, true,
                   "   new_host_credit is set, but connection-tracking events are switched off\n"
                   "   (net.netfilter.nf_conntrack_events=0): answer credit needs them. Set\n"
                   "   new_host_credit=0 or switch them on, %s,%d\n",
                   ULVO_UNIT, __LINE__);
        return 1;
    }
    events_fd = ct_events_open(EVENT_BUFFER);
    if (events_fd < 0) {
        lib_report(TAG_ERROR, true,
                   "   new_host_credit is set, but the kernel's connection-tracking events\n"
                   "   cannot be received (errno=%d): answer credit needs them (the\n"
                   "   nf_conntrack_netlink module). Set new_host_credit=0 or load it, %s,%d\n",
                   errno, ULVO_UNIT, __LINE__);
        return 1;
    }
    return 0;
}

int answers_start() {
    if (events_fd < 0) {
        return 0;
    }
    int rc = pthread_create(&answers_thread, nullptr, answers_thread_start, nullptr);
    if (rc != 0) {
        lib_report(TAG_ERROR, true, "   could not start the answers thread, rc=%d, %s,%d\n", rc,
                   ULVO_UNIT, __LINE__);
        return 1;
    }
    return 0;
}

void credit_report(unsigned events) {
    if ((events & POLICY_CREDIT_EXHAUSTED) != 0) {
        lib_report(TAG_WARNING, false,
                   "   answer credit is spent: connections to new hosts wait in the delay queue\n"
                   "   until answers bring credit back, %s,%d\n",
                   ULVO_UNIT, __LINE__);
    }
    if ((events & POLICY_CREDIT_RESTORED) != 0) {
        lib_report(TAG_INFO, false,
                   "   answer credit is back: connections to new hosts pass at once again, %s,%d\n",
                   ULVO_UNIT, __LINE__);
    }
}

uint64_t answer_events_lost() {
    return events_lost.load();
}
