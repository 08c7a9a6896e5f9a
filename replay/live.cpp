#include "live.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "nfqueue_numbers.h"
#include "packet.h"

namespace {

int fail(const char *what, const char *detail) {
    fprintf(stderr, "kel-ulvo-replay: %s: %s\n", what, detail);
    return 1;
}

double now_s() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void sleep_until(double when) {
    double left = when - now_s();
    if (left > 0) {
        timespec pause{static_cast<time_t>(left),
                       static_cast<long>((left - std::floor(left)) * 1e9)};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
}

// One flow of the plan, as the client and the responder know it.
struct plan_flow {
    int family = 4;
    unsigned char destination[16] = {};
    int protocol = 6;
    uint16_t port = 0;
    bool answered = false;
    int fd = -1;  // the client's socket
    uint16_t source_port = 0;
    double sent = -1, seen = -1;  // s from the plan's start
};

struct plan {
    std::vector<plan_flow> flows;
    std::vector<std::pair<double, uint32_t>> sends;  // (time, flow), in time order
};

int read_plan(const char *path, plan *out) {
    std::ifstream in(path);
    if (!in) {
        return fail(path, strerror(errno));
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind;
        words >> kind;
        if (kind == "flow") {
            plan_flow f;
            std::string address, protocol;
            int port = 0, answered = 0;
            words >> f.family >> address >> protocol >> port >> answered;
            if (!words || inet_pton(f.family == 6 ? AF_INET6 : AF_INET, address.c_str(),
                                    f.destination) != 1) {
                return fail(path, ("bad flow line: " + line).c_str());
            }
            f.protocol = protocol == "tcp" ? 6 : 17;
            f.port = static_cast<uint16_t>(port);
            f.answered = answered != 0;
            out->flows.push_back(f);
        } else if (kind == "send") {
            double time = 0;
            uint32_t flow = 0;
            words >> time >> flow;
            if (!words || flow >= out->flows.size()) {
                return fail(path, ("bad send line: " + line).c_str());
            }
            out->sends.emplace_back(time, flow);
        }
    }
    std::stable_sort(out->sends.begin(), out->sends.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return 0;
}

sockaddr_storage socket_address(int family, const unsigned char *address, uint16_t port,
                                socklen_t *length) {
    sockaddr_storage storage{};
    if (family == 6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        memcpy(&a->sin6_addr, address, 16);
        *length = sizeof *a;
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        memcpy(&a->sin_addr, address, 4);
        *length = sizeof *a;
    }
    return storage;
}

// Opens the flow's socket and sends its first packet: a connect for TCP (the kernel sends the
// SYN and its retransmissions), a datagram for UDP.
void start_flow(plan_flow *f) {
    socklen_t length = 0;
    sockaddr_storage to = socket_address(f->family, f->destination, f->port, &length);
    f->fd = socket(f->family == 6 ? AF_INET6 : AF_INET,
                   (f->protocol == 6 ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (f->fd < 0) {
        return;
    }
    if (connect(f->fd, reinterpret_cast<sockaddr *>(&to), length) != 0 && errno != EINPROGRESS) {
        return;
    }
    sockaddr_storage local{};
    socklen_t local_length = sizeof local;
    getsockname(f->fd, reinterpret_cast<sockaddr *>(&local), &local_length);
    f->source_port =
        ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port
                                          : reinterpret_cast<sockaddr_in *>(&local)->sin_port);
}

void send_datagram(const plan_flow &f) {
    static const char payload[32] = "kel-ulvo-replay";
    if (f.fd >= 0 && send(f.fd, payload, sizeof payload, MSG_DONTWAIT) < 0) {
        // A datagram refused at once (an ICMP error from an earlier one) is simply not sent.
    }
}

// What the client saw leave its interface: a SYN without ACK or a UDP datagram.
struct departure {
    double time;
    int protocol;
    uint16_t source_port;
    unsigned char destination[16];
    uint16_t port;
};

// Packets that the kernel holds for kel-ulvod's queues, by its own count (-1: unreadable).
long kernel_waiting() {
    std::ifstream table("/proc/net/netfilter/nfnetlink_queue");
    if (!table) {
        return -1;
    }
    long total = 0;
    long long queue, peer, waiting;
    std::string rest;
    while (table >> queue >> peer >> waiting && std::getline(table, rest)) {
        if (queue == ULVO_NFQUEUE_IPV4 || queue == ULVO_NFQUEUE_IPV6) {
            total += static_cast<long>(waiting);
        }
    }
    return total;
}

struct watcher {
    pcap_t *handle = nullptr;
    int link_type = 0;
    std::mutex lock;
    std::vector<departure> seen;
};

void on_packet(u_char *user, const pcap_pkthdr *header, const u_char *bytes) {
    auto *w = reinterpret_cast<watcher *>(user);
    packet_fields fields{};
    if (parse_packet(w->link_type, bytes, header->caplen, &fields) != PACKET_TRANSPORT) {
        return;
    }
    if (fields.protocol == 6 && (fields.tcp_flags & (TCP_SYN | TCP_ACK)) != TCP_SYN) {
        return;
    }
    departure d{static_cast<double>(header->ts.tv_sec) + header->ts.tv_usec / 1e6,
                fields.protocol,
                fields.source_port,
                {},
                fields.port};
    memcpy(d.destination, fields.destination, 16);
    std::lock_guard<std::mutex> guard(w->lock);
    w->seen.push_back(d);
}

int open_watcher(watcher *w, const char *interface) {
    char error[PCAP_ERRBUF_SIZE] = "";
    w->handle = pcap_create(interface, error);
    if (w->handle == nullptr) {
        return fail(interface, error);
    }
    pcap_set_snaplen(w->handle, 160);
    pcap_set_immediate_mode(w->handle, 1);
    pcap_set_buffer_size(w->handle, 16 << 20);
    pcap_set_timeout(w->handle, 50);
    if (pcap_activate(w->handle) < 0) {
        return fail(interface, pcap_geterr(w->handle));
    }
    bpf_program filter{};
    std::string text = std::string("dst net ") + LAB_RANGE_IPV4 + " or dst net " + LAB_RANGE_IPV6;
    if (pcap_compile(w->handle, &filter, text.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
        pcap_setfilter(w->handle, &filter) != 0) {
        return fail(interface, pcap_geterr(w->handle));
    }
    pcap_freecode(&filter);
    w->link_type = pcap_datalink(w->handle);
    return 0;
}

// A socket of the family (4 or 6) and type bound to the port on every address, with packet
// information on for datagrams (the address each was sent to): the socket, or -1.
int open_bound(int family, int type, uint16_t port) {
    int fd = socket(family == 6 ? AF_INET6 : AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == 6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (type == SOCK_DGRAM) {
        if (family == 6) {
            setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
        } else {
            setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        }
    }
    socklen_t length = 0;
    unsigned char any[16] = {};
    sockaddr_storage at = socket_address(family, any, port, &length);
    if (bind(fd, reinterpret_cast<sockaddr *>(&at), length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string format(int family, const unsigned char *address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(family == 6 ? AF_INET6 : AF_INET, address, text, sizeof text);
    return text;
}

}  // namespace

int live_map_destinations(replay_capture *capture) {
    std::map<std::pair<int, std::string>, uint32_t> mapped;
    uint32_t next[2] = {0, 0};
    for (replay_flow &f : capture->flows) {
        std::string key(reinterpret_cast<const char *>(f.destination), 16);
        auto found = mapped.find({f.family, key});
        uint32_t index;
        if (found != mapped.end()) {
            index = found->second;
        } else {
            index = ++next[f.family == 6 ? 1 : 0];
            if (index > 65000) {
                return fail("--live", "more than 65,000 destinations of one family");
            }
            mapped[{f.family, key}] = index;
        }
        unsigned char lab[16] = {};
        if (f.family == 6) {
            inet_pton(AF_INET6, "fd00:201::", lab);
            lab[14] = static_cast<unsigned char>(index >> 8);
            lab[15] = static_cast<unsigned char>(index);
        } else {
            lab[0] = 10;
            lab[1] = 201;
            lab[2] = static_cast<unsigned char>(index >> 8);
            lab[3] = static_cast<unsigned char>(index);
        }
        memcpy(f.destination, lab, 16);
    }
    return 0;
}

int live_write_plan(const char *path, const replay_capture &capture) {
    FILE *out = fopen(path, "we");
    if (out == nullptr) {
        return fail(path, strerror(errno));
    }
    for (size_t i = 0; i < capture.flows.size(); ++i) {
        const replay_flow &f = capture.flows[i];
        fprintf(out, "flow %d %s %s %u %d\n", f.family, format(f.family, f.destination).c_str(),
                f.protocol == 6 ? "tcp" : "udp", f.port, f.answered ? 1 : 0);
    }
    // A TCP flow's later SYNs are its kernel's own retransmissions; a UDP flow's datagrams are
    // each the program's.
    std::vector<bool> started(capture.flows.size(), false);
    for (const replay_packet &p : capture.packets) {
        if (capture.flows[p.flow].protocol == 6 && started[p.flow]) {
            continue;
        }
        started[p.flow] = true;
        fprintf(out, "send %.6f %u\n", p.time, p.flow);
    }
    bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) {
        return fail(path, strerror(errno));
    }
    return 0;
}

int live_write_world_rules(const char *path, const replay_capture &capture, int family) {
    std::set<std::pair<std::string, int>> answered, unanswered;
    for (const replay_flow &f : capture.flows) {
        if (f.protocol == 6 && f.family == family) {
            (f.answered ? answered : unanswered).insert({format(f.family, f.destination), f.port});
        }
    }
    FILE *out = fopen(path, "we");
    if (out == nullptr) {
        return fail(path, strerror(errno));
    }
    fprintf(out, "*filter\n");
    for (const auto &[address, port] : unanswered) {
        if (answered.count({address, port}) == 0) {
            fprintf(out, "-A INPUT -p tcp --syn -d %s --dport %d -j DROP\n", address.c_str(), port);
        }
    }
    fprintf(out, "COMMIT\n");
    bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) {
        return fail(path, strerror(errno));
    }
    return 0;
}

int live_client(const char *plan_path, const char *result, const char *interface,
                double wait_limit) {
    plan p;
    if (read_plan(plan_path, &p) != 0) {
        return 1;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);  // a socket per flow
    watcher w;
    if (open_watcher(&w, interface) != 0) {
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread capture([&] {
        while (!stop) {
            pcap_dispatch(w.handle, -1, on_packet, reinterpret_cast<u_char *>(&w));
        }
    });
    const double start = now_s() + 0.5;
    double last = 0;
    for (const auto &[time, index] : p.sends) {
        sleep_until(start + time);
        plan_flow &f = p.flows[index];
        if (f.fd < 0 && f.sent < 0) {
            f.sent = now_s() - start;
            start_flow(&f);
        }
        if (f.protocol == 17) {
            send_datagram(f);
        }
        last = time;
    }
    // Wait until the daemon has held nothing for 2 s (what is left was dropped), or the limit.
    int quiet = 0;
    for (;;) {
        double now = now_s() - start;
        quiet = kernel_waiting() == 0 ? quiet + 1 : 0;
        if (now > last + wait_limit || (now > last + 3 && quiet >= 20)) {
            break;
        }
        sleep_until(now_s() + 0.1);
    }
    stop = true;
    pcap_breakloop(w.handle);
    capture.join();
    pcap_close(w.handle);

    std::map<std::tuple<int, uint16_t, std::string, uint16_t>, double> first;
    for (const departure &d : w.seen) {
        auto key =
            std::make_tuple(d.protocol, d.source_port,
                            std::string(reinterpret_cast<const char *>(d.destination), 16), d.port);
        auto found = first.find(key);
        if (found == first.end() || d.time - start < found->second) {
            first[key] = d.time - start;
        }
    }
    FILE *out = fopen(result, "we");
    if (out == nullptr) {
        return fail(result, strerror(errno));
    }
    for (size_t i = 0; i < p.flows.size(); ++i) {
        plan_flow &f = p.flows[i];
        auto found = first.find(std::make_tuple(
            f.protocol, f.source_port,
            std::string(reinterpret_cast<const char *>(f.destination), 16), f.port));
        f.seen = found == first.end() ? -1 : found->second;
        fprintf(out, "%zu %.6f %.6f\n", i, f.sent, f.seen);
        if (f.fd >= 0) {
            close(f.fd);
        }
    }
    bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) {
        return fail(result, strerror(errno));
    }
    return 0;
}

int live_responder(const char *plan_path) {
    plan p;
    if (read_plan(plan_path, &p) != 0) {
        return 1;
    }
    std::set<int> tcp_ports, udp_ports;
    std::set<std::tuple<int, std::string, uint16_t>> answered;  // UDP: (family, address, port)
    for (const plan_flow &f : p.flows) {
        if (f.protocol == 6 && f.answered) {
            tcp_ports.insert(f.port);
        } else if (f.protocol == 17) {
            udp_ports.insert(f.port);
            if (f.answered) {
                answered.insert({f.family,
                                 std::string(reinterpret_cast<const char *>(f.destination),
                                             f.family == 6 ? 16 : 4),
                                 f.port});
            }
        }
    }
    // Every socket of the responder, with what it is: a listener, or the datagrams of a port.
    struct endpoint {
        bool listening;
        int family;
        uint16_t port;
    };
    std::vector<pollfd> polls;
    std::vector<endpoint> endpoints;
    for (int family : {4, 6}) {
        for (int port : tcp_ports) {
            int fd = open_bound(family, SOCK_STREAM, static_cast<uint16_t>(port));
            if (fd < 0 || listen(fd, 4096) != 0) {
                return fail("responder", strerror(errno));
            }
            polls.push_back({fd, POLLIN, 0});
            endpoints.push_back({true, family, static_cast<uint16_t>(port)});
        }
        for (int port : udp_ports) {
            int fd = open_bound(family, SOCK_DGRAM, static_cast<uint16_t>(port));
            if (fd < 0) {
                return fail("responder", strerror(errno));
            }
            polls.push_back({fd, POLLIN, 0});
            endpoints.push_back({false, family, static_cast<uint16_t>(port)});
        }
    }
    for (;;) {
        if (poll(polls.data(), polls.size(), -1) < 0 && errno != EINTR) {
            return fail("responder", strerror(errno));
        }
        for (size_t i = 0; i < polls.size(); ++i) {
            if ((polls[i].revents & POLLIN) == 0) {
                continue;
            }
            if (endpoints[i].listening) {
                int c;
                while ((c = accept(polls[i].fd, nullptr, nullptr)) >= 0) {
                    close(c);
                }
                continue;
            }
            // A datagram: answered from the address it was sent to, when the capture says so.
            char data[512];
            sockaddr_storage from{};
            alignas(cmsghdr) char control[256];
            iovec io{data, sizeof data};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n;
            while ((n = recvmsg(polls[i].fd, &message, 0)) >= 0) {
                std::string to;
                for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr;
                     c = CMSG_NXTHDR(&message, c)) {
                    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                        auto *info = reinterpret_cast<in_pktinfo *>(CMSG_DATA(c));
                        to.assign(reinterpret_cast<const char *>(&info->ipi_addr), 4);
                        info->ipi_spec_dst = info->ipi_addr;
                        info->ipi_ifindex = 0;
                    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                        auto *info = reinterpret_cast<in6_pktinfo *>(CMSG_DATA(c));
                        to.assign(reinterpret_cast<const char *>(&info->ipi6_addr), 16);
                        info->ipi6_ifindex = 0;
                    }
                }
                if (answered.count({endpoints[i].family, to, endpoints[i].port}) != 0) {
                    io.iov_len = static_cast<size_t>(n);
                    sendmsg(polls[i].fd, &message, MSG_DONTWAIT);
                }
                io.iov_len = sizeof data;
                message.msg_namelen = sizeof from;
                message.msg_controllen = sizeof control;
            }
        }
    }
}

int live_read_result(const char *path, const replay_capture &capture, replay_run *run) {
    std::ifstream in(path);
    if (!in) {
        return fail(path, strerror(errno));
    }
    *run = replay_run{};
    run->flows.assign(capture.flows.size(), replay_outcome{false, true, 0.0});
    size_t index;
    double sent, seen;
    while (in >> index >> sent >> seen) {
        if (index >= run->flows.size()) {
            return fail(path, "a flow that the capture does not have");
        }
        replay_outcome &o = run->flows[index];
        o.dropped = seen < 0 || sent < 0;
        o.delay = o.dropped ? 0.0 : std::max(0.0, seen - sent);
        o.held = o.dropped || o.delay >= LIVE_HELD_AFTER;
        run->end = std::max(run->end, seen);
    }
    return 0;
}

double live_release_phase(const replay_run &run, const replay_capture &capture, double delay) {
    std::vector<double> phases;
    for (size_t i = 0; i < run.flows.size(); ++i) {
        const replay_outcome &o = run.flows[i];
        if (o.held && !o.dropped) {
            phases.push_back(std::fmod(capture.flows[i].time + o.delay, delay));
        }
    }
    if (phases.empty()) {
        return -1.0;
    }
    std::sort(phases.begin(), phases.end());
    return phases[phases.size() / 2];
}
