// kel-ulvo-replay --attack: worms that know the policy, closed-loop against the throttle's rule
// in virtual time. Each millisecond a strategy sees what a program on the host can see (the
// balance and the queue, as the status block publishes them) and decides what to send; scan
// targets answer with a given share, the worm's own helpers (a pool of answering hosts, a farm
// of its own addresses) always do. Deterministic for a seed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "report.h"

enum attack_strategy : int {
    ATTACK_NAIVE,       // random targets at a fixed rate
    ATTACK_INTERLEAVE,  // k answered connections to a small pool per scan probe
    ATTACK_FARM,        // k connections to fresh addresses of the worm's own, all answered
    ATTACK_STEADY,      // keeps the queue just under the high water mark, for ever
    ATTACK_ADAPTIVE,    // each millisecond the best of the above that the state allows
    ATTACK_COUNT
};

struct attack_params {
    attack_strategy strategy = ATTACK_NAIVE;
    double answered = 0.05;  // the share of scan targets that answer
    double rate = 100.0;     // scan probes a second the worm aims at
    int interleave = 1;      // answered connections per scan probe (interleave, farm)
    int pool = 0;            // answering addresses of the interleaver; 0: working set + 2
    int protocol = 6;        // 6 TCP, 17 UDP: the same to the rule, named in the report
    double rtt = 0.05;       // s until an answer comes
    double seconds = 600.0;  // how long the attack lasts
    uint32_t seed = 1;
    // The adaptive worm's choices (the suite tries a grid of them and keeps the best).
    int reserve = 0;        // balance kept back for connections that earn
    int helper = 0;         // 0 none, 1 the pool, 2 the farm: what it spends the reserve on
    bool top_queue = true;  // keeps the queue just under the high water mark with probes
};

struct attack_result {
    uint64_t probes = 0;         // scan probes sent
    uint64_t passed = 0;         // scan probes passed, at once or released, within the attack
    uint64_t silent_passed = 0;  // of them, to targets that never answer
    uint64_t held = 0;           // scan probes held at first
    uint64_t dropped = 0;        // scan probes never passed (dropped or still held at the end)
    uint64_t helpers = 0;        // the worm's own answered connections
    double alarm_at = -1.0;      // s from the attack's start to the first alarm; -1: none
    double warning_at = -1.0;    // ... to the first credit warning; -1: none
    double minutes = 0.0;
    // With a capture under the attack: its flows and how many were held.
    uint32_t normal_flows = 0, normal_held = 0;
};

// The strategy's name on the command line and in the table.
const char *attack_name(attack_strategy strategy);
// The strategy of a name, or ATTACK_COUNT for none; "all" is not a strategy.
attack_strategy attack_parse(const char *name);

// One attack against the settings, the capture's own flows (when given, the host's) under it
// from its start. 0, or 1 when the settings are refused.
int attack_run(const attack_params &params, const policy_settings &settings,
               const replay_capture *capture, attack_result *out);

// An attack that needs no feedback (naive, interleave, farm) as a capture of the host's flows,
// for a live run in the replay's lab: probes to port 445 of random addresses (the share that
// answer marked answered), the worm's helpers to port 443, all answered, each answer one round
// trip later. Empty for the strategies that watch the status block.
replay_capture attack_capture(const attack_params &params, int working_set);
// Probes to targets that never answer (port 445, unanswered) passed within the attack's time.
uint32_t attack_silent_passed(const replay_capture &capture, const replay_run &run, double seconds);

// Scan probes to targets that do not answer a minute (all scan probes when every target
// answers).
double attack_per_minute(const attack_params &params, const attack_result &result);

// One row of the suite: a strategy (at its worst for the policy), the policy and its figures.
struct attack_row {
    std::string strategy, policy;
    attack_params params;
    attack_result result;
    double per_minute;
};

// The suite: every strategy at its worst (over a grid of its parameters) against each policy of
// the list, for targets that rarely answer and for targets that all answer; a strategy named
// alone runs only that one. The table is printed to out when given.
std::vector<attack_row> attack_suite(FILE *out, const std::vector<replay_settings_text> &policies,
                                     const replay_capture *capture, int only = -1,
                                     double seconds = 600.0);
// The rule's worst figure among the rows, for targets that rarely answer or all answer.
double attack_rule_rate(const std::vector<attack_row> &rows, double answered);
// The suite's table: one line per row, "x rule" against the rule's worst for the same targets.
void print_attack_rows(FILE *out, const std::vector<attack_row> &rows);
