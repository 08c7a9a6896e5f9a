#include "ulvo.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "answers.h"
#include "config.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "fast_path.h"
#include "helper.h"
#include "instance.h"
#include "lifecycle.h"
#include "main_loop.h"
#include "outputs.h"
#include "owner_block.h"
#include "rules.h"
#include "shm_block.h"
#include "shutdown.h"
#include "syslog_feed.h"
#include "watchdog.h"
#include "workers.h"

namespace {

// The signal mask the daemon was started with, blocked away until its handlers are in.
sigset_t mask_before_handlers;

// Until the handlers are in, a signal waits: one that came in the first milliseconds would
// otherwise end the process with its start-status file holding only the banner.
void block_signals() {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &mask_before_handlers);
}

void install_handlers() {
    if (set_sig_handler(start_status_file()) != 0) {
        fail_start();
    }
    sigprocmask(SIG_SETMASK, &mask_before_handlers, nullptr);  // what waited is handled now
}

// The library: the log lock, the configuration, the pool, the ring and the status block.
void init_library(ulvo_config *config) {
    ulvo_optional_config optional{};
    if (init_log_lock() != 0 || init_ulvolib() != 0 || read_config(config) != 0 ||
        read_optional_config(&optional) != 0 || answers_open(&optional) != 0) {
        fail_start();
    }
    lint_config();
    set_daemon_rule_credit(&optional);
    fast_path_configure(optional.kernel_fast_path == 1);
    if (alloc_mem(config) != 0) {
        fail_start();
    }
    // Without it the metrics lack the held connections by owner; the daemon still works.
    owner_block_create(config->shared_memory_key, static_cast<int32_t>(getpid()));
}

// The fast path's sets, the rules and the allow-list, then "end" in the start-status file,
// unless a shutdown has begun (it has written the failed-start ending, removes whatever was
// loaded and ends the process). A failure here writes the failed-start ending and asks for the
// shutdown. The sets are made outside every lock the shutdown takes (the working set's hook
// takes the rule's lock); the rules are loaded in the helper's turn, which the shutdown's
// removal takes after it.
void finish_start() {
    set_helper_fast_path(fast_path_prepare());
    int loaded = 1;
    {
        rules_exchange_guard exchange;
        if (shutting_down()) {
            return;
        }
        loaded = load_rules();
    }
    if (loaded != 0) {
        fast_path_remove();
    }
    {
        startup_guard startup;
        if (shutting_down()) {
            return;
        }
        if (loaded == 0) {
            set_phase(PHASE_RUNNING);
            finished_start_locked();
            notify_ready();
            return;
        }
        failed_start_locked();
    }
    request_shutdown();
}

}  // namespace

int ulvo_check_config() {
    set_ulvolib_output(stderr);
    ulvo_config config{};
    ulvo_optional_config optional{};
    bool good = read_config(&config) == 0 && read_optional_config(&optional) == 0;
    int warnings = lint_config();
    if (!good) {
        fprintf(stderr, "%s: the configuration is refused; kel-ulvod would not start\n",
                ULVO_CONFIG_PATH);
        return 1;
    }
    printf(
        "host_working_set_size=%d\ndelay_queue_delay_seconds=%d\ndelay_queue_size=%d\n"
        "delay_queue_high_watermark=%d\ndelay_queue_low_watermark=%d\n"
        "shared_memory_key=%#x\nnew_host_credit=%d\ncredit_ceiling=%d\nkernel_fast_path=%d\n",
        config.host_working_set_size, config.dq_delay_seconds, config.dq_size,
        config.dq_high_watermark, config.dq_low_watermark,
        static_cast<unsigned>(config.shared_memory_key), optional.new_host_credit,
        optional.credit_ceiling, optional.kernel_fast_path);
    fprintf(stderr, "%s: good%s\n", ULVO_CONFIG_PATH,
            warnings > 0 ? ", with the warnings above" : "");
    return 0;
}

void ulvo_main() {
    ulvo_config config;  // the daemon's own record, alive as long as the process
    block_signals();
    watchdog_setup(getpid());
    syslog_feed_setup(wake_main_thread);
    open_outputs();
    if (main_loop_setup() != 0) {
        fail_start();
    }
    int instance_lock = take_instance_lock();
    daemonize();
    record_instance_pid(instance_lock);
    refuse_block_in_the_way();
    if (prepare_kernel() != 0) {
        fail_start();
    }
    install_handlers();
    init_library(&config);
    start_workers(&config);
    finish_start();
    main_thread_loop();
}
