#include "nllib.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "nfq_translate.h"
#include "nfqueue_numbers.h"
#include "nllib_testing.h"

namespace {

// Advanced on every nl_create_filter; only the main thread creates filters, during start-up.
uint32_t call_count = 0;

// The legacy packet-queue protocols; today's kernels answer EPROTONOSUPPORT for both.
constexpr int NETLINK_IPQ_V4 = 3;   // NETLINK_FIREWALL
constexpr int NETLINK_IPQ_V6 = 13;  // NETLINK_IP6_FW

// The kernel queue holds every packet that waits for a verdict: those the daemon holds in its
// delay queue (at most 1000, the largest delay_queue_size, all of one family at worst) and those
// it has not read yet. 8192 leaves room for a burst of over 7000 unread packets, far more than
// the daemon falls behind while it runs (it reads hundreds of thousands a second). Beyond that
// the queue fails open: the kernel lets new packets pass unjudged rather than drop them, so a
// stopped or overwhelmed daemon never cuts the host off. The socket's receive buffer must hold
// a full queue of unread messages (about 1.3 KiB of kernel memory each), or the kernel fails
// open before the queue is full.
constexpr int NFQ_RECEIVE_BUFFER = 8 << 20;  // the kernel doubles it: 16 MiB
constexpr uint32_t NFQ_QUEUE_MAXLEN = 8192;

// Packet ids are a 32-bit sequence per queue, compared modulo 2^32: a batch verdict for
// the newest id read plus this much covers every packet the kernel can still hold, the held
// ones (older) and the unread ones (newer).
constexpr uint32_t NFQ_BATCH_REACH = 1u << 30;

void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

// Fills the rest of a legacy handle: bind to the computed address, send the mode request.
int create_ipq(nl_filter_handle *filter, unsigned long copy_range) {
    if (bind(filter->fd, reinterpret_cast<const sockaddr *>(&filter->local),
             sizeof filter->local) == -1) {
        close_keeping_errno(filter->fd);
        return NL_NO_BIND;
    }
    unsigned char request[NL_MODE_REQUEST_SIZE];
    nl_encode_mode_request(request, filter->local.nl_pid, copy_range);
    if (sendto(filter->fd, request, sizeof request, 0,
               reinterpret_cast<const sockaddr *>(&filter->peer), sizeof filter->peer) == -1) {
        close_keeping_errno(filter->fd);
        return NL_NO_MODE;
    }
    return NL_OK;
}

// Opens the nfnetlink_queue socket of the family and binds its queue in packet-copy mode. The
// queue numbers of both families share one netlink protocol, so the kernel picks the socket's
// address instead of the computed one, which both handles of a thread would share.
int create_nfq(nl_filter_handle *filter, int protocol_family, unsigned long copy_range) {
    filter->nfqueue = 1;
    filter->queue_num = protocol_family == AF_INET ? ULVO_NFQUEUE_IPV4 : ULVO_NFQUEUE_IPV6;
    filter->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (filter->fd == -1) {
        return NL_NO_SOCKET;
    }
    filter->local.nl_pid = 0;
    socklen_t length = sizeof filter->local;
    int on = 1;
    int receive_buffer = NFQ_RECEIVE_BUFFER;
    if (bind(filter->fd, reinterpret_cast<const sockaddr *>(&filter->local),
             sizeof filter->local) == -1 ||
        getsockname(filter->fd, reinterpret_cast<sockaddr *>(&filter->local), &length) == -1 ||
        setsockopt(filter->fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on) == -1 ||
        (setsockopt(filter->fd, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer,
                    sizeof receive_buffer) == -1 &&
         setsockopt(filter->fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer) ==
             -1)) {
        close_keeping_errno(filter->fd);
        return NL_NO_BIND;
    }

    alignas(nlmsghdr) char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr *nlh = nfq_nlmsg_put(request, NFQNL_MSG_CONFIG, filter->queue_num);
    nfq_nlmsg_cfg_put_cmd(nlh, static_cast<uint16_t>(protocol_family), NFQNL_CFG_CMD_BIND);
    uint32_t packet_bytes = nfq_packet_copy_range(copy_range);
    nfq_nlmsg_cfg_put_params(nlh, packet_bytes > 0 ? NFQNL_COPY_PACKET : NFQNL_COPY_META,
                             static_cast<int>(packet_bytes));
    nfq_nlmsg_cfg_put_qmaxlen(nlh, NFQ_QUEUE_MAXLEN);
    // Fail open; and name each packet's owner, so that an alarm can say whose connections
    // are held.
    mnl_attr_put_u32(nlh, NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_UID_GID));
    mnl_attr_put_u32(nlh, NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_UID_GID));
    nlh->nlmsg_pid = filter->local.nl_pid;
    if (sendto(filter->fd, nlh, nlh->nlmsg_len, 0,
               reinterpret_cast<const sockaddr *>(&filter->peer), sizeof filter->peer) == -1) {
        close_keeping_errno(filter->fd);
        return NL_NO_MODE;
    }
    return NL_OK;
}

// Remembers the id of a packet just received, for nl_accept_all.
void note_packet_id(nl_filter_handle *filter, const unsigned char *message, size_t length) {
    nlmsghdr header;
    unsigned long id;
    if (length < sizeof header + sizeof id) {
        return;
    }
    memcpy(&header, message, sizeof header);
    if (header.nlmsg_type == IPQM_PACKET || header.nlmsg_type == ULVO_UNUSABLE_PACKET) {
        memcpy(&id, message + sizeof header, sizeof id);
        std::atomic_ref<uint32_t>(filter->newest_id)
            .store(static_cast<uint32_t>(id), std::memory_order_relaxed);
    }
}

}  // namespace

uint32_t nl_local_pid(uint32_t thread_id_low, uint32_t process_id, uint32_t count) {
    return ((thread_id_low << 16 | process_id) + count) >> 1;
}

void nl_encode_mode_request(unsigned char *out, uint32_t nl_pid, unsigned long copy_range) {
    memset(out, 0, NL_MODE_REQUEST_SIZE);
    nlmsghdr header{};
    header.nlmsg_len = NL_MODE_REQUEST_SIZE;
    header.nlmsg_type = IPQM_MODE;
    header.nlmsg_flags = NLM_F_REQUEST;
    header.nlmsg_pid = nl_pid;
    ipq_mode_msg mode{};
    mode.value = IPQ_COPY_PACKET;
    mode.range = copy_range;
    memcpy(out, &header, sizeof header);
    memcpy(out + sizeof header, &mode, sizeof mode);
}

void nl_encode_verdict(nlmsghdr *header, ipq_verdict_msg *payload, uint32_t nl_pid,
                       unsigned long packet_id, int verdict) {
    memset(header, 0, sizeof *header);
    memset(payload, 0, sizeof *payload);
    header->nlmsg_len = sizeof *header + sizeof *payload;
    header->nlmsg_type = IPQM_VERDICT;
    header->nlmsg_flags = NLM_F_REQUEST;
    header->nlmsg_pid = nl_pid;
    payload->value = static_cast<uint32_t>(verdict);
    payload->id = packet_id;
    payload->data_len = 0;
}

int nl_create_filter(nl_filter_handle *filter, int protocol_family, unsigned long copy_range) {
    memset(filter, 0, sizeof *filter);
    filter->peer.nl_family = AF_NETLINK;
    filter->local.nl_family = AF_NETLINK;
    static_assert(sizeof(pthread_t) >= sizeof(uint32_t));
    filter->local.nl_pid = nl_local_pid(static_cast<uint32_t>(pthread_self()),
                                        static_cast<uint32_t>(getpid()), call_count);
    ++call_count;
    errno = 0;

    int protocol;
    if (protocol_family == AF_INET) {
        protocol = NETLINK_IPQ_V4;
    } else if (protocol_family == AF_INET6) {
        protocol = NETLINK_IPQ_V6;
    } else {
        return NL_BAD_FAMILY;
    }
    filter->fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (filter->fd == -1) {
        if (errno == EPROTONOSUPPORT) {
            errno = 0;
            return create_nfq(filter, protocol_family, copy_range);
        }
        return NL_NO_SOCKET;
    }
    return create_ipq(filter, copy_range);
}

namespace {
// What a receive that brought nothing means: the timeout, or a failure. With a timeout set, a
// receive also fails with EINTR when the thread was interrupted (a stop by SIGSTOP or a
// debugger, for one); that too only means that nothing came.
int receive_failure(ssize_t got) {
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? NL_TIMED_OUT
                                                                                  : NL_NO_RECEIVE;
}
}  // namespace

int nl_set_receive_timeout(nl_filter_handle *filter, int ms) {
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return setsockopt(filter->fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0
               ? NL_OK
               : NL_NO_BIND;
}

int nl_get_msg(nl_filter_handle *filter, unsigned char *buffer, unsigned long size,
               uint32_t *owner) {
    if (owner != nullptr) {
        *owner = ULVO_NO_OWNER;
    }
    sockaddr_nl sender{};
    socklen_t sender_len = sizeof sender;
    if (filter->nfqueue == 0) {
        ssize_t got = recvfrom(filter->fd, buffer, size, 0, reinterpret_cast<sockaddr *>(&sender),
                               &sender_len);
        return got > 0 ? NL_OK : receive_failure(got);
    }
    alignas(nlmsghdr) unsigned char stage[NFQ_STAGE_SIZE];
    // MSG_TRUNC makes an oversized datagram report its real length, which the translation
    // then refuses as a packet instead of reading a cut one.
    ssize_t got = recvfrom(filter->fd, stage, sizeof stage, MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&sender), &sender_len);
    if (got <= 0) {
        return receive_failure(got);
    }
    bool from_kernel =
        sender_len >= sizeof sender && sender.nl_family == AF_NETLINK && sender.nl_pid == 0;
    size_t length = static_cast<size_t>(got);
    if (length > sizeof stage) {
        // Cut: the declared length then exceeds what is there, so it is refused as a packet
        // and its header is handed on for the reader to report.
        length = sizeof stage;
        reinterpret_cast<nlmsghdr *>(stage)->nlmsg_len = static_cast<uint32_t>(got);
    }
    size_t written = nfq_translate(stage, length, from_kernel, buffer, size, owner);
    note_packet_id(filter, buffer, written);
    return NL_OK;
}

int nl_msg_action(nl_filter_handle *filter, const unsigned long *packet_id, int verdict) {
    if (filter->nfqueue == 0) {
        nlmsghdr header;
        ipq_verdict_msg payload;
        nl_encode_verdict(&header, &payload, filter->local.nl_pid, *packet_id, verdict);
        iovec pieces[2] = {{&header, sizeof header}, {&payload, sizeof payload}};
        msghdr message{};
        message.msg_name = &filter->peer;
        message.msg_namelen = sizeof filter->peer;
        message.msg_iov = pieces;
        message.msg_iovlen = 2;
        return sendmsg(filter->fd, &message, 0) > 0 ? NL_OK : NL_NO_VERDICT;
    }
    alignas(nlmsghdr) char request[64];
    nlmsghdr *nlh = nfq_nlmsg_put(request, NFQNL_MSG_VERDICT, filter->queue_num);
    nfq_nlmsg_verdict_put(nlh, static_cast<int>(static_cast<uint32_t>(*packet_id)), verdict);
    nlh->nlmsg_pid = filter->local.nl_pid;
    ssize_t sent = sendto(filter->fd, nlh, nlh->nlmsg_len, 0,
                          reinterpret_cast<const sockaddr *>(&filter->peer), sizeof filter->peer);
    return sent > 0 ? NL_OK : NL_NO_VERDICT;
}

int nl_pending(const nl_filter_handle *filter) {
    pollfd waiting{filter->fd, POLLIN, 0};
    return poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN) != 0 ? 1 : 0;
}

int nl_accept_all(nl_filter_handle *filter) {
    if (filter->nfqueue == 0) {
        errno = EOPNOTSUPP;  // ip_queue has no batch verdict
        return NL_NO_VERDICT;
    }
    uint32_t newest = std::atomic_ref<uint32_t>(filter->newest_id).load(std::memory_order_relaxed);
    alignas(nlmsghdr) char request[64];
    nlmsghdr *nlh = nfq_nlmsg_put(request, NFQNL_MSG_VERDICT_BATCH, filter->queue_num);
    nfq_nlmsg_verdict_put(nlh, static_cast<int>(newest + NFQ_BATCH_REACH), ULVO_NF_ACCEPT);
    nlh->nlmsg_pid = filter->local.nl_pid;
    ssize_t sent = sendto(filter->fd, nlh, nlh->nlmsg_len, 0,
                          reinterpret_cast<const sockaddr *>(&filter->peer), sizeof filter->peer);
    return sent > 0 ? NL_OK : NL_NO_VERDICT;
}

void nl_destroy_filter(nl_filter_handle *filter) {
    if (filter->fd != -1) {
        close(filter->fd);
        filter->fd = -1;
    }
}

uint32_t nl_call_count_for_test() {
    return call_count;
}
