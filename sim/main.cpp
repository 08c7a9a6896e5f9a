// outbreak-model: runs the outbreak model once (summary, or the curve with --csv), or sweeps
// the throttle's deployment (--sweep, with an SVG plot through --svg=PATH).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "model.h"

namespace {

const double kDeployments[] = {0.0, 0.25, 0.5, 0.9, 1.0};
constexpr int kDeploymentCount = 5;

void usage(FILE *out) {
    char text[4096];
    outbreak_option_help(text, sizeof text);
    fprintf(out,
            "usage: outbreak-model [--csv] [--sweep [--svg=PATH]] [--name=value ...]\n"
            "A random-scanning worm against hosts that run the connection throttle.\n"
            "  --csv        print the curve: time,infected,infected_throttled\n"
            "  --sweep      run with 0%%, 25%%, 50%%, 90%% and 100%% of the hosts throttled\n"
            "  --svg=PATH   with --sweep, plot the curves to PATH\n"
            "The model's parameters (the defaults are the internet-scale scenario):\n%s",
            text);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void print_time(FILE *out, double t) {
    if (t < 0) {
        fprintf(out, "%12s", "not reached");
    } else {
        fprintf(out, "%10.1f s", t);
    }
}

void print_summary(FILE *out, const outbreak_params *p, const outbreak_result *r, double run) {
    const outbreak_sample &last = r->curve.back();
    fprintf(out,
            "%s mode: %" PRIu64 " vulnerable of %" PRIu64 " hosts in %" PRIu64
            " addresses, %g probes/s, %.0f%% throttled\n",
            r->exact ? "exact" : "aggregate", p->vulnerable, p->hosts, p->address_space,
            p->scan_rate, 100.0 * p->throttled_fraction);
    fprintf(out, "time to 50%%:");
    print_time(out, r->time_to_half);
    fprintf(out, "\ntime to 90%%:");
    print_time(out, r->time_to_90);
    fprintf(out, "\ninfected at %.0f s: %" PRIu64 " (throttled %" PRIu64 ")\nrun time: %.2f s\n",
            last.time, last.infected, last.infected_throttled, run);
    if (r->throttled_infected_ever > 0) {
        fprintf(out,
                "throttled hosts: %" PRIu64
                " infected, %.1f connections made in time "
                "(%.4f per host-second, cap %.4f), %.1f infections\n",
                r->throttled_infected_ever, r->throttled_contacts,
                r->throttled_contacts / r->throttled_host_seconds, 1.0 / p->delay_seconds,
                r->throttled_infections);
    }
}

// Fraction infected against time on a logarithmic time axis.
int write_svg(const char *path, const outbreak_params *p, const outbreak_result *results) {
    FILE *f = fopen(path, "w");
    if (f == nullptr) {
        fprintf(stderr, "outbreak-model: cannot write %s: %s\n", path, strerror(errno));
        return -1;
    }
    const double width = 800, height = 480, left = 70, right = 170, top = 40, bottom = 60;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    const double t_min = 1.0, t_max = p->horizon;
    const double span = std::log10(t_max / t_min);
    auto x_of = [&](double t) {
        return left + plot_w * std::log10(std::max(t, t_min) / t_min) / span;
    };
    auto y_of = [&](double frac) { return top + plot_h * (1.0 - frac); };
    const char *colours[kDeploymentCount] = {"#d62728", "#ff7f0e", "#2ca02c", "#1f77b4", "#9467bd"};
    fprintf(f,
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
            "font-family=\"sans-serif\" font-size=\"12\">\n"
            "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
            "<text x=\"%.0f\" y=\"24\" font-size=\"14\">Infected fraction of %" PRIu64
            " vulnerable hosts, %g probes/s, by throttle deployment</text>\n",
            width, height, left, p->vulnerable, p->scan_rate);
    for (double t = 1.0; t <= t_max * 1.0001; t *= 10.0) {
        fprintf(f,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%g</text>\n",
                x_of(t), top, x_of(t), top + plot_h, x_of(t), top + plot_h + 16, t);
    }
    for (int i = 0; i <= 4; ++i) {
        const double frac = i / 4.0;
        fprintf(f,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n"
                "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.2f</text>\n",
                left, y_of(frac), left + plot_w, y_of(frac), left - 6, y_of(frac) + 4, frac);
    }
    fprintf(f,
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
            "stroke=\"black\"/>\n"
            "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">time, s (log scale)</text>\n"
            "<text transform=\"translate(18 %.1f) rotate(-90)\" text-anchor=\"middle\">"
            "infected fraction</text>\n",
            left, top, plot_w, plot_h, left + plot_w / 2, height - 20, top + plot_h / 2);
    for (int k = 0; k < kDeploymentCount; ++k) {
        fprintf(f, "<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"2\" points=\"",
                colours[k]);
        const std::vector<outbreak_sample> &curve = results[k].curve;
        for (size_t i = 0; i < curve.size(); ++i) {  // flat stretches need only their ends
            if (i > 0 && i + 1 < curve.size() && curve[i].infected == curve[i - 1].infected &&
                curve[i].infected == curve[i + 1].infected) {
                continue;
            }
            const double frac = static_cast<double>(curve[i].infected) / p->vulnerable;
            fprintf(f, "%.1f,%.1f ", x_of(curve[i].time), y_of(frac));
        }
        fprintf(f, "\"/>\n");
        const double ly = top + 20 + 20 * k;
        fprintf(f,
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                "stroke-width=\"2\"/>\n<text x=\"%.1f\" y=\"%.1f\">%.0f%% throttled</text>\n",
                left + plot_w + 12, ly, left + plot_w + 36, ly, colours[k], left + plot_w + 42,
                ly + 4, 100.0 * kDeployments[k]);
    }
    fprintf(f, "</svg>\n");
    return fclose(f) == 0 ? 0 : -1;
}

int sweep(const outbreak_params *base, const char *svg) {
    static outbreak_result results[kDeploymentCount];
    const auto all = std::chrono::steady_clock::now();
    printf("deployment  time to 50%%   time to 90%%   infected at %.0f s   run time\n",
           base->horizon);
    for (int k = 0; k < kDeploymentCount; ++k) {
        outbreak_params p = *base;
        p.throttled_fraction = kDeployments[k];
        const auto start = std::chrono::steady_clock::now();
        if (outbreak_run(&p, &results[k]) != 0) {
            return 1;
        }
        printf("%9.0f%%  ", 100.0 * kDeployments[k]);
        print_time(stdout, results[k].time_to_half);
        printf("  ");
        print_time(stdout, results[k].time_to_90);
        printf("  %18" PRIu64 "   %6.2f s (%s)\n", results[k].curve.back().infected,
               seconds_since(start), results[k].exact ? "exact" : "aggregate");
        fflush(stdout);
    }
    printf("total run time: %.2f s\n", seconds_since(all));
    if (svg != nullptr && write_svg(svg, base, results) != 0) {
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    outbreak_params params;
    bool csv = false, do_sweep = false;
    const char *svg = nullptr;
    for (int i = 1; i < argc; ++i) {
        char why[256] = "";
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(arg, "--csv") == 0) {
            csv = true;
        } else if (strcmp(arg, "--sweep") == 0) {
            do_sweep = true;
        } else if (strncmp(arg, "--svg=", 6) == 0 && arg[6] != '\0') {
            svg = arg + 6;
        } else {
            const int set = outbreak_set_option(&params, arg, why, sizeof why);
            if (set <= 0) {
                fprintf(stderr, "outbreak-model: %s\n",
                        set < 0 ? why : "unknown argument (try --help)");
                return 2;
            }
        }
    }
    char why[256] = "";
    if (outbreak_check(&params, why, sizeof why) != 0) {
        fprintf(stderr, "outbreak-model: %s\n", why);
        return 2;
    }
    if (svg != nullptr && !do_sweep) {
        fprintf(stderr, "outbreak-model: --svg needs --sweep\n");
        return 2;
    }
    if (do_sweep) {
        return sweep(&params, svg);
    }
    static outbreak_result result;
    const auto start = std::chrono::steady_clock::now();
    if (outbreak_run(&params, &result) != 0) {
        return 1;
    }
    const double run = seconds_since(start);
    if (csv) {
        printf("time,infected,infected_throttled\n");
        for (const outbreak_sample &s : result.curve) {
            printf("%g,%" PRIu64 ",%" PRIu64 "\n", s.time, s.infected, s.infected_throttled);
        }
        print_summary(stderr, &params, &result, run);
    } else {
        print_summary(stdout, &params, &result, run);
    }
    return 0;
}
