#include "report.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>

namespace {

// Closes the stream and says whether everything reached the file.
int finish(FILE *out, const char *path) {
    bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) {
        fprintf(stderr, "kel-ulvo-replay: could not write %s: %s\n", path, strerror(errno));
        return 1;
    }
    return 0;
}

const char *const CLASS_COLOURS[][2] = {
    {"DNS", "#1f77b4"},
    {"web", "#ff7f0e"},
    {"other TCP", "#2ca02c"},
    {"other UDP", "#9467bd"},
};

const char *colour_of(const char *name) {
    for (const auto &pair : CLASS_COLOURS) {
        if (strcmp(pair[0], name) == 0) {
            return pair[1];
        }
    }
    return "#d62728";  // the top port's class
}

// A round step for about count ticks over the range.
double tick_step(double range, int count) {
    double raw = range / count;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (raw <= m * magnitude) {
            return m * magnitude;
        }
    }
    return 10.0 * magnitude;
}

struct panel {
    double left, top, width, height;
    double x_max, y_max;
    double x(double v) const { return left + width * v / x_max; }
    double y(double v) const { return top + height - height * std::min(v, y_max) / y_max; }
};

void axes(FILE *out, const panel &p, const char *y_label, bool x_labels) {
    fprintf(out, "<rect x='%.1f' y='%.1f' width='%.1f' height='%.1f' fill='none' stroke='#444'/>\n",
            p.left, p.top, p.width, p.height);
    double step = tick_step(p.x_max, 8);
    for (double v = 0; v <= p.x_max + 1e-9; v += step) {
        fprintf(out, "<line x1='%.1f' x2='%.1f' y1='%.1f' y2='%.1f' stroke='#ddd'/>\n", p.x(v),
                p.x(v), p.top, p.top + p.height);
        if (x_labels) {
            fprintf(out, "<text x='%.1f' y='%.1f' text-anchor='middle'>%g</text>\n", p.x(v),
                    p.top + p.height + 16, v);
        }
    }
    step = tick_step(p.y_max, 4);
    for (double v = 0; v <= p.y_max + 1e-9; v += step) {
        fprintf(out, "<text x='%.1f' y='%.1f' text-anchor='end'>%g</text>\n", p.left - 6,
                p.y(v) + 4, v);
        fprintf(out, "<line x1='%.1f' x2='%.1f' y1='%.1f' y2='%.1f' stroke='#eee'/>\n", p.left,
                p.left + p.width, p.y(v), p.y(v));
    }
    fprintf(out,
            "<text x='%.1f' y='%.1f' transform='rotate(-90 %.1f %.1f)' "
            "text-anchor='middle'>%s</text>\n",
            p.left - 44, p.top + p.height / 2, p.left - 44, p.top + p.height / 2, y_label);
}

}  // namespace

policy_settings replay_policy_settings(const replay_settings_text &v) {
    return policy_settings{static_cast<uint32_t>(v.working_set),
                           static_cast<uint32_t>(v.queue),
                           static_cast<uint32_t>(v.high),
                           static_cast<uint32_t>(v.low),
                           int64_t{v.delay} * 1000,
                           static_cast<uint32_t>(v.credit),
                           static_cast<uint32_t>(v.ceiling)};
}

void print_report(FILE *out, const replay_capture &capture, const replay_run &run, bool counters) {
    fprintf(out, "%-10s %6s %6s %7s %8s %8s %8s %8s\n", "class", "flows", "held", "held%", "p50 s",
            "p90 s", "max s", "dropped");
    for (const replay_class_stats &c : replay_classes(capture, run)) {
        fprintf(out, "%-10s %6u %6u %6.1f%% %8.2f %8.2f %8.2f %8u\n", c.name.c_str(), c.flows,
                c.held, c.flows > 0 ? 100.0 * c.held / c.flows : 0.0, c.p50, c.p90, c.max,
                c.dropped);
    }
    if (!counters) {
        return;
    }
    fprintf(out,
            "packets judged %" PRIu64 " (%" PRIu64
            " SYNs sent again after a drop), passed at "
            "once %" PRIu64 ", held %" PRIu64 ", dropped %" PRIu64 ", most held at once %u\n",
            run.counters.packets, run.retransmissions, run.counters.passed, run.counters.held,
            run.counters.dropped, run.counters.max_queued);
    if (run.counters.credit_passed > 0 || !run.credit_out.empty()) {
        fprintf(out,
                "answer credit: %" PRIu64 " new destinations passed on credit, %" PRIu64
                " answers brought credit back\n",
                run.counters.credit_passed, run.counters.answers);
        for (const replay_alarm &a : run.credit_out) {
            if (a.lowered < 0) {
                fprintf(out, "credit ran out at %.1f s, not back by the end\n", a.raised);
            } else {
                fprintf(out, "credit ran out at %.1f s, back at %.1f s\n", a.raised, a.lowered);
            }
        }
    }
    if (run.alarms.empty()) {
        fprintf(out, "alarm: never raised\n");
    }
    for (const replay_alarm &a : run.alarms) {
        if (a.lowered < 0) {
            fprintf(out, "alarm: raised at %.1f s, still raised at the end\n", a.raised);
        } else {
            fprintf(out, "alarm: raised at %.1f s, lowered at %.1f s\n", a.raised, a.lowered);
        }
    }
}

int write_csv(const char *path, const replay_capture &capture, const replay_run &run) {
    FILE *out = fopen(path, "we");
    if (out == nullptr) {
        fprintf(stderr, "kel-ulvo-replay: could not open %s: %s\n", path, strerror(errno));
        return 1;
    }
    int top_protocol = 0;
    int top_port = replay_top_port(capture, &top_protocol);
    fprintf(out, "time,destination,protocol,port,class,answered,held,dropped,delay\n");
    for (size_t i = 0; i < capture.flows.size(); ++i) {
        const replay_flow &f = capture.flows[i];
        const replay_outcome &o = run.flows[i];
        char address[64];
        format_address(f.family, f.destination, address, sizeof address);
        std::string cls = replay_class_of(f, top_protocol, top_port);
        char delay[32] = "";
        if (!o.dropped) {
            snprintf(delay, sizeof delay, "%.3f", o.delay);
        }
        fprintf(out, "%.6f,%s,%s,%u,%s,%d,%d,%d,%s\n", f.time, address,
                f.protocol == 6 ? "tcp" : "udp", f.port, cls.c_str(), f.answered ? 1 : 0,
                o.held ? 1 : 0, o.dropped ? 1 : 0, delay);
    }
    return finish(out, path);
}

int write_svg(const char *path, const char *title, const replay_capture &capture,
              const replay_run &run, const replay_settings_text &settings) {
    FILE *out = fopen(path, "we");
    if (out == nullptr) {
        fprintf(stderr, "kel-ulvo-replay: could not open %s: %s\n", path, strerror(errno));
        return 1;
    }
    double x_max = std::max({capture.duration, run.end, 1.0});
    uint32_t most = std::max<uint32_t>(run.counters.max_queued, 1);
    double max_delay = 1.0;
    for (const replay_outcome &o : run.flows) {
        max_delay = std::max(max_delay, o.delay);
    }
    const panel queue{70, 70, 800, 150, x_max, std::max<double>(most, settings.high) * 1.1};
    const panel delays{70, 270, 800, 260, x_max, max_delay * 1.1};
    fprintf(out,
            "<svg xmlns='http://www.w3.org/2000/svg' width='900' height='650' "
            "font-family='sans-serif' font-size='12'>\n<rect width='900' height='650' "
            "fill='white'/>\n");
    std::vector<replay_class_stats> classes = replay_classes(capture, run);
    const replay_class_stats &all = classes.back();
    std::string escaped;
    for (const char *c = title; *c != '\0'; ++c) {
        escaped += *c == '<'    ? "&lt;"
                   : *c == '&'  ? "&amp;"
                   : *c == '\'' ? "&apos;"
                                : std::string(1, *c);
    }
    fprintf(out, "<text x='450' y='22' text-anchor='middle' font-size='15'>%s</text>\n",
            escaped.c_str());
    fprintf(out,
            "<text x='450' y='42' text-anchor='middle'>working set %d, one release per %d s, "
            "queue %d (alarm at %d): %u of %u new flows held (%.0f %%), delay p50 %.1f s, p90 "
            "%.1f s, %u dropped</text>\n",
            settings.working_set, settings.delay, settings.queue, settings.high, all.held,
            all.flows, all.flows > 0 ? 100.0 * all.held / all.flows : 0.0, all.p50, all.p90,
            all.dropped);
    // The alarm's periods behind the queue's length, the high water mark dashed.
    for (const replay_alarm &a : run.alarms) {
        double end = a.lowered < 0 ? x_max : a.lowered;
        fprintf(out,
                "<rect x='%.1f' y='%.1f' width='%.1f' height='%.1f' fill='#fdd' "
                "stroke='none'/>\n",
                queue.x(a.raised), queue.top, std::max(1.0, queue.x(end) - queue.x(a.raised)),
                queue.height);
    }
    axes(out, queue, "held packets", false);
    fprintf(out,
            "<line x1='%.1f' x2='%.1f' y1='%.1f' y2='%.1f' stroke='#d62728' "
            "stroke-dasharray='4 3'/>\n<text x='%.1f' y='%.1f' fill='#d62728' "
            "text-anchor='end'>alarm at %d</text>\n",
            queue.left, queue.left + queue.width, queue.y(settings.high), queue.y(settings.high),
            queue.left + queue.width - 4, queue.y(settings.high) - 4, settings.high);
    fprintf(out, "<polyline fill='none' stroke='#333' stroke-width='1.5' points='");
    double previous = 0;
    for (const replay_sample &s : run.queue) {
        fprintf(out, "%.1f,%.1f %.1f,%.1f ", queue.x(s.time), queue.y(previous), queue.x(s.time),
                queue.y(s.queued));
        previous = s.queued;
    }
    fprintf(out, "%.1f,%.1f'/>\n", queue.x(x_max), queue.y(previous));

    axes(out, delays, "delay of each new flow, s", true);
    fprintf(out,
            "<text x='%.1f' y='%.1f' text-anchor='middle'>time since the capture's first packet, "
            "s (each flow at its first packet; x: dropped)</text>\n",
            delays.left + delays.width / 2, delays.top + delays.height + 34);
    int top_protocol = 0;
    int top_port = replay_top_port(capture, &top_protocol);
    for (size_t i = 0; i < capture.flows.size(); ++i) {
        const replay_outcome &o = run.flows[i];
        const char *colour =
            colour_of(replay_class_of(capture.flows[i], top_protocol, top_port).c_str());
        double x = delays.x(capture.flows[i].time);
        if (o.dropped) {
            double y = delays.top + 6;
            fprintf(out, "<path d='M%.1f %.1fl6 6m0 -6l-6 6' stroke='%s' stroke-width='1.5'/>\n",
                    x - 3, y - 3, colour);
        } else {
            fprintf(out, "<circle cx='%.1f' cy='%.1f' r='3' fill='%s' fill-opacity='0.7'/>\n", x,
                    delays.y(o.delay), colour);
        }
    }
    int entry = 0;
    for (const replay_class_stats &c : classes) {
        if (c.name == "all") {
            continue;
        }
        const char *colour = colour_of(c.name.c_str());
        double x = 70 + 270 * (entry % 3);
        double y = 596 + 20 * (entry / 3);
        fprintf(out,
                "<circle cx='%.1f' cy='%.1f' r='5' fill='%s'/><text x='%.1f' y='%.1f'>%s: %u "
                "flows, %.0f %% held, p90 %.1f s</text>\n",
                x, y - 4, colour, x + 9, y, c.name.c_str(), c.flows,
                c.flows > 0 ? 100.0 * c.held / c.flows : 0.0, c.p90);
        ++entry;
    }
    fprintf(out, "</svg>\n");
    return finish(out, path);
}
