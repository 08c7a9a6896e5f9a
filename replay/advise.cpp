#include "advise.h"

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct grid_row {
    replay_settings_text settings;
    double normal_held;  // % of the host's own flows
    double normal_p90;   // s
    double scan_held;    // % of the scan's probes held or dropped
    double alarm_after;  // s from the scan's start to the alarm; negative: none
    double worst_rare;   // the attack suite's worst against targets that rarely answer, x rule
    double worst_all;    // ... and against targets that all answer
};

// The bounds the attack suite must keep: at most 1.5 times the rule's scan probes a minute
// against targets that rarely answer, 5 times where all answer.
constexpr double RARE_BOUND = 1.5;
constexpr double ALL_BOUND = 5.0;

bool meets(const grid_row &r) {
    return r.normal_held <= 1.0 && r.scan_held >= 95.0 && r.worst_rare <= RARE_BOUND &&
           r.worst_all <= ALL_BOUND;
}

// The attack suite's worst against the setting, against the rule's worst with the same working
// set and delay (computed once for each).
void rate_attacks(grid_row *row) {
    static std::map<std::pair<int, int>, std::pair<double, double>> rule_rates;
    const replay_settings_text &s = row->settings;
    constexpr double SECONDS = 300.0;
    auto key = std::make_pair(s.working_set, s.delay);
    if (rule_rates.find(key) == rule_rates.end()) {
        replay_settings_text rule = s;
        rule.credit = rule.ceiling = 0;
        std::vector<attack_row> rows = attack_suite(nullptr, {rule}, nullptr, -1, SECONDS);
        rule_rates[key] = {attack_rule_rate(rows, 0.05), attack_rule_rate(rows, 1.0)};
    }
    if (s.credit <= 0) {
        row->worst_rare = row->worst_all = 1.0;
        return;
    }
    std::vector<attack_row> rows = attack_suite(nullptr, {s}, nullptr, -1, SECONDS);
    row->worst_rare = row->worst_all = 0.0;
    for (const attack_row &r : rows) {
        bool all = r.params.answered >= 1.0;
        double rule = all ? rule_rates[key].second : rule_rates[key].first;
        double ratio = rule > 0 ? r.per_minute / rule : 0.0;
        double &worst = all ? row->worst_all : row->worst_rare;
        worst = std::max(worst, ratio);
    }
}

std::string describe(const replay_settings_text &s) {
    std::string text = s.credit > 0 ? "credit " + std::to_string(s.credit) + "/" +
                                          std::to_string(s.ceiling > 0 ? s.ceiling : s.credit)
                                    : std::string("rule");
    return text + ", working set " + std::to_string(s.working_set) + ", delay " +
           std::to_string(s.delay) + " s";
}

}  // namespace

replay_capture inject_scan(const replay_capture &capture, const advise_scan &scan) {
    replay_capture out = capture;
    double start = scan.start >= 0 ? scan.start : capture.duration / 3;
    std::mt19937 random(445);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    auto probes = static_cast<uint32_t>(scan.rate * scan.seconds);
    for (uint32_t i = 0; i < probes; ++i) {
        replay_flow f{};
        f.time = start + i / scan.rate;
        f.family = 4;
        uint32_t host = random() & 0x1ffff;  // 198.18.0.0/15
        f.destination[0] = 198;
        f.destination[1] = static_cast<unsigned char>(18 + (host >> 16));
        f.destination[2] = static_cast<unsigned char>(host >> 8);
        f.destination[3] = static_cast<unsigned char>(host);
        f.protocol = 6;
        f.source_port = static_cast<uint16_t>(50000 + i % 10000);
        f.port = 445;
        f.answered = chance(random) < scan.answered;
        f.answer_time = f.time + 0.05;
        f.packets = 1;
        out.packets.push_back({f.time, static_cast<uint32_t>(out.flows.size())});
        out.flows.push_back(f);
    }
    out.duration = std::max(capture.duration, start + scan.seconds);
    return out;
}

int print_advice(FILE *out, const replay_capture &capture, const replay_settings_text &base,
                 const advise_scan &scan) {
    replay_capture both = inject_scan(capture, scan);
    const size_t normal = capture.flows.size();
    const double scan_start = scan.start >= 0 ? scan.start : capture.duration / 3;
    std::vector<replay_settings_text> grid;
    for (int delay : {1, 2}) {
        for (int working_set : {5, 20, 50}) {
            replay_settings_text s = base;
            s.working_set = working_set;
            s.delay = delay;
            s.credit = s.ceiling = 0;
            grid.push_back(s);
            for (int credit : {10, 20, 30}) {
                s.credit = credit;
                s.ceiling = 2 * credit;
                grid.push_back(s);
            }
        }
    }
    std::vector<grid_row> rows;
    for (const replay_settings_text &s : grid) {
        replay_run run;
        replay_simulate(both, replay_policy_settings(s), &run);
        uint32_t normal_held = 0, scan_held = 0;
        std::vector<double> delays;
        for (size_t i = 0; i < both.flows.size(); ++i) {
            const replay_outcome &o = run.flows[i];
            if (i < normal) {
                normal_held += o.held ? 1 : 0;
                if (!o.dropped) {
                    delays.push_back(o.delay);
                }
            } else {
                scan_held += o.held ? 1 : 0;
            }
        }
        std::sort(delays.begin(), delays.end());
        double p90 = replay_percentile(delays, 0.9);
        double alarm = -1.0;
        for (const replay_alarm &a : run.alarms) {
            if (a.raised >= scan_start) {
                alarm = a.raised - scan_start;
                break;
            }
        }
        rows.push_back({s, normal > 0 ? 100.0 * normal_held / normal : 0.0, p90,
                        both.flows.size() > normal
                            ? 100.0 * scan_held / static_cast<double>(both.flows.size() - normal)
                            : 0.0,
                        alarm, 0.0, 0.0});
        rate_attacks(&rows.back());
    }
    fprintf(out,
            "\nadvice: the host's %zu flows with a scan injected %.0f s in: %.0f probes a second "
            "for %.0f s\nto random addresses, %.0f %% of them answered\n\n",
            normal, scan_start, scan.rate, scan.seconds, scan.answered * 100);
    fprintf(out, "%-40s %12s %10s %12s %10s %11s %11s\n", "settings", "normal held", "normal p90",
            "scan held", "alarm after", "worst 5 %", "worst all");
    for (const grid_row &r : rows) {
        char alarm[32] = "none";
        if (r.alarm_after >= 0) {
            snprintf(alarm, sizeof alarm, "%.1f s", r.alarm_after);
        }
        fprintf(out, "%-40s %11.1f%% %8.2f s %11.1f%% %10s %10.2fx %10.2fx %s\n",
                describe(r.settings).c_str(), r.normal_held, r.normal_p90, r.scan_held, alarm,
                r.worst_rare, r.worst_all, meets(r) ? "*" : "");
    }
    // The best of those that meet both: the least normal traffic held, then the most of the scan;
    // on a tie, the first of the grid (the smaller working set and delay).
    const grid_row *best = nullptr;
    for (const grid_row &r : rows) {
        if (meets(r) && (best == nullptr || r.normal_held < best->normal_held ||
                         (r.normal_held == best->normal_held && r.scan_held > best->scan_held))) {
            best = &r;
        }
    }
    if (best == nullptr) {
        fprintf(out,
                "\nno setting of the grid holds at most 1 %% of this host's flows and 95 %% of "
                "the scan\nand keeps every worm of the attack suite within its bounds\n");
        return 1;
    }
    fprintf(
        out,
        "\nrecommended (*: holds at most 1 %% of the normal flows and 95 %% of the scan, and no\n"
        "worm of the attack suite gets more than %.1fx the rule's scan probes against targets\n"
        "that rarely answer, %.1fx where all answer): %s\n",
        RARE_BOUND, ALL_BOUND, describe(best->settings).c_str());
    if (best->settings.credit > 0) {
        fprintf(out, "  new_host_credit=%d\n  credit_ceiling=%d\n", best->settings.credit,
                best->settings.ceiling);
    }
    fprintf(out, "  host_working_set_size=%d\n  delay_queue_delay_seconds=%d\n",
            best->settings.working_set, best->settings.delay);
    return 0;
}
