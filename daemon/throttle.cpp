#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "event_log.h"
#include "known_hosts.h"
#include "ulvo.h"
#include "water_gauge.h"

namespace {

pthread_mutex_t dropping_conn_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards the flag below
int log_dropping_conn_event = 1;  // 1: the next drop writes "[DROPPING_CONNECTIONS] "

// Asks the signal handler for the one shutdown.
void request_shutdown() {
    kill(getpid(), SIGUSR1);
}

// Writes the drop event once per episode. Signals stay blocked while the mutex and the
// stream are held, so that the shutdown never waits for a thread stopped in here.
void note_drop() {
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved);
    pthread_mutex_lock(&dropping_conn_mutex);
    if (log_dropping_conn_event == 1) {
        log_event(ulvolib_output(), TAG_DROPPING_CONNECTIONS, "");
        log_dropping_conn_event = 0;
    }
    pthread_mutex_unlock(&dropping_conn_mutex);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

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

void netlink_error(tt_param *param, int code) {
    bool fatal = code == -EINVAL || code == -EBUSY;
    get_log_lock();
    log_event(ulvolib_output(), fatal ? TAG_ERROR : TAG_WARNING, "");
    FILE *out = ulvolib_output();
    fprintf(out, "   netlink message failed, errno=%d, netlink err=%d, for %s thread, %s,%d\n",
            errno, code, param->thread_name, ULVO_UNIT, __LINE__);
    if (code == -EBUSY) {
        fprintf(out, "   Another application may be using the iptables QUEUE\n");
        fprintf(out, "   target causing this error. Run \"iptables  -L\" to \n");
        fprintf(out, "   see if the QUEUE target is already loaded.\n");
    }
    release_log_lock();
    if (fatal) {
        request_shutdown();
    }
}

}  // namespace

void rearm_dropping_conn_event() {
    pthread_mutex_lock(&dropping_conn_mutex);
    log_dropping_conn_event = 1;
    pthread_mutex_unlock(&dropping_conn_mutex);
}

int create_throttle_thread(tt_param *param) {
    int rc = nl_create_filter(&param->filter, param->protocol_family, sizeof(cre::msg_buf));
    if (rc != NL_OK) {
        lib_report(TAG_ERROR, true,
                   "   nl_create_filter call failed for %s, errno=%d, rc=%d %s,%d\n",
                   param->thread_name, errno, rc, ULVO_UNIT, __LINE__);
        return 1;
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
    cre *element = *current;
    nlmsghdr header;
    memcpy(&header, element->msg_buf, sizeof header);
    switch (header.nlmsg_type) {
        case NLMSG_ERROR: {
            int code;
            memcpy(&code, element->msg_buf + sizeof header, sizeof code);
            netlink_error(param, code);
            break;
        }
        case IPQM_PACKET:
            ++counters->processed_crs;
            element->pkt = reinterpret_cast<ipq_packet_msg *>(element->msg_buf + sizeof header);
            if (a_known_host(element) != 0) {
                if (!verdict(param, element, ULVO_NF_ACCEPT)) {
                    return 1;
                }
                ++counters->never_throttled_crs;
            } else if (cre *fresh = alloc_cre(param->ip_version); fresh != nullptr) {
                queue_cre(element);
                ++counters->throttled_crs;
                *current = fresh;
            } else {
                note_drop();
                if (!verdict(param, element, ULVO_NF_DROP)) {
                    return 1;
                }
                ++counters->dropped_crs;
            }
            break;
        case NLMSG_NOOP:
            break;
        default:
            lib_report(TAG_WARNING, false,
                       "   unknown netlink message type %#x in %s thread, %s,%d\n",
                       header.nlmsg_type, param->thread_name, ULVO_UNIT, __LINE__);
            break;
    }

    auto count = static_cast<unsigned>(queued_cr_count());
    if (count >= static_cast<unsigned>(param->config->dq_high_watermark) &&
        test_and_set_water_mark(WG_NORMAL, WG_VLA_OCCURRING) != 0) {
        ++counters->times_vla_detected;
        publish(param, counters);
        get_log_lock();
        log_event(ulvolib_output(), TAG_ALERT_VLA_DETECTED, "");
        release_log_lock();
    } else {
        publish(param, counters);
    }
    return 0;
}

void *throttle_thread_start(void *arg) {
    auto *param = static_cast<tt_param *>(arg);
    tt_stat counters{};
    cre *current = alloc_cre(param->ip_version);
    if (current == nullptr) {
        lib_report(TAG_ERROR, false,
                   "   INTERNAL ERROR: could not alloc cr element for %s, %s,%d\n",
                   param->thread_name, ULVO_UNIT, __LINE__);
        request_shutdown();
        pthread_exit(nullptr);
    }
    for (;;) {
        current->filter = &param->filter;
        int rc = nl_get_msg(&param->filter, current->msg_buf, sizeof current->msg_buf);
        if (shutting_down()) {
            pthread_exit(nullptr);
        }
        if (rc != NL_OK) {
            lib_report(TAG_ERROR, false,
                       "   netlink msg read failed, errno=%d rc=%d, in thread %s,  %s,%d\n", errno,
                       rc, param->thread_name, ULVO_UNIT, __LINE__);
            request_shutdown();
            pthread_exit(nullptr);
        }
        if (handle_message(param, &current, &counters) != 0) {
            request_shutdown();
            pthread_exit(nullptr);
        }
    }
}
