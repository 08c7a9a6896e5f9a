#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include "alarm.h"
#include "event_log.h"
#include "known_hosts.h"
#include "owner_block.h"
#include "ulvo.h"
#include "watchdog.h"

int dethrottle_pass(const ulvo_config *config, dtt_stat *counters) {
    cre *head = dequeue_cre();
    if (head == nullptr) {
        return 0;
    }
    // The destination becomes known before the queue is searched, so that a packet to it that
    // arrives from now on passes at once instead of joining the queue.
    head->next = add_known_host(head) == 1 ? dequeue_throttled_cres(head) : nullptr;
    for (cre *element = head; element != nullptr;) {
        ++counters->dethrottled_crs;
        int rc = nl_msg_action(element->filter, &element->pkt->packet_id, ULVO_NF_ACCEPT);
        if (rc != NL_OK) {
            lib_report(TAG_ERROR, false, "   nl_msg_action failed errno=%d, rc=%d, %s,%d\n", errno,
                       rc, ULVO_UNIT, __LINE__);
            return 1;
        }
        cre *next = element->next;
        element->next = nullptr;
        free_cre(element);
        element = next;
    }

    counters->max_crs_ever_throttled = static_cast<uint64_t>(max_queued_cr_count());
    if (update_dtt_shm(counters) != 0) {
        lib_report(TAG_WARNING, false, "   could not update de-throttle thread stat block, %s,%d\n",
                   ULVO_UNIT, __LINE__);
    }
    alarm_lower_if_low(config);
    return 0;
}

void *dethrottle_thread_start(void *arg) {
    const auto *config = static_cast<const ulvo_config *>(arg);
    pthread_setname_np(pthread_self(), "ulvo-dethrottle");
    dtt_stat counters{};
    for (;;) {
        sleep(static_cast<unsigned>(config->dq_delay_seconds));
        if (dethrottle_pass(config, &counters) != 0) {
            end_worker_thread();
        }
        owner_block_publish();
        worker_beat(WORKER_DETHROTTLE);
    }
}
