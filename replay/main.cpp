// kel-ulvo-replay: what the throttle would cost a host's recorded traffic. Reads captures, picks
// the host, runs its new outgoing flows through the daemon's own rule in virtual time and reports
// what each class of traffic waited.
#include <getopt.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "advise.h"
#include "attack.h"
#include "config.h"
#include "event_log.h"
#include "live.h"
#include "report.h"
#include "version.h"

namespace {

constexpr char USAGE[] =
    "Usage: kel-ulvo-replay [OPTION]... CAPTURE...\n"
    "       kel-ulvo-replay --attack STRATEGY [OPTION]... [CAPTURE]...\n"
    "Replays a host's new outgoing connections from pcap or pcapng files (gzip'd too) through\n"
    "kel-ulvod's rule in virtual time and reports what they would have waited.\n"
    "\n"
    "  --host ADDR            the host whose flows are replayed (default: the source with the\n"
    "                         most new outgoing flows)\n"
    "  --set KEY=VALUE        a setting of kel-ulvo.conf(5) for this replay; may be repeated\n"
    "                         (the settings are otherwise read as kel-ulvod reads them: the\n"
    "                         environment, then /etc/opt/kel/kel-ulvo/kel-ulvo.conf, then the\n"
    "                         defaults)\n"
    "  --window START:LENGTH  only the flows that begin in this window (seconds from the\n"
    "                         capture's first packet)\n"
    "  --sweep                the same for a grid of working-set sizes and delays\n"
    "  --csv FILE             one row per flow\n"
    "  --svg FILE             a plot of the held queue and of each flow's delay\n"
    "  --policy rule|credit   the rule alone, or with answer credit at its recommended\n"
    "                         settings (new_host_credit=10, credit_ceiling=60); --set\n"
    "                         overrides them (default: as configured)\n"
    "  --phase S              the first release S seconds after the capture's first packet\n"
    "                         (default: one delay)\n"
    "  --advise               the host's flows with a scan injected (10 probes a second for\n"
    "                         60 s, 5 % answered) under a grid of settings of both\n"
    "                         policies, and the settings that hold at most 1 % of the\n"
    "                         host's own flows and at least 95 % of the scan\n"
    "  --attack STRATEGY      worms that know the policy, closed-loop in virtual time, against\n"
    "                         the rule and answer credit at 5, 10 and 20 (and as configured):\n"
    "                         naive, interleave, farm, steady, adaptive or all; each at its worst\n"
    "                         over a grid of its parameters, for scan targets of which 5 %% and\n"
    "                         of which all answer, over 10 minutes; with CAPTURE, the host's own\n"
    "                         flows under the attack from its start\n"
    "  --live                 the same flows in real time through the installed kel-ulvod, in a\n"
    "                         private lab of network namespaces (as root), beside the replay in\n"
    "                         virtual time with the lab daemon's release times\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done, 1 a capture or an output file failed, 2 a bad command line or\n"
    "configuration.\n";

struct options {
    std::vector<const char *> captures;
    const char *host = nullptr;
    const char *csv = nullptr;
    const char *svg = nullptr;
    bool sweep = false;
    bool window = false;
    bool live = false;
    bool advise = false;
    double phase = -1.0;           // when the first release comes; negative: one delay in
    const char *policy = nullptr;  // "rule" or "credit"; null: as configured
    const char *attack = nullptr;  // a strategy or "all"
    std::vector<std::string> set_keys;
    double window_start = 0, window_length = 0;
};

// The configuration as kel-ulvod would read it, with --set applied through the environment
// (which the daemon also reads first). Its reports are shown only when it is refused.
int read_settings(replay_settings_text *out) {
    char *text = nullptr;
    size_t length = 0;
    FILE *messages = open_memstream(&text, &length);
    set_ulvolib_output(messages);
    ulvo_config config{};
    ulvo_optional_config credit{};
    int rc = read_config(&config);
    if (rc == 0) {
        rc = read_optional_config(&credit);
    }
    set_ulvolib_output(nullptr);
    fclose(messages);
    if (rc != 0) {
        fprintf(stderr, "kel-ulvo-replay: the configuration is refused:\n%s", text);
    }
    free(text);
    *out = {config.host_working_set_size, config.dq_delay_seconds, config.dq_size,
            config.dq_high_watermark,     config.dq_low_watermark, credit.new_host_credit,
            credit.credit_ceiling};
    return rc;
}

int parse_options(int argc, char **argv, options *o) {
    enum {
        HOST = 1,
        SET,
        WINDOW,
        SWEEP,
        CSV,
        SVG,
        LIVE,
        PHASE,
        POLICY,
        ADVISE,
        ATTACK,
        HELP,
        VERSION
    };
    static const option longs[] = {{"host", required_argument, nullptr, HOST},
                                   {"set", required_argument, nullptr, SET},
                                   {"window", required_argument, nullptr, WINDOW},
                                   {"sweep", no_argument, nullptr, SWEEP},
                                   {"csv", required_argument, nullptr, CSV},
                                   {"svg", required_argument, nullptr, SVG},
                                   {"live", no_argument, nullptr, LIVE},
                                   {"help", no_argument, nullptr, HELP},
                                   {"phase", required_argument, nullptr, PHASE},
                                   {"policy", required_argument, nullptr, POLICY},
                                   {"advise", no_argument, nullptr, ADVISE},
                                   {"attack", required_argument, nullptr, ATTACK},
                                   {"version", no_argument, nullptr, VERSION},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (c) {
            case HOST:
                o->host = optarg;
                break;
            case SET: {
                const char *equals = strchr(optarg, '=');
                if (equals == nullptr || equals == optarg) {
                    fprintf(stderr, "kel-ulvo-replay: --set takes KEY=VALUE, not '%s'\n", optarg);
                    return 2;
                }
                o->set_keys.emplace_back(optarg, static_cast<size_t>(equals - optarg));
                setenv(o->set_keys.back().c_str(), equals + 1, 1);
                break;
            }
            case WINDOW: {
                char *end = nullptr;
                o->window_start = strtod(optarg, &end);
                if (end == optarg || *end != ':' || o->window_start < 0 ||
                    (o->window_length = strtod(end + 1, &end)) <= 0 || *end != '\0') {
                    fprintf(stderr, "kel-ulvo-replay: --window takes START:LENGTH, not '%s'\n",
                            optarg);
                    return 2;
                }
                o->window = true;
                break;
            }
            case SWEEP:
                o->sweep = true;
                break;
            case LIVE:
                o->live = true;
                break;
            case ADVISE:
                o->advise = true;
                break;
            case ATTACK:
                if (strcmp(optarg, "all") != 0 && attack_parse(optarg) == ATTACK_COUNT) {
                    fprintf(stderr,
                            "kel-ulvo-replay: --attack is naive, interleave, farm, steady, "
                            "adaptive or all, not '%s'\n",
                            optarg);
                    return 2;
                }
                o->attack = optarg;
                break;
            case POLICY:
                if (strcmp(optarg, "rule") != 0 && strcmp(optarg, "credit") != 0) {
                    fprintf(stderr, "kel-ulvo-replay: --policy is rule or credit, not '%s'\n",
                            optarg);
                    return 2;
                }
                o->policy = optarg;
                break;
            case PHASE: {
                char *end = nullptr;
                o->phase = strtod(optarg, &end);
                if (end == optarg || *end != '\0' || o->phase < 0) {
                    fprintf(stderr, "kel-ulvo-replay: --phase takes seconds, not '%s'\n", optarg);
                    return 2;
                }
                break;
            }
            case CSV:
                o->csv = optarg;
                break;
            case SVG:
                o->svg = optarg;
                break;
            case HELP:
                fputs(USAGE, stdout);
                return 0;
            case VERSION:
                printf("kel-ulvo-replay %s\n", ULVO_VERSION);
                return 0;
            default:
                fputs(USAGE, stderr);
                return 2;
        }
    }
    for (int i = optind; i < argc; ++i) {
        o->captures.push_back(argv[i]);
    }
    // The policy's settings go where --set would put them, unless --set did.
    auto given = [o](const char *key) {
        return std::find(o->set_keys.begin(), o->set_keys.end(), key) != o->set_keys.end();
    };
    if (o->policy != nullptr) {
        bool credit = strcmp(o->policy, "credit") == 0;
        if (!given("new_host_credit")) {
            setenv("new_host_credit", credit ? "10" : "0", 1);
        }
        if (!given("credit_ceiling")) {
            setenv("credit_ceiling", credit ? "60" : "0", 1);
        }
    }
    if (o->captures.empty() && o->attack == nullptr) {
        fprintf(stderr, "kel-ulvo-replay: no capture given\n%s", USAGE);
        return 2;
    }
    return -1;
}

// The host's flows, picked or given: 0, or 1 reported.
int select_host(const options &o, replay_capture *capture) {
    int family = 0;
    unsigned char address[16] = {};
    if (o.host != nullptr) {
        if (parse_address(o.host, &family, address) != 0) {
            fprintf(stderr, "kel-ulvo-replay: --host: '%s' is not an IPv4 or IPv6 address\n",
                    o.host);
            return 1;
        }
    } else if (pick_host(*capture, &family, address) != 0) {
        fprintf(stderr, "kel-ulvo-replay: the capture has no new outgoing flow\n");
        return 1;
    }
    keep_host(*capture, family, address, capture);
    if (o.window) {
        keep_window(*capture, o.window_start, o.window_length, capture);
    }
    char text[64];
    uint32_t answered = 0;
    for (const replay_flow &f : capture->flows) {
        answered += f.answered ? 1 : 0;
    }
    printf("host %s: %zu new outgoing flows (%u answered), %zu queued packets, over %.1f s\n",
           format_address(family, address, text, sizeof text), capture->flows.size(), answered,
           capture->packets.size(), capture->duration);
    return 0;
}

void print_sweep(const replay_capture &capture, const replay_settings_text &base) {
    printf("\n%-11s %-7s %7s %8s %8s %8s %8s %7s\n", "working set", "delay s", "held%", "p50 s",
           "p90 s", "max s", "dropped", "alarms");
    for (int delay : {1, 2, 5, 10}) {
        for (int working_set : {5, 10, 20, 50, 100}) {
            replay_settings_text s = base;
            s.working_set = working_set;
            s.delay = delay;
            replay_run run;
            replay_simulate(capture, replay_policy_settings(s), &run);
            const replay_class_stats all = replay_classes(capture, run).back();
            printf("%-11d %-7d %6.1f%% %8.2f %8.2f %8.2f %8u %7zu\n", working_set, delay,
                   all.flows > 0 ? 100.0 * all.held / all.flows : 0.0, all.p50, all.p90, all.max,
                   all.dropped, run.alarms.size());
        }
    }
}

// The lab script: installed beside the programs, or in the build tree beside this program.
std::string lab_script(const char *self) {
    std::string dir(self);
    dir = dir.substr(0, dir.find_last_of('/'));
    for (const std::string &candidate :
         {dir + "/../libexec/kel-ulvo-replay-lab", std::string(ULVO_LAB_SCRIPT)}) {
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
    }
    return ULVO_LAB_SCRIPT;
}

// The flows through the lab's daemon in real time: 0, or 1 reported.
int run_live(replay_capture *capture, const replay_settings_text &settings, replay_run *run,
             std::string *status_text) {
    if (geteuid() != 0) {
        fprintf(stderr, "kel-ulvo-replay: --live needs root (namespaces, packet-filter rules)\n");
        return 1;
    }
    if (live_map_destinations(capture) != 0) {
        return 1;
    }
    const char *tmp = getenv("TMPDIR");
    std::string d =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kel-ulvo-replay.XXXXXX";
    if (mkdtemp(d.data()) == nullptr) {
        fprintf(stderr, "kel-ulvo-replay: could not make a directory for the lab: %s\n",
                strerror(errno));
        return 1;
    }
    const char *dir = d.c_str();
    FILE *conf = fopen((d + "/kel-ulvo.conf").c_str(), "we");
    if (conf == nullptr) {
        return 1;
    }
    fprintf(conf,
            "host_working_set_size=%d\ndelay_queue_delay_seconds=%d\ndelay_queue_size=%d\n"
            "delay_queue_high_watermark=%d\ndelay_queue_low_watermark=%d\n"
            "shared_memory_key=0x4b554c56\nnew_host_credit=%d\ncredit_ceiling=%d\n",
            settings.working_set, settings.delay, settings.queue, settings.high, settings.low,
            settings.credit, settings.ceiling);
    fclose(conf);
    if (live_write_plan((d + "/plan").c_str(), *capture) != 0 ||
        live_write_world_rules((d + "/world.rules4").c_str(), *capture, 4) != 0 ||
        live_write_world_rules((d + "/world.rules6").c_str(), *capture, 6) != 0) {
        return 1;
    }
    char self[PATH_MAX] = "";
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::string wait = std::to_string(settings.queue * settings.delay + 30);
    std::string script = lab_script(self);
    printf("live: in a lab of network namespaces, through %s (%s)\n",
           "/opt/kel/kel-ulvo/bin/kel-ulvod", script.c_str());
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execl("/bin/bash", "bash", script.c_str(), self, dir, wait.c_str(), nullptr);
        _exit(127);
    }
    int status = -1;
    waitpid(child, &status, 0);
    int rc = 1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        rc = live_read_result((d + "/result").c_str(), *capture, run);
        std::ifstream status_file(d + "/status");
        std::stringstream text;
        text << status_file.rdbuf();
        *status_text = text.str();
    } else {
        fprintf(stderr, "kel-ulvo-replay: the lab failed (status %d)\n", status);
    }
    for (const char *name :
         {"plan", "result", "status", "kel-ulvo.conf", "world.rules4", "world.rules6"}) {
        unlink((d + "/" + name).c_str());
    }
    rmdir(dir);
    return rc;
}

// Live and virtual time side by side, class by class.
// Live and virtual time side by side, class by class. A hold shorter than the live run can tell
// from passing at once (LIVE_HELD_AFTER) counts as passed in both.
void print_comparison(const replay_capture &capture, const replay_run &live,
                      const replay_run &core) {
    replay_run seen_as_live = core;
    for (replay_outcome &o : seen_as_live.flows) {
        o.held = o.dropped || o.delay >= LIVE_HELD_AFTER;
    }
    std::vector<replay_class_stats> a = replay_classes(capture, live);
    std::vector<replay_class_stats> b = replay_classes(capture, seen_as_live);
    printf("\nside by side (held: left %.0f ms or more after it was sent)\n",
           LIVE_HELD_AFTER * 1000);
    printf("%-10s %16s %20s %20s\n", "class", "held% live/core", "p50 s live/core",
           "p90 s live/core");
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        auto share = [](const replay_class_stats &c) {
            return c.flows > 0 ? 100.0 * c.held / c.flows : 0.0;
        };
        printf("%-10s %7.1f / %6.1f %9.2f / %8.2f %9.2f / %8.2f\n", a[i].name.c_str(), share(a[i]),
               share(b[i]), a[i].p50, b[i].p50, a[i].p90, b[i].p90);
    }
}

// --attack STRATEGY --live: the strategy for 15 s (10 probes a second, one helper each, 5 % of
// the targets answering) through the lab's daemon as configured, beside virtual time with the
// lab daemon's release phase: the silent targets it reached in each.
int run_attack_live(const options &o, const replay_settings_text &settings) {
    attack_params params;
    params.strategy = attack_parse(o.attack);
    params.rate = 10.0;
    params.seconds = 15.0;
    replay_capture capture = attack_capture(params, settings.working_set);
    if (capture.flows.empty()) {
        fprintf(stderr,
                "kel-ulvo-replay: --live runs naive, interleave or farm: the others watch the "
                "status block\n");
        return 2;
    }
    printf(
        "attack live: %s, %.0f probes a second for %.0f s, %.0f %% of the targets answering; "
        "%s\n",
        o.attack, params.rate, params.seconds, params.answered * 100,
        settings.credit > 0 ? "answer credit" : "the rule alone");
    replay_run live;
    std::string live_status;
    if (run_live(&capture, settings, &live, &live_status) != 0) {
        return 1;
    }
    double phase = live_release_phase(live, capture, settings.delay);
    replay_run core;
    replay_simulate(capture, replay_policy_settings(settings), &core, phase < 0 ? -1.0 : phase);
    uint32_t in_lab = attack_silent_passed(capture, live, params.seconds);
    uint32_t in_core = attack_silent_passed(capture, core, params.seconds);
    printf("silent targets reached in %.0f s: live %u, virtual time %u\n", params.seconds, in_lab,
           in_core);
    printf("\nthe lab daemon's status at the end (ulvostatus -status):\n%s", live_status.c_str());
    return 0;
}

// --attack: the suite against the rule and credit at 5, 10 and 20, and as configured when it
// is on at another setting.
int run_attack(const options &o, const replay_settings_text &settings,
               const replay_capture *capture) {
    if (o.live) {
        return run_attack_live(o, settings);
    }
    std::vector<replay_settings_text> policies;
    replay_settings_text s = settings;
    s.credit = s.ceiling = 0;
    policies.push_back(s);
    for (int credit : {5, 10, 20}) {
        s.credit = credit;
        policies.push_back(s);
    }
    if (settings.credit > 0 &&
        (settings.ceiling > 0 ||
         (settings.credit != 5 && settings.credit != 10 && settings.credit != 20))) {
        policies.push_back(settings);
    }
    double seconds = capture != nullptr ? std::max(60.0, capture->duration) : 600.0;
    printf(
        "attack: %s over %.0f s of virtual time; working set %d, one release per %d s, queue "
        "%d, alarm at %d\n",
        o.attack, seconds, settings.working_set, settings.delay, settings.queue, settings.high);
    printf(
        "probes/min: scan probes passed to targets that never answer (all of them when all "
        "answer);\nx rule: against the rule's worst strategy for the same targets\n\n");
    int only = strcmp(o.attack, "all") == 0 ? -1 : attack_parse(o.attack);
    std::vector<attack_row> rows = attack_suite(stdout, policies, capture, only, seconds);
    if (capture != nullptr) {
        printf("\nthe host's own flows under the attack:\n");
        for (const attack_row &r : rows) {
            printf("%-11s %-8s %-16s %u of %u held\n", r.strategy.c_str(),
                   r.params.answered >= 1.0 ? "all" : "5 %", r.policy.c_str(), r.result.normal_held,
                   r.result.normal_flows);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The lab's two parts, run by the lab script inside its namespaces.
    if (argc == 6 && strcmp(argv[1], "--live-client") == 0) {
        return live_client(argv[2], argv[3], argv[4], atof(argv[5]));
    }
    if (argc == 3 && strcmp(argv[1], "--live-responder") == 0) {
        return live_responder(argv[2]);
    }
    options o;
    int rc = parse_options(argc, argv, &o);
    if (rc >= 0) {
        return rc;
    }
    replay_settings_text settings{};
    if (read_settings(&settings) != 0) {
        return 2;
    }
    if (o.attack != nullptr && o.captures.empty()) {
        return run_attack(o, settings, nullptr);
    }
    replay_capture capture;
    char error[512];
    if (read_captures(o.captures.data(), o.captures.size(), &capture, error, sizeof error) != 0) {
        fprintf(stderr, "kel-ulvo-replay: %s\n", error);
        return 1;
    }
    if (select_host(o, &capture) != 0) {
        return 1;
    }
    if (o.attack != nullptr) {
        return run_attack(o, settings, &capture);
    }
    printf("settings: working set %d, one release per %d s, queue %d, alarm at %d, lowered at %d",
           settings.working_set, settings.delay, settings.queue, settings.high, settings.low);
    if (settings.credit > 0) {
        printf("; answer credit %d, at most %d", settings.credit,
               settings.ceiling > 0 ? settings.ceiling : settings.credit);
    }
    printf("\n\n");
    replay_run run;
    if (o.live) {
        std::string live_status;
        if (run_live(&capture, settings, &run, &live_status) != 0) {
            return 1;
        }
        print_report(stdout, capture, run, false);
        printf("\nthe lab daemon's status at the end (ulvostatus -status):\n%s",
               live_status.c_str());
        double phase = live_release_phase(run, capture, settings.delay);
        replay_run core;
        replay_simulate(capture, replay_policy_settings(settings), &core, phase < 0 ? -1.0 : phase);
        printf("\nin virtual time, with the lab daemon's releases (%.2f s into each delay):\n",
               phase < 0 ? static_cast<double>(settings.delay) : phase);
        print_report(stdout, capture, core);
        print_comparison(capture, run, core);
    } else {
        replay_simulate(capture, replay_policy_settings(settings), &run, o.phase);
        print_report(stdout, capture, run);
    }
    if (o.sweep) {
        print_sweep(capture, settings);
    }
    if (o.advise) {
        print_advice(stdout, capture, settings, advise_scan{});
    }
    std::string title = o.captures.size() == 1 ? o.captures[0] : "several captures";
    title = title.substr(
        title.find_last_of('/') == std::string::npos ? 0 : title.find_last_of('/') + 1);
    int failed = 0;
    if (o.csv != nullptr) {
        failed |= write_csv(o.csv, capture, run);
    }
    if (o.svg != nullptr) {
        failed |= write_svg(o.svg, title.c_str(), capture, run, settings);
    }
    return failed;
}
