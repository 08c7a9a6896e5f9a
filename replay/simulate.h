// A capture's new flows through the throttle's rule in virtual time, and what they waited.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "policy.h"

// The kernel's schedule for a SYN that gets no answer: retransmitted 1 s after the first, then
// at doubling intervals (net.ipv4.tcp_syn_retries = 6), given up 127 s after the first.
inline constexpr int SYN_RETRIES = 6;

// What one flow met.
struct replay_outcome {
    bool held;     // its first packet was not passed at once
    bool dropped;  // none of its packets was ever passed
    double delay;  // s from its first packet until one was passed; 0 when passed at once
};

// One alarm: when it was raised and lowered (lowered < 0: still raised at the end).
struct replay_alarm {
    double raised;
    double lowered;
};

// The queue's length from this time on.
struct replay_sample {
    double time;
    uint32_t queued;
};

struct replay_run {
    std::vector<replay_outcome> flows;  // one per flow of the capture, in its order
    std::vector<replay_alarm> alarms;
    std::vector<replay_alarm> credit_out;  // answer credit: when it ran out, when it was back
    std::vector<replay_sample> queue;      // at every change
    policy_counters counters{};
    uint64_t retransmissions = 0;  // SYNs the kernel sent again after a drop
    double end = 0.0;              // when the last held packet was released
};

// Runs one host's capture through the rule with the settings (answer credit too, when they turn
// it on: an answered flow's answer comes one round trip, as the capture had it, after the flow
// was let go), from time 0 with the first release
// one delay later, until the capture has ended and the queue is empty. While a TCP flow waits,
// its SYN is sent again on the kernel's schedule whenever none of its SYNs is held: a dropped
// SYN comes back, a held one does not (the kernel does not retransmit a packet still in its own
// queue). The capture, recorded without a throttle, has no such retransmissions; its own later
// SYNs of a waiting flow are the same retransmissions and are not counted twice. first_release,
// when not negative, is when the first release comes (s), as a live run's daemon had it. 0, or 1
// when the settings are refused.
int replay_simulate(const replay_capture &capture, const policy_settings &settings, replay_run *run,
                    double first_release = -1.0);

// The traffic classes of the report.
struct replay_class_stats {
    std::string name;  // "DNS", "web", "other TCP", "other UDP", or "udp/6892" for a top port
    uint32_t flows = 0, held = 0, dropped = 0;
    double p50 = 0.0, p90 = 0.0, max = 0.0;  // delays of the flows that were not dropped
};

// The classes present in the capture, then "all": DNS (port 53), web (80 and 443), other TCP,
// other UDP, and a class of its own for the destination port that takes most of the flows when
// one does.
std::vector<replay_class_stats> replay_classes(const replay_capture &capture,
                                               const replay_run &run);

// The class name of a flow, as replay_classes names it ("udp/6892" for the top port).
std::string replay_class_of(const replay_flow &flow, int top_protocol, int top_port);
// The nearest-rank percentile (p from 0 to 1) of sorted values; 0 for none.
double replay_percentile(const std::vector<double> &sorted, double p);
// The port (and protocol) that takes most of the flows outside DNS and web, or 0 when none does.
int replay_top_port(const replay_capture &capture, int *protocol);
