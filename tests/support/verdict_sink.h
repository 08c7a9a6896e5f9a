// Test helper: a queue handle whose verdicts go to the kernel for a queue that nobody binds.
// The kernel refuses each one with an error message that echoes the request, so the test can
// read back exactly which verdicts were sent, in order.
#pragma once

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "nllib.h"

struct SentVerdict {
    uint32_t id;
    uint32_t verdict;
    bool operator==(const SentVerdict &) const = default;
};

class VerdictSink {
  public:
    explicit VerdictSink(uint16_t queue = 4401) {
        memset(&handle, 0, sizeof handle);
        handle.fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
        handle.peer.nl_family = AF_NETLINK;
        handle.local.nl_family = AF_NETLINK;
        bind(handle.fd, reinterpret_cast<sockaddr *>(&handle.local), sizeof handle.local);
        handle.nfqueue = 1;
        handle.queue_num = queue;
    }
    ~VerdictSink() { close(handle.fd); }
    VerdictSink(const VerdictSink &) = delete;
    VerdictSink &operator=(const VerdictSink &) = delete;

    // The verdicts sent since the last call, in order.
    std::vector<SentVerdict> take() {
        std::vector<SentVerdict> sent;
        alignas(nlmsghdr) unsigned char buffer[8192];
        pollfd p{handle.fd, POLLIN, 0};
        while (poll(&p, 1, 200) == 1) {
            ssize_t n = recv(handle.fd, buffer, sizeof buffer, 0);
            if (n < static_cast<ssize_t>(sizeof(nlmsghdr) + sizeof(nlmsgerr))) {
                break;
            }
            auto *header = reinterpret_cast<nlmsghdr *>(buffer);
            auto *error = static_cast<nlmsgerr *>(mnl_nlmsg_get_payload(header));
            if (header->nlmsg_type != NLMSG_ERROR ||
                error->msg.nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT)) {
                continue;
            }
            nlattr *attr[NFQA_MAX + 1] = {};
            if (nfq_nlmsg_parse(&error->msg, attr) < 0 || attr[NFQA_VERDICT_HDR] == nullptr) {
                continue;
            }
            nfqnl_msg_verdict_hdr v;
            memcpy(&v, mnl_attr_get_payload(attr[NFQA_VERDICT_HDR]), sizeof v);
            sent.push_back({ntohl(v.id), ntohl(v.verdict)});
        }
        return sent;
    }

    nl_filter_handle handle;
};
