#include "lab.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstring>

int parse_range(const char *text, lab_range *range) {
    char address[32];
    int prefix = -1;
    char extra = '\0';
    if (sscanf(text, "%31[0-9.]/%d%c", address, &prefix, &extra) != 2 || prefix < 8 ||
        prefix > 30) {
        return 1;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, address, &parsed) != 1) {
        return 1;
    }
    uint32_t mask = ~uint32_t{0} << (32 - prefix);
    range->base = ntohl(parsed.s_addr) & mask;
    range->prefix = prefix;
    return 0;
}

uint32_t range_hosts(const lab_range &range) {
    return (uint32_t{1} << (32 - range.prefix)) - 2;
}

uint64_t next_random(lab_random *random) {
    uint64_t z = (random->state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint32_t pick_target(const lab_range &range, uint32_t self, lab_random *random) {
    uint32_t hosts = range_hosts(range);
    for (;;) {
        uint32_t target = range.base + 1 + static_cast<uint32_t>(next_random(random) % hosts);
        if (target != self) {
            return target;
        }
    }
}

int64_t probe_due_ms(uint64_t index, double rate) {
    return static_cast<int64_t>(std::llround(static_cast<double>(index) * 1000.0 / rate));
}

bool note_connection(listener_state *state, int64_t now_ms) {
    if (state->infected) {
        return false;
    }
    state->infected = true;
    state->infected_at_ms = now_ms;
    return true;
}
