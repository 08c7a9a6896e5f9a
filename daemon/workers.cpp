#include "workers.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "answers.h"
#include "common.h"
#include "dethrottle.h"
#include "event_log.h"
#include "helper.h"
#include "lifecycle.h"
#include "outputs.h"
#include "throttle.h"
#include "watchdog.h"

namespace {

tt_param ipv4_tt_param;
tt_param ipv6_tt_param;

void fill_tt_param(tt_param *param, const char *name, int ip_version, int family,
                   const ulvo_config *config, int (*update)(const tt_stat *)) {
    strncpy(param->thread_name, name, sizeof param->thread_name);
    param->thread_name[sizeof param->thread_name - 1] = '\0';
    param->ip_version = ip_version;
    param->protocol_family = family;
    param->config = config;
    param->update_tt_stat = update;
}

void start_throttle_thread(tt_param *param, daemon_thread worker) {
    if (create_throttle_thread(param) != 0) {
        fail_start_with_shutdown();
    }
    register_worker(worker, param->thread_id);
}

// The IPv6 throttle thread where the kernel offers IPv6 queueing.
void start_ipv6_thread() {
    int status = run_helper(CMD_LOAD_IPV6_MODULES);
    if (helper_exit_status(status) == HELPER_NO_IPV6) {
        lib_report(TAG_WARNING, false,
                   "   could not load ip6_queue module for IPv6 throttling,\n   \"%s\", rc=%d\n"
                   "   will continue with IPv4 throttling\n",
                   CMD_LOAD_IPV6_MODULES, helper_exit_status(status));
        // The element the IPv6 thread would hold as its receive buffer stays out of the pool,
        // so that the delay queue has the same room as with both threads.
        alloc_cre(ipv6_tt_param.ip_version);
        return;
    }
    if (status != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not load required iptable modules using \n   \"%s\", rc=%d\n",
                   CMD_LOAD_IPV6_MODULES, helper_exit_status(status));
        fail_start_with_shutdown();
    }
    start_throttle_thread(&ipv6_tt_param, THREAD_IPV6);
}

void start_dethrottle_thread(const ulvo_config *config) {
    if (dethrottle_setup() != 0) {
        fail_start_with_shutdown();
    }
    watchdog_watch(WORKER_DETHROTTLE, int64_t{config->dq_delay_seconds} * 1000);
    pthread_t id;
    int rc =
        pthread_create(&id, nullptr, dethrottle_thread_start, const_cast<ulvo_config *>(config));
    if (rc != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not start dethrottle thread, rc=%d, errno=%d, %s,%d\n", rc, errno,
                   ULVO_UNIT, __LINE__);
        fail_start_with_shutdown();
    }
    register_worker(THREAD_DETHROTTLE, id);
}

void accept_held(tt_param *param, daemon_thread worker) {
    if (!worker_running(worker)) {
        return;
    }
    int rc = nl_accept_all(&param->filter);
    if (rc != NL_OK) {
        report_unlocked(ulvolib_output(), TAG_WARNING,
                        "   could not accept the held packets of the %s queue, errno=%d, rc=%d, "
                        "%s,%d\n",
                        param->thread_name, errno, rc, ULVO_UNIT, __LINE__);
    }
}

}  // namespace

void start_workers(const ulvo_config *config) {
    fill_tt_param(&ipv4_tt_param, "IPv4", 1, AF_INET, config, update_ipv4_tt_shm);
    fill_tt_param(&ipv6_tt_param, "IPv6", 2, AF_INET6, config, update_ipv6_tt_shm);
    start_throttle_thread(&ipv4_tt_param, THREAD_IPV4);
    start_ipv6_thread();
    start_dethrottle_thread(config);
    if (answers_start() != 0) {
        fail_start_with_shutdown();
    }
}

void accept_held_packets() {
    accept_held(&ipv4_tt_param, THREAD_IPV4);
    accept_held(&ipv6_tt_param, THREAD_IPV6);
}
