#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "event_log.h"
#include "lifecycle.h"
#include "syslog_feed.h"
#include "version.h"

// The event log and the start-status file are the library's streams (ulvolib_output and
// start_status_file): start-up opens them and hands them over, and every report of the daemon
// goes through them.

namespace {

constexpr char BANNER[] = "kel-ulvod 1.0.0-9.sles9: KEL Ulvomatic connection-rate throttle";

// The state directory must be root's own directory that no one else may write, nor rename
// through a parent (a sticky parent keeps others from renaming): otherwise a user could put
// links or rules there that root then follows or applies. true, or false with the reason.
bool state_directory_trusted(char *why, size_t size) {
    struct stat st {};
    if (lstat(ULVO_STATE_DIR, &st) != 0 || !S_ISDIR(st.st_mode)) {
        snprintf(why, size, "%s is not a directory (or a symbolic link)", ULVO_STATE_DIR);
        return false;
    }
    char dir[sizeof ULVO_STATE_DIR];
    memcpy(dir, ULVO_STATE_DIR, sizeof dir);
    while (dir[0] != '\0') {
        if (stat(dir, &st) != 0 || st.st_uid != 0 ||
            ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
            snprintf(why, size,
                     "%s must be root's and writable by no one else (owner uid %u, mode %04o)", dir,
                     static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
            return false;
        }
        *strrchr(dir, '/') = '\0';
    }
    return true;
}

void failed_start() {
    startup_guard startup;
    failed_start_locked();
}

// The start-status file after the banner; a failure exits with 1.
void open_start_status() {
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
}

}  // namespace

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

const char *open_hint(int error) {
    return error == ELOOP || error == EINVAL
               ? "   it is a symbolic link or not a regular file: kel-ulvod writes only its own "
                 "files\n"
               : "";
}

void open_outputs() {
    printf("\n%s\n", BANNER);
    if (geteuid() != 0) {
        fprintf(stderr, "ERROR: kel-ulvod must run as root\n");
        exit(1);
    }
    // Nothing it makes is writable by others, whatever it was started with; a stricter mask (the
    // unit's) is kept.
    umask(umask(022) | 022);
    char why[256];
    if (!state_directory_trusted(why, sizeof why)) {
        fprintf(stderr, "ERROR: %s: kel-ulvod keeps its files only in root's own directory\n", why);
        syslog_event(LOG_ERR, why);
        syslog_event(LOG_ERR, "kel-ulvod failed to start");
        syslog_feed_drain(true);
        exit(1);
    }
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
    open_start_status();
    fflush(log);
    fflush(stdout);
}

// The process ends next, which closes the file: closing it here would free its buffer, and this
// runs in the signal handler when a signal cuts a start short. A failure that asks for the
// shutdown reaches here twice (from the failing step, then from the shutdown): the ending is
// written once, and "end" stays the start-status file's last line.
void failed_start_locked() {
    static bool written = false;  // under the start-up guard
    if (written) {
        return;
    }
    written = true;
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

void fail_start() {
    failed_start();
    syslog_feed_drain(true);  // the reasons, sent before the process ends
    exit(1);
}

void fail_start_with_shutdown() {
    failed_start();
    request_shutdown();
    exit(1);  // only when the shutdown did not take over
}

void finished_start_locked() {
    FILE *status_file = start_status_file();
    set_start_status_file(nullptr);
    fputs("end\n", status_file);
    fclose(status_file);
    fflush(nullptr);
}
