#include "helper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "common.h"
#include "event_log.h"
#include "helper_testing.h"

namespace {

int64_t time_limit_ms = HELPER_TIME_LIMIT_MS;  // set once; shorter in tests
std::atomic<bool> fast_path{false};
ranked_mutex rules_exchange_mutex = RANKED_MUTEX_INITIALIZER(LOCK_RULES_EXCHANGE);

// Starts the command through bash with the helper's environment; with output_fd set, its
// standard output and error go there. Only async-signal-safe calls happen between fork and
// exec: the shutdown runs the helper from a signal handler. The helper runs as root, so it gets
// a fixed, minimal environment rather than whatever the daemon was started with.
//
// The child starts as a fresh process would: every disposition back to its default and nothing
// blocked. The daemon forks it from the signal handler and from sections that block every
// signal, and a helper that inherited that mask could never be woken by its own timers (flock
// -w waits on SIGALRM). It leads a process group of its own, so that a helper that overruns its
// time is ended together with whatever it started. Signals stay blocked in the parent across
// the fork, so that none reaches the child while it still has the daemon's handlers.
pid_t spawn(const char *command, int output_fd) {
    char shell[] = "/bin/bash";
    char flag[] = "-c";
    char *argv[] = {shell, flag, const_cast<char *>(command), nullptr};
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    // Tells the script that the daemon runs it (unload_rules by hand keeps the guard's records).
    char caller[] = "KEL_ULVOD_HELPER=1";
    char fast_path_made[] = "KEL_ULVO_FAST_PATH=1";
    char *envp[] = {path, caller, fast_path ? fast_path_made : nullptr, nullptr};
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pid_t child = fork();
    if (child == 0) {
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) {
            sigaction(s, &default_action, nullptr);  // SIGKILL, SIGSTOP and the C library's fail
        }
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (output_fd >= 0 && (dup2(output_fd, 1) < 0 || dup2(output_fd, 2) < 0)) {
            _exit(127);
        }
        execve(shell, argv, envp);
        _exit(127);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return child;
}

void pause_ms(long ms) {
    timespec pause{0, ms * 1000000L};
    nanosleep(&pause, nullptr);
}

// Ends a helper that overran its time, with everything in its process group, and reaps it.
int end_helper(pid_t child) {
    kill(-child, SIGKILL);
    kill(child, SIGKILL);  // in case it had not yet made its group
    int status = 0;
    while (waitpid(child, &status, 0) == -1) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// Waits for the child until the deadline (monotonic ms), then ends it. Polls rather than
// blocks: the shutdown waits from a signal handler, where no timer can interrupt a wait.
int wait_for(pid_t child, int64_t deadline_ms, bool *overran) {
    if (child < 0) {
        return -1;
    }
    for (;;) {
        int status = 0;
        pid_t got = waitpid(child, &status, WNOHANG);
        if (got == child) {
            return status;
        }
        if (got == -1 && errno != EINTR) {
            return -1;
        }
        if (monotonic_ms() >= deadline_ms) {
            *overran = true;
            return end_helper(child);
        }
        pause_ms(5);
    }
}

// Reads the child's output until it closes the pipe or the deadline passes: false then.
bool read_output(int fd, char *output, size_t size, int64_t deadline_ms) {
    size_t length = 0;
    bool in_time = true;
    for (;;) {
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0) {
            in_time = false;
            break;
        }
        pollfd readable{fd, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            in_time = ready == 0 ? false : in_time;
            break;
        }
        char discard[256];
        bool room = length + 1 < size;
        ssize_t n =
            room ? read(fd, output + length, size - 1 - length) : read(fd, discard, sizeof discard);
        if (n > 0) {
            length += room ? static_cast<size_t>(n) : 0;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    if (size > 0) {
        output[length] = '\0';
    }
    return in_time;
}

// An overrun is worth a line of its own: the caller's report shows only the status.
void report_overrun(const char *command) {
    report_unlocked(ulvolib_output(), TAG_WARNING,
                    "   \"%s\" did not end within %d s and was stopped, %s,%d\n", command,
                    static_cast<int>(time_limit_ms / 1000), ULVO_UNIT, __LINE__);
}

}  // namespace

// The commands end in "&>/dev/null;", which only bash reads as a redirection (dash would run
// the script in the background and report success), so they run through bash itself.
int run_helper(const char *command) {
    int64_t deadline = monotonic_ms() + time_limit_ms;
    bool overran = false;
    int status = wait_for(spawn(command, -1), deadline, &overran);
    if (overran) {
        report_overrun(command);
    }
    return status;
}

int run_helper_capture(const char *command, char *output, size_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    int64_t deadline = monotonic_ms() + time_limit_ms;
    pid_t child = spawn(command, ends[1]);
    close(ends[1]);
    bool overran = !read_output(ends[0], output, size, deadline);
    close(ends[0]);
    int status =
        overran ? (child < 0 ? -1 : end_helper(child)) : wait_for(child, deadline, &overran);
    if (overran) {
        report_overrun(command);
    }
    return status;
}

void set_helper_time_limit_for_test(int64_t ms) {
    time_limit_ms = ms;
}

rules_exchange_guard::rules_exchange_guard() {
    ranked_lock(&rules_exchange_mutex);
}

rules_exchange_guard::~rules_exchange_guard() {
    ranked_unlock(&rules_exchange_mutex);
}

void set_helper_fast_path(bool on) {
    fast_path = on;
}
