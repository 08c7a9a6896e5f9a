// The daemon's own files and streams: the banner, the event log and the start-status file,
// opened before the fork, and the failed-start ending that closes a start that went wrong.
#pragma once

#include <cstdio>

// Opens one of the daemon's own files for writing, appending or from its start. A symbolic
// link or anything but a regular file is never written through (errno ELOOP or EINVAL), and a
// file that others may write loses that right.
FILE *open_own_file(const char *path, bool append);
// Why a file of the daemon's could not be opened, beyond its errno.
const char *open_hint(int error);
// Banner, event log and start-status file, before the fork; a failure exits with 1.
void open_outputs();

// The failed-start ending: the start-status file gets its last two lines and is flushed; the
// caller holds the start-up guard.
void failed_start_locked();
// A failure before any worker thread exists ends the detached daemon.
[[noreturn]] void fail_start();
// A failure once a worker thread may run goes through the one shutdown, on this thread.
[[noreturn]] void fail_start_with_shutdown();
// The good ending: "end" closes the start-status file; the caller holds the start-up guard.
void finished_start_locked();
