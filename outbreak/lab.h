// The outbreak lab's two programs: a benign worm that only opens connections inside the lab's
// address range, and the "vulnerable service" that a connection infects. Pieces shared by both
// programs and their tests.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// An IPv4 range: base address and prefix length, host byte order.
struct lab_range {
    uint32_t base;
    int prefix;  // 8 to 30
};

// Parses "a.b.c.d/len" into *range: 0, or 1 when it is not such a range.
int parse_range(const char *text, lab_range *range);
// The number of usable host addresses of the range (network and broadcast left out).
uint32_t range_hosts(const lab_range &range);

// A small deterministic generator (splitmix64), so that a seed gives the same scan.
struct lab_random {
    uint64_t state;
};
uint64_t next_random(lab_random *random);

// The next probe's target: a random usable host address of the range other than self.
uint32_t pick_target(const lab_range &range, uint32_t self, lab_random *random);

// When the probe with the given index is due, in milliseconds from the start, at rate probes
// per second.
int64_t probe_due_ms(uint64_t index, double rate);

// The listener's state: it is infected once, by its first accepted connection.
struct listener_state {
    bool infected;
    int64_t infected_at_ms;  // wall-clock milliseconds
};
// Notes an accepted connection at now_ms: true exactly for the one that infects.
bool note_connection(listener_state *state, int64_t now_ms);
