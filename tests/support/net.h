// Test helpers for traffic inside the test's own network namespace.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A socket address for an IPv4 or IPv6 literal and a port.
struct SockAddr {
    SockAddr(const std::string &address, uint16_t port) {
        if (address.find(':') != std::string::npos) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(port);
            inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
            length = sizeof *in6;
        } else {
            auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(port);
            inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
            length = sizeof *in4;
        }
    }
    int family() const { return storage.ss_family; }
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// A TCP listener on every address of the family ("0.0.0.0" or "::") with a long backlog.
inline Fd listen_tcp(const std::string &any, uint16_t port) {
    SockAddr address(any, port);
    Fd fd(socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.family() == AF_INET6) {
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (bind(fd.get(), address.get(), address.length) != 0 || listen(fd.get(), 4096) != 0) {
        fd.reset();
    }
    return fd;
}

// Starts a TCP connection without waiting for it.
inline Fd connect_nonblocking(const std::string &host, uint16_t port) {
    SockAddr address(host, port);
    Fd fd(socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (connect(fd.get(), address.get(), address.length) != 0 && errno != EINPROGRESS) {
        fd.reset();
    }
    return fd;
}

// True when the descriptor becomes readable within the time.
inline bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// True when the started connection is established within the time.
inline bool wait_connected(int fd, int timeout_ms) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeout_ms) != 1) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    return error == 0;
}

// Raises the soft limit of open descriptors to the hard one; the limit afterwards.
inline rlim_t raise_fd_limit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    return files.rlim_cur;
}

// Milliseconds since the given moment.
inline double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}
