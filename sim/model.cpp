// The outbreak model. Unthrottled infected hosts are counted, not simulated: their probes are
// uniform over the address space, so the susceptible hosts of each class that one step's probes
// reach are binomial draws. A throttled infected host is simulated packet by packet through the
// daemon's rule (working set, delay queue of queue_size packets grouped by destination, one
// destination released per delay, drops when full) with the worm's fixed probe rate, the
// kernel's SYN retransmissions and the worm's connect timeout. docs/outbreak.md has the details.
#include "model.h"

#include "policy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <random>

namespace {

constexpr double kTieSeconds = 1e-9;
constexpr int kMaxOffsets = 16;
constexpr int kPhaseBins = 8;

enum probe_state : uint8_t { PROBE_OUT, PROBE_HELD, PROBE_DROPPED };

struct live_probe {
    uint64_t number;  // which probe holds this slot of the ring
    uint64_t dest;
    probe_state state;
};

struct contact {
    double time;
    uint64_t dest;
};

// What every throttled host shares.
struct host_rules {
    double rate;
    double delay;
    uint32_t queue_size;
    uint32_t working_set_size;
    double lifetime;  // < 0: for ever
    double offsets[kMaxOffsets];
    int offset_count;
    uint64_t address_space;
    bool addresses;  // real destinations, working-set hits and shared groups (exact mode)
    uint32_t credit_start, credit_ceiling;  // answer credit; 0: off
    uint64_t hosts;                         // a probe to an address below this is answered
};

// One throttled infected host: the daemon's own rule (policy.h), fed the worm's probes. The
// handle of a held packet is its probe's number.
struct host_sim {
    double start = 0.0;  // infection; the first probe leaves at once
    double phase = 0.0;  // the daemon's release timer, relative to start
    uint64_t next_probe = 0;
    uint64_t next_release = 0;
    uint64_t retry_cursor[kMaxOffsets] = {};
    policy rule{};
    std::vector<uint64_t> released;
    std::vector<live_probe> live;  // ring by probe number
    uint64_t packets = 0;

    host_sim() = default;
    host_sim(const host_sim &) = delete;
    host_sim &operator=(const host_sim &) = delete;
    ~host_sim() { policy_free(&rule); }
};

// The address the rule sees for a probe. With real destinations, the destination; without, a
// destination of the probe's own, so that no two probes share one. Kept apart from the IPv4
// 0.0.0.0 that the daemon's working set starts with.
policy_address probe_address(const host_rules *rules, uint64_t k, uint64_t dest) {
    uint64_t value = rules->addresses ? dest : k;
    policy_address address{};
    address.ip_version = 2;
    for (int i = 0; i < 8; ++i) {
        address.addr[8 + i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    }
    return address;
}

uint64_t address_value(const policy_address &address) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | address.addr[8 + i];
    }
    return value;
}

int64_t to_ms(double seconds) {
    return std::llround(seconds * 1000.0);
}

void host_init(const host_rules *rules, host_sim *host, double start, double phase) {
    host->start = start;
    host->phase = phase;
    policy_settings settings{rules->working_set_size,
                             rules->queue_size,
                             rules->queue_size + 1,
                             0,
                             std::max<int64_t>(1, to_ms(rules->delay)),
                             rules->credit_start,
                             rules->credit_ceiling};
    policy_init(&host->rule, &settings, to_ms(start));
    host->released.resize(rules->queue_size);
    size_t ring = 1;
    if (rules->offset_count > 0) {
        ring =
            static_cast<size_t>(std::ceil(rules->rate * rules->offsets[rules->offset_count - 1])) +
            2;
    }
    host->live.assign(ring, live_probe{0, 0, PROBE_OUT});
}

// With answer credit, a contact that met a host is answered at once (a round trip is nothing
// at the model's step): with real destinations when the address is a host's, else with the
// chance that a random address is one.
void answer_contact(const host_rules *rules, host_sim *host, const policy_address &address,
                    uint64_t dest, double now, std::mt19937_64 *rng) {
    if (rules->credit_start == 0) {
        return;
    }
    bool answered = rules->addresses ? dest < rules->hosts
                                     : std::uniform_real_distribution<double>(0.0, 1.0)(*rng) *
                                               static_cast<double>(rules->address_space) <
                                           static_cast<double>(rules->hosts);
    if (answered) {
        policy_flow flow{address, 0, 0, 0};
        unsigned events = 0;
        policy_answered(&host->rule, to_ms(now), &flow, &events);
    }
}

// A new probe, or the retransmission of a dropped one, meets the daemon.
void host_packet(const host_rules *rules, host_sim *host, uint64_t k, uint64_t dest, double now,
                 std::vector<contact> *out, std::mt19937_64 *rng) {
    live_probe &probe = host->live[k % host->live.size()];
    host->packets++;
    policy_address address = probe_address(rules, k, dest);
    unsigned events = 0;
    switch (policy_packet(&host->rule, to_ms(now), &address, 0, k, &events)) {
        case POLICY_PASS:
            out->push_back(contact{now, dest});
            probe.state = PROBE_OUT;
            answer_contact(rules, host, address, dest, now, rng);
            break;
        case POLICY_HOLD:
            probe.state = PROBE_HELD;
            break;
        case POLICY_DROP:
            probe.state = PROBE_DROPPED;
            break;
    }
}

// One release: the destination is contacted when the youngest probe among its released packets
// is still waited for.
void host_release(const host_rules *rules, host_sim *host, double now, std::vector<contact> *out,
                  std::mt19937_64 *rng) {
    host->next_release++;
    const policy_held *head = policy_first_held(&host->rule);
    if (head == nullptr) {
        return;
    }
    const policy_address released_address = head->destination;
    const uint64_t value = address_value(released_address);
    unsigned events = 0;
    int n = policy_release(&host->rule, to_ms(now), host->released.data(),
                           static_cast<int>(host->released.size()), &events);
    uint64_t newest = 0;
    uint64_t dest = value;
    for (int i = 0; i < n; ++i) {
        const uint64_t k = host->released[static_cast<size_t>(i)];
        newest = std::max(newest, k);
        live_probe &probe = host->live[k % host->live.size()];
        if (probe.number == k) {
            probe.state = PROBE_OUT;
            dest = probe.dest;
        }
    }
    const double newest_send = host->start + static_cast<double>(newest) / rules->rate;
    if (rules->lifetime < 0 || newest_send + rules->lifetime > now) {
        out->push_back(contact{now, rules->addresses ? value : dest});
        answer_contact(rules, host, released_address, rules->addresses ? value : dest, now, rng);
    }
}

void host_retry(const host_rules *rules, host_sim *host, int j, double now,
                std::vector<contact> *out, std::mt19937_64 *rng) {
    const uint64_t k = host->retry_cursor[j]++;
    live_probe &probe = host->live[k % host->live.size()];
    if (probe.number != k || probe.state == PROBE_OUT) {
        return;
    }
    if (probe.state == PROBE_HELD) {
        // Still held: the retransmission is held beside it, or dropped when the queue is full.
        host->packets++;
        policy_address address = probe_address(rules, k, probe.dest);
        unsigned events = 0;
        policy_packet(&host->rule, to_ms(now), &address, 0, k, &events);
        return;
    }
    host_packet(rules, host, k, probe.dest, now, out, rng);
}

// Plays the host's events before t_end, in time order; at a tie the release comes first, then
// the new probe, then retransmissions (the younger packet takes a freed slot).
void host_advance(const host_rules *rules, host_sim *host, double t_end, std::mt19937_64 *rng,
                  std::vector<contact> *out) {
    std::uniform_int_distribution<uint64_t> address(0, rules->address_space - 1);
    for (;;) {
        const double t_probe = host->start + static_cast<double>(host->next_probe) / rules->rate;
        const double t_release =
            host->start + host->phase + static_cast<double>(host->next_release) * rules->delay;
        int retry = -1;
        double t_retry = INFINITY;
        for (int j = 0; j < rules->offset_count; ++j) {
            const uint64_t k = host->retry_cursor[j];
            if (k >= host->next_probe) {
                continue;  // not sent yet: the new probe comes first
            }
            const double t = host->start + static_cast<double>(k) / rules->rate + rules->offsets[j];
            if (t < t_retry - kTieSeconds) {
                retry = j;
                t_retry = t;
            }
        }
        if (t_release <= std::min(t_probe, t_retry) + kTieSeconds) {
            if (t_release >= t_end) {
                return;
            }
            host_release(rules, host, t_release, out, rng);
        } else if (t_probe <= t_retry + kTieSeconds) {
            if (t_probe >= t_end) {
                return;
            }
            const uint64_t k = host->next_probe++;
            const uint64_t dest = rules->addresses ? address(*rng) : 0;
            host->live[k % host->live.size()] = live_probe{k, dest, PROBE_DROPPED};
            host_packet(rules, host, k, dest, t_probe, out, rng);
        } else {
            if (t_retry >= t_end) {
                return;
            }
            host_retry(rules, host, retry, t_retry, out, rng);
        }
    }
}

void make_rules(const outbreak_params *p, bool addresses, host_rules *rules) {
    rules->rate = p->scan_rate;
    rules->delay = static_cast<double>(p->delay_seconds);
    rules->queue_size = p->queue_size;
    rules->working_set_size = p->working_set_size;
    rules->lifetime = probe_lifetime(p);
    rules->offset_count = retransmission_offsets(p, rules->offsets, kMaxOffsets);
    rules->address_space = p->address_space;
    rules->addresses = addresses;
    rules->credit_start = p->new_host_credit;
    rules->credit_ceiling = p->credit_ceiling;
    rules->hosts = p->hosts;
}

// The aggregate mode's description of one throttled host, per phase of its release timer:
// contacts by age (in steps) during the transient, then a steady contact rate.
struct contact_profile {
    std::vector<std::pair<uint32_t, double>> entries[kPhaseBins];  // (age step, contacts)
    double steady_rate[kPhaseBins];  // contacts per second after the transient
    uint32_t length = 0;             // transient, in steps
    double ws_rate = 0.0;            // contacts per second through working-set hits
};

void make_profile(const outbreak_params *p, contact_profile *profile) {
    host_rules rules;
    make_rules(p, false, &rules);
    const double d = rules.delay;
    const double window = std::max(64.0, 20.0 * d);
    const double transient = 2.0 * p->queue_size * d + 128.0;
    profile->length = static_cast<uint32_t>(std::ceil(transient / p->time_step));
    const double span = profile->length * p->time_step;
    double packet_rate = 0.0;
    std::mt19937_64 unused(0);
    for (int b = 0; b < kPhaseBins; ++b) {
        host_sim host;
        host_init(&rules, &host, 0.0, (b + 0.5) * d / kPhaseBins);
        std::vector<contact> out;
        host_advance(&rules, &host, span, &unused, &out);
        std::vector<double> dense(profile->length, 0.0);
        for (const contact &c : out) {
            const auto age = static_cast<uint32_t>(c.time / p->time_step);
            dense[std::min(age, profile->length - 1)] += 1.0;
        }
        profile->entries[b].clear();
        for (uint32_t a = 0; a < profile->length; ++a) {
            if (dense[a] > 0) {
                profile->entries[b].emplace_back(a, dense[a]);
            }
        }
        out.clear();
        const uint64_t packets_before = host.packets;
        host_advance(&rules, &host, span + window, &unused, &out);
        profile->steady_rate[b] = static_cast<double>(out.size()) / window;
        packet_rate += static_cast<double>(host.packets - packets_before) / window / kPhaseBins;
    }
    profile->ws_rate = packet_rate * p->working_set_size / static_cast<double>(p->address_space);
}

// Vulnerable hosts 0 .. throttled-1 run the throttle; host i sits at address i (the scan is
// uniform, so where they sit does not matter).
struct population {
    std::vector<uint8_t> infected;
    std::vector<uint32_t> susceptible[2];  // by class: 0 unthrottled, 1 throttled
    std::vector<uint32_t> position;
    uint64_t throttled = 0;
    uint64_t count[2] = {0, 0};  // infected by class
};

void population_init(const outbreak_params *p, population *pop) {
    const auto v = static_cast<uint32_t>(p->vulnerable);
    pop->throttled = static_cast<uint64_t>(std::llround(p->throttled_fraction * v));
    pop->infected.assign(v, 0);
    pop->position.assign(v, 0);
    for (uint32_t i = 0; i < v; ++i) {
        std::vector<uint32_t> &list = pop->susceptible[i < pop->throttled ? 1 : 0];
        pop->position[i] = static_cast<uint32_t>(list.size());
        list.push_back(i);
    }
}

int host_class(const population *pop, uint32_t host) {
    return host < pop->throttled ? 1 : 0;
}

void infect(population *pop, uint32_t host) {
    std::vector<uint32_t> &list = pop->susceptible[host_class(pop, host)];
    const uint32_t last = list.back();
    list[pop->position[host]] = last;
    pop->position[last] = pop->position[host];
    list.pop_back();
    pop->infected[host] = 1;
    pop->count[host_class(pop, host)]++;
}

uint32_t pick_susceptible(population *pop, int cls, std::mt19937_64 *rng) {
    const std::vector<uint32_t> &list = pop->susceptible[cls];
    std::uniform_int_distribution<size_t> pick(0, list.size() - 1);
    return list[pick(*rng)];
}

uint64_t binomial(uint64_t n, double p, std::mt19937_64 *rng) {
    if (n == 0 || p <= 0.0) {
        return 0;
    }
    if (p >= 1.0) {
        return n;
    }
    std::binomial_distribution<int64_t> draw(static_cast<int64_t>(n), p);
    return static_cast<uint64_t>(draw(*rng));
}

int refuse(char *why, size_t len, const char *text) {
    if (why != nullptr && len > 0) {
        snprintf(why, len, "%s", text);
    }
    return -1;
}

}  // namespace

double probe_lifetime(const outbreak_params *p) {
    if (p->transport == TRANSPORT_UDP) {
        return -1.0;
    }
    const double kernel = std::ldexp(1.0, static_cast<int>(p->syn_retries) + 1) - 1.0;
    return std::min(p->worm_timeout, kernel);
}

int retransmission_offsets(const outbreak_params *p, double *offsets, int capacity) {
    if (p->transport == TRANSPORT_UDP) {
        return 0;
    }
    const double lifetime = probe_lifetime(p);
    int n = 0;
    for (uint32_t j = 1; j <= p->syn_retries && n < capacity; ++j) {
        const double offset = std::ldexp(1.0, static_cast<int>(j)) - 1.0;  // RTO 1 s, doubling
        if (offset >= lifetime) {
            break;
        }
        offsets[n++] = offset;
    }
    return n;
}

int outbreak_check(const outbreak_params *p, char *why, size_t len) {
    if (p->address_space < 1 || p->hosts > p->address_space) {
        return refuse(why, len, "hosts must fit in the address space");
    }
    if (p->vulnerable < 1 || p->vulnerable > p->hosts || p->vulnerable > 100000000) {
        return refuse(why, len, "vulnerable must be 1 to min(hosts, 100000000)");
    }
    if (p->initial_infected < 1 || p->initial_infected > p->vulnerable) {
        return refuse(why, len, "initial-infected must be 1 to vulnerable");
    }
    if (p->initial_throttled_share > 1.0) {
        return refuse(why, len, "initial-throttled must be 0 to 1");
    }
    if (!(p->scan_rate > 0.0) || p->scan_rate > 1e6) {
        return refuse(why, len, "scan-rate must be above 0 and at most 1000000");
    }
    if (!(p->throttled_fraction >= 0.0 && p->throttled_fraction <= 1.0)) {
        return refuse(why, len, "throttled must be 0 to 1");
    }
    if (p->delay_seconds < 1 || p->delay_seconds > 10 || p->queue_size < 10 ||
        p->queue_size > 1000 || p->working_set_size < 1 || p->working_set_size > 100) {
        return refuse(why, len, "delay 1-10, queue-size 10-1000, working-set 1-100 (the daemon's)");
    }
    if (!(p->worm_timeout > 0.0) || p->syn_retries > 10) {
        return refuse(why, len, "worm-timeout must be above 0, syn-retries at most 10");
    }
    if (!(p->time_step > 0.0) || !(p->horizon > 0.0) || p->horizon / p->time_step > 1e8 ||
        !(p->sample_interval >= p->time_step)) {
        return refuse(why, len, "need 0 < step <= sample, and horizon/step at most 1e8");
    }
    if (p->mode < MODE_AUTO || p->mode > MODE_AGGREGATE) {
        return refuse(why, len, "mode must be auto, exact or aggregate");
    }
    return 0;
}

int outbreak_run(const outbreak_params *p, outbreak_result *result) {
    if (outbreak_check(p, nullptr, 0) != 0) {
        return -1;
    }
    *result = outbreak_result{};
    std::mt19937_64 rng(p->seed);
    population pop;
    population_init(p, &pop);
    const uint64_t v = p->vulnerable;
    const double space = static_cast<double>(p->address_space);
    const double dt = p->time_step;
    const double d = static_cast<double>(p->delay_seconds);
    // Exact where one probe meets a held or released address with a chance of 1e-6 or more.
    const bool exact = p->mode == MODE_EXACT ||
                       (p->mode == MODE_AUTO &&
                        static_cast<double>(p->queue_size + p->working_set_size) * 1e6 >= space);
    result->exact = exact ? 1 : 0;

    host_rules rules;
    make_rules(p, true, &rules);
    std::deque<host_sim> hosts;  // exact mode: the throttled infected hosts
    contact_profile profile;
    std::vector<double> cohort[kPhaseBins];  // aggregate mode: new throttled hosts by start step
    double saturated[kPhaseBins] = {};
    std::uniform_real_distribution<double> phase(0.0, d);
    std::uniform_int_distribution<int> bin(0, kPhaseBins - 1);
    if (!exact && pop.throttled > 0) {
        make_profile(p, &profile);
        for (auto &c : cohort) {
            c.assign(profile.length, 0.0);
        }
    }
    auto start_throttled = [&](uint64_t step) {
        result->throttled_infected_ever++;
        if (exact) {
            hosts.emplace_back();
            host_init(&rules, &hosts.back(), static_cast<double>(step) * dt, phase(rng));
        } else {
            cohort[bin(rng)][step % profile.length] += 1.0;
        }
    };

    // The first infected are split between the classes in proportion to the deployment, so
    // that runs compare deployments rather than the luck of where the worm starts, unless the
    // share is given (the lab starts its worm on a host of its choosing).
    const double share = p->initial_throttled_share >= 0.0
                             ? p->initial_throttled_share
                             : static_cast<double>(pop.throttled) / static_cast<double>(v);
    uint64_t seeds[2];
    seeds[1] = std::min<uint64_t>(pop.throttled,
                                  static_cast<uint64_t>(std::llround(p->initial_infected * share)));
    seeds[0] = std::min<uint64_t>(v - pop.throttled, p->initial_infected - seeds[1]);
    seeds[1] = p->initial_infected - seeds[0];
    for (int cls = 0; cls < 2; ++cls) {
        for (uint64_t i = 0; i < seeds[cls]; ++i) {
            infect(&pop, pick_susceptible(&pop, cls, &rng));
            if (cls == 1) {
                start_throttled(0);
            }
        }
    }
    const uint64_t half = (v + 1) / 2;
    const uint64_t ninety = (9 * v + 9) / 10;
    auto note = [&](double t) {
        const uint64_t n = pop.count[0] + pop.count[1];
        if (result->time_to_half < 0 && n >= half) {
            result->time_to_half = t;
        }
        if (result->time_to_90 < 0 && n >= ninety) {
            result->time_to_90 = t;
        }
    };
    result->curve.push_back(outbreak_sample{0.0, pop.count[0] + pop.count[1], pop.count[1]});
    note(0.0);

    const auto steps = static_cast<uint64_t>(std::ceil(p->horizon / dt - 1e-9));
    uint64_t next_sample = 1;
    std::vector<contact> contacts;
    for (uint64_t s = 0; s < steps; ++s) {
        const double t1 = static_cast<double>(s + 1) * dt;
        const double active_u = static_cast<double>(pop.count[0]);
        const double active_t = static_cast<double>(pop.count[1]);  // incl. this step's new
        double throttled_contacts = 0.0;
        if (exact) {
            const size_t running = hosts.size();
            for (size_t i = 0; i < running; ++i) {
                contacts.clear();
                host_advance(&rules, &hosts[i], t1, &rng, &contacts);
                result->throttled_contacts += static_cast<double>(contacts.size());
                for (const contact &c : contacts) {
                    if (c.dest < v && pop.infected[c.dest] == 0) {
                        const auto h = static_cast<uint32_t>(c.dest);
                        infect(&pop, h);
                        result->throttled_infections += 1.0;
                        if (host_class(&pop, h) == 1) {
                            start_throttled(s + 1);
                        }
                    }
                }
            }
        } else if (pop.throttled > 0) {
            for (int b = 0; b < kPhaseBins; ++b) {
                for (const auto &[age, n] : profile.entries[b]) {
                    if (age <= s) {
                        throttled_contacts += cohort[b][(s - age) % profile.length] * n;
                    }
                }
                throttled_contacts += saturated[b] * profile.steady_rate[b] * dt;
            }
            throttled_contacts += active_t * profile.ws_rate * dt;
        }
        if (!exact && pop.throttled > 0) {  // the cohort of age length-1 turns steady
            const uint64_t slot = (s + 1) % profile.length;
            for (int b = 0; b < kPhaseBins; ++b) {
                saturated[b] += cohort[b][slot];
                cohort[b][slot] = 0.0;
            }
        }
        result->throttled_contacts += throttled_contacts;
        const double probes = active_u * p->scan_rate * dt;
        const double total = probes + throttled_contacts;
        if (total > 0) {
            const double reach = -std::expm1(-total / space);
            const uint64_t fresh[2] = {binomial(pop.susceptible[0].size(), reach, &rng),
                                       binomial(pop.susceptible[1].size(), reach, &rng)};
            result->throttled_infections +=
                static_cast<double>(fresh[0] + fresh[1]) * throttled_contacts / total;
            for (int cls = 0; cls < 2; ++cls) {
                for (uint64_t i = 0; i < fresh[cls]; ++i) {
                    infect(&pop, pick_susceptible(&pop, cls, &rng));
                    if (cls == 1) {
                        start_throttled(s + 1);
                    }
                }
            }
        }
        result->throttled_host_seconds += active_t * dt;
        note(t1);
        const bool done = pop.susceptible[0].empty() && pop.susceptible[1].empty();
        while (
            static_cast<double>(next_sample) * p->sample_interval <= t1 + 1e-9 ||
            (done && static_cast<double>(next_sample) * p->sample_interval <= p->horizon + 1e-9)) {
            result->curve.push_back(
                outbreak_sample{static_cast<double>(next_sample) * p->sample_interval,
                                pop.count[0] + pop.count[1], pop.count[1]});
            next_sample++;
        }
        if (done) {  // nothing can change any more
            result->throttled_host_seconds += static_cast<double>(pop.count[1]) * (p->horizon - t1);
            break;
        }
    }
    return 0;
}
