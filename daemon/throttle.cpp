#include "throttle.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "alarm.h"
#include "answers.h"
#include "common.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "fast_path.h"
#include "lifecycle.h"
#include "watchdog.h"

namespace {

// Sends a verdict for the current packet on the thread's own queue: true when it went out.
bool verdict(tt_param *param, cre *current, int value) {
    int rc = nl_msg_action(&param->filter, &current->pkt->packet_id, value);
    if (rc != NL_OK) {
        lib_report(TAG_ERROR, false,
                   "   nl_msg_action failed, errno=%d rc=%d,for thread %s, %s,%d\n", errno, rc,
                   param->thread_name, ULVO_UNIT, __LINE__);
        return false;
    }
    return true;
}

void publish(tt_param *param, const tt_stat *counters) {
    if (param->update_tt_stat(counters) != 0) {
        lib_report(TAG_WARNING, false,
                   "   could not update throttle thread stat block \n   for %s thread, %s,%d\n",
                   param->thread_name, ULVO_UNIT, __LINE__);
    }
}

// Reports an error message of the kernel; true when it is fatal (the queue is not ours). At
// start-up the report is copied to the start-status file.
bool netlink_error(tt_param *param, int code, bool startup) {
    bool fatal = code == -EINVAL || code == -EBUSY;
    lib_report(fatal ? TAG_ERROR : TAG_WARNING, startup,
               "   netlink message failed, errno=%d, netlink err=%d, for %s thread, %s,%d\n%s",
               errno, code, param->thread_name, ULVO_UNIT, __LINE__,
               code == -EBUSY ? "   Another application may be using the iptables QUEUE\n"
                                "   target causing this error. Run \"iptables  -L\" to \n"
                                "   see if the QUEUE target is already loaded.\n"
                              : "");
    return fatal;
}

// How often a thread reports queued packets it could not read: once per episode, an episode
// being this long, so that a flood of them cannot grow the event log by a line per packet.
constexpr int64_t UNUSABLE_EPISODE_MS = 60 * 1000;

// A queued packet that cannot be judged (its message could not be read, or it is too short to
// name a destination) still holds the kernel's queue: it is accepted, and reported once per
// episode. false when the verdict failed (reported).
// What judging one message leaves to do: the rule's events, and the verdict to send once the
// counters that count it are published (NO_VERDICT: none, the packet is held or there was none).
// Counted first, so that whoever sees the verdict's effect (a connection that completes) finds
// it in the status block.
constexpr int NO_VERDICT = -1;
struct judged {
    unsigned events = 0;
    int verdict = NO_VERDICT;
};

void accept_unusable(tt_param *param, tt_stat *counters, judged *out) {
    ++counters->processed_crs;
    out->verdict = ULVO_NF_ACCEPT;
    ++counters->never_throttled_crs;
    ++param->unusable_crs;
    int64_t now = monotonic_ms();
    if (param->unusable_crs == 1 || now - param->unusable_reported_ms >= UNUSABLE_EPISODE_MS) {
        param->unusable_reported_ms = now;
        lib_report(TAG_WARNING, false,
                   "   a queued packet could not be read and was accepted unjudged in %s thread"
                   " (%" PRIu64 " so far), %s,%d\n",
                   param->thread_name, param->unusable_crs, ULVO_UNIT, __LINE__);
    }
}

// True when the received packet holds its destination address.
bool names_destination(const cre *element) {
    return element->pkt->data_len >=
           static_cast<size_t>(element->addr_offset) + static_cast<size_t>(element->addr_len);
}

// The kernel answers a registration only to refuse it, and does so before nl_create_filter
// returns, so a refusal is waiting on the socket now. It is reported as the thread would report
// it, and copied to the start-status file. A packet waiting instead (rules left behind by a
// daemon that was killed) shows that the queue is ours; it is let through.
bool registration_refused(tt_param *param) {
    if (nl_pending(&param->filter) == 0) {
        return false;
    }
    alignas(unsigned long) unsigned char answer[ULVO_MSG_BUF_SIZE] = {};
    if (nl_get_msg(&param->filter, answer, sizeof answer) != NL_OK) {
        lib_report(TAG_ERROR, true,
                   "   netlink msg read failed, errno=%d rc=%d, in thread %s,  %s,%d\n", errno,
                   NL_NO_RECEIVE, param->thread_name, ULVO_UNIT, __LINE__);
        return true;
    }
    nlmsghdr header;
    memcpy(&header, answer, sizeof header);
    if (header.nlmsg_type == IPQM_PACKET || header.nlmsg_type == ULVO_UNUSABLE_PACKET) {
        const auto *packet = reinterpret_cast<const ipq_packet_msg *>(answer + sizeof header);
        nl_msg_action(&param->filter, &packet->packet_id, ULVO_NF_ACCEPT);
        return false;
    }
    if (header.nlmsg_type != NLMSG_ERROR) {
        return false;  // the thread reports anything else it receives
    }
    int code = 0;
    memcpy(&code, answer + sizeof header, sizeof code);
    return netlink_error(param, code, true) || code != 0;
}

// Judges one received packet by the rule: accepted to a known host, held while the queue has
// room (the rule keeps the element, and the thread takes a fresh one: the pool has room for a
// full queue and each thread's receive element), else dropped. false when a verdict failed
// (reported).
void judge_packet(tt_param *param, cre **current, tt_stat *counters, judged *out) {
    cre *element = *current;
    element->pkt = reinterpret_cast<ipq_packet_msg *>(element->msg_buf + sizeof(nlmsghdr));
    if (!names_destination(element)) {
        accept_unusable(param, counters, out);
        return;
    }
    ++counters->processed_crs;
    switch (judge_cre(element, monotonic_ms(), &out->events)) {
        case POLICY_PASS:
            out->verdict = ULVO_NF_ACCEPT;
            ++counters->never_throttled_crs;
            return;
        case POLICY_HOLD:
            ++counters->throttled_crs;
            *current = alloc_cre(param->ip_version);
            if (*current == nullptr) {
                lib_report(TAG_ERROR, false,
                           "   INTERNAL ERROR: could not alloc cr element for %s, %s,%d\n",
                           param->thread_name, ULVO_UNIT, __LINE__);
                end_worker_thread();
            }
            return;
        case POLICY_DROP:
            alarm_note_drop((out->events & POLICY_DROPS_BEGAN) != 0);
            out->verdict = ULVO_NF_DROP;
            ++counters->dropped_crs;
            return;
    }
}

// Acts on one received message by its type.
void dispatch(tt_param *param, cre **current, tt_stat *counters, judged *out) {
    cre *element = *current;
    nlmsghdr header;
    memcpy(&header, element->msg_buf, sizeof header);
    switch (header.nlmsg_type) {
        case IPQM_PACKET:
            judge_packet(param, current, counters, out);
            return;
        case ULVO_UNUSABLE_PACKET:
            element->pkt = reinterpret_cast<ipq_packet_msg *>(element->msg_buf + sizeof header);
            accept_unusable(param, counters, out);
            return;
        case NLMSG_ERROR: {
            int code;
            memcpy(&code, element->msg_buf + sizeof header, sizeof code);
            if (netlink_error(param, code, false)) {
                request_shutdown();
            }
            return;
        }
        case NLMSG_NOOP:
            return;
        default:
            lib_report(TAG_WARNING, false,
                       "   unknown netlink message type %#x in %s thread, %s,%d\n",
                       header.nlmsg_type, param->thread_name, ULVO_UNIT, __LINE__);
            return;
    }
}

watched_worker worker_of(const tt_param *param) {
    return param->ip_version == 1 ? WORKER_IPV4 : WORKER_IPV6;
}

}  // namespace

int create_throttle_thread(tt_param *param) {
    int rc = nl_create_filter(&param->filter, param->protocol_family, sizeof(cre::msg_buf));
    if (rc != NL_OK) {
        lib_report(TAG_ERROR, true,
                   "   nl_create_filter call failed for %s, errno=%d, rc=%d %s,%d\n",
                   param->thread_name, errno, rc, ULVO_UNIT, __LINE__);
        return 1;
    }
    if (registration_refused(param)) {
        nl_destroy_filter(&param->filter);
        return 1;
    }
    // Watched, the thread wakes at least once per timeout to show that it is alive; with the
    // fast path, often enough to fold the kernel's counts into its own.
    if (watchdog_enabled() || fast_path_wanted()) {
        int timeout = fast_path_wanted() ? FAST_PATH_FOLD_MS : WATCHDOG_RECEIVE_TIMEOUT_MS;
        if (nl_set_receive_timeout(&param->filter, timeout) != NL_OK) {
            lib_report(TAG_ERROR, true,
                       "   could not set a receive timeout for %s, errno=%d %s,%d\n",
                       param->thread_name, errno, ULVO_UNIT, __LINE__);
            nl_destroy_filter(&param->filter);
            return 1;
        }
    }
    if (watchdog_enabled()) {
        watchdog_watch(worker_of(param), WATCHDOG_RECEIVE_TIMEOUT_MS);
    }
    rc = pthread_create(&param->thread_id, nullptr, throttle_thread_start, param);
    if (rc != 0) {
        int error = errno;
        nl_destroy_filter(&param->filter);
        lib_report(TAG_ERROR, true,
                   "   could not start %s throttle thread, rc=%d, errno=%d, %s,%d\n",
                   param->thread_name, rc, error, ULVO_UNIT, __LINE__);
        return 1;
    }
    return 0;
}

int handle_message(tt_param *param, cre **current, tt_stat *counters) {
    judged out;
    dispatch(param, current, counters, &out);
    credit_report(out.events);
    bool raised = (out.events & POLICY_ALARM_RAISED) != 0 && alarm_raise();
    if (raised) {
        ++counters->times_vla_detected;
    }
    publish(param, counters);
    if (out.verdict != NO_VERDICT && !verdict(param, *current, out.verdict)) {
        return 1;
    }
    if (raised) {
        alarm_report_raised();
    }
    return 0;
}

namespace {

// Folds the packets that the kernel passed to known hosts of the thread's family into its
// counters (as connection-establishing and passed without delay) when it is time.
void fold_fast_path(tt_param *param, tt_stat *counters, int64_t *next_fold_ms) {
    int64_t now = monotonic_ms();
    if (now < *next_fold_ms) {
        return;
    }
    *next_fold_ms = now + FAST_PATH_FOLD_MS;
    uint64_t passed = fast_path_take(param->ip_version);
    if (passed > 0) {
        counters->processed_crs += passed;
        counters->never_throttled_crs += passed;
        publish(param, counters);
    }
}

}  // namespace

void *throttle_thread_start(void *arg) {
    auto *param = static_cast<tt_param *>(arg);
    const watched_worker worker = worker_of(param);
    pthread_setname_np(pthread_self(), worker == WORKER_IPV4 ? "ulvo-IPv4" : "ulvo-IPv6");
    tt_stat counters{};
    int64_t next_fold_ms = 0;
    cre *current = alloc_cre(param->ip_version);
    if (current == nullptr) {
        lib_report(TAG_ERROR, false,
                   "   INTERNAL ERROR: could not alloc cr element for %s, %s,%d\n",
                   param->thread_name, ULVO_UNIT, __LINE__);
        end_worker_thread();
    }
    for (;;) {
        current->filter = &param->filter;
        int rc = nl_get_msg(&param->filter, current->msg_buf, sizeof current->msg_buf,
                            &current->owner_uid);
        if (shutting_down()) {
            park_worker_thread();
        }
        worker_beat(worker);
        if (fast_path_wanted()) {
            fold_fast_path(param, &counters, &next_fold_ms);
        }
        if (rc == NL_TIMED_OUT) {
            continue;
        }
        if (rc != NL_OK) {
            lib_report(TAG_ERROR, false,
                       "   netlink msg read failed, errno=%d rc=%d, in thread %s,  %s,%d\n", errno,
                       rc, param->thread_name, ULVO_UNIT, __LINE__);
            end_worker_thread();
        }
        if (handle_message(param, &current, &counters) != 0) {
            end_worker_thread();
        }
    }
}
