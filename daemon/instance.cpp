#include "instance.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common.h"
#include "event_log.h"
#include "lifecycle.h"
#include "outputs.h"
#include "shm_block.h"

namespace {

// The kernel's queues and rules belong to a network namespace: a daemon in another one (a
// container's) is no other instance. false when the process's namespace cannot be read (it
// ended, or it is not ours to see).
bool in_our_network_namespace(long pid, const struct stat &ours) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/ns/net", pid);
    struct stat theirs {};
    return stat(path, &theirs) == 0 && theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

// Another process in this network namespace that runs the daemon's program: its pid, or 0. A
// daemon whose lock file was removed holds a lock nobody else can see; it is found by its
// program instead.
pid_t other_daemon() {
    char self[PATH_MAX];
    struct stat our_namespace {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    DIR *proc =
        n > 0 && stat("/proc/self/ns/net", &our_namespace) == 0 ? opendir("/proc") : nullptr;
    if (proc == nullptr) {
        return 0;
    }
    self[n] = '\0';
    pid_t found = 0;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) {
            continue;
        }
        char path[64];
        char exe[PATH_MAX];
        snprintf(path, sizeof path, "/proc/%ld/exe", pid);
        ssize_t length = readlink(path, exe, sizeof exe - 1);
        if (length <= 0) {
            continue;
        }
        exe[length] = '\0';
        // A daemon whose program was replaced by an upgrade runs "... (deleted)".
        if (strncmp(exe, self, static_cast<size_t>(n)) == 0 &&
            (exe[n] == '\0' || strcmp(exe + n, " (deleted)") == 0) &&
            in_our_network_namespace(pid, our_namespace)) {
            found = static_cast<pid_t>(pid);
            break;
        }
    }
    closedir(proc);
    return found;
}

}  // namespace

// The lock is taken before the fork, so that a refused start ends the process that was started
// with 1; the daemon keeps it (the forked process shares the locked descriptor).
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
    if (pid_t other = other_daemon(); other != 0) {
        report_other_instance(static_cast<int32_t>(other));
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
    register_main_thread();
}

void record_instance_pid(int fd) {
    char text[32];
    int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
        lib_report(TAG_WARNING, false, "   could not write the pid to %s (%d), %s,%d\n",
                   ULVO_LOCK_PATH, errno, ULVO_UNIT, __LINE__);
    }
}

// A block under the configured key that alloc_mem would refuse: a live kel-ulvod's, or one of
// another application or of the other build's daemon.
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
