#include "policy.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

bool same_flow(const policy_flow &a, const policy_flow &b) {
    return policy_same_address(a.destination, b.destination) && a.protocol == b.protocol &&
           a.source_port == b.source_port && a.port == b.port;
}

// A connection passed as new now waits for its answer, over the oldest entry when need be.
void await_answer(policy *rule, const policy_flow &flow, int32_t reward) {
    if (rule->awaited[rule->awaited_next].reward == 0) {
        ++rule->awaited_count;
    }
    rule->awaited[rule->awaited_next] = policy_awaited{flow, reward};
    rule->awaited_next = (rule->awaited_next + 1) % POLICY_AWAITED;
}

// A busy host's connection tracking reports every connection, known hosts' above all: with
// nothing awaited, which is most of the time, that costs no search.
policy_awaited *find_awaited(policy *rule, const policy_flow &flow) {
    if (rule->awaited == nullptr || rule->awaited_count == 0) {
        return nullptr;
    }
    for (int i = 0; i < POLICY_AWAITED; ++i) {
        policy_awaited &entry = rule->awaited[i];
        if (entry.reward > 0 && same_flow(entry.flow, flow)) {
            return &entry;
        }
    }
    return nullptr;
}

// Times only go forward: a caller whose clock stepped back is taken to be at the latest time.
int64_t advance(policy *rule, int64_t now_ms) {
    if (now_ms > rule->now_ms) {
        rule->now_ms = now_ms;
    }
    return rule->now_ms;
}

void unlink_held(policy *rule, int32_t index, int32_t previous) {
    policy_held &entry = rule->held[index];
    if (previous < 0) {
        rule->head = entry.next;
    } else {
        rule->held[previous].next = entry.next;
    }
    if (rule->tail == index) {
        rule->tail = previous;
    }
    entry.next = rule->free_list;
    rule->free_list = index;
    --rule->counters.queued;
    ++rule->counters.released;
}

// Takes every packet held for the destination off the queue (queue order), their handles
// written to out after the written ones; returns how many are written then.
int take_held_for(policy *rule, const policy_address &destination, uint64_t *out, int capacity,
                  int written) {
    int32_t previous = -1;
    for (int32_t index = rule->head; index >= 0;) {
        int32_t next = rule->held[index].next;
        if (policy_same_address(rule->held[index].destination, destination)) {
            if (written < capacity) {
                out[written++] = rule->held[index].handle;
            }
            unlink_held(rule, index, previous);
        } else {
            previous = index;
        }
        index = next;
    }
    return written;
}

// Takes the oldest held destination off the queue with every packet held for it; the
// destination joins the working set unless it was known already (held by a thread that judged
// it just before an earlier release of it: the rest of its packets went with that release, and
// it goes alone). Returns how many were written.
int release_head(policy *rule, uint64_t *out, int capacity, int written) {
    int32_t first = rule->head;
    policy_address destination = rule->held[first].destination;
    if (written < capacity) {
        out[written++] = rule->held[first].handle;
    }
    unlink_held(rule, first, -1);
    if (policy_add_known(rule, &destination)) {
        written = take_held_for(rule, destination, out, capacity, written);
    }
    return written;
}

policy_address *find_credited(policy *rule, const policy_address &destination) {
    if (rule->credited == nullptr) {
        return nullptr;
    }
    for (int i = 0; i < POLICY_CREDITED; ++i) {
        if (policy_same_address(rule->credited[i], destination)) {
            return &rule->credited[i];
        }
    }
    return nullptr;
}

// A destination passed on credit: from now on it passes for nothing.
void remember_credited(policy *rule, const policy_address &destination) {
    if (find_credited(rule, destination) == nullptr) {
        rule->credited[rule->credited_next] = destination;
        rule->credited_next = (rule->credited_next + 1) % POLICY_CREDITED;
    }
}

bool credit_left(const policy *rule) {
    return rule->awaited != nullptr && rule->credit >= 1 && rule->allowance >= 1;
}

// Credit spent: one of the balance and one of the allowance.
void spend_credit(policy *rule) {
    --rule->credit;
    --rule->allowance;
}

// The episode of a host without credit ends once it has its whole balance again and may pass a
// new destination, not at the first answer, so that a host held to a trickle is not announced
// again and again.
void note_credit_restored(policy *rule, unsigned *events) {
    if (rule->credit_exhausted &&
        rule->credit >= static_cast<int32_t>(rule->settings.credit_start) && rule->allowance >= 1) {
        rule->credit_exhausted = false;
        *events |= POLICY_CREDIT_RESTORED;
    }
}

void note_alarm_lowered(policy *rule, unsigned *events) {
    if (rule->alarm && rule->counters.queued <= rule->settings.low_watermark) {
        rule->alarm = false;
        rule->dropping = false;
        *events |= POLICY_ALARM_LOWERED;
    }
}

}  // namespace

int policy_init(policy *rule, const policy_settings *settings, int64_t now_ms) {
    *rule = policy{};
    if (settings->working_set_size == 0 || settings->queue_size == 0 || settings->delay_ms <= 0) {
        return 1;
    }
    rule->working_set =
        static_cast<policy_address *>(calloc(settings->working_set_size, sizeof(policy_address)));
    rule->held = static_cast<policy_held *>(calloc(settings->queue_size, sizeof(policy_held)));
    if (settings->credit_start > 0) {
        rule->awaited =
            static_cast<policy_awaited *>(calloc(POLICY_AWAITED, sizeof(policy_awaited)));
        rule->credited =
            static_cast<policy_address *>(calloc(POLICY_CREDITED, sizeof(policy_address)));
    }
    if (rule->working_set == nullptr || rule->held == nullptr ||
        (settings->credit_start > 0 && (rule->awaited == nullptr || rule->credited == nullptr))) {
        policy_free(rule);
        return 1;
    }
    rule->settings = *settings;
    if (settings->credit_start > 0 && rule->settings.credit_max < settings->credit_start) {
        rule->settings.credit_max = settings->credit_start;  // unset, or below the start
    }
    rule->credit = static_cast<int32_t>(settings->credit_start);
    rule->allowance = static_cast<int32_t>(rule->settings.credit_max);
    for (uint32_t i = 0; i < settings->working_set_size; ++i) {
        rule->working_set[i].ip_version = 1;
    }
    for (uint32_t i = 0; i < settings->queue_size; ++i) {
        rule->held[i].next = i + 1 < settings->queue_size ? static_cast<int32_t>(i + 1) : -1;
    }
    rule->head = rule->tail = -1;
    rule->free_list = 0;
    rule->now_ms = now_ms;
    rule->next_release_ms = now_ms + settings->delay_ms;
    return 0;
}

void policy_free(policy *rule) {
    free(rule->working_set);
    free(rule->held);
    free(rule->awaited);
    free(rule->credited);
    rule->working_set = nullptr;
    rule->held = nullptr;
    rule->awaited = nullptr;
    rule->credited = nullptr;
}

policy_verdict policy_packet(policy *rule, int64_t now_ms, const policy_address *destination,
                             uint32_t owner, uint64_t handle, unsigned *events) {
    policy_flow flow{*destination, 0, 0, 0};
    return policy_packet_flow(rule, now_ms, &flow, owner, handle, events);
}

policy_verdict policy_packet_flow(policy *rule, int64_t now_ms, const policy_flow *flow,
                                  uint32_t owner, uint64_t handle, unsigned *events) {
    advance(rule, now_ms);
    const policy_address *destination = &flow->destination;
    policy_counters &counters = rule->counters;
    ++counters.packets;
    policy_verdict verdict;
    if (policy_known(rule, destination) || find_credited(rule, *destination) != nullptr) {
        ++counters.passed;
        verdict = POLICY_PASS;
    } else if (policy_credit_open(rule)) {
        // Passed on credit, it joins the working set only when it answers (policy_answered).
        // Credit is open only while the queue is empty: whatever comes back while anything is
        // held goes to the oldest held destination first (policy_credit_release).
        spend_credit(rule);
        await_answer(rule, *flow, POLICY_ANSWER_CREDIT);
        remember_credited(rule, *destination);
        ++counters.passed;
        ++counters.credit_passed;
        verdict = POLICY_PASS;
    } else if (rule->free_list >= 0) {
        if (rule->awaited != nullptr && !credit_left(rule) && !rule->credit_exhausted) {
            rule->credit_exhausted = true;
            *events |= POLICY_CREDIT_EXHAUSTED;
        }
        int32_t index = rule->free_list;
        policy_held &entry = rule->held[index];
        rule->free_list = entry.next;
        entry = policy_held{handle,         *destination,      owner,     -1,
                            flow->protocol, flow->source_port, flow->port};
        if (rule->tail < 0) {
            rule->head = index;
        } else {
            rule->held[rule->tail].next = index;
        }
        rule->tail = index;
        ++counters.held;
        if (++counters.queued > counters.max_queued) {
            counters.max_queued = counters.queued;
        }
        verdict = POLICY_HOLD;
    } else {
        if (rule->awaited != nullptr && !credit_left(rule) && !rule->credit_exhausted) {
            rule->credit_exhausted = true;
            *events |= POLICY_CREDIT_EXHAUSTED;
        }
        ++counters.dropped;
        if (!rule->dropping) {
            rule->dropping = true;
            *events |= POLICY_DROPS_BEGAN;
        }
        verdict = POLICY_DROP;
    }
    // Looked at after every packet, whatever its verdict, as the throttle threads always have.
    if (!rule->alarm && counters.queued >= rule->settings.high_watermark) {
        rule->alarm = true;
        ++counters.alarms;
        *events |= POLICY_ALARM_RAISED;
    }
    return verdict;
}

int policy_release(policy *rule, int64_t now_ms, uint64_t *out, int capacity, unsigned *events) {
    advance(rule, now_ms);
    if (rule->awaited != nullptr) {
        // Credit comes back with time, slowly: a host that spent its balance on destinations
        // that never answer (broadcasts, a dead server) gets it back one every
        // POLICY_CREDIT_RETURN releases, and its allowance one every POLICY_ALLOWANCE_RETURN.
        if (rule->credit < static_cast<int32_t>(rule->settings.credit_start) &&
            ++rule->credit_ticks >= POLICY_CREDIT_RETURN) {
            rule->credit_ticks = 0;
            ++rule->credit;
        }
        if (rule->allowance < static_cast<int32_t>(rule->settings.credit_max) &&
            ++rule->allowance_ticks >= POLICY_ALLOWANCE_RETURN) {
            rule->allowance_ticks = 0;
            ++rule->allowance;
        }
    }
    rule->next_release_ms += rule->settings.delay_ms;
    if (rule->next_release_ms <= rule->now_ms) {
        rule->next_release_ms = rule->now_ms + rule->settings.delay_ms;  // a late caller catches up
    }
    int written = rule->head < 0 ? 0 : release_head(rule, out, capacity, 0);
    // The credit release looks at the low water mark, for this release's packets too.
    written += policy_credit_release(rule, now_ms, out + written, capacity - written, events);
    note_credit_restored(rule, events);
    return written;
}

int policy_credit_release(policy *rule, int64_t now_ms, uint64_t *out, int capacity,
                          unsigned *events) {
    advance(rule, now_ms);
    int written = 0;
    while (rule->head >= 0 && credit_left(rule)) {
        const policy_held &first = rule->held[rule->head];
        policy_flow flow{first.destination, first.protocol, first.source_port, first.port};
        // As a new destination passed on credit: it joins the working set when it answers.
        spend_credit(rule);
        await_answer(rule, flow, POLICY_ANSWER_CREDIT);
        remember_credited(rule, flow.destination);
        int before = written;
        written = take_held_for(rule, flow.destination, out, capacity, written);
        rule->counters.credit_released += static_cast<uint64_t>(written - before);
    }
    note_alarm_lowered(rule, events);
    return written;
}

bool policy_add_known(policy *rule, const policy_address *destination) {
    if (policy_known(rule, destination)) {
        return false;
    }
    rule->working_set[rule->oldest] = *destination;
    rule->oldest = (rule->oldest + 1) % rule->settings.working_set_size;
    return true;
}

bool policy_credit_open(const policy *rule) {
    return credit_left(rule) && rule->counters.queued == 0;
}

bool policy_known(const policy *rule, const policy_address *destination) {
    for (uint32_t i = 0; i < rule->settings.working_set_size; ++i) {
        if (policy_same_address(rule->working_set[i], *destination)) {
            return true;
        }
    }
    return false;
}

policy_address policy_make_address(const unsigned char *bytes, int length) {
    policy_address address{};
    address.ip_version = length == 16 ? 2 : 1;
    memcpy(address.addr, bytes, length == 16 ? 16 : 4);
    return address;
}

bool policy_answered(policy *rule, int64_t now_ms, const policy_flow *flow, unsigned *events) {
    advance(rule, now_ms);
    policy_awaited *entry = find_awaited(rule, *flow);
    if (entry == nullptr) {
        return false;
    }
    rule->credit =
        std::min(rule->credit + entry->reward, static_cast<int32_t>(rule->settings.credit_start));
    entry->reward = 0;
    --rule->awaited_count;
    // A destination that answered is as good as one the queue released: it joins the working
    // set, so that the host's next connections to it (its name server above all) cost nothing.
    // One that never answers never joins, so a scan cannot push the host's own out.
    policy_add_known(rule, &flow->destination);
    ++rule->counters.answers;
    note_credit_restored(rule, events);
    return true;
}

void policy_unanswered(policy *rule, const policy_flow *flow) {
    policy_awaited *entry = find_awaited(rule, *flow);
    if (entry != nullptr) {
        entry->reward = 0;
        --rule->awaited_count;
        // It passes for nothing no more: what never answers is no destination of the host's.
        if (policy_address *credited = find_credited(rule, flow->destination)) {
            *credited = policy_address{};
        }
    }
}
