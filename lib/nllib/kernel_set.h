// The kernel's side of the fast path: an IP set (ipset, type hash:ip) per address family that
// holds the working set, and a packet counter (nfnetlink_acct) that the rules returning packets
// to the set's members count in. Both are reached through netlink, one request and its
// acknowledgement at a time, with no process started; nothing here allocates after kset_open.
#pragma once

#include <cstddef>
#include <cstdint>

struct mnl_socket;

// One netlink connection for both subsystems. The caller owns it; one thread uses it at a time.
struct kernel_set_socket {
    mnl_socket *socket = nullptr;
    uint32_t port = 0;
    uint32_t sequence = 0;
};

// Status: 0, or the error the kernel or the socket gave, as a positive number (an errno value,
// or an ipset code of 4096 and above); KSET_NO_ANSWER when no answer came within a second.
inline constexpr int KSET_NO_ANSWER = 1 << 20;
// The most members a set made by kset_create holds.
inline constexpr uint32_t KSET_MAX_MEMBERS = 256;

// Opens the connection: 0, or the errno.
int kset_open(kernel_set_socket *connection);
// Closes it (again: nothing).
void kset_close(kernel_set_socket *connection);

// Makes an empty hash:ip set of the family (ip_version 1 IPv4, 2 IPv6); a set of the name that
// exists already is an error (the kernel would keep one of the other family).
int kset_create(kernel_set_socket *connection, const char *name, int ip_version);
// Removes the set (ENOENT when there is none; busy while a rule refers to it).
int kset_destroy(kernel_set_socket *connection, const char *name);
// Empties the set.
int kset_flush(kernel_set_socket *connection, const char *name);
// Takes removed out of the set and puts added in, each when given (the address bytes: 4 or
// 16), in one exchange with the kernel: removed goes first. A member added twice or a missing
// one removed is not an error.
int kset_replace(kernel_set_socket *connection, const char *name, int ip_version,
                 const unsigned char *removed, const unsigned char *added);
// Writes up to max members of the set to out, 16 bytes each (an IPv4 address in the first 4,
// the rest zero) and their number to *count.
int kset_members(kernel_set_socket *connection, const char *name, unsigned char (*out)[16], int max,
                 int *count);

// Makes a packet counter (kept as it is when it exists).
int kacct_create(kernel_set_socket *connection, const char *name);
// Removes it (busy while a rule counts in it).
int kacct_delete(kernel_set_socket *connection, const char *name);
// Reads the counter's packets, leaving it as it is.
int kacct_read(kernel_set_socket *connection, const char *name, uint64_t *packets);
// Reads the counter's packets and sets it to zero in the same step, so that none is counted
// twice or lost between two reads.
int kacct_take(kernel_set_socket *connection, const char *name, uint64_t *packets);
