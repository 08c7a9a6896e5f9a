#include "shutdown.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common.h"
#include "event_log.h"
#include "fast_path.h"
#include "helper.h"
#include "lifecycle.h"
#include "outputs.h"
#include "owner_block.h"
#include "shm_block.h"
#include "syslog_feed.h"
#include "watchdog.h"
#include "workers.h"

namespace {

pthread_mutex_t sig_handler_mutex = PTHREAD_MUTEX_INITIALIZER;  // claimed once, never released

// Signals whose default action would end the process, in the order they are installed.
constexpr int sigs_to_die_for[] = {SIGHUP,  SIGINT,    SIGUSR1,   SIGUSR2, SIGPIPE,
                                   SIGALRM, SIGTERM,   SIGVTALRM, SIGPROF, SIGIO,
                                   SIGPOLL, SIGSTKFLT, SIGPWR};
// Signals that end the process by abort, so that a core file can be written.
constexpr int sigs_to_drop_core_for[] = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGIOT, SIGBUS,
                                         SIGFPE,  SIGSEGV, SIGXCPU, SIGXFSZ, SIGSYS, SIGSYS};
static_assert(std::size(sigs_to_die_for) == 13 && std::size(sigs_to_drop_core_for) == 12);

bool drops_core(int signal_number) {
    for (int s : sigs_to_drop_core_for) {
        if (s == signal_number) {
            return true;
        }
    }
    return false;
}

// Marks the shutdown as begun; a start-up that it cuts short is recorded as failed. true when
// the daemon had started.
bool begin_shutdown() {
    startup_guard startup;
    if (set_phase(PHASE_STOPPING) == PHASE_STARTING) {
        failed_start_locked();
        return false;
    }
    return true;
}

// Which signal ends the daemon, in the event log and the system log: a service manager or an
// operator tells a stop it asked for from one it did not.
void report_signal(int signal_number) {
    const char *name = sigabbrev_np(signal_number);
    report_unlocked(ulvolib_output(), TAG_INFO, "   on signal %d (SIG%s)\n", signal_number,
                    name != nullptr ? name : "RT");
}

// Once nothing new is queued, every packet still waiting for a verdict, held or not yet read,
// is let go; only then do the queue rules go, since the kernel drops what they queued. The
// removal takes the helper's turn after a load or repair under way, and none comes after it:
// each checks the phase in its turn.
void release_queues() {
    rules_exchange_guard exchange;
    run_helper(CMD_DETACH_RULES);
    accept_held_packets();
    int status = run_helper(CMD_UNLOAD_RULES);
    if (status != 0) {
        report_unlocked(ulvolib_output(), TAG_WARNING,
                        "   could not unload iptables kel-ulvo filter, %d, %s,%d\n",
                        helper_exit_status(status), ULVO_UNIT, __LINE__);
    }
}

// The ending for a signal of sigs_to_drop_core_for: abort, so that a core file is written.
[[noreturn]] void end_with_core(int signal_number) {
    FILE *log = ulvolib_output();
    report_unlocked(log, TAG_ERROR, "   received signal %d\n", signal_number);
    signal(SIGABRT, SIG_DFL);
    if (getenv("KEL_DOREN_DROP_CORE") != nullptr) {
        rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_CORE, &unlimited);
        if (chdir("/tmp") != 0) {
            fprintf(log, "   could not change to /tmp, errno=%d\n", errno);
        }
    }
    abort();
}

// A thread that enters the handler while another shuts the process down waits for the end.
[[noreturn]] void wait_for_shutdown() {
    sleep(60);
    if (is_main_thread()) {
        exit(0);
    }
    pthread_exit(nullptr);
}

}  // namespace

int set_sig_handler(FILE *out) {
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_NOCLDWAIT;

    auto fail = [out](int signal_number, int position, int line) {
        report_unlocked(out, TAG_ERROR, "   sigaction failed for signal %d, errno=%d, %d, %s,%d\n",
                        signal_number, errno, position, ULVO_UNIT, line);
        return 1;
    };
    for (int i = 0; i < static_cast<int>(std::size(sigs_to_die_for)); ++i) {
        if (sigaction(sigs_to_die_for[i], &action, nullptr) != 0) {
            return fail(sigs_to_die_for[i], i, __LINE__);
        }
    }
    for (int i = 0; i < static_cast<int>(std::size(sigs_to_drop_core_for)); ++i) {
        if (sigaction(sigs_to_drop_core_for[i], &action, nullptr) != 0) {
            return fail(sigs_to_drop_core_for[i], i, __LINE__);
        }
    }
    for (int s = __libc_current_sigrtmin(); s <= __libc_current_sigrtmax(); ++s) {
        if (sigaction(s, &action, nullptr) != 0) {
            return fail(s, s, __LINE__);
        }
    }
    action.sa_flags = SA_NODEFER | SA_NOCLDWAIT;
    if (sigaction(SIGUSR1, &action, nullptr) != 0) {
        report_unlocked(out, TAG_ERROR, "   sigaction failed for signal %d, errno=%d, %s,%d\n",
                        SIGUSR1, errno, ULVO_UNIT, __LINE__);
        return 1;
    }
    return 0;
}

void sig_handler(int signal_number) {
    if (pthread_mutex_trylock(&sig_handler_mutex) == EBUSY) {
        wait_for_shutdown();
    }
    notify_stopping();
    report_signal(signal_number);  // before "kel-ulvo exiting", which stays the last line
    log_event(ulvolib_output(), TAG_INFO, "kel-ulvo exiting");
    bool started = begin_shutdown();
    release_queues();
    if (stop_other_threads()) {
        sleep(1);  // the threads stop
    }
    // Once the threads are stopped: a start that was making the sets has stopped too.
    fast_path_remove();
    shm_block_free();
    owner_block_free();
    // A stopped thread may hold the rule's lock for ever: the alarm's message is composed here
    // only if the lock can be had.
    syslog_feed_drain(true);
    if (drops_core(signal_number)) {
        end_with_core(signal_number);
    }
    // Whichever thread began the shutdown ends the process: the others wait inside the handler.
    // A start that failed (or that the signal cut short) ends with 1, as a failed start does
    // before the workers exist: a service manager must not take it for a stop.
    fflush(nullptr);
    exit(started ? 0 : 1);
}
