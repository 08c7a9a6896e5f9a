// The throttle's rule as one module without I/O, threads or clock: the working set of recent
// destinations, the delay queue with its batching by destination, one release per delay, the
// drop when the queue is full, the water marks and the alarm, and the counters. The caller hands
// in each connection-establishing packet with the time, and calls the release when the time for
// it has come; the daemon with the monotonic clock, the replay and the outbreak model with
// recorded or simulated times. Nothing inside locks: the caller decides how it is shared.
#pragma once

#include <cstdint>
#include <cstring>

// A destination: ip_version 1 (IPv4, the address in the first 4 bytes) or 2 (IPv6), network
// byte order, the bytes beyond the address zero.
struct policy_address {
    int32_t ip_version;
    unsigned char addr[16];
};

// One connection attempt as connection tracking knows it: the destination, the protocol and
// both ports (host byte order).
struct policy_flow {
    policy_address destination;
    uint8_t protocol;  // 6 TCP, 17 UDP, else 0
    uint16_t source_port, port;
};

// The largest working set the configuration allows.
inline constexpr int POLICY_MAX_WORKING_SET = 100;

// True when the two are the same destination.
inline bool policy_same_address(const policy_address &a, const policy_address &b) {
    return a.ip_version == b.ip_version && memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// The rule's settings, as the configuration names them.
struct policy_settings {
    uint32_t working_set_size;  // host_working_set_size
    uint32_t queue_size;        // delay_queue_size: packets held at most
    uint32_t high_watermark;    // delay_queue_high_watermark: raises the alarm
    uint32_t low_watermark;     // delay_queue_low_watermark: lowers it
    int64_t delay_ms;           // delay_queue_delay_seconds, in ms
    // Answer credit (new_host_credit, credit_ceiling): off at 0. A new destination passes at
    // once on credit while the host has both a balance and an allowance, and costs one of
    // each. The balance (credit_start at most) gets its one back when the destination answers,
    // and otherwise one every POLICY_CREDIT_RETURN releases: so connections that are never
    // answered pass on credit at a tenth of the rule's pace. The allowance (credit_max at most)
    // is spent whether the destination answers or not and comes back one every
    // POLICY_ALLOWANCE_RETURN releases: so even where everything answers (a dense network, a
    // worm's own hosts answering for it) credit adds at most half the rule's pace, and a burst
    // of credit_max. Credit counts destinations, not connections: a destination passed on
    // credit (POLICY_CREDITED of them, the latest) passes again at once for nothing, awaiting its
    // answer or after it, until it is found not to answer. Nothing is earned beyond what was
    // spent: a released connection that answers brings nothing. While the queue holds anything,
    // credit goes to its oldest destination as soon as it is back, so that a burst never waits
    // behind its own queue.
    uint32_t credit_start = 0;
    uint32_t credit_max = 0;  // 0: credit_start
};

// An answer from a destination passed on credit gives back what it cost, and nothing more.
inline constexpr int32_t POLICY_ANSWER_CREDIT = 1;
// Below the start, the balance comes back by one every this many releases without an answer.
inline constexpr int32_t POLICY_CREDIT_RETURN = 10;
// The allowance comes back by one every this many releases.
inline constexpr int32_t POLICY_ALLOWANCE_RETURN = 2;
// Destinations passed on credit that pass again for nothing: the latest this many.
inline constexpr int POLICY_CREDITED = 128;
// At most this many passed connections wait for their answer at once; the oldest is forgotten
// (it earns nothing) when another comes.
inline constexpr int POLICY_AWAITED = 1024;

// What the rule has done since it began.
struct policy_counters {
    uint64_t packets;   // connection-establishing packets judged
    uint64_t passed;    // passed at once: to a destination in the working set
    uint64_t held;      // placed on the delay queue
    uint64_t dropped;   // dropped: the queue was full
    uint64_t released;  // taken off the queue and passed
    uint64_t alarms;    // times the alarm was raised
    uint32_t queued;    // on the queue now
    uint32_t max_queued;
    uint64_t credit_passed;    // new destinations passed at once on credit
    uint64_t answers;          // answers that brought credit back
    uint64_t credit_released;  // held packets released early on credit (also in released)
};

enum policy_verdict : int { POLICY_PASS = 0, POLICY_HOLD = 1, POLICY_DROP = 2 };

// What a call changed besides its verdicts, as bits.
enum policy_event : unsigned {
    POLICY_ALARM_RAISED = 1,      // the queue reached the high water mark
    POLICY_DROPS_BEGAN = 2,       // the first drop since the alarm was last lowered
    POLICY_ALARM_LOWERED = 4,     // the queue drained to the low water mark
    POLICY_CREDIT_EXHAUSTED = 8,  // a new destination was held for want of credit, first time
    POLICY_CREDIT_RESTORED = 16,  // credit again after it ran out
};

// One held packet: the caller's handle for it, its flow and its owner.
struct policy_held {
    uint64_t handle;
    policy_address destination;
    uint32_t owner;
    int32_t next;  // index of the next on the queue or the free list; -1 at the end
    uint8_t protocol;
    uint16_t source_port, port;
};

// A connection passed as new, waiting for its answer to bring credit back.
struct policy_awaited {
    policy_flow flow;
    int32_t reward;  // 0: a free entry
};

// The rule's whole state. Made by policy_init, read through the functions below.
struct policy {
    policy_settings settings;
    policy_address *working_set;  // a ring of working_set_size entries
    uint32_t oldest;              // the entry the next new destination overwrites
    policy_held *held;            // queue_size entries: the queue and the free list
    int32_t head, tail, free_list;
    bool alarm;     // virus-like activity occurring
    bool dropping;  // a drop has been announced since the alarm was last lowered
    int64_t now_ms;
    int64_t next_release_ms;
    policy_counters counters;
    int32_t credit;            // the host's balance (answer credit on)
    int32_t allowance;         // new destinations that may still pass on credit before it refills
    bool credit_exhausted;     // a hold for want of credit has been announced
    int32_t credit_ticks;      // releases since credit last came back on its own
    int32_t allowance_ticks;   // releases since the allowance last came back
    policy_awaited *awaited;   // POLICY_AWAITED entries (answer credit on)
    int32_t awaited_next;      // the entry the next one takes when none is free
    int32_t awaited_count;     // entries still awaited
    policy_address *credited;  // POLICY_CREDITED entries, a ring (answer credit on)
    int32_t credited_next;     // the entry the next one takes
};

// Sets the rule up at the given time, its working set filled with IPv4 0.0.0.0 as the daemon's
// always was: 0, or 1 when memory is short or a setting is 0. The first release is due one
// delay later.
int policy_init(policy *rule, const policy_settings *settings, int64_t now_ms);
// Frees what policy_init allocated.
void policy_free(policy *rule);

// Judges one packet to the destination at the time: passed at once to a destination in the
// working set, else (answer credit on) passed at once while the host has credit, else held
// under the caller's handle while the queue has room, else dropped. Events are or-ed into
// *events. Times must not go back (an earlier one counts as the latest).
policy_verdict policy_packet(policy *rule, int64_t now_ms, const policy_address *destination,
                             uint32_t owner, uint64_t handle, unsigned *events);
// The same for a packet whose ports are known, as answer credit needs them.
policy_verdict policy_packet_flow(policy *rule, int64_t now_ms, const policy_flow *flow,
                                  uint32_t owner, uint64_t handle, unsigned *events);

// The flow's destination answered (a SYN-ACK, a datagram back): a connection that the rule
// passed on credit gives its credit back; any other answer changes nothing. True when it was
// one: the caller then lets policy_credit_release spend what came back on the queue.
bool policy_answered(policy *rule, int64_t now_ms, const policy_flow *flow, unsigned *events);
// Spends credit on the queue: while the host has credit, its oldest held destination is passed
// (with every packet held for it, queue order) as if new, awaited for its answer. The handles
// go to out as in policy_release; returns how many.
int policy_credit_release(policy *rule, int64_t now_ms, uint64_t *out, int capacity,
                          unsigned *events);
// The flow ended without an answer: it brings nothing back and is no longer awaited.
void policy_unanswered(policy *rule, const policy_flow *flow);

// One release at the time: the oldest held packet's destination joins the working set and the
// handles of it and of every other packet held for that destination (queue order) are written
// to out (room for queue_size always suffices); then, with answer credit, what credit came back
// is spent on the queue (policy_credit_release). Returns how many. The next release is due one
// delay after the one that was due.
int policy_release(policy *rule, int64_t now_ms, uint64_t *out, int capacity, unsigned *events);

// When the next release is due.
inline int64_t policy_next_release(const policy *rule) {
    return rule->next_release_ms;
}

// True when a new destination would pass now on credit (what a program on the host can tell
// from the published balance and queue).
bool policy_credit_open(const policy *rule);

// True when the destination is in the working set.
bool policy_known(const policy *rule, const policy_address *destination);

// The oldest held packet, or null; then the one after it, or null at the end.
inline const policy_held *policy_first_held(const policy *rule) {
    return rule->head < 0 ? nullptr : &rule->held[rule->head];
}
inline const policy_held *policy_next_held(const policy *rule, const policy_held *held) {
    return held->next < 0 ? nullptr : &rule->held[held->next];
}

// Makes the destination known over the oldest entry, as a release does, releasing nothing:
// false when it was known already.
bool policy_add_known(policy *rule, const policy_address *destination);

// Builds an address from its bytes: 4 for IPv4, 16 for IPv6.
policy_address policy_make_address(const unsigned char *bytes, int length);
