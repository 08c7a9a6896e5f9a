#include "attack.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <functional>
#include <queue>
#include <random>
#include <utility>

namespace {

constexpr const char *names[ATTACK_COUNT] = {"naive", "interleave", "farm", "steady", "adaptive"};

// What a connection of the attack is for.
enum flow_kind : uint8_t { SCAN, HELPER, NORMAL };

struct sim_flow {
    policy_flow key;
    flow_kind kind;
    bool answers;
    bool passed;
    bool held;
};

using timed = std::pair<int64_t, uint32_t>;
using time_queue = std::priority_queue<timed, std::vector<timed>, std::greater<>>;

struct attack_sim {
    const attack_params &params;
    policy rule{};
    std::vector<sim_flow> flows;
    std::vector<uint64_t> released;
    time_queue answers;
    std::mt19937 random;
    std::uniform_real_distribution<double> chance{0.0, 1.0};
    attack_result &result;
    int64_t end_ms;
    uint32_t next_farm = 0, next_pool = 0;
    uint16_t next_port = 1024;

    attack_sim(const attack_params &p, attack_result &r)
        : params(p), random(p.seed), result(r), end_ms(std::llround(p.seconds * 1000.0)) {}

    void note(unsigned events, int64_t now) {
        double t = static_cast<double>(now) / 1000.0;
        if ((events & POLICY_ALARM_RAISED) != 0 && result.alarm_at < 0) {
            result.alarm_at = t;
        }
        if ((events & POLICY_CREDIT_EXHAUSTED) != 0 && result.warning_at < 0) {
            result.warning_at = t;
        }
    }

    void passed(uint32_t index, int64_t now) {
        sim_flow &f = flows[index];
        if (f.passed) {
            return;
        }
        f.passed = true;
        if (f.kind == SCAN && now < end_ms) {
            ++result.passed;
            result.silent_passed += f.answers ? 0 : 1;
        }
        if (f.answers) {
            answers.push({now + std::llround(params.rtt * 1000.0), index});
        }
    }

    void judge(uint32_t index, int64_t now) {
        sim_flow &f = flows[index];
        unsigned events = 0;
        policy_verdict verdict = policy_packet_flow(&rule, now, &f.key, 0, index, &events);
        note(events, now);
        if (verdict == POLICY_PASS) {
            passed(index, now);
        } else {
            f.held = true;
        }
    }

    uint32_t add(const policy_address &destination, flow_kind kind, bool answers_back) {
        policy_flow key{destination, static_cast<uint8_t>(params.protocol), next_port++,
                        static_cast<uint16_t>(params.protocol == 6 ? 445 : 53)};
        flows.push_back(sim_flow{key, kind, answers_back, false, false});
        return static_cast<uint32_t>(flows.size() - 1);
    }

    static policy_address ipv4(unsigned a, unsigned b, unsigned c, unsigned d) {
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(a), static_cast<unsigned char>(b),
            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
        return policy_make_address(bytes, 4);
    }

    // A probe to a random address of 198.18.0.0/15; a share of them answer.
    void probe(int64_t now) {
        uint32_t host = random() & 0x1ffff;
        bool answers_back = chance(random) < params.answered;
        uint32_t index =
            add(ipv4(198, 18 + (host >> 16), (host >> 8) & 0xff, host & 0xff), SCAN, answers_back);
        ++result.probes;
        judge(index, now);
    }

    // An answered connection of the worm's own: to its pool (round robin) or to a fresh address
    // of its farm (100.64.0.0/10).
    void helper(bool farm, int64_t now) {
        int pool =
            params.pool > 0 ? params.pool : static_cast<int>(rule.settings.working_set_size) + 2;
        policy_address destination;
        if (farm) {
            uint32_t n = ++next_farm;
            destination = ipv4(100, 64 + ((n >> 16) & 0x3f), (n >> 8) & 0xff, n & 0xff);
        } else {
            destination = ipv4(203, 0, 113, 1 + next_pool++ % static_cast<uint32_t>(pool));
        }
        ++result.helpers;
        judge(add(destination, HELPER, true), now);
    }

    void release(int64_t now) {
        unsigned events = 0;
        int n =
            policy_release(&rule, now, released.data(), static_cast<int>(released.size()), &events);
        for (int i = 0; i < n; ++i) {
            passed(static_cast<uint32_t>(released[static_cast<size_t>(i)]), now);
        }
        note(events, now);
    }

    // An answer gives credit back, which goes to the queue's oldest at once.
    void answer(uint32_t index, int64_t now) {
        unsigned events = 0;
        if (policy_answered(&rule, now, &flows[index].key, &events)) {
            int n = policy_credit_release(&rule, now, released.data(),
                                          static_cast<int>(released.size()), &events);
            for (int i = 0; i < n; ++i) {
                passed(static_cast<uint32_t>(released[static_cast<size_t>(i)]), now);
            }
        }
        note(events, now);
    }

    // What the worm does in this millisecond.
    void step(int64_t now, uint64_t *sent) {
        // Fixed-rate strategies: the probes due by the end of this millisecond.
        auto due = static_cast<uint64_t>(static_cast<double>(now + 1) * params.rate / 1000.0);
        switch (params.strategy) {
            case ATTACK_NAIVE:
                for (; *sent < due; ++*sent) {
                    probe(now);
                }
                break;
            case ATTACK_INTERLEAVE:
            case ATTACK_FARM:
                for (; *sent < due; ++*sent) {
                    for (int k = 0; k < params.interleave; ++k) {
                        helper(params.strategy == ATTACK_FARM, now);
                    }
                    probe(now);
                }
                break;
            case ATTACK_STEADY:
                if (rule.counters.queued + 1 < rule.settings.high_watermark) {
                    probe(now);
                }
                break;
            case ATTACK_ADAPTIVE:
                adaptive(now);
                break;
            default:
                break;
        }
    }

    // At most one connection a millisecond, chosen from what the status block shows: a probe
    // while credit is open beyond the reserve; the reserve spent on a helper that answers (so
    // that its answer earns, where answers earn); else a probe to keep the queue topped up
    // just under the high water mark, so that every release is one of the worm's.
    void adaptive(int64_t now) {
        bool open = policy_credit_open(&rule);
        if (open && rule.credit > params.reserve) {
            probe(now);
        } else if (open && params.helper != 0) {
            helper(params.helper == 2, now);
        } else if (params.top_queue && rule.counters.queued + 1 < rule.settings.high_watermark) {
            probe(now);
        }
    }
};

policy_flow capture_key(const replay_flow &f) {
    return policy_flow{policy_make_address(f.destination, f.family == 6 ? 16 : 4), f.protocol,
                       f.source_port, f.port};
}

}  // namespace

const char *attack_name(attack_strategy strategy) {
    return strategy >= 0 && strategy < ATTACK_COUNT ? names[strategy] : "?";
}

attack_strategy attack_parse(const char *name) {
    for (int s = 0; s < ATTACK_COUNT; ++s) {
        if (std::string(name) == names[s]) {
            return static_cast<attack_strategy>(s);
        }
    }
    return ATTACK_COUNT;
}

int attack_run(const attack_params &params, const policy_settings &settings,
               const replay_capture *capture, attack_result *out) {
    *out = attack_result{};
    attack_sim sim(params, *out);
    if (policy_init(&sim.rule, &settings, 0) != 0) {
        return 1;
    }
    sim.released.resize(settings.queue_size);
    // The capture's flows come first in the list, so that a packet's flow is its index.
    std::vector<std::pair<int64_t, uint32_t>> normal_packets;
    if (capture != nullptr) {
        for (const replay_flow &f : capture->flows) {
            sim.flows.push_back(sim_flow{capture_key(f), NORMAL, f.answered, false, false});
        }
        for (const replay_packet &p : capture->packets) {
            normal_packets.push_back({std::llround(p.time * 1000.0), p.flow});
        }
        std::stable_sort(normal_packets.begin(), normal_packets.end());
    }
    uint64_t sent = 0;
    size_t next_packet = 0;
    for (int64_t now = 0; now < sim.end_ms; ++now) {
        while (policy_next_release(&sim.rule) <= now) {
            sim.release(policy_next_release(&sim.rule));
        }
        while (!sim.answers.empty() && sim.answers.top().first <= now) {
            uint32_t index = sim.answers.top().second;
            sim.answers.pop();
            sim.answer(index, now);
        }
        for (; next_packet < normal_packets.size() && normal_packets[next_packet].first <= now;
             ++next_packet) {
            uint32_t index = normal_packets[next_packet].second;
            if (!sim.flows[index].passed) {
                sim.judge(index, now);
            }
        }
        sim.step(now, &sent);
    }
    for (const sim_flow &f : sim.flows) {
        if (f.kind == SCAN) {
            out->held += f.held ? 1 : 0;
            out->dropped += f.passed ? 0 : 1;
        } else if (f.kind == NORMAL) {
            ++out->normal_flows;
            out->normal_held += f.held ? 1 : 0;
        }
    }
    out->minutes = params.seconds / 60.0;
    policy_free(&sim.rule);
    return 0;
}

replay_capture attack_capture(const attack_params &params, int working_set) {
    replay_capture capture;
    if (params.strategy != ATTACK_NAIVE && params.strategy != ATTACK_INTERLEAVE &&
        params.strategy != ATTACK_FARM) {
        return capture;
    }
    std::mt19937 random(params.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    int pool = params.pool > 0 ? params.pool : working_set + 2;
    uint32_t farm = 0;
    uint16_t port = 1024;
    auto add = [&](double time, const unsigned char *destination, bool answered, uint16_t to) {
        replay_flow f{};
        f.time = time;
        f.family = 4;
        memcpy(f.destination, destination, 4);
        const unsigned char source[4] = {192, 0, 2, 1};
        memcpy(f.source, source, 4);
        f.protocol = static_cast<uint8_t>(params.protocol);
        f.source_port = port++;
        f.port = to;
        f.answered = answered;
        f.answer_time = answered ? time + params.rtt : 0.0;
        f.packets = 1;
        capture.packets.push_back({time, static_cast<uint32_t>(capture.flows.size())});
        capture.flows.push_back(f);
    };
    auto probes = static_cast<uint64_t>(params.rate * params.seconds);
    for (uint64_t i = 0; i < probes; ++i) {
        double t = static_cast<double>(i) / params.rate;
        for (int k = 0; params.strategy != ATTACK_NAIVE && k < params.interleave; ++k) {
            unsigned char helper[4] = {203, 0, 113, static_cast<unsigned char>(1 + i % pool)};
            if (params.strategy == ATTACK_FARM) {
                ++farm;
                helper[0] = 100;
                helper[1] = static_cast<unsigned char>(64 + ((farm >> 16) & 0x3f));
                helper[2] = static_cast<unsigned char>(farm >> 8);
                helper[3] = static_cast<unsigned char>(farm);
            }
            add(t, helper, true, 443);
        }
        uint32_t host = random() & 0x1ffff;
        const unsigned char target[4] = {198, static_cast<unsigned char>(18 + (host >> 16)),
                                         static_cast<unsigned char>(host >> 8),
                                         static_cast<unsigned char>(host)};
        add(t + 0.001, target, chance(random) < params.answered, 445);
    }
    capture.duration = params.seconds;
    return capture;
}

uint32_t attack_silent_passed(const replay_capture &capture, const replay_run &run,
                              double seconds) {
    uint32_t passed = 0;
    for (size_t i = 0; i < capture.flows.size() && i < run.flows.size(); ++i) {
        const replay_flow &f = capture.flows[i];
        const replay_outcome &o = run.flows[i];
        if (f.port == 445 && !f.answered && !o.dropped && f.time + o.delay < seconds) {
            ++passed;
        }
    }
    return passed;
}

double attack_per_minute(const attack_params &params, const attack_result &result) {
    if (result.minutes <= 0) {
        return 0.0;
    }
    uint64_t counted = params.answered >= 1.0 ? result.passed : result.silent_passed;
    return static_cast<double>(counted) / result.minutes;
}

namespace {

// The strategy's parameters that the suite tries; the worst for the policy is kept.
std::vector<attack_params> variants(attack_strategy strategy, double answered, double seconds) {
    std::vector<attack_params> out;
    attack_params base;
    base.strategy = strategy;
    base.answered = answered;
    base.seconds = seconds;
    switch (strategy) {
        case ATTACK_NAIVE:
            for (double rate : {2.0, 10.0, 100.0}) {
                base.rate = rate;
                out.push_back(base);
            }
            break;
        case ATTACK_INTERLEAVE:
        case ATTACK_FARM:
            for (double rate : {1.0, 2.0, 10.0, 100.0}) {
                for (int k : {1, 2, 4}) {
                    base.rate = rate;
                    base.interleave = k;
                    out.push_back(base);
                }
            }
            break;
        case ATTACK_STEADY:
            out.push_back(base);
            break;
        case ATTACK_ADAPTIVE:
            for (int reserve : {0, 1, 2, 5}) {
                for (int helper : {0, 1, 2}) {
                    for (bool top : {false, true}) {
                        base.reserve = reserve;
                        base.helper = helper;
                        base.top_queue = top;
                        out.push_back(base);
                    }
                }
            }
            break;
        default:
            break;
    }
    return out;
}

// "rule", "credit N" or "credit N/M". Written with snprintf: GCC 12 warns falsely
// (-Wrestrict) on the same string concatenated in an i386 Release build.
std::string policy_label(const replay_settings_text &s) {
    char text[48] = "rule";
    if (s.credit > 0 && s.ceiling > 0) {
        snprintf(text, sizeof text, "credit %d/%d", s.credit, s.ceiling);
    } else if (s.credit > 0) {
        snprintf(text, sizeof text, "credit %d", s.credit);
    }
    return text;
}

}  // namespace

std::vector<attack_row> attack_suite(FILE *out, const std::vector<replay_settings_text> &policies,
                                     const replay_capture *capture, int only, double seconds) {
    std::vector<attack_row> rows;
    for (double answered : {0.05, 1.0}) {
        for (const replay_settings_text &s : policies) {
            for (int st = 0; st < ATTACK_COUNT; ++st) {
                if (only >= 0 && st != only) {
                    continue;
                }
                attack_row worst{
                    attack_name(static_cast<attack_strategy>(st)), policy_label(s), {}, {}, -1.0};
                for (const attack_params &p :
                     variants(static_cast<attack_strategy>(st), answered, seconds)) {
                    attack_result r;
                    if (attack_run(p, replay_policy_settings(s), capture, &r) != 0) {
                        continue;
                    }
                    double rate = attack_per_minute(p, r);
                    if (rate > worst.per_minute) {
                        worst.params = p;
                        worst.result = r;
                        worst.per_minute = rate;
                    }
                }
                if (worst.per_minute >= 0) {
                    rows.push_back(worst);
                }
            }
        }
    }
    if (out != nullptr) {
        print_attack_rows(out, rows);
    }
    return rows;
}

double attack_rule_rate(const std::vector<attack_row> &rows, double answered) {
    double best = 0.0;
    for (const attack_row &r : rows) {
        if (r.policy == "rule" && (r.params.answered >= 1.0) == (answered >= 1.0)) {
            best = std::max(best, r.per_minute);
        }
    }
    return best;
}

void print_attack_rows(FILE *out, const std::vector<attack_row> &rows) {
    fprintf(out, "%-11s %-8s %-16s %10s %7s %9s %9s %9s %9s\n", "strategy", "targets", "policy",
            "probes/min", "x rule", "alarm", "warning", "held", "dropped");
    for (const attack_row &r : rows) {
        double rule = attack_rule_rate(rows, r.params.answered);
        char alarm[16] = "none", warning[16] = "none";
        if (r.result.alarm_at >= 0) {
            snprintf(alarm, sizeof alarm, "%.1f s", r.result.alarm_at);
        }
        if (r.result.warning_at >= 0) {
            snprintf(warning, sizeof warning, "%.1f s", r.result.warning_at);
        }
        fprintf(out, "%-11s %-8s %-16s %10.1f %7.2f %9s %9s %9" PRIu64 " %9" PRIu64 "\n",
                r.strategy.c_str(), r.params.answered >= 1.0 ? "all" : "5 %", r.policy.c_str(),
                r.per_minute, rule > 0 ? r.per_minute / rule : 0.0, alarm, warning, r.result.held,
                r.result.dropped);
    }
}
