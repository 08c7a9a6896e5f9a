// The daemon's one instance of the throttle's rule (policy.h): its working set and delay queue,
// shared by the throttle threads and the de-throttle thread under one mutex. The held packets
// are the pool's elements (cre_pool.h), handed to the rule and back.
#pragma once

#include <cstdint>

#include "config.h"
#include "cre_pool.h"
#include "policy.h"

// Sets the answer credit that init_daemon_rule gives the rule (off until set).
void set_daemon_rule_credit(const ulvo_optional_config *credit);
// Makes the rule from the configuration: 0, or 1 when memory is short.
int init_daemon_rule(const ulvo_config *config);
// True when the rule gives answer credit.
bool daemon_rule_credit_on();

// Judges the element's packet at the time (monotonic ms): POLICY_PASS, POLICY_HOLD (the rule
// keeps the element until a release hands it back) or POLICY_DROP; events are or-ed in.
policy_verdict judge_cre(cre *element, int64_t now_ms, unsigned *events);
// What the de-throttle thread needs to send a released packet's verdict.
struct released_cre {
    nl_filter_handle *filter;
    unsigned long packet_id;
};
// One release: the packets let go, in queue order, in an array that stays valid until the next
// release (only the de-throttle thread releases); returns how many (0 when the queue was empty).
// Their elements are back in the pool before the lock is let go, so that the pool always has
// room for each throttle thread's next packet. Events are or-ed in.
int release_cres(int64_t now_ms, unsigned *events, const released_cre **released);
// The same for answer credit that came back while packets wait: the oldest held destinations
// that it pays for, as if new (only the de-throttle thread calls it).
int credit_release_cres(int64_t now_ms, unsigned *events, const released_cre **released);

// A connection of the host was answered, or ended unanswered (replied false), as connection
// tracking reports it; events are or-ed in. True when it gave credit back while packets wait
// in the queue: the de-throttle thread is to spend it (credit_release_cres).
bool answer_seen(const policy_flow *flow, bool replied, int64_t now_ms, unsigned *events);

// What the metrics show of the answer credit.
struct credit_state {
    int32_t balance;
    uint64_t passed_on_credit;
    uint64_t answers;
};
// The credit's state now.
credit_state daemon_rule_credit();

// Told of every change of the working set, under the rule's lock and before whoever made it
// goes on (a release sends its verdicts after): the destination that left the set, or null
// when none did (the one overwritten is still in it, as the first fill is), and the one that
// joined it. Installed, it is told each destination in the set as joined, in the same step.
using working_set_hook = void (*)(const policy_address *left, const policy_address *joined);
void set_working_set_hook(working_set_hook hook);
// Calls visit with the working set's destinations now, each once (at most POLICY_MAX_WORKING_SET),
// under the rule's lock: no change comes between them and whatever visit compares them with.
void visit_working_set(void (*visit)(const policy_address *members, int count));

// The number of elements on the delay queue.
int queued_cr_count();
// The largest number of elements the delay queue has held.
int max_queued_cr_count();
// Elements ever queued and ever taken off the queue.
void cr_queue_totals(uint64_t *queued, uint64_t *dequeued);
// The owners with held connections, at most max of them (OWNER_SLOTS + 1 always suffice),
// largest first; returns how many were written. Owners beyond OWNER_SLOTS are counted together
// under ULVO_NO_OWNER.
int held_by_owner(owner_count *out, int max);
// The queued packets' facts, oldest first, at most max of them; returns how many.
int snapshot_queue(held_packet *out, int max);
// The same for the shutdown, which must not wait for the rule's lock (a thread it stopped may
// hold it for ever): -1 when the lock could not be had within about 100 ms.
int try_snapshot_queue(held_packet *out, int max);
