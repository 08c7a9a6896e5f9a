// Test helpers for traffic of every shape: UDP datagrams of any size, each a new flow, a receiver
// that records what arrives, and TCP SYNs without options sent through a raw socket.
#pragma once

#include <netinet/ip.h>
#include <netinet/tcp.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net.h"

// Sends one UDP datagram of the size from a fresh socket, so that it opens a new flow.
inline bool send_udp(const std::string &host, uint16_t port, size_t size) {
    SockAddr address(host, port);
    Fd fd(socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
    std::vector<unsigned char> payload(size, 0x5a);
    return fd.valid() && sendto(fd.get(), payload.data(), payload.size(), 0, address.get(),
                                address.length) == static_cast<ssize_t>(size);
}

// Opens a new UDP-Lite flow with one datagram, and a new SCTP association with one INIT sent
// through a raw socket (no SCTP stack is needed for it to leave): the two other protocols whose
// new flows are queued.
inline bool send_udplite_and_sctp_init(const std::string &host, uint16_t port) {
    SockAddr address(host, port);
    Fd lite(socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDPLITE));
    const char payload[] = "lite";
    bool sent = lite.valid() && sendto(lite.get(), payload, sizeof payload, 0, address.get(),
                                       address.length) == static_cast<ssize_t>(sizeof payload);
    // Common header (ports, verification tag 0, checksum) and an INIT chunk: initiate tag,
    // window, streams out and in, initial TSN.
    unsigned char init[32] = {};
    const uint16_t ports[2] = {htons(static_cast<uint16_t>(port + 1)), htons(port)};
    memcpy(init, ports, sizeof ports);
    const unsigned char chunk[20] = {1, 0, 0, 20, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1};
    memcpy(init + 12, chunk, sizeof chunk);
    SockAddr raw_address(host, 0);
    Fd sctp(socket(address.family(), SOCK_RAW | SOCK_CLOEXEC, IPPROTO_SCTP));
    return sent && sctp.valid() &&
           sendto(sctp.get(), init, sizeof init, 0, raw_address.get(), raw_address.length) ==
               static_cast<ssize_t>(sizeof init);
}

// Receives UDP datagrams on a port of both families in a thread of its own and counts them by
// destination address and size.
class UdpReceiver {
  public:
    explicit UdpReceiver(uint16_t port)
        : v4_(bind_udp("0.0.0.0", port)), v6_(bind_udp("::", port)), thread_([this] { loop(); }) {}
    ~UdpReceiver() {
        stop_ = true;
        thread_.join();
    }
    UdpReceiver(const UdpReceiver &) = delete;
    UdpReceiver &operator=(const UdpReceiver &) = delete;

    bool valid() const { return v4_.valid() && v6_.valid(); }
    // Datagrams received so far.
    size_t total() const { return total_; }
    // Sizes received for a destination address, with their counts.
    std::map<size_t, int> sizes(const std::string &host) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = received_.find(host);
        return it == received_.end() ? std::map<size_t, int>{} : it->second;
    }
    // Waits until at least n datagrams have arrived; false after the timeout.
    bool wait_total(size_t n, int timeout_ms) const {
        auto start = std::chrono::steady_clock::now();
        while (total_ < n && ms_since(start) < timeout_ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return total_ >= n;
    }

  private:
    static Fd bind_udp(const std::string &any, uint16_t port) {
        SockAddr address(any, port);
        Fd fd(socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        int on = 1;
        if (address.family() == AF_INET6) {
            setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
        } else {
            setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        }
        int buffer = 64 << 20;
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        if (bind(fd.get(), address.get(), address.length) != 0) {
            fd.reset();
        }
        return fd;
    }
    // The destination address of a datagram, from its packet information.
    static std::string destination(msghdr *message) {
        char text[INET6_ADDRSTRLEN] = "";
        for (cmsghdr *c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                memcpy(&info, CMSG_DATA(c), sizeof info);
                inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
            } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                in6_pktinfo info;
                memcpy(&info, CMSG_DATA(c), sizeof info);
                inet_ntop(AF_INET6, &info.ipi6_addr, text, sizeof text);
            }
        }
        return text;
    }
    void loop() {
        std::vector<unsigned char> buffer(65536);
        while (!stop_) {
            pollfd polls[2] = {{v4_.get(), POLLIN, 0}, {v6_.get(), POLLIN, 0}};
            if (poll(polls, 2, 20) <= 0) {
                continue;
            }
            for (const pollfd &p : polls) {
                for (;;) {
                    iovec data{buffer.data(), buffer.size()};
                    alignas(cmsghdr) char control[256];
                    msghdr message{};
                    message.msg_iov = &data;
                    message.msg_iovlen = 1;
                    message.msg_control = control;
                    message.msg_controllen = sizeof control;
                    ssize_t n = recvmsg(p.fd, &message, 0);
                    if (n < 0) {
                        break;
                    }
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++received_[destination(&message)][static_cast<size_t>(n)];
                    ++total_;
                }
            }
        }
    }

    Fd v4_, v6_;
    mutable std::mutex mutex_;
    std::map<std::string, std::map<size_t, int>> received_;
    std::atomic<size_t> total_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// TCP SYNs without any option, sent from a raw socket; the listener's SYN-ACK, seen on the same
// socket, shows that the SYN was delivered.
class RawSyn {
  public:
    explicit RawSyn(const std::string &host, uint16_t port)
        : host_(host),
          port_(port),
          v6_(host.find(':') != std::string::npos),
          fd_(socket(v6_ ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_TCP)) {
        if (v6_) {
            int offset = offsetof(tcphdr, th_sum);
            setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_CHECKSUM, &offset, sizeof offset);
        }
    }
    bool valid() const { return fd_.valid(); }

    // Sends a SYN of 20 bytes, no options, from the source port.
    bool send(uint16_t source_port) {
        tcphdr tcp{};
        tcp.th_sport = htons(source_port);
        tcp.th_dport = htons(port_);
        tcp.th_seq = htonl(0x1000u + source_port);
        tcp.th_off = 5;
        tcp.th_flags = TH_SYN;
        tcp.th_win = htons(65535);
        SockAddr to(host_, 0);
        if (!v6_) {
            tcp.th_sum = ipv4_checksum(tcp, to);
        }
        return sendto(fd_.get(), &tcp, sizeof tcp, 0, to.get(), to.length) ==
               static_cast<ssize_t>(sizeof tcp);
    }
    // Waits for the SYN-ACK to the source port; false after the timeout.
    bool wait_syn_ack(uint16_t source_port, int timeout_ms) {
        auto start = std::chrono::steady_clock::now();
        unsigned char buffer[1500];
        while (ms_since(start) < timeout_ms) {
            if (!wait_readable(fd_.get(), 50)) {
                continue;
            }
            ssize_t n = recv(fd_.get(), buffer, sizeof buffer, 0);
            size_t skip = v6_ ? 0 : static_cast<size_t>(buffer[0] & 0x0f) * 4;
            if (n < static_cast<ssize_t>(skip + sizeof(tcphdr))) {
                continue;
            }
            tcphdr tcp;
            memcpy(&tcp, buffer + skip, sizeof tcp);
            if (ntohs(tcp.th_sport) == port_ && ntohs(tcp.th_dport) == source_port &&
                (tcp.th_flags & (TH_SYN | TH_ACK)) == (TH_SYN | TH_ACK)) {
                return true;
            }
        }
        return false;
    }

  private:
    // The TCP checksum over the IPv4 pseudo header, for a SYN from 127.0.0.1 (the source of
    // every loopback route) to the address.
    static uint16_t ipv4_checksum(const tcphdr &tcp, const SockAddr &to) {
        uint32_t sum = 0;
        auto add = [&sum](const void *data, size_t length) {
            const auto *bytes = static_cast<const unsigned char *>(data);
            for (size_t i = 0; i + 1 < length; i += 2) {
                sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
            }
        };
        in_addr source{};
        inet_pton(AF_INET, "127.0.0.1", &source);
        add(&source, 4);
        add(&reinterpret_cast<const sockaddr_in *>(to.get())->sin_addr, 4);
        sum += IPPROTO_TCP + sizeof tcp;
        add(&tcp, sizeof tcp);
        while (sum >> 16 != 0) {
            sum = (sum & 0xffff) + (sum >> 16);
        }
        return htons(static_cast<uint16_t>(~sum));
    }

    std::string host_;
    uint16_t port_;
    bool v6_;
    Fd fd_;
};
