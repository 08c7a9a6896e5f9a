// The known-host working set: a fixed first-in, first-out ring of recently released destinations.
#pragma once

#include "cre_pool.h"

// One entry of the ring.
struct known_host {
    int ip_version;          // 1 = IPv4, 2 = IPv6
    unsigned char addr[16];  // destination in network byte order; IPv4 uses the first 4 bytes
    known_host *next;
};

// Allocates the ring of count zero-filled IPv4 entries in one block: 0, or 1 when memory is short.
int create_known_host_ring(int count);
// 1 when the element's packet goes to a host in the set, else 0.
int a_known_host(const cre *element);
// Adds the element's destination over the oldest entry: 1 added, 0 already known or no ring.
int add_known_host(const cre *element);
// Writes every entry, oldest first, to the library's output stream.
void debug_dump_known_hosts();
