// kel-ulvo-replay --advise: the host's own traffic with a synthetic scan injected into it, under
// a grid of settings of both policies, and the settings that keep the one and hold the other.
#pragma once

#include <cstdio>

#include "attack.h"
#include "report.h"

// The scan that is injected: probes to random addresses of 198.18.0.0/15 (a range set aside for
// tests), TCP to port 445, answered by a share of them one round trip later.
struct advise_scan {
    double rate = 10.0;      // probes per second
    double seconds = 60.0;   // how long it lasts
    double answered = 0.05;  // the share of probes that meet a host
    double start = -1.0;     // s from the capture's start; negative: a third of the way in
};

// The capture's flows with the scan's after them (their packets merged in time order); the scan
// is flows [capture.flows.size(), result.flows.size()).
replay_capture inject_scan(const replay_capture &capture, const advise_scan &scan);

// Runs the grid, prints the table and the recommendation: normal flows held at most 1 %, the
// scan held or dropped at least 95 %. 0 when a setting met both, 1 when none did.
int print_advice(FILE *out, const replay_capture &capture, const replay_settings_text &base,
                 const advise_scan &scan);
