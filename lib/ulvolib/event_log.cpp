#include "event_log.h"
#include "guards.h"
#include "ulvolib_testing.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <ctime>

namespace {

// Written only by the main thread, during start-up and once at its end, but read by every
// thread that reports: atomic, so that the end of start-up needs no lock.
std::atomic<FILE *> pulvolib_fout{nullptr};       // every report the library itself makes
std::atomic<FILE *> pstart_status_fout{nullptr};  // start-up detail lines are copied here while set
pthread_mutex_t log_lock;
pthread_mutex_t *plog_lock = nullptr;  // null until init_log_lock has made the lock
std::atomic<int> log_event_text{1};    // 0 silences tag lines (the status tool)
std::atomic<report_sink> sink_to{nullptr};

// The holder of the log lock cannot be interrupted by a signal: the daemon's shutdown runs in
// a signal handler that writes the event log and flushes every stream, and a thread stopped
// inside a report would otherwise hold a stream lock that the shutdown waits for forever.
thread_local int log_lock_depth = 0;
thread_local sigset_t log_lock_saved_mask;

__attribute__((format(printf, 3, 0))) void vwrite_detail(FILE *out, FILE *copy, const char *fmt,
                                                         va_list ap) {
    va_list again;
    va_copy(again, ap);
    if (out != nullptr) {
        vfprintf(out, fmt, ap);
    }
    if (copy != nullptr && copy != out) {
        vfprintf(copy, fmt, again);
    }
    va_end(again);
}

// Every report goes through here: an empty-text tag line on out, then the detail text on out
// and, when set and not the same stream, on copy.
__attribute__((format(printf, 4, 0))) void vreport(FILE *out, FILE *copy, const char *tag,
                                                   const char *fmt, va_list ap) {
    log_event(out, tag, "");
    report_sink sink = sink_to.load();
    if (sink != nullptr && out != nullptr && log_event_text != 0) {
        va_list again;
        va_copy(again, ap);
        char detail[512];
        vsnprintf(detail, sizeof detail, fmt, again);
        va_end(again);
        sink(tag, detail);
    }
    vwrite_detail(out, copy, fmt, ap);
}

}  // namespace

void set_report_sink(report_sink sink) {
    sink_to = sink;
}

void set_ulvolib_output(FILE *out) {
    pulvolib_fout = out;
}
FILE *ulvolib_output() {
    return pulvolib_fout;
}
void set_start_status_file(FILE *out) {
    pstart_status_fout = out;
}
FILE *start_status_file() {
    return pstart_status_fout;
}

void log_event(FILE *out, const char *tag, const char *text, bool mirrored) {
    if (log_event_text == 0 || out == nullptr) {
        return;
    }
    char stamp[64];
    time_t now = time(nullptr);
    if (ctime_r(&now, stamp) == nullptr) {
        stamp[0] = '\0';
    }
    char *newline = strchr(stamp, '\n');
    if (newline != nullptr) {
        *newline = '\0';
    }
    fprintf(out, "%s [%s] %s\n", tag, stamp, text);
    fflush(out);
    report_sink sink = sink_to.load();
    if (sink != nullptr && mirrored && text[0] != '\0') {
        sink(tag, text);
    }
}

void get_log_lock() {
    if (plog_lock == nullptr) {
        return;
    }
    if (log_lock_depth++ == 0) {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &log_lock_saved_mask);
        lock_rank_acquire(LOCK_LOG);
    }
    pthread_mutex_lock(plog_lock);
}

void release_log_lock() {
    if (plog_lock == nullptr) {
        return;
    }
    pthread_mutex_unlock(plog_lock);
    fflush(nullptr);
    if (log_lock_depth > 0 && --log_lock_depth == 0) {
        lock_rank_release(LOCK_LOG);
        pthread_sigmask(SIG_SETMASK, &log_lock_saved_mask, nullptr);
    }
}

int init_log_lock() {
    if (plog_lock != nullptr) {
        lib_report(TAG_ERROR, false, "   INTERNAL ERROR: double lock init on log lock %s,%d\n",
                   ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    // A lock that is not recursive would hang the first report made under it.
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) {
            rc = pthread_mutex_init(&log_lock, &attr);
        }
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        lib_report(TAG_ERROR, false, "   could not make the log lock, rc=%d, %s,%d\n", rc,
                   ULVOLIB_UNIT, __LINE__);
        return 1;
    }
    plog_lock = &log_lock;
    return 0;
}

void event_logging_on() {
    log_event_text = 1;
}
void event_logging_off() {
    log_event_text = 0;
}

void dump_hex(const void *data, int length) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    FILE *out = pulvolib_fout;
    if (out == nullptr) {
        return;
    }
    fputs("   00] ", out);
    for (int n = 1; n <= length; ++n) {
        fprintf(out, "%02X ", static_cast<unsigned>(bytes[n - 1]));
        if (n % 8 == 0) {
            fprintf(out, "\n   %02d] ", n);
        }
    }
    fputs("\n", out);
    fflush(nullptr);
}

void lib_report(const char *tag, bool startup, const char *fmt, ...) {
    get_log_lock();
    va_list ap;
    va_start(ap, fmt);
    vreport(pulvolib_fout, startup ? pstart_status_fout.load() : nullptr, tag, fmt, ap);
    va_end(ap);
    release_log_lock();
}

void report_unlocked(FILE *out, const char *tag, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vreport(out, nullptr, tag, fmt, ap);
    va_end(ap);
    if (out != nullptr) {
        fflush(out);
    }
}

void lib_print(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vwrite_detail(pulvolib_fout, nullptr, fmt, ap);
    va_end(ap);
}

void reset_log_lock_for_test() {
    plog_lock = nullptr;
}
