#include "simulate.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <queue>
#include <utility>

namespace {

enum flow_state : uint8_t { UNSEEN, WAITING, PASSED };

int64_t to_ms(double seconds) {
    return std::llround(seconds * 1000.0);
}

struct simulation {
    const replay_capture &capture;
    replay_run &run;
    policy rule{};
    std::vector<flow_state> state = {};
    std::vector<uint8_t> retries = {};
    std::vector<uint32_t> held = {};  // packets of each flow on the queue now
    // The kernel's retransmissions still to come: (time in ms, flow).
    std::priority_queue<std::pair<int64_t, uint32_t>, std::vector<std::pair<int64_t, uint32_t>>,
                        std::greater<>>
        pending = {};
    std::vector<uint64_t> released = {};
    // Answers still to come: (time in ms, flow), each one round trip after the flow was let go.
    std::priority_queue<std::pair<int64_t, uint32_t>, std::vector<std::pair<int64_t, uint32_t>>,
                        std::greater<>>
        answers = {};

    policy_flow flow_key(uint32_t flow) const {
        const replay_flow &f = capture.flows[flow];
        return policy_flow{policy_make_address(f.destination, f.family == 6 ? 16 : 4), f.protocol,
                           f.source_port, f.port};
    }

    // An answer gives credit back, which goes to the queue's oldest at once.
    void answer(uint32_t flow, int64_t now) {
        policy_flow key = flow_key(flow);
        unsigned events = 0;
        if (policy_answered(&rule, now, &key, &events)) {
            int n = policy_credit_release(&rule, now, released.data(),
                                          static_cast<int>(released.size()), &events);
            let_go(n, now);
        }
        note_events(events, now);
        sample(now);
    }

    void note_events(unsigned events, int64_t now) {
        double t = static_cast<double>(now) / 1000.0;
        if ((events & POLICY_ALARM_RAISED) != 0) {
            run.alarms.push_back({t, -1.0});
        }
        if ((events & POLICY_ALARM_LOWERED) != 0 && !run.alarms.empty()) {
            run.alarms.back().lowered = t;
        }
        if ((events & POLICY_CREDIT_EXHAUSTED) != 0) {
            run.credit_out.push_back({t, -1.0});
        }
        if ((events & POLICY_CREDIT_RESTORED) != 0 && !run.credit_out.empty()) {
            run.credit_out.back().lowered = t;
        }
    }

    void sample(int64_t now) {
        uint32_t queued = rule.counters.queued;
        if (run.queue.empty() || run.queue.back().queued != queued) {
            run.queue.push_back({static_cast<double>(now) / 1000.0, queued});
        }
    }

    void passed(uint32_t flow, int64_t now) {
        if (state[flow] == PASSED) {
            return;
        }
        replay_outcome &outcome = run.flows[flow];
        outcome.dropped = false;
        outcome.delay = std::max(0.0, static_cast<double>(now) / 1000.0 - capture.flows[flow].time);
        state[flow] = PASSED;
        const replay_flow &f = capture.flows[flow];
        if (f.answered && rule.awaited != nullptr) {
            answers.push({now + std::max<int64_t>(0, to_ms(f.answer_time - f.time)), flow});
        }
    }

    // The next retransmission of a SYN that is still waiting: 1 s after the first, then doubling.
    void schedule_retransmission(uint32_t flow) {
        if (retries[flow] >= SYN_RETRIES) {
            return;
        }
        int64_t first = to_ms(capture.flows[flow].time);
        int64_t offset = ((int64_t{2} << retries[flow]) - 1) * 1000;  // 1, 3, 7, 15, 31, 63 s
        ++retries[flow];
        pending.push({first + offset, flow});
    }

    void judge(uint32_t flow, int64_t now) {
        const replay_flow &f = capture.flows[flow];
        policy_flow key = flow_key(flow);
        unsigned events = 0;
        policy_verdict verdict = policy_packet_flow(&rule, now, &key, 0, flow, &events);
        note_events(events, now);
        if (verdict == POLICY_PASS) {
            passed(flow, now);
        } else if (state[flow] == UNSEEN) {
            run.flows[flow].held = true;
        }
        if (verdict == POLICY_HOLD) {
            ++held[flow];
        }
        if (state[flow] == UNSEEN) {
            state[flow] = WAITING;
        }
        if (state[flow] == WAITING && f.protocol == 6) {
            schedule_retransmission(flow);
        }
        sample(now);
    }

    // A packet of the capture: a waiting TCP flow's own retransmission is already on the kernel's
    // schedule here.
    void capture_packet(const replay_packet &packet) {
        uint32_t flow = packet.flow;
        if (state[flow] == WAITING && capture.flows[flow].protocol == 6) {
            return;
        }
        judge(flow, to_ms(packet.time));
    }

    void release(int64_t now) {
        unsigned events = 0;
        int n =
            policy_release(&rule, now, released.data(), static_cast<int>(released.size()), &events);
        let_go(n, now);
        note_events(events, now);
        sample(now);
    }

    // The packets a release wrote to released.
    void let_go(int n, int64_t now) {
        for (int i = 0; i < n; ++i) {
            auto flow = static_cast<uint32_t>(released[static_cast<size_t>(i)]);
            --held[flow];
            passed(flow, now);
            run.end = static_cast<double>(now) / 1000.0;
        }
    }
};

}  // namespace

int replay_simulate(const replay_capture &capture, const policy_settings &settings, replay_run *run,
                    double first_release) {
    *run = replay_run{};
    simulation sim{capture, *run};
    if (policy_init(&sim.rule, &settings, 0) != 0) {
        return 1;
    }
    if (first_release >= 0.0) {
        sim.rule.next_release_ms = to_ms(first_release);
    }
    size_t flows = capture.flows.size();
    run->flows.assign(flows, replay_outcome{false, true, 0.0});
    sim.state.assign(flows, UNSEEN);
    sim.retries.assign(flows, 0);
    sim.held.assign(flows, 0);
    sim.released.resize(settings.queue_size);
    std::vector<uint32_t> order(capture.packets.size());
    for (uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(), [&capture](uint32_t a, uint32_t b) {
        return capture.packets[a].time < capture.packets[b].time;
    });
    constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();
    size_t next = 0;
    sim.sample(0);
    for (;;) {
        int64_t packet_at = next < order.size() ? to_ms(capture.packets[order[next]].time) : NEVER;
        int64_t retransmit_at = sim.pending.empty() ? NEVER : sim.pending.top().first;
        int64_t answer_at = sim.answers.empty() ? NEVER : sim.answers.top().first;
        int64_t other = std::min({packet_at, retransmit_at, answer_at});
        if (std::min(packet_at, retransmit_at) == NEVER && sim.rule.counters.queued == 0) {
            break;  // answers still to come change nothing any more
        }
        if (policy_next_release(&sim.rule) <= other) {
            sim.release(policy_next_release(&sim.rule));
        } else if (answer_at <= std::min(packet_at, retransmit_at)) {
            uint32_t flow = sim.answers.top().second;
            sim.answers.pop();
            sim.answer(flow, answer_at);
        } else if (retransmit_at <= packet_at) {
            uint32_t flow = sim.pending.top().second;
            sim.pending.pop();
            // While a SYN of the flow is held, the kernel does not send it again (the packet
            // is still its own, in the queue); the timer goes on all the same.
            if (sim.state[flow] == WAITING && sim.held[flow] > 0) {
                sim.schedule_retransmission(flow);
            } else if (sim.state[flow] == WAITING) {
                ++run->retransmissions;
                sim.judge(flow, retransmit_at);
            }
        } else {
            sim.capture_packet(capture.packets[order[next++]]);
        }
    }
    run->counters = sim.rule.counters;
    policy_free(&sim.rule);
    return 0;
}

int replay_top_port(const replay_capture &capture, int *protocol) {
    std::map<std::pair<int, int>, uint32_t> counts;
    for (const replay_flow &f : capture.flows) {
        if (f.port != 53 && f.port != 80 && f.port != 443) {
            ++counts[{f.protocol, f.port}];
        }
    }
    for (const auto &[key, n] : counts) {
        if (n * 2 > capture.flows.size()) {
            *protocol = key.first;
            return key.second;
        }
    }
    return 0;
}

std::string replay_class_of(const replay_flow &flow, int top_protocol, int top_port) {
    if (flow.port == 53) {
        return "DNS";
    }
    if (flow.port == 80 || flow.port == 443) {
        return "web";
    }
    if (top_port != 0 && flow.port == top_port && flow.protocol == top_protocol) {
        return std::string(top_protocol == 6 ? "tcp/" : "udp/") + std::to_string(top_port);
    }
    return flow.protocol == 6 ? "other TCP" : "other UDP";
}

double replay_percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    // p × n is not exact in binary (0.2 × 5 is a hair above 1 in the x87's extended precision
    // of an i386 build): a share that is a whole rank to within 1e-9 is that rank.
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size()) - 1e-9));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

std::vector<replay_class_stats> replay_classes(const replay_capture &capture,
                                               const replay_run &run) {
    int top_protocol = 0;
    int top_port = replay_top_port(capture, &top_protocol);
    std::vector<std::string> names = {"DNS", "web", "other TCP", "other UDP"};
    if (top_port != 0) {
        replay_flow top{};
        top.protocol = static_cast<uint8_t>(top_protocol);
        top.port = static_cast<uint16_t>(top_port);
        names.push_back(replay_class_of(top, top_protocol, top_port));
    }
    names.push_back("all");
    std::vector<replay_class_stats> stats(names.size());
    std::vector<std::vector<double>> delays(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        stats[i].name = names[i];
    }
    for (size_t f = 0; f < capture.flows.size(); ++f) {
        std::string cls = replay_class_of(capture.flows[f], top_protocol, top_port);
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] != cls && names[i] != "all") {
                continue;
            }
            const replay_outcome &o = run.flows[f];
            ++stats[i].flows;
            stats[i].held += o.held ? 1 : 0;
            stats[i].dropped += o.dropped ? 1 : 0;
            if (!o.dropped) {
                delays[i].push_back(o.delay);
            }
        }
    }
    std::vector<replay_class_stats> present;
    for (size_t i = 0; i < names.size(); ++i) {
        std::sort(delays[i].begin(), delays[i].end());
        stats[i].p50 = replay_percentile(delays[i], 0.5);
        stats[i].p90 = replay_percentile(delays[i], 0.9);
        stats[i].max = delays[i].empty() ? 0.0 : delays[i].back();
        if (stats[i].flows > 0) {
            present.push_back(stats[i]);
        }
    }
    return present;
}
