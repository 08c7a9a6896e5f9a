// The outbreak model: a random-scanning worm over an address space in which a fraction of the
// vulnerable hosts run the throttle. Plain records and functions; 0 is success, -1 a refusal
// (the reason is written to the caller's buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum outbreak_transport : int { TRANSPORT_TCP = 0, TRANSPORT_UDP = 1 };

// How throttled hosts are simulated: each one with its own queue and working set, with real
// addresses (exact), or by infection cohorts that share a precomputed per-host contact profile
// (aggregate); auto picks exact where the address space is small enough for a probe to meet a
// held or recently released address (see docs/outbreak.md).
enum outbreak_mode : int { MODE_AUTO = 0, MODE_EXACT = 1, MODE_AGGREGATE = 2 };

struct outbreak_params {
    uint64_t address_space = 4294967296ULL;  // IPv4
    uint64_t hosts = 1000000;                // hosts that answer; the vulnerable are among them
    uint64_t vulnerable = 360000;            // Code Red v2's infected population
    uint64_t initial_infected = 10;
    // The share of the first infected that run the throttle; below 0: the deployment's share.
    double initial_throttled_share = -1.0;
    double scan_rate = 4000.0;        // new probes per second per infected host (Slammer)
    double throttled_fraction = 0.0;  // of the hosts, so of the vulnerable ones too
    uint32_t delay_seconds = 1;       // delay_queue_delay_seconds
    uint32_t queue_size = 200;        // delay_queue_size
    uint32_t working_set_size = 5;    // host_working_set_size
    uint32_t new_host_credit = 0;     // answer credit: 0 off (a probe to a host is answered)
    uint32_t credit_ceiling = 0;      // 0: twice new_host_credit
    double worm_timeout = 3.0;        // the worm abandons a connection not made by then
    int transport = TRANSPORT_TCP;    // UDP: one datagram, never retransmitted or abandoned
    uint32_t syn_retries = 6;         // Linux net.ipv4.tcp_syn_retries
    double time_step = 0.1;
    double horizon = 3600.0;
    double sample_interval = 1.0;
    uint64_t seed = 1;
    int mode = MODE_AUTO;
};

struct outbreak_sample {
    double time;
    uint64_t infected;
    uint64_t infected_throttled;
};

struct outbreak_result {
    std::vector<outbreak_sample> curve;  // at 0 and every sample_interval up to the horizon
    double time_to_half = -1.0;          // first time half the vulnerable are infected; -1: never
    double time_to_90 = -1.0;
    int exact = 0;  // 1 when the throttled hosts were simulated one by one
    // Throttled hosts' accounts: connections that reached their target while the worm still
    // waited, infections they caused, and infected throttled host-seconds.
    double throttled_contacts = 0.0;
    double throttled_infections = 0.0;
    double throttled_host_seconds = 0.0;
    uint64_t throttled_infected_ever = 0;
};

// Checks the parameters; on a refusal writes why into why[len].
int outbreak_check(const outbreak_params *params, char *why, size_t len);

// Runs the model from t = 0 to the horizon.
int outbreak_run(const outbreak_params *params, outbreak_result *result);

// The SYN retransmission offsets (seconds after the first SYN) at which the worm still waits,
// in ascending order; returns how many were written (at most capacity).
int retransmission_offsets(const outbreak_params *params, double *offsets, int capacity);

// How long a TCP probe is waited for: the worm's timeout, or the kernel's own give-up time
// after its last retransmission, whichever is first; a negative value means for ever (UDP).
double probe_lifetime(const outbreak_params *params);

// Sets one parameter from a "--name=value" argument: 1 when it was one, 0 when the name is not
// a parameter, -1 when its value is refused (why says so).
int outbreak_set_option(outbreak_params *params, const char *argument, char *why, size_t len);

// One line per option, for --help.
void outbreak_option_help(char *text, size_t len);
