#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "ulvo.h"

// The commands end in "&>/dev/null;", which only bash reads as a redirection (dash would run
// the script in the background and report success), so they run through bash itself. Only
// async-signal-safe calls happen between fork and exec: the shutdown runs this from a signal
// handler. The helper runs as root, so it gets a fixed, minimal environment rather than
// whatever the daemon was started with.
int run_helper(const char *command) {
    char shell[] = "/bin/bash";
    char flag[] = "-c";
    char *argv[] = {shell, flag, const_cast<char *>(command), nullptr};
    char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char *envp[] = {path, nullptr};
    pid_t child = fork();
    if (child == 0) {
        execve(shell, argv, envp);
        _exit(127);
    }
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
