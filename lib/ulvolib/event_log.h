// Event log, start-status copying and the recursive log lock shared by both programs.
#pragma once

#include <cstdio>

// The seven event tags; each is exactly 23 characters wide.
inline constexpr char TAG_ERROR[] = "[ERROR]                ";
inline constexpr char TAG_WARNING[] = "[WARNING]              ";
inline constexpr char TAG_INFO[] = "[INFO]                 ";
inline constexpr char TAG_DEBUG[] = "[DEBUG]                ";
inline constexpr char TAG_DROPPING_CONNECTIONS[] = "[DROPPING_CONNECTIONS] ";
inline constexpr char TAG_ALERT_VLA_DETECTED[] = "[ALERT_VLA_DETECTED]   ";
inline constexpr char TAG_ALERT_VLA_STOPPED[] = "[ALERT_VLA_STOPPED]    ";
static_assert(sizeof TAG_ERROR == 24 && sizeof TAG_WARNING == 24 && sizeof TAG_INFO == 24 &&
              sizeof TAG_DEBUG == 24 && sizeof TAG_DROPPING_CONNECTIONS == 24 &&
              sizeof TAG_ALERT_VLA_DETECTED == 24 && sizeof TAG_ALERT_VLA_STOPPED == 24);

// Source unit name that the library's internal-error lines end with.
inline constexpr char ULVOLIB_UNIT[] = "ulvolib";

// Makes the stream the library's output stream.
void set_ulvolib_output(FILE *out);
// Returns the library's output stream (null before it is set).
FILE *ulvolib_output();
// Sets, or clears with null, the stream that start-up detail lines are copied to.
void set_start_status_file(FILE *out);
// Returns the library's start-status stream (null when none is set).
FILE *start_status_file();

// The one place where the library's events leave it for whoever runs it: a program that wants
// them beyond its event log (the daemon: for the system log) installs a report sink, which gets
// every event as it is logged, the tag and the text or a report's detail lines. The library
// calls nothing else of the program.
using report_sink = void (*)(const char *tag, const char *text);
// Installs, or removes with null, the report sink.
void set_report_sink(report_sink sink);

// Writes one "tag [time] text" line to the stream and flushes it; nothing while logging is off.
// The report sink gets it too unless mirrored is false.
void log_event(FILE *out, const char *tag, const char *text, bool mirrored = true);
// Locks the recursive log lock; does nothing before init_log_lock.
void get_log_lock();
// Unlocks the log lock and flushes every stream; does nothing before init_log_lock.
void release_log_lock();
// Creates the recursive log lock: 0 created, 1 already created (reported).
int init_log_lock();
// Switches tag lines on.
void event_logging_on();
// Switches tag lines off.
void event_logging_off();
// Writes the bytes in rows of eight hexadecimal values to the library's output stream.
void dump_hex(const void *data, int length);

// One report under the log lock: an empty-text tag line on the library's output stream, then
// the detail text, copied to the start-status stream when startup is true.
void lib_report(const char *tag, bool startup, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The same report to the given stream alone, without the log lock (for the signal handler, and
// before the lock exists).
void report_unlocked(FILE *out, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Writes a detail line to the library's output stream only.
void lib_print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
