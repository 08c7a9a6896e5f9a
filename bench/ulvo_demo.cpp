// The demo's scenario player: real connections through the real kernel queue while kel-ulvod
// runs, a live progress line, a summary and an SVG timeline. Run by scripts/demo inside its
// sandbox, where every address used here is local.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "event_log.h"
#include "shm_reader.h"
#include "ulvolib.h"
#include "water_gauge.h"

namespace {

constexpr uint16_t PORT = 7070;
constexpr uint16_t CLOSED_PORT = 7071;   // nobody listens: a reset, a reply but no answer
constexpr double NORMAL_EVERY_S = 0.25;  // one connection of the normal workload
constexpr double PAGE_EVERY_S = 4.0;     // a page load: connections to new hosts at once
constexpr int PAGE_HOSTS = 6;
constexpr double BURST_AT_S = 10.0;  // the worm starts
constexpr int BURST_IPV4 = 200;
constexpr int BURST_IPV6 = 100;
constexpr double BURST_SPREAD_S = 3.0;    // all its connections within this time
constexpr int BURST_ANSWERED_EVERY = 20;  // one target in 20 has the service; the rest refuse

using Clock = std::chrono::steady_clock;

struct Options {
    double seconds = 60;
    std::string svg = "demo-timeline.svg";
    std::string summary = "demo-summary.txt";
    std::string facts;  // the summary's figures, one "name value" a line
    std::string title = "kel-ulvod: connections to new hosts, attempted and released";
};

struct Conn {
    int fd = -1;
    double started = 0;
    double done = -1;  // seconds from the start, -1 while pending
    bool burst = false;
    bool page = false;           // a page load's connection to a new host
    bool first_contact = false;  // the first connection to its host
};

struct Sample {
    double t;
    int new_attempted;
    int new_released;
    int alarm;
};

// The daemon's counters as the status tool reads them.
struct Daemon {
    tt_stat tt{};
    dtt_stat dtt{};
    int alarm = 0;
    bool ok = false;
};

Daemon read_daemon() {
    Daemon d;
    d.ok = get_tt_stat(ulvolib_config()->shared_memory_key, &d.tt) == 0 &&
           get_dtt_stat(ulvolib_config()->shared_memory_key, &d.dtt) == 0;
    d.alarm = virus_activity_occurring(ulvolib_config()->shared_memory_key);
    return d;
}

int listen_on(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(PORT);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(PORT);
        length = sizeof *in4;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, 4096) != 0) {
        perror("listen");
        exit(1);
    }
    return fd;
}

int start_connection(const std::string &host, uint16_t port = PORT) {
    sockaddr_storage address{};
    socklen_t length;
    int family = host.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    if (family == AF_INET6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
        length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
        length = sizeof *in4;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string burst_host(int i) {
    if (i < BURST_IPV4) {
        return "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
    }
    char text[64];
    snprintf(text, sizeof text, "fd00:d::1:%x", i - BURST_IPV4 + 1);
    return text;
}

// The page loads' hosts: new ones every time.
std::string page_host(int i) {
    return "127.2." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

const std::vector<std::string> NORMAL_HOSTS = {"127.0.0.2", "127.0.0.3", "fd00:d::2", "fd00:d::3"};

void write_svg(const Options &options, const std::vector<Sample> &samples, double burst_at) {
    const double width = 800, height = 420, left = 60, right = 20, top = 40, bottom = 50;
    double t_max = samples.empty() ? 1 : samples.back().t;
    int y_max = 10;
    for (const Sample &s : samples) {
        y_max = std::max(y_max, s.new_attempted);
    }
    y_max = (y_max + 49) / 50 * 50;
    auto x = [&](double t) { return left + (width - left - right) * t / t_max; };
    auto y = [&](double v) { return height - bottom - (height - top - bottom) * v / y_max; };

    std::ofstream svg(options.svg);
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << width << "' height='" << height
        << "' font-family='sans-serif' font-size='12'>\n"
        << "<rect width='100%' height='100%' fill='white'/>\n"
        << "<text x='" << left << "' y='22' font-size='15'>" << options.title << "</text>\n";
    // Alarm periods in the background.
    for (size_t i = 0; i + 1 < samples.size(); ++i) {
        if (samples[i].alarm == 1) {
            svg << "<rect x='" << x(samples[i].t) << "' y='" << top << "' width='"
                << x(samples[i + 1].t) - x(samples[i].t) << "' height='" << height - top - bottom
                << "' fill='#fde2e2'/>\n";
        }
    }
    svg << "<line x1='" << x(burst_at) << "' y1='" << top << "' x2='" << x(burst_at) << "' y2='"
        << height - bottom << "' stroke='#999' stroke-dasharray='4 3'/>\n"
        << "<text x='" << x(burst_at) + 4 << "' y='" << top + 14
        << "' fill='#666'>worm starts</text>\n";
    for (int v = 0; v <= y_max; v += y_max / 5) {
        svg << "<line x1='" << left << "' y1='" << y(v) << "' x2='" << width - right << "' y2='"
            << y(v) << "' stroke='#eee'/>\n"
            << "<text x='" << left - 8 << "' y='" << y(v) + 4 << "' text-anchor='end'>" << v
            << "</text>\n";
    }
    for (int t = 0; t <= static_cast<int>(t_max); t += 10) {
        svg << "<text x='" << x(t) << "' y='" << height - bottom + 18 << "' text-anchor='middle'>"
            << t << "</text>\n";
    }
    svg << "<text x='" << (left + width - right) / 2 << "' y='" << height - 12
        << "' text-anchor='middle'>seconds</text>\n";
    auto path = [&](int Sample::*field, const char *colour) {
        svg << "<polyline fill='none' stroke='" << colour << "' stroke-width='2' points='";
        for (const Sample &s : samples) {
            svg << x(s.t) << "," << y(s.*field) << " ";
        }
        svg << "'/>\n";
    };
    path(&Sample::new_attempted, "#d9534f");
    path(&Sample::new_released, "#2b7bb9");
    const double lx = width - right - 190, ly = (top + height - bottom) / 2;
    svg << "<rect x='" << lx - 8 << "' y='" << ly - 8 << "' width='180' height='64' fill='white' "
        << "stroke='#ccc'/>\n"
        << "<rect x='" << lx << "' y='" << ly + 4 << "' width='12' height='3' fill='#d9534f'/>"
        << "<text x='" << lx + 18 << "' y='" << ly + 10 << "'>attempted</text>\n"
        << "<rect x='" << lx << "' y='" << ly + 22 << "' width='12' height='3' fill='#2b7bb9'/>"
        << "<text x='" << lx + 18 << "' y='" << ly + 28 << "'>released (connected)</text>\n"
        << "<rect x='" << lx << "' y='" << ly + 36 << "' width='12' height='10' fill='#fde2e2'/>"
        << "<text x='" << lx + 18 << "' y='" << ly + 46 << "'>alarm raised</text>\n"
        << "</svg>\n";
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--seconds") {
            options.seconds = atof(argv[i + 1]);
        } else if (flag == "--svg") {
            options.svg = argv[i + 1];
        } else if (flag == "--summary") {
            options.summary = argv[i + 1];
        } else if (flag == "--facts") {
            options.facts = argv[i + 1];
        } else if (flag == "--title") {
            options.title = argv[i + 1];
        } else {
            fprintf(stderr,
                    "usage: %s [--seconds N] [--svg FILE] [--summary FILE] [--facts FILE] [--title "
                    "TEXT]\n",
                    argv[0]);
            return 2;
        }
    }
    rlimit files{4096, 4096};
    setrlimit(RLIMIT_NOFILE, &files);
    FILE *quiet = fopen("/dev/null", "w");
    event_logging_off();
    set_ulvolib_output(quiet);
    if (init_ulvolib() != 0) {
        fprintf(stderr, "ulvo-demo: the configuration is invalid\n");
        return 1;
    }

    int listeners[2] = {listen_on(AF_INET), listen_on(AF_INET6)};
    std::vector<Conn> conns;
    std::vector<Sample> samples;
    std::vector<bool> contacted(NORMAL_HOSTS.size(), false);
    const auto start = Clock::now();
    auto now = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    double next_normal = 0.5;
    int normal_index = 0;
    double next_page = 1.0;
    int pages_started = 0;
    int burst_started = 0;
    double next_sample = 0;
    double next_print = 0;
    double alarm_first = -1;
    double alarm_last_on = -1;

    printf("  time  attempted  passed at once  held  released  dropped  queued  alarm\n");
    while (now() < options.seconds) {
        double t = now();
        while (t >= next_normal) {
            size_t h = static_cast<size_t>(normal_index++) % NORMAL_HOSTS.size();
            Conn c;
            c.fd = start_connection(NORMAL_HOSTS[h]);
            c.started = t;
            c.first_contact = !contacted[h];
            contacted[h] = true;
            conns.push_back(c);
            next_normal += NORMAL_EVERY_S;
        }
        while (t >= next_page) {
            for (int k = 0; k < PAGE_HOSTS; ++k) {
                Conn c;
                c.fd = start_connection(page_host(pages_started++));
                c.started = t;
                c.page = true;
                c.first_contact = true;
                conns.push_back(c);
            }
            next_page += PAGE_EVERY_S;
        }
        int burst_due = t < BURST_AT_S
                            ? 0
                            : std::min(BURST_IPV4 + BURST_IPV6,
                                       static_cast<int>((t - BURST_AT_S) / BURST_SPREAD_S *
                                                        (BURST_IPV4 + BURST_IPV6)) +
                                           1);
        for (; burst_started < burst_due; ++burst_started) {
            Conn c;
            // Most of a scanning worm's targets have nothing behind them: here they refuse.
            c.fd = start_connection(burst_host(burst_started),
                                    burst_started % BURST_ANSWERED_EVERY == 0 ? PORT : CLOSED_PORT);
            c.started = t;
            c.burst = true;
            c.first_contact = true;
            conns.push_back(c);
        }

        std::vector<pollfd> polls = {{listeners[0], POLLIN, 0}, {listeners[1], POLLIN, 0}};
        std::vector<size_t> which;
        for (size_t i = 0; i < conns.size(); ++i) {
            if (conns[i].done < 0 && conns[i].fd >= 0) {
                polls.push_back({conns[i].fd, POLLOUT, 0});
                which.push_back(i);
            }
        }
        poll(polls.data(), polls.size(), 10);
        t = now();
        for (int l = 0; l < 2; ++l) {
            if (polls[static_cast<size_t>(l)].revents & POLLIN) {
                int c;
                while ((c = accept(listeners[l], nullptr, nullptr)) >= 0) {
                    close(c);
                }
            }
        }
        for (size_t k = 2; k < polls.size(); ++k) {
            Conn &c = conns[which[k - 2]];
            if (polls[k].revents & (POLLOUT | POLLERR | POLLHUP)) {
                int error = 0;
                socklen_t length = sizeof error;
                getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                // Connected, or refused: either way its SYN got through the throttle.
                if (error == 0 || error == ECONNREFUSED) {
                    c.done = t;
                }
                close(c.fd);
                c.fd = -1;
            }
        }

        if (t >= next_sample || t >= next_print) {
            Daemon d = read_daemon();
            if (d.alarm == 1) {
                alarm_first = alarm_first < 0 ? t : alarm_first;
                alarm_last_on = t;
            }
            if (t >= next_sample) {
                Sample s{t, 0, 0, d.alarm};
                for (const Conn &c : conns) {
                    s.new_attempted += c.first_contact ? 1 : 0;
                    s.new_released += c.first_contact && c.done >= 0 ? 1 : 0;
                }
                samples.push_back(s);
                next_sample += 0.25;
            }
            if (t >= next_print) {
                // A live line on a terminal; a line every five seconds into a file or pipe.
                bool live = isatty(STDOUT_FILENO) != 0;
                if (!live && static_cast<int>(next_print * 2) % 10 != 0) {
                    next_print += 0.5;
                    continue;
                }
                printf("%s%5.1fs  %9zu  %14" PRIu64 "  %4" PRIu64 "  %8" PRIu64 "  %7" PRIu64
                       "  %6" PRIu64 "  %-5s",
                       live ? "\r" : "", t, conns.size(), d.tt.never_throttled_crs,
                       d.tt.throttled_crs, d.dtt.dethrottled_crs, d.tt.dropped_crs,
                       currently_throttled_crs(&d.tt, &d.dtt), d.alarm == 1 ? "ON" : "off");
                if (!live) {
                    printf("\n");
                }
                fflush(stdout);
                next_print += 0.5;
            }
        }
    }
    if (isatty(STDOUT_FILENO) != 0) {
        printf("\n");
    }
    double end = now();
    write_svg(options, samples, BURST_AT_S);

    // The summary: what the known hosts and the page loads felt, and how fast the worm spread.
    struct tally {
        int count = 0, delayed = 0, pending = 0;
        double worst = 0;
        std::vector<double> waits;
    } before, during, pages, pages_before;
    int burst_reached = 0;
    for (const Conn &c : conns) {
        double waited = (c.done >= 0 ? c.done : end) - c.started;
        if (c.burst) {
            burst_reached += c.done >= 0 ? 1 : 0;
            continue;
        }
        tally &k = c.page ? pages : c.started < BURST_AT_S ? before : during;
        ++k.count;
        k.delayed += waited > 0.1 ? 1 : 0;
        k.pending += c.done < 0 ? 1 : 0;
        k.worst = std::max(k.worst, waited);
        k.waits.push_back(waited);
        if (c.page && c.started < BURST_AT_S) {
            ++pages_before.count;
            pages_before.delayed += waited > 0.1 ? 1 : 0;
        }
    }
    std::sort(pages.waits.begin(), pages.waits.end());
    double page_median = pages.waits.empty() ? 0 : pages.waits[pages.waits.size() / 2];
    Daemon d = read_daemon();
    double window = end - BURST_AT_S;
    FILE *summary = fopen(options.summary.c_str(), "w");
    for (FILE *out : {stdout, summary}) {
        if (out == nullptr) {
            continue;
        }
        fprintf(out, "Known hosts (%zu, a connection every %.2f s):\n", NORMAL_HOSTS.size(),
                NORMAL_EVERY_S);
        for (const auto &[name, k] : {std::pair<const char *, const tally &>{"before", before},
                                      std::pair<const char *, const tally &>{"during", during}}) {
            fprintf(out,
                    "  %s the worm: %d connections, %d delayed over 100 ms, worst delay %.2f s%s\n",
                    name, k.count, k.delayed, k.worst,
                    k.pending > 0 ? " (some still waiting)" : "");
        }
        fprintf(out,
                "Page loads (%d new hosts every %.0f s): %d connections, %d delayed over 100 ms, "
                "median %.2f s, worst %.2f s\n",
                PAGE_HOSTS, PAGE_EVERY_S, pages.count, pages.delayed, page_median, pages.worst);
        fprintf(out,
                "Worm-like burst: %d new hosts (%d IPv4, %d IPv6) within %.0f s, one in %d "
                "answering\n",
                BURST_IPV4 + BURST_IPV6, BURST_IPV4, BURST_IPV6, BURST_SPREAD_S,
                BURST_ANSWERED_EVERY);
        fprintf(out,
                "  attempted at %.0f new hosts per second; got through to %d of them in %.0f s: "
                "%.2f new hosts per second\n",
                (BURST_IPV4 + BURST_IPV6) / BURST_SPREAD_S, burst_reached, window,
                burst_reached / window);
        fprintf(
            out,
            "  alarm raised at %.1f s%s; packets dropped because the queue was full: %" PRIu64 "\n",
            alarm_first, alarm_last_on >= end - 1 ? ", still on at the end" : "", d.tt.dropped_crs);
        fprintf(out, "Timeline: %s\n", options.svg.c_str());
    }
    if (summary != nullptr) {
        fclose(summary);
    }
    // The figures once more, one "name value" a line, for a side-by-side table of two runs.
    if (!options.facts.empty()) {
        FILE *facts = fopen(options.facts.c_str(), "w");
        if (facts != nullptr) {
            fprintf(facts,
                    "page_connections %d\npage_delayed %d\npage_median %.2f\npage_worst %.2f\n"
                    "page_before_connections %d\npage_before_delayed %d\n"
                    "known_delayed_during %d\nknown_worst_during %.2f\nworm_attempted %d\n"
                    "worm_through %d\nworm_rate %.2f\nalarm_at %.1f\ndropped %" PRIu64 "\n",
                    pages.count, pages.delayed, page_median, pages.worst, pages_before.count,
                    pages_before.delayed, during.delayed, during.worst, BURST_IPV4 + BURST_IPV6,
                    burst_reached, burst_reached / window, alarm_first, d.tt.dropped_crs);
            fclose(facts);
        }
    }
    return 0;
}
