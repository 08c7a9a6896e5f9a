// What kel-ulvo-replay prints and writes: the table, the sweep, the CSV and the plot.
#pragma once

#include <cstdio>

#include "simulate.h"

// The settings in the configuration's own words.
struct replay_settings_text {
    int working_set, delay, queue, high, low;
    int credit = 0, ceiling = 0;  // new_host_credit, credit_ceiling; 0: answer credit off
};

// The rule's settings from the configuration's values.
policy_settings replay_policy_settings(const replay_settings_text &values);

// The per-class table of one run, then (with counters) the rule's counters and the alarms.
void print_report(FILE *out, const replay_capture &capture, const replay_run &run,
                  bool counters = true);

// One row per flow: time, destination, protocol, port, answered, held, dropped, delay.
int write_csv(const char *path, const replay_capture &capture, const replay_run &run);

// The held queue over time above each flow's delay by class, as an SVG image.
int write_svg(const char *path, const char *title, const replay_capture &capture,
              const replay_run &run, const replay_settings_text &settings);
