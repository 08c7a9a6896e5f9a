#include "ulvo.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "event_log.h"
#include "signal_block.h"
#include "water_gauge.h"

namespace {

constexpr char BANNER[] = "kel-ulvod 1.0.0-9.sles9: KEL Ulvomatic connection-rate throttle";

FILE *pulvo_fout = nullptr;          // the event log
FILE *pstart_status_fout = nullptr;  // the start-status file while start-up runs
char temp_buff[128];
const char *pulvo_version = ULVO_VERSION;
pthread_t main_thread_id;
tt_param ipv4_tt_param;
tt_param ipv6_tt_param;
pthread_t dethrottle_thread_id;
int ipv4_thread_running = 0;  // each set once its thread exists, never reset
int ipv6_thread_running = 0;
int dethrottle_thread_running = 0;
pthread_mutex_t sig_handler_mutex = PTHREAD_MUTEX_INITIALIZER;  // claimed once, never released
std::atomic<int> sig_handler_running{0};                        // set when the shutdown begins
// The end of start-up (loading the rules, closing the start-status file) and the beginning of
// the shutdown exclude each other, so that no rules are loaded once the shutdown has unloaded
// them and a start that a shutdown cuts short is recorded as failed. The main thread holds it
// only with every signal blocked, so the handler never waits for its own thread.
pthread_mutex_t startup_mutex = PTHREAD_MUTEX_INITIALIZER;

// Signals whose default action would end the process, in the order they are installed.
constexpr int sigs_to_die_for[] = {SIGHUP,  SIGINT,    SIGUSR1,   SIGUSR2, SIGPIPE,
                                   SIGALRM, SIGTERM,   SIGVTALRM, SIGPROF, SIGIO,
                                   SIGPOLL, SIGSTKFLT, SIGPWR};
// Signals that end the process by abort, so that a core file can be written.
constexpr int sigs_to_drop_core_for[] = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGIOT, SIGBUS,
                                         SIGFPE,  SIGSEGV, SIGXCPU, SIGXFSZ, SIGSYS, SIGSYS};
static_assert(std::size(sigs_to_die_for) == 13 && std::size(sigs_to_drop_core_for) == 12);

// Accepts every packet the thread's queue still holds; a failure is a warning.
void accept_held_packets(tt_param *param, int running) {
    if (running == 0) {
        return;
    }
    int rc = nl_accept_all(&param->filter);
    if (rc != NL_OK) {
        log_event(pulvo_fout, TAG_WARNING, "");
        fprintf(pulvo_fout,
                "   could not accept the held packets of the %s queue, errno=%d, rc=%d, %s,%d\n",
                param->thread_name, errno, rc, ULVO_UNIT, __LINE__);
    }
}

bool drops_core(int signal_number) {
    for (int s : sigs_to_drop_core_for) {
        if (s == signal_number) {
            return true;
        }
    }
    return false;
}

// The failed-start ending: the start-status file gets its last two lines and is closed. The
// caller holds startup_mutex.
void failed_start_locked() {
    set_start_status_file(nullptr);
    if (pstart_status_fout != nullptr) {
        fputs("kel-ulvod failed to start\n", pstart_status_fout);
        fputs("end\n", pstart_status_fout);
        fclose(pstart_status_fout);
        pstart_status_fout = nullptr;
    }
    fputs("kel-ulvod failed to start\n", stderr);
    fputs("kel-ulvod failed to start\n", pulvo_fout);
    fflush(nullptr);
}

void failed_start() {
    signal_blocker blocked;
    pthread_mutex_lock(&startup_mutex);
    failed_start_locked();
    pthread_mutex_unlock(&startup_mutex);
}

// A failure before any worker thread exists ends the detached daemon.
[[noreturn]] void fail_start() {
    failed_start();
    exit(1);
}

// A failure once a worker thread may run goes through the one shutdown, on this thread.
[[noreturn]] void fail_start_with_shutdown() {
    failed_start();
    raise(SIGUSR1);
    exit(1);  // only when the shutdown did not take over
}

// A start-up report: tag line in the event log, detail lines also in the start-status file.
__attribute__((format(printf, 1, 2))) void startup_report(const char *fmt, ...) {
    get_log_lock();
    log_event(pulvo_fout, TAG_ERROR, "");
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    vfprintf(pulvo_fout, fmt, ap);
    if (pstart_status_fout != nullptr) {
        vfprintf(pstart_status_fout, fmt, again);
    }
    va_end(again);
    va_end(ap);
    release_log_lock();
}

void fill_tt_param(tt_param *param, const char *name, int ip_version, int family,
                   const ulvo_config *config, int (*update)(const tt_stat *)) {
    strncpy(param->thread_name, name, sizeof param->thread_name);
    param->thread_name[sizeof param->thread_name - 1] = '\0';
    param->ip_version = ip_version;
    param->protocol_family = family;
    param->config = config;
    param->update_tt_stat = update;
}

// A second daemon must not touch the running one's rules: before the helper script runs at
// all, a block under the configured key that alloc_mem would refuse (a live kel-ulvod's, or one
// of another application or of the other build's daemon) ends start-up with alloc_mem's report.
void refuse_block_in_the_way() {
    int32_t key;
    if (peek_shared_memory_key(&key) != 0) {
        return;  // read_config reports the bad key in its turn
    }
    int32_t owner = 0;
    switch (shm_block_in_the_way(key, &owner)) {
        case SHM_FOREIGN:
            report_block_in_use(key);
            fail_start();
        case SHM_LIVE:
            report_other_instance(owner);
            fail_start();
        default:
            return;
    }
}

// The last step of start-up: the rules are loaded and the start-status file ends with "end",
// unless a shutdown has begun. 0 when the daemon runs, 1 when the start failed here (the
// failed-start ending is written; the caller asks for the shutdown).
int finish_start() {
    signal_blocker blocked;
    pthread_mutex_lock(&startup_mutex);
    int failed = 0;
    if (!shutting_down()) {
        int status = run_helper(CMD_LOAD_RULES);
        if (status != 0) {
            run_helper(CMD_UNLOAD_RULES);
            startup_report("   could not load iptable rules, \n   \"%s\" returned %d\n",
                           CMD_LOAD_RULES, helper_exit_status(status));
            failed_start_locked();
            failed = 1;
        } else {
            set_start_status_file(nullptr);
            fputs("end\n", pstart_status_fout);
            set_ulvolib_output(pulvo_fout);
            fclose(pstart_status_fout);
            pstart_status_fout = nullptr;
            fflush(nullptr);
        }
    }
    pthread_mutex_unlock(&startup_mutex);
    return failed;
}

}  // namespace

bool shutting_down() {
    return sig_handler_running.load() == 1;
}

void request_shutdown() {
    raise(SIGUSR1);
}

void end_worker_thread() {
    request_shutdown();
    park_worker_thread();  // only when another thread's shutdown was already under way
}

// A worker does not end itself with pthread_exit while the shutdown runs: a thread stopped by
// the shutdown's signal inside pthread_exit can hold the dynamic loader's lock (it loads the
// unwinder), and exit() then waits for it.
void park_worker_thread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        pause();
    }
}

int set_sig_handler(FILE *out) {
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_NOCLDWAIT;

    auto fail = [out](int signal_number, int position, int line) {
        int error = errno;
        get_log_lock();
        log_event(out, TAG_ERROR, "");
        fprintf(out, "   sigaction failed for signal %d, errno=%d, %d, %s,%d\n", signal_number,
                error, position, ULVO_UNIT, line);
        release_log_lock();
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
        int error = errno;
        get_log_lock();
        log_event(out, TAG_ERROR, "");
        fprintf(out, "   sigaction failed for signal %d, errno=%d, %s,%d\n", SIGUSR1, error,
                ULVO_UNIT, __LINE__);
        release_log_lock();
        return 1;
    }
    return 0;
}

void sig_handler(int signal_number) {
    pthread_t self = pthread_self();
    if (pthread_mutex_trylock(&sig_handler_mutex) == EBUSY) {
        // Another thread is shutting the process down.
        sleep(60);
        if (pthread_equal(self, main_thread_id)) {
            exit(0);
        }
        pthread_exit(nullptr);
    }
    log_event(pulvo_fout, TAG_INFO, "kel-ulvo exiting");
    pthread_mutex_lock(&startup_mutex);
    sig_handler_running = 1;
    if (pstart_status_fout != nullptr) {
        failed_start_locked();  // the start-up was cut short
    }
    pthread_mutex_unlock(&startup_mutex);

    // Once nothing new is queued, every packet still waiting for a verdict, held or not yet
    // read, is let go; only then do the queue rules go, since the kernel drops what they queued.
    run_helper(CMD_DETACH_RULES);
    accept_held_packets(&ipv4_tt_param, ipv4_thread_running);
    accept_held_packets(&ipv6_tt_param, ipv6_thread_running);
    int status = run_helper(CMD_UNLOAD_RULES);
    if (status != 0) {
        log_event(pulvo_fout, TAG_WARNING, "");
        fprintf(pulvo_fout, "   could not unload iptables kel-ulvo filter, %d, %s,%d\n",
                helper_exit_status(status), ULVO_UNIT, __LINE__);
    }

    auto stop = [&](int running, pthread_t thread) {
        if (running != 0 && !pthread_equal(thread, self)) {
            pthread_kill(thread, SIGUSR1);
        }
    };
    stop(ipv4_thread_running, ipv4_tt_param.thread_id);
    stop(ipv6_thread_running, ipv6_tt_param.thread_id);
    stop(dethrottle_thread_running, dethrottle_thread_id);
    if (!pthread_equal(self, main_thread_id)) {
        pthread_kill(main_thread_id, SIGUSR1);
    }
    sleep(1);
    shm_block_free();

    if (drops_core(signal_number)) {
        log_event(pulvo_fout, TAG_ERROR, "");
        fprintf(pulvo_fout, "   received signal %d\n", signal_number);
        fflush(pulvo_fout);
        signal(SIGABRT, SIG_DFL);
        if (getenv("KEL_DOREN_DROP_CORE") != nullptr) {
            rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
            setrlimit(RLIMIT_CORE, &unlimited);
            if (chdir("/tmp") != 0) {
                fprintf(pulvo_fout, "   could not change to /tmp, errno=%d\n", errno);
            }
        }
        abort();
    }
    // Whichever thread began it ends the process: the others wait inside the handler.
    fflush(nullptr);
    exit(0);
}

int ulvo_main() {
    ulvo_config config;  // the daemon's own record, alive as long as the process

    printf("\n%s\n", BANNER);
    errno = 0;
    pulvo_fout = fopen(ULVO_LOG_PATH, "a");
    if (pulvo_fout == nullptr) {
        fprintf(stderr, "ERROR: could not open %s (%d), %s,%d\n", ULVO_LOG_PATH, errno, ULVO_UNIT,
                __LINE__);
        exit(1);
    }
    snprintf(temp_buff, sizeof temp_buff, "kel-ulvo started - v%s", pulvo_version);
    log_event(pulvo_fout, TAG_INFO, temp_buff);
    set_ulvolib_output(pulvo_fout);

    pstart_status_fout = fopen(ULVO_START_STATUS_PATH, "w");
    if (pstart_status_fout == nullptr) {
        int error = errno;
        log_event(pulvo_fout, TAG_ERROR, "");
        fprintf(pulvo_fout, "   could not open %s (%d), %s,%d\n", ULVO_START_STATUS_PATH, error,
                ULVO_UNIT, __LINE__);
        fprintf(stderr, "   could not open %s (%d), %s,%d\n", ULVO_START_STATUS_PATH, error,
                ULVO_UNIT, __LINE__);
        exit(1);
    }
    fprintf(pstart_status_fout, "%s\n", BANNER);
    set_start_status_file(pstart_status_fout);
    fflush(pstart_status_fout);
    fflush(pulvo_fout);
    fflush(stdout);

    pid_t child = fork();
    if (child < 0) {
        startup_report("   could not fork process errno=%d\n", errno);
        fail_start();
    }
    if (child > 0) {
        exit(0);
    }

    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2) {
        close(null_fd);
    }
    main_thread_id = pthread_self();
    fill_tt_param(&ipv4_tt_param, "IPv4", 1, AF_INET, &config, update_ipv4_tt_shm);
    fill_tt_param(&ipv6_tt_param, "IPv6", 2, AF_INET6, &config, update_ipv6_tt_shm);

    refuse_block_in_the_way();
    run_helper(CMD_UNLOAD_RULES);
    int status = run_helper(CMD_LOAD_IPV4_MODULES);
    if (status != 0) {
        startup_report("   could not load required iptable modules using \n\"%s\", rc=%d\n",
                       CMD_LOAD_IPV4_MODULES, helper_exit_status(status));
        fail_start();
    }
    if (set_sig_handler(pstart_status_fout) != 0) {
        fail_start();
    }
    if (init_log_lock() != 0 || init_ulvolib() != 0 || read_config(&config) != 0 ||
        alloc_mem(&config) != 0) {
        fail_start();
    }

    if (create_throttle_thread(&ipv4_tt_param) != 0) {
        fail_start_with_shutdown();
    }
    ipv4_thread_running = 1;

    status = run_helper(CMD_LOAD_IPV6_MODULES);
    if (helper_exit_status(status) == HELPER_NO_IPV6) {
        get_log_lock();
        log_event(pulvo_fout, TAG_WARNING, "");
        fprintf(pulvo_fout,
                "   could not load ip6_queue module for IPv6 throttling,\n   \"%s\", rc=%d\n",
                CMD_LOAD_IPV6_MODULES, helper_exit_status(status));
        fprintf(pulvo_fout, "   will continue with IPv4 throttling\n");
        release_log_lock();
        // The element the IPv6 thread would hold as its receive buffer stays out of the pool,
        // so that the delay queue has the same room as with both threads.
        alloc_cre(ipv6_tt_param.ip_version);
    } else if (status != 0) {
        startup_report("   could not load required iptable modules using \n   \"%s\", rc=%d\n",
                       CMD_LOAD_IPV6_MODULES, helper_exit_status(status));
        fail_start_with_shutdown();
    } else {
        if (create_throttle_thread(&ipv6_tt_param) != 0) {
            fail_start_with_shutdown();
        }
        ipv6_thread_running = 1;
    }

    int rc = pthread_create(&dethrottle_thread_id, nullptr, dethrottle_thread_start, &config);
    if (rc != 0) {
        startup_report("   could not start dethrottle thread, rc=%d, errno=%d, %s,%d\n", rc, errno,
                       ULVO_UNIT, __LINE__);
        fail_start_with_shutdown();
    }
    dethrottle_thread_running = 1;

    if (finish_start() != 0) {
        raise(SIGUSR1);
    }
    for (;;) {
        pause();
    }
}
