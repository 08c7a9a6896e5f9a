#include "daemon_rule.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "guards.h"
#include "ulvolib_testing.h"

namespace {

policy prule{};                  // the daemon's rule; its queue holds pool elements
ulvo_optional_config pcredit{};  // answer credit, set before the rule is made
// One release's handles and verdict details, queue_size of each.
uint64_t *preleased = nullptr;
released_cre *preleased_packets = nullptr;
int preleased_room = 0;
working_set_hook pworking_set_hook = nullptr;
// Guards the above; the pool's cr_mutex may be taken inside it, never the other way round.
ranked_mutex rule_mutex = RANKED_MUTEX_INITIALIZER(LOCK_RULE);

// Whatever may change the working set runs between these two, under the rule's lock: the
// entry the next new destination overwrites is remembered, and a change is told to the hook.
struct working_set_watch {
    uint32_t oldest;
    policy_address overwritten;
};

working_set_watch watch_working_set() {
    if (prule.working_set == nullptr) {
        return working_set_watch{prule.oldest, policy_address{}};  // no rule: nothing changes
    }
    return working_set_watch{prule.oldest, prule.working_set[prule.oldest]};
}

void tell_working_set_change(const working_set_watch &before) {
    if (pworking_set_hook == nullptr || prule.oldest == before.oldest) {
        return;
    }
    const policy_address *left =
        policy_known(&prule, &before.overwritten) ? nullptr : &before.overwritten;
    pworking_set_hook(left, &prule.working_set[before.oldest]);
}

cre *element_of(uint64_t handle) {
    return reinterpret_cast<cre *>(static_cast<uintptr_t>(handle));
}

// The owner's slot: its own while it has one, else a free one, else the shared last slot.
owner_count &owner_slot(owner_count *owners, uint32_t uid) {
    for (int i = 0; i < OWNER_SLOTS; ++i) {
        if (owners[i].held > 0 && owners[i].uid == uid) {
            return owners[i];
        }
    }
    for (int i = 0; i < OWNER_SLOTS && uid != ULVO_NO_OWNER; ++i) {
        if (owners[i].held == 0) {
            owners[i].uid = uid;
            return owners[i];
        }
    }
    owners[OWNER_SLOTS].uid = ULVO_NO_OWNER;
    return owners[OWNER_SLOTS];
}

policy_address destination_of(const cre *element) {
    policy_address address = policy_make_address(cre_destination(element), element->addr_len);
    address.ip_version = element->ip_version;
    return address;
}

// The element's packet as connection tracking knows its connection, read from its copied header:
// destination, protocol and ports. The protocol is TCP or UDP with at least the source port
// there, else 0; the destination port is 0 where the copy is too short to hold it.
policy_flow flow_of(const cre *element) {
    policy_flow flow{destination_of(element), 0, 0, 0};
    const unsigned char *ip =
        reinterpret_cast<const unsigned char *>(element->pkt) + IPQ_PAYLOAD_OFFSET;
    size_t length = element->pkt->data_len;
    size_t header = 0;
    uint8_t protocol = 0;
    if (element->ip_version == 1 && length >= 20) {
        header = static_cast<size_t>(ip[0] & 0x0f) * 4;
        protocol = ip[9];
    } else if (element->ip_version == 2 && length >= 40) {
        header = 40;
        protocol = ip[6];
    }
    if ((protocol == 6 || protocol == 17) && header >= 20 && length >= header + 2) {
        flow.protocol = protocol;
        flow.source_port = static_cast<uint16_t>(ip[header] << 8 | ip[header + 1]);
        if (length >= header + 4) {
            flow.port = static_cast<uint16_t>(ip[header + 2] << 8 | ip[header + 3]);
        }
    }
    return flow;
}

}  // namespace

void set_daemon_rule_credit(const ulvo_optional_config *credit) {
    mutex_guard locked(&rule_mutex);
    pcredit = *credit;
}

int init_daemon_rule(const ulvo_config *config) {
    ulvo_optional_config credit;
    {
        mutex_guard locked(&rule_mutex);
        credit = pcredit;
    }
    policy_settings settings{static_cast<uint32_t>(config->host_working_set_size),
                             static_cast<uint32_t>(config->dq_size),
                             static_cast<uint32_t>(config->dq_high_watermark),
                             static_cast<uint32_t>(config->dq_low_watermark),
                             int64_t{config->dq_delay_seconds} * 1000,
                             static_cast<uint32_t>(credit.new_host_credit),
                             static_cast<uint32_t>(credit.credit_ceiling)};
    auto *released = static_cast<uint64_t *>(calloc(settings.queue_size, sizeof(uint64_t)));
    auto *packets = static_cast<released_cre *>(calloc(settings.queue_size, sizeof(released_cre)));
    policy made{};
    if (released == nullptr || packets == nullptr || policy_init(&made, &settings, 0) != 0) {
        free(released);
        free(packets);
        return 1;
    }
    mutex_guard locked(&rule_mutex);
    prule = made;
    preleased = released;
    preleased_packets = packets;
    preleased_room = static_cast<int>(settings.queue_size);
    return 0;
}

policy_verdict judge_cre(cre *element, int64_t now_ms, unsigned *events) {
    // Only answer credit needs the ports (set before any thread judges, never changed after).
    policy_flow flow = pcredit.new_host_credit > 0 ? flow_of(element)
                                                   : policy_flow{destination_of(element), 0, 0, 0};
    mutex_guard locked(&rule_mutex);
    return policy_packet_flow(&prule, now_ms, &flow, element->owner_uid,
                              reinterpret_cast<uintptr_t>(element), events);
}

bool daemon_rule_credit_on() {
    return pcredit.new_host_credit > 0;  // set before the threads start, never changed after
}

bool answer_seen(const policy_flow *flow, bool replied, int64_t now_ms, unsigned *events) {
    mutex_guard locked(&rule_mutex);
    if (!replied) {
        policy_unanswered(&prule, flow);
        return false;
    }
    working_set_watch before = watch_working_set();
    bool credited = policy_answered(&prule, now_ms, flow, events);
    tell_working_set_change(before);
    return credited && prule.counters.queued > 0;
}

namespace {

// The working set's destinations, each once (the first fill has the same one in every entry);
// the rule's lock is held.
int distinct_members(policy_address *members) {
    int n = 0;
    for (uint32_t i = 0; i < prule.settings.working_set_size && n < POLICY_MAX_WORKING_SET; ++i) {
        const policy_address &entry = prule.working_set[i];
        if (std::none_of(members, members + n, [&entry](const policy_address &seen) {
                return policy_same_address(seen, entry);
            })) {
            members[n++] = entry;
        }
    }
    return n;
}

}  // namespace

void set_working_set_hook(working_set_hook hook) {
    policy_address members[POLICY_MAX_WORKING_SET];
    mutex_guard locked(&rule_mutex);
    pworking_set_hook = hook;
    int n = hook != nullptr ? distinct_members(members) : 0;
    for (int i = 0; i < n; ++i) {
        hook(nullptr, &members[i]);
    }
}

void visit_working_set(void (*visit)(const policy_address *members, int count)) {
    policy_address members[POLICY_MAX_WORKING_SET];
    mutex_guard locked(&rule_mutex);
    visit(members, distinct_members(members));
}

credit_state daemon_rule_credit() {
    mutex_guard locked(&rule_mutex);
    return credit_state{prule.credit, prule.counters.credit_passed, prule.counters.answers};
}

namespace {

// A release of either kind: the rule writes the handles, the elements go back to the pool.
int release_with(int (*release)(policy *, int64_t, uint64_t *, int, unsigned *), int64_t now_ms,
                 unsigned *events, const released_cre **released) {
    mutex_guard locked(&rule_mutex);
    working_set_watch before = watch_working_set();
    int n = release(&prule, now_ms, preleased, preleased_room, events);
    tell_working_set_change(before);
    for (int i = 0; i < n; ++i) {
        cre *element = element_of(preleased[i]);
        preleased_packets[i] = released_cre{element->filter, element->pkt->packet_id};
        free_cre(element);
    }
    *released = preleased_packets;
    return n;
}

}  // namespace

int release_cres(int64_t now_ms, unsigned *events, const released_cre **released) {
    return release_with(policy_release, now_ms, events, released);
}

int credit_release_cres(int64_t now_ms, unsigned *events, const released_cre **released) {
    return release_with(policy_credit_release, now_ms, events, released);
}

int queued_cr_count() {
    mutex_guard locked(&rule_mutex);
    return static_cast<int>(prule.counters.queued);
}

int max_queued_cr_count() {
    mutex_guard locked(&rule_mutex);
    return static_cast<int>(prule.counters.max_queued);
}

void cr_queue_totals(uint64_t *queued, uint64_t *dequeued) {
    mutex_guard locked(&rule_mutex);
    *queued = prule.counters.held;
    *dequeued = prule.counters.released;
}

int held_by_owner(owner_count *out, int max) {
    owner_count owners[OWNER_SLOTS + 1] = {};
    {
        mutex_guard locked(&rule_mutex);
        for (const policy_held *h = policy_first_held(&prule); h != nullptr;
             h = policy_next_held(&prule, h)) {
            ++owner_slot(owners, h->owner).held;
        }
    }
    int n = 0;
    for (const owner_count &slot : owners) {
        if (slot.held > 0 && n < max) {
            out[n++] = slot;
        }
    }
    std::sort(out, out + n, [](const owner_count &a, const owner_count &b) {
        return a.held != b.held ? a.held > b.held : a.uid < b.uid;
    });
    return n;
}

namespace {

// The rule's lock is held.
int snapshot_locked(held_packet *out, int max) {
    int n = 0;
    for (const policy_held *h = policy_first_held(&prule); h != nullptr && n < max;
         h = policy_next_held(&prule, h)) {
        const cre *element = element_of(h->handle);
        held_packet &packet = out[n++];
        packet.owner_uid = element->owner_uid;
        packet.ip_version = element->ip_version;
        memset(packet.destination, 0, sizeof packet.destination);
        memcpy(packet.destination, cre_destination(element),
               static_cast<size_t>(element->addr_len));
        policy_flow flow = flow_of(element);
        packet.protocol = flow.protocol;
        packet.source_port = flow.source_port;
    }
    return n;
}

}  // namespace

int snapshot_queue(held_packet *out, int max) {
    mutex_guard locked(&rule_mutex);
    return snapshot_locked(out, max);
}

int try_snapshot_queue(held_packet *out, int max) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (ranked_try_lock(&rule_mutex) == 0) {
            int n = snapshot_locked(out, max);
            ranked_unlock(&rule_mutex);
            return n;
        }
        timespec pause{0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);  // async-signal-safe, unlike the lock's waiting
    }
    return -1;
}

void hold_rule_lock_for_test(bool hold) {
    if (hold) {
        ranked_lock(&rule_mutex);
    } else {
        ranked_unlock(&rule_mutex);
    }
}

void make_known_for_test(const cre *element) {
    policy_address destination = destination_of(element);
    mutex_guard locked(&rule_mutex);
    working_set_watch before = watch_working_set();
    policy_add_known(&prule, &destination);
    tell_working_set_change(before);
}

void reset_daemon_rule_for_test() {
    mutex_guard locked(&rule_mutex);
    pcredit = ulvo_optional_config{};
    pworking_set_hook = nullptr;
    policy_free(&prule);
    prule = policy{};
    free(preleased);
    free(preleased_packets);
    preleased = nullptr;
    preleased_packets = nullptr;
    preleased_room = 0;
}
