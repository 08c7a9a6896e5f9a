// Load for the system benchmark: the rate and latency of new connections, the release
// intervals of a burst, and the wall time of a command. Prints figures; judges nothing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t PORT = 7171;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

sockaddr_storage address_of(const std::string &host, socklen_t *length) {
    sockaddr_storage address{};
    if (host.find(':') != std::string::npos) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(PORT);
        inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
        *length = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(PORT);
        inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
        *length = sizeof *in4;
    }
    return address;
}

// Accepts and closes every connection on both families until the process ends.
void serve() {
    for (int family : {AF_INET, AF_INET6}) {
        int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (family == AF_INET6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        }
        socklen_t length;
        sockaddr_storage any = address_of(family == AF_INET6 ? "::" : "0.0.0.0", &length);
        if (bind(fd, reinterpret_cast<sockaddr *>(&any), length) != 0 || listen(fd, 4096) != 0) {
            perror("listen");
            exit(1);
        }
        std::thread([fd] {
            for (;;) {
                int c = accept(fd, nullptr, nullptr);
                if (c >= 0) {
                    close(c);
                }
            }
        }).detach();
    }
}

// One connection: microseconds until established, or -1.
double connect_once(const std::string &host) {
    socklen_t length;
    sockaddr_storage address = address_of(host, &length);
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto start = Clock::now();
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&address), length);
    double us = seconds_since(start) * 1e6;
    linger reset{1, 0};  // close with RST: no TIME_WAIT to run out of ports
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    return rc == 0 ? us : -1;
}

double percentile(std::vector<double> &values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p / 100 * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return parts;
}

// Connections to known hosts from several workers for a while.
int rate(const std::vector<std::string> &hosts, double seconds, int workers) {
    std::atomic<bool> stop{false};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(workers));
    std::atomic<long> failures{0};
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            size_t i = static_cast<size_t>(w);
            while (!stop) {
                double us = connect_once(hosts[i++ % hosts.size()]);
                if (us < 0) {
                    ++failures;
                } else {
                    latencies[static_cast<size_t>(w)].push_back(us);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread &t : threads) {
        t.join();
    }
    double elapsed = seconds_since(start);
    std::vector<double> all;
    for (auto &l : latencies) {
        all.insert(all.end(), l.begin(), l.end());
    }
    printf("connections %zu  failures %ld  rate %.0f/s  p50 %.1f us  p99 %.1f us\n", all.size(),
           failures.load(), static_cast<double>(all.size()) / elapsed, percentile(all, 50),
           percentile(all, 99));
    return 0;
}

// Connections to new hosts all at once; the intervals between their completions.
int burst(const std::vector<std::string> &hosts) {
    auto start = Clock::now();
    std::vector<int> fds;
    for (const std::string &host : hosts) {
        socklen_t length;
        sockaddr_storage address = address_of(host, &length);
        int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr *>(&address), length);
        fds.push_back(fd);
    }
    std::vector<double> done;
    std::vector<bool> finished(fds.size(), false);
    while (done.size() < fds.size() &&
           seconds_since(start) < 5.0 * static_cast<double>(fds.size())) {
        std::vector<pollfd> polls;
        for (size_t i = 0; i < fds.size(); ++i) {
            polls.push_back({fds[i], static_cast<short>(finished[i] ? 0 : POLLOUT), 0});
        }
        poll(polls.data(), polls.size(), 100);
        for (size_t i = 0; i < polls.size(); ++i) {
            if (!finished[i] && (polls[i].revents & POLLOUT)) {
                finished[i] = true;
                done.push_back(seconds_since(start));
            }
        }
    }
    std::sort(done.begin(), done.end());
    std::vector<double> gaps;
    for (size_t i = 1; i < done.size(); ++i) {
        gaps.push_back(done[i] - done[i - 1]);
    }
    double mean = 0;
    for (double g : gaps) {
        mean += g;
    }
    mean /= static_cast<double>(std::max<size_t>(gaps.size(), 1));
    double variance = 0;
    for (double g : gaps) {
        variance += (g - mean) * (g - mean);
    }
    double spread = std::sqrt(variance / static_cast<double>(std::max<size_t>(gaps.size(), 1)));
    auto [low, high] = std::minmax_element(gaps.begin(), gaps.end());
    printf("released %zu of %zu  interval mean %.4f s  stddev %.4f s  min %.4f s  max %.4f s\n",
           done.size(), fds.size(), mean, spread, gaps.empty() ? 0 : *low,
           gaps.empty() ? 0 : *high);
    return 0;
}

// Wall time of a command, run count times.
int wall_time(int count, char **command) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execv(command[0], command);
            _exit(127);
        }
        int status;
        waitpid(child, &status, 0);
        ms.push_back(seconds_since(start) * 1000);
    }
    double p50 = percentile(ms, 50);
    double p99 = percentile(ms, 99);
    printf("runs %d  p50 %.2f ms  p99 %.2f ms  max %.2f ms\n", count, p50, p99, ms.back());
    return 0;
}

void usage(const char *self) {
    fprintf(stderr,
            "usage: %s rate HOSTS SECONDS WORKERS | burst HOSTS | serve SECONDS | "
            "time COUNT COMMAND...\n",
            self);
    exit(2);
}

}  // namespace

int main(int argc, char **argv) {
    rlimit files{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);
    if (argc < 2) {
        usage(argv[0]);
    }
    std::string mode = argv[1];
    if (mode == "rate" && argc == 5) {
        serve();
        return rate(split(argv[2]), atof(argv[3]), atoi(argv[4]));
    }
    if (mode == "burst" && argc == 3) {
        serve();
        return burst(split(argv[2]));
    }
    if (mode == "serve" && argc == 3) {
        serve();
        std::this_thread::sleep_for(std::chrono::duration<double>(atof(argv[2])));
        return 0;
    }
    if (mode == "time" && argc >= 4) {
        return wall_time(atoi(argv[2]), argv + 3);
    }
    usage(argv[0]);
}
