// Events to the system log. Every event of the event log also goes to syslog as one line of
// plain text (ident "kel-ulvod", facility daemon, with the pid), in the datagram format that
// syslog(3) sends to /dev/log, so that journald and rsyslog take it as theirs. Messages are
// queued by whichever thread has the event and sent by the main thread, which also works out
// who is to blame for an alarm; a send never blocks, so no verdict ever waits for the system
// log. A message that finds the queue full or the log not reading is counted and reported.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>

// Opens the socket and mirrors the event log's reports into the queue; wake (async-signal-safe)
// tells the sending thread that a message is queued. Before any thread.
void syslog_feed_setup(void (*wake)());
// Queues one message (async-signal-safe apart from its lock, which every holder takes with
// signals blocked) and wakes the main thread.
void syslog_event(int priority, const char *text);
// Queues the alarm's message, which the blame thread composes (bounded: at most 2 s and 200,000
// descriptors read) and queues in its turn.
void syslog_alarm_raised();
// Queues the start line, which gets the number of allow-list entries in force when it is sent;
// a start that never loaded the allow-list (it failed) sends no start line.
void syslog_started(const char *text);
// The main thread's part: sends every queued message. The shutdown calls it too, with
// in_shutdown set: then the alarm's message names uids but looks nothing up.
void syslog_feed_drain(bool in_shutdown = false);

// The pieces, for the tests.
// The start line with the allow-list entries in force (none: -1).
size_t compose_start_message(const char *started, int allow_entries, char *out, size_t size);
// The syslog priority of an event log tag.
int syslog_priority_of(const char *tag);
// The detail lines of a report as one line: each line's leading blanks dropped, lines joined
// with "; ", empty lines left out. Returns the length written (always terminated).
size_t join_detail_lines(const char *detail, char *out, size_t size);
// One datagram as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss ident[pid]: text", PRI being the
// daemon facility with the priority. Returns its length (cut to size - 1).
size_t syslog_datagram(int priority, time_t now, pid_t pid, const char *text, char *out,
                       size_t size);
