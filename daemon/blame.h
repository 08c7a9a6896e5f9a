// Who is to blame for an alarm: the owners of the held connections and, where it can be found
// cheaply, the program behind them. Runs once per alarm on the main thread, never per packet.
#pragma once

#include <cstddef>
#include <cstdint>

// The alarm's system-log message: how many connections are held for how many new hosts, the
// three users owning the most of them and, when look_up is set, their names and the program
// (from a held packet's source port: socket, then process). Without look_up (the shutdown) it
// does not wait for the rule's lock either, and says so when it could not have it.
void compose_alarm_message(char *out, size_t size, bool look_up);

// Copies in to out (size bytes, always terminated) with every control byte, DEL and backslash
// written as \xHH: a program names itself, and its name must not steer the system log or a
// terminal that shows it. Returns the length written.
size_t escape_control(const char *in, char *out, size_t size);

// The inode of the socket bound to the local port and owned by uid in the text of a
// /proc/net/tcp, tcp6, udp or udp6 table, or 0.
unsigned long socket_inode_in_table(const char *table, uint16_t port, uint32_t uid);

// For tests: the look-up's limits (2,000 ms and 200,000 descriptors read by default).
void set_lookup_budget_for_test(int64_t ms, long descriptors);
