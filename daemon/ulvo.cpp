#include "ulvo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "answers.h"
#include "daemon_rule.h"
#include "event_log.h"
#include "guards.h"
#include "owner_block.h"
#include "rules.h"
#include "syslog_feed.h"
#include "watchdog.h"

// The event log and the start-status file are the library's streams (ulvolib_output and
// start_status_file): start-up opens them and hands them over, and every report of the daemon
// goes through them.

namespace {

constexpr char BANNER[] = "kel-ulvod 1.0.0-9.sles9: KEL Ulvomatic connection-rate throttle";

pthread_t main_thread_id;
tt_param ipv4_tt_param;
tt_param ipv6_tt_param;
pthread_t dethrottle_thread_id;
// Each set by the main thread once its thread exists, never reset; read by the signal handler.
std::atomic<int> ipv4_thread_running{0};
std::atomic<int> ipv6_thread_running{0};
std::atomic<int> dethrottle_thread_running{0};
pthread_mutex_t sig_handler_mutex = PTHREAD_MUTEX_INITIALIZER;  // claimed once, never released
std::atomic<int> sig_handler_running{0};                        // set when the shutdown begins
// The end of start-up (loading the rules, closing the start-status file) and the beginning of
// the shutdown exclude each other, so that no rules are loaded once the shutdown has unloaded
// them and a start that a shutdown cuts short is recorded as failed.
pthread_mutex_t startup_mutex = PTHREAD_MUTEX_INITIALIZER;
// The signal mask the daemon was started with, blocked away until its handlers are in.
sigset_t mask_before_handlers;

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

// ------------------------------------------------------------------------- failed starts

// The failed-start ending: the start-status file gets its last two lines and is flushed. The
// caller holds startup_mutex. The process ends next, which closes the file: closing it here
// would free its buffer, and this runs in the signal handler when a signal cuts a start short.
void failed_start_locked() {
    FILE *status = start_status_file();
    set_start_status_file(nullptr);
    if (status != nullptr) {
        fputs("kel-ulvod failed to start\n", status);
        fputs("end\n", status);
        fflush(status);
    }
    fputs("kel-ulvod failed to start\n", stderr);
    fputs("kel-ulvod failed to start\n", ulvolib_output());
    fflush(nullptr);
    syslog_event(LOG_ERR, "kel-ulvod failed to start");
}

void failed_start() {
    signal_blocker blocked;
    mutex_guard startup(&startup_mutex);
    failed_start_locked();
}

// A failure before any worker thread exists ends the detached daemon.
[[noreturn]] void fail_start() {
    failed_start();
    syslog_feed_drain(true);  // the reasons, sent before the process ends
    exit(1);
}

// A failure once a worker thread may run goes through the one shutdown, on this thread.
[[noreturn]] void fail_start_with_shutdown() {
    failed_start();
    request_shutdown();
    exit(1);  // only when the shutdown did not take over
}

// ------------------------------------------------------------------------ start-up steps

// Opens one of the daemon's own files for writing, appending or from its start. A symbolic
// link or anything but a regular file is never written through (errno ELOOP or EINVAL), and a
// file that others may write loses that right.
FILE *open_own_file(const char *path, bool append) {
    int fd = open(
        path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0),
        0644);
    if (fd == -1) {
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    if ((st.st_mode & 022) != 0) {
        fchmod(fd, st.st_mode & 07755);
    }
    if ((!append && ftruncate(fd, 0) != 0) || fcntl(fd, F_SETFL, append ? O_APPEND : 0) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *file = fdopen(fd, append ? "a" : "w");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Why a file of the daemon's could not be opened, beyond its errno.
const char *open_hint(int error) {
    return error == ELOOP || error == EINVAL
               ? "   it is a symbolic link or not a regular file: kel-ulvod writes only its own "
                 "files\n"
               : "";
}

// Banner, event log and start-status file, before the fork; a failure exits with 1.
void open_outputs() {
    printf("\n%s\n", BANNER);
    if (geteuid() != 0) {
        fprintf(stderr, "ERROR: kel-ulvod must run as root\n");
        exit(1);
    }
    // Nothing it makes is writable by others, whatever it was started with; a stricter mask (the
    // unit's) is kept.
    umask(umask(022) | 022);
    errno = 0;
    FILE *log = open_own_file(ULVO_LOG_PATH, true);
    if (log == nullptr) {
        int error = errno;
        fprintf(stderr, "ERROR: could not open %s (%d), %s,%d\n%s", ULVO_LOG_PATH, error, ULVO_UNIT,
                __LINE__, open_hint(error));
        exit(1);
    }
    char started[128];
    snprintf(started, sizeof started, "kel-ulvo started - v%s", ULVO_VERSION);
    // The system log's start line also names the allow-list entries in force: it is composed
    // when it is sent, once start-up is done.
    log_event(log, TAG_INFO, started, false);
    syslog_started(started);
    set_ulvolib_output(log);

    FILE *status = open_own_file(ULVO_START_STATUS_PATH, false);
    if (status == nullptr) {
        int error = errno;
        lib_report(TAG_ERROR, false, "   could not open %s (%d), %s,%d\n%s", ULVO_START_STATUS_PATH,
                   error, ULVO_UNIT, __LINE__, open_hint(error));
        fprintf(stderr, "   could not open %s (%d), %s,%d\n%s", ULVO_START_STATUS_PATH, error,
                ULVO_UNIT, __LINE__, open_hint(error));
        exit(1);
    }
    fprintf(status, "%s\n", BANNER);
    set_start_status_file(status);
    fflush(status);
    fflush(log);
    fflush(stdout);
}

// Forks; the parent exits 0 and the child goes on with its standard descriptors on /dev/null.
void daemonize() {
    pid_t child = fork();
    if (child < 0) {
        lib_report(TAG_ERROR, true, "   could not fork process errno=%d\n", errno);
        fail_start();
    }
    if (child > 0) {
        exit(0);
    }
    // A session of its own: a signal to the process group that started it (a script's timeout,
    // a Ctrl-C in a terminal, a clean-up's kill -- -0) does not reach the daemon.
    setsid();
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) {
        lib_report(TAG_ERROR, true, "   could not open /dev/null errno=%d, %s,%d\n", errno,
                   ULVO_UNIT, __LINE__);
        fail_start();
    }
    for (int fd : {0, 1, 2}) {
        if (dup2(null_fd, fd) < 0) {
            lib_report(TAG_ERROR, true,
                       "   could not point descriptor %d at /dev/null errno=%d, %s,%d\n", fd, errno,
                       ULVO_UNIT, __LINE__);
            fail_start();
        }
    }
    if (null_fd > 2) {
        close(null_fd);
    }
    main_thread_id = pthread_self();
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

// One daemon per host, whatever its key: the first holds an exclusive lock on a file of its
// own for its whole life, with its pid in it, and a second is refused before any helper verb.
// It is taken before the fork, so that a refused start ends the process that was started with
// 1; the daemon keeps it (the forked process shares the locked descriptor).
int take_instance_lock() {
    int fd = open(ULVO_LOCK_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
        lib_report(TAG_ERROR, true, "   could not open %s (%d), %s,%d\n%s", ULVO_LOCK_PATH, errno,
                   ULVO_UNIT, __LINE__, open_hint(errno));
        fail_start();
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        report_other_instance(n > 0 ? static_cast<int32_t>(atoi(text)) : 0);
        fail_start();
    }
    // A lock that others could open, they could hold before the next start: root's alone, also
    // when an older version left it readable.
    if (fchown(fd, 0, 0) != 0 || fchmod(fd, 0600) != 0) {
        lib_report(TAG_WARNING, false, "   could not make %s root's alone (%d), %s,%d\n",
                   ULVO_LOCK_PATH, errno, ULVO_UNIT, __LINE__);
    }
    return fd;
}

// The daemon's pid in its lock file, once it is the daemon. The descriptor stays open, and the
// lock held, until the process ends.
void record_instance_pid(int fd) {
    char text[32];
    int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
        lib_report(TAG_WARNING, false, "   could not write the pid to %s (%d), %s,%d\n",
                   ULVO_LOCK_PATH, errno, ULVO_UNIT, __LINE__);
    }
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
            report_block_in_use(key, owner);
            fail_start();
        case SHM_LIVE:
            report_other_instance(owner);
            fail_start();
        default:
            return;
    }
}

// Old rules go, the IPv4 modules come.
void prepare_kernel() {
    run_helper(CMD_UNLOAD_RULES);
    int status = run_helper(CMD_LOAD_IPV4_MODULES);
    if (status != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not load required iptable modules using \n\"%s\", rc=%d\n",
                   CMD_LOAD_IPV4_MODULES, helper_exit_status(status));
        fail_start();
    }
}

// The signal handlers, the log lock, the library, the pool, the ring and the status block.
void init_library(ulvo_config *config) {
    if (set_sig_handler(start_status_file()) != 0) {
        fail_start();
    }
    sigprocmask(SIG_SETMASK, &mask_before_handlers, nullptr);  // what waited is handled now
    ulvo_credit_config credit{};
    if (init_log_lock() != 0 || init_ulvolib() != 0 || read_config(config) != 0 ||
        read_credit_config(&credit) != 0 || answers_open(&credit) != 0) {
        fail_start();
    }
    set_daemon_rule_credit(&credit);
    if (alloc_mem(config) != 0) {
        fail_start();
    }
    // Without it the metrics lack the held connections by owner; the daemon still works.
    owner_block_create(config->shared_memory_key, static_cast<int32_t>(getpid()));
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
    if (create_throttle_thread(&ipv6_tt_param) != 0) {
        fail_start_with_shutdown();
    }
    ipv6_thread_running = 1;
}

// The throttle threads, then the de-throttle thread.
void start_workers(ulvo_config *config) {
    if (create_throttle_thread(&ipv4_tt_param) != 0) {
        fail_start_with_shutdown();
    }
    ipv4_thread_running = 1;
    start_ipv6_thread();
    watchdog_watch(WORKER_DETHROTTLE, int64_t{config->dq_delay_seconds} * 1000);
    int rc = pthread_create(&dethrottle_thread_id, nullptr, dethrottle_thread_start, config);
    if (rc != 0) {
        lib_report(TAG_ERROR, true,
                   "   could not start dethrottle thread, rc=%d, errno=%d, %s,%d\n", rc, errno,
                   ULVO_UNIT, __LINE__);
        fail_start_with_shutdown();
    }
    dethrottle_thread_running = 1;
    if (answers_start() != 0) {
        fail_start_with_shutdown();
    }
}

// The last step of start-up: the rules and the allow-list are loaded and the start-status file
// ends with "end",
// unless a shutdown has begun. 0 when the daemon runs, 1 when the start failed here (the
// failed-start ending is written; the caller asks for the shutdown).
int finish_start() {
    signal_blocker blocked;
    mutex_guard startup(&startup_mutex);
    if (shutting_down()) {
        return 0;  // the shutdown has written the failed-start ending and ends the process
    }
    int status = run_helper(CMD_LOAD_RULES);
    if (status != 0) {
        run_helper(CMD_UNLOAD_RULES);
        lib_report(TAG_ERROR, true, "   could not load iptable rules, \n   \"%s\" returned %d\n",
                   CMD_LOAD_RULES, helper_exit_status(status));
        failed_start_locked();
        return 1;
    }
    if (load_allow_list() != 0) {
        run_helper(CMD_UNLOAD_RULES);
        failed_start_locked();
        return 1;
    }
    FILE *status_file = start_status_file();
    set_start_status_file(nullptr);
    fputs("end\n", status_file);
    fclose(status_file);
    fflush(nullptr);
    return 0;
}

// ------------------------------------------------------------------------------- shutdown

// Marks the shutdown as begun; a start-up that it cuts short is recorded as failed.
void begin_shutdown() {
    mutex_guard startup(&startup_mutex);  // the handler runs with every signal blocked
    sig_handler_running = 1;
    if (start_status_file() != nullptr) {
        failed_start_locked();
    }
}

// Accepts every packet the thread's queue still holds; a failure is a warning.
void accept_held_packets(tt_param *param, int running) {
    if (running == 0) {
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

// Once nothing new is queued, every packet still waiting for a verdict, held or not yet read,
// is let go; only then do the queue rules go, since the kernel drops what they queued.
void release_queues() {
    run_helper(CMD_DETACH_RULES);
    accept_held_packets(&ipv4_tt_param, ipv4_thread_running);
    accept_held_packets(&ipv6_tt_param, ipv6_thread_running);
    int status = run_helper(CMD_UNLOAD_RULES);
    if (status != 0) {
        report_unlocked(ulvolib_output(), TAG_WARNING,
                        "   could not unload iptables kel-ulvo filter, %d, %s,%d\n",
                        helper_exit_status(status), ULVO_UNIT, __LINE__);
    }
}

// Sends SIGUSR1 to every other thread of the daemon: each then waits inside the handler. false
// when no worker thread was ever started (a start that failed early).
bool stop_workers() {
    pthread_t self = pthread_self();
    auto stop = [self](int running, pthread_t thread) {
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
    return ipv4_thread_running != 0 || ipv6_thread_running != 0 || dethrottle_thread_running != 0;
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
    if (pthread_equal(pthread_self(), main_thread_id)) {
        exit(0);
    }
    pthread_exit(nullptr);
}

}  // namespace

bool shutting_down() {
    return sig_handler_running.load() == 1;
}

void check_rules_now() {
    signal_blocker blocked;
    mutex_guard startup(&startup_mutex);
    if (shutting_down() || start_status_file() != nullptr) {
        return;  // the shutdown removes the rules; a start in progress has not loaded them yet
    }
    guard_rules(ipv6_thread_running != 0);
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
    log_event(ulvolib_output(), TAG_INFO, "kel-ulvo exiting");
    begin_shutdown();
    release_queues();
    if (stop_workers()) {
        sleep(1);  // the threads stop
    }
    shm_block_free();
    owner_block_free();
    syslog_feed_drain(true);
    if (drops_core(signal_number)) {
        end_with_core(signal_number);
    }
    // Whichever thread began the shutdown ends the process: the others wait inside the handler.
    fflush(nullptr);
    exit(0);
}

int ulvo_options(int argc, char **argv) {
    if (argc < 2) {
        return -1;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf(
            "Usage: kel-ulvod [--help | --version]\n"
            "Slows down connections to hosts this machine has not contacted recently and\n"
            "raises an alarm on bursts of them. Started without arguments, as root, it\n"
            "detaches and records the outcome of its start in\n"
            "%s.\n"
            "Configuration: %s (see kel-ulvo.conf(5)).\n"
            "Status: ulvostatus -status (see ulvostatus(8)).\n",
            ULVO_START_STATUS_PATH, ULVO_CONFIG_PATH);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kel-ulvod %s\n", ULVO_VERSION);
        return 0;
    }
    fprintf(stderr,
            "kel-ulvod: unknown argument '%s'; it takes none\n"
            "Usage: kel-ulvod [--help | --version]\n",
            argv[1]);
    return 2;
}

int ulvo_main() {
    ulvo_config config;  // the daemon's own record, alive as long as the process
    // Until the handlers are in, a signal waits: one that came in the first milliseconds would
    // otherwise end the process with its start-status file holding only the banner.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &mask_before_handlers);
    watchdog_setup(getpid());
    syslog_feed_setup();
    open_outputs();
    int instance_lock = take_instance_lock();
    daemonize();
    record_instance_pid(instance_lock);
    fill_tt_param(&ipv4_tt_param, "IPv4", 1, AF_INET, &config, update_ipv4_tt_shm);
    fill_tt_param(&ipv6_tt_param, "IPv6", 2, AF_INET6, &config, update_ipv6_tt_shm);
    refuse_block_in_the_way();
    prepare_kernel();
    init_library(&config);
    start_workers(&config);
    if (finish_start() != 0) {
        request_shutdown();
    }
    if (!shutting_down()) {
        notify_ready();
    }
    main_thread_loop();
}
