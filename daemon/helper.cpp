#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "ulvo.h"

namespace {

// Starts the command through bash with the helper's environment; with output_fd set, its
// standard output and error go there. Only async-signal-safe calls happen between fork and
// exec: the shutdown runs the helper from a signal handler. The helper runs as root, so it gets
// a fixed, minimal environment rather than whatever the daemon was started with.
pid_t spawn(const char *command, int output_fd) {
    char shell[] = "/bin/bash";
    char flag[] = "-c";
    char *argv[] = {shell, flag, const_cast<char *>(command), nullptr};
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path, nullptr};
    pid_t child = fork();
    if (child == 0) {
        if (output_fd >= 0 && (dup2(output_fd, 1) < 0 || dup2(output_fd, 2) < 0)) {
            _exit(127);
        }
        execve(shell, argv, envp);
        _exit(127);
    }
    return child;
}

int wait_for(pid_t child) {
    if (child < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) == -1) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

}  // namespace

// The commands end in "&>/dev/null;", which only bash reads as a redirection (dash would run
// the script in the background and report success), so they run through bash itself.
int run_helper(const char *command) {
    return wait_for(spawn(command, -1));
}

int run_helper_capture(const char *command, char *output, size_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return -1;
    }
    pid_t child = spawn(command, ends[1]);
    close(ends[1]);
    size_t length = 0;
    for (;;) {
        char discard[256];
        bool room = length + 1 < size;
        ssize_t n = room ? read(ends[0], output + length, size - 1 - length)
                         : read(ends[0], discard, sizeof discard);
        if (n > 0) {
            length += room ? static_cast<size_t>(n) : 0;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(ends[0]);
    if (size > 0) {
        output[length] = '\0';
    }
    return wait_for(child);
}
