// outbreak-worm: the lab's benign worm. It opens TCP connections to random addresses of the
// lab's range at a fixed rate and closes each as soon as it is answered or after a timeout; it
// sends nothing, and it never leaves the range it is given. Runs until it is killed.
//
// usage: outbreak-worm RANGE SELF PORT RATE SEED TIMEOUT_MS
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "lab.h"

namespace {

int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

struct probe {
    int fd;
    int64_t started_ms;
};

// Starts one probe: a non-blocking connect to the target; -1 when no socket could be made.
int start_probe(uint32_t target, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(target);
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    lab_range range{};
    in_addr self{};
    if (argc != 7 || parse_range(argv[1], &range) != 0 || inet_pton(AF_INET, argv[2], &self) != 1) {
        fprintf(stderr, "usage: outbreak-worm RANGE SELF PORT RATE SEED TIMEOUT_MS\n");
        return 2;
    }
    auto port = static_cast<uint16_t>(atoi(argv[3]));
    double rate = atof(argv[4]);
    lab_random random{strtoull(argv[5], nullptr, 10) ^ ntohl(self.s_addr)};
    int64_t timeout_ms = atoll(argv[6]);
    if (rate <= 0 || timeout_ms <= 0) {
        fprintf(stderr, "outbreak-worm: RATE and TIMEOUT_MS must be positive\n");
        return 2;
    }
    std::vector<probe> pending;
    std::vector<pollfd> polls;
    int64_t start = monotonic_ms();
    for (uint64_t sent = 0;;) {
        int64_t now = monotonic_ms();
        while (probe_due_ms(sent, rate) <= now - start) {
            int fd = start_probe(pick_target(range, ntohl(self.s_addr), &random), port);
            if (fd >= 0) {
                pending.push_back({fd, now});
            }
            ++sent;
        }
        // Answered (or refused) probes and those past the timeout are closed.
        polls.clear();
        for (const probe &p : pending) {
            polls.push_back({p.fd, POLLOUT, 0});
        }
        int64_t wait = probe_due_ms(sent, rate) - (now - start);
        poll(polls.data(), polls.size(), static_cast<int>(wait < 0 ? 0 : wait));
        now = monotonic_ms();
        size_t kept = 0;
        for (size_t i = 0; i < pending.size(); ++i) {
            if (polls[i].revents != 0 || now - pending[i].started_ms >= timeout_ms) {
                close(pending[i].fd);
            } else {
                pending[kept++] = pending[i];
            }
        }
        pending.resize(kept);
    }
}
