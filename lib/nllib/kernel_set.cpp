#include "kernel_set.h"

#include <endian.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/ipset/ip_set.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_acct.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace {

// The oldest protocol version that kernels with ipset take; newer kernels take it still.
constexpr uint8_t IPSET_PROTOCOL_SENT = IPSET_PROTOCOL_MIN;
// Room for two requests, or for the answers the kernel sends in one datagram.
constexpr size_t BUFFER_SIZE = 8192;

uint8_t nf_family(int ip_version) {
    return ip_version == 2 ? NFPROTO_IPV6 : NFPROTO_IPV4;
}

// Starts a request of the subsystem in buf: the netlink header, then the nfnetlink one.
nlmsghdr *put_request(char *buf, kernel_set_socket *connection, int subsystem, int command,
                      uint16_t flags) {
    nlmsghdr *message = mnl_nlmsg_put_header(buf);
    message->nlmsg_type = static_cast<uint16_t>(subsystem << 8 | command);
    message->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
    message->nlmsg_seq = ++connection->sequence;
    auto *header = static_cast<nfgenmsg *>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    header->nfgen_family = subsystem == NFNL_SUBSYS_IPSET ? AF_INET : AF_UNSPEC;
    header->version = NFNETLINK_V0;
    header->res_id = 0;
    return message;
}

nlmsghdr *put_set_request(char *buf, kernel_set_socket *connection, int command, uint16_t flags,
                          const char *name) {
    nlmsghdr *message = put_request(buf, connection, NFNL_SUBSYS_IPSET, command, flags);
    mnl_attr_put_u8(message, IPSET_ATTR_PROTOCOL, IPSET_PROTOCOL_SENT);
    mnl_attr_put_strz(message, IPSET_ATTR_SETNAME, name);
    return message;
}

// The element: DATA { IP { IPADDR_IPV4 or IPADDR_IPV6, in network byte order } }.
void put_address(nlmsghdr *message, int ip_version, const unsigned char *address) {
    nlattr *data = mnl_attr_nest_start(message, IPSET_ATTR_DATA);
    nlattr *ip = mnl_attr_nest_start(message, IPSET_ATTR_IP);
    if (ip_version == 2) {
        mnl_attr_put(message, IPSET_ATTR_IPADDR_IPV6 | NLA_F_NET_BYTEORDER, 16, address);
    } else {
        mnl_attr_put(message, IPSET_ATTR_IPADDR_IPV4 | NLA_F_NET_BYTEORDER, 4, address);
    }
    mnl_attr_nest_end(message, ip);
    mnl_attr_nest_end(message, data);
}

using answer_handler = void (*)(const nlmsghdr *message, void *data);

// Sends length bytes of requests, whose sequence numbers run up to the connection's latest, and
// reads the answers: acknowledgements until each request has one (a dump: until it is done),
// every other answer to the handler. Answers to an earlier exchange that gave up are skipped.
int exchange(kernel_set_socket *connection, const char *buf, size_t length, int requests, bool dump,
             answer_handler handler, void *data) {
    if (mnl_socket_sendto(connection->socket, buf, length) < 0) {
        return errno;
    }
    const uint32_t first = connection->sequence - static_cast<uint32_t>(requests) + 1;
    int acknowledged = 0;
    int result = 0;
    alignas(nlmsghdr) char answer[BUFFER_SIZE];
    for (;;) {
        ssize_t received = mnl_socket_recvfrom(connection->socket, answer, sizeof answer);
        if (received < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? KSET_NO_ANSWER : errno;
        }
        int left = static_cast<int>(received);
        for (auto *message = reinterpret_cast<const nlmsghdr *>(answer);
             mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
            if (message->nlmsg_seq - first >= static_cast<uint32_t>(requests)) {
                continue;  // not an answer to these requests
            }
            if (message->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(message));
                if (error->error != 0 && result == 0) {
                    result = -error->error;
                }
                if (dump || ++acknowledged == requests) {
                    return result;
                }
            } else if (message->nlmsg_type == NLMSG_DONE) {
                return result;
            } else if (handler != nullptr) {
                handler(message, data);
            }
        }
    }
}

int simple_request(kernel_set_socket *connection, nlmsghdr *message, char *buf) {
    return exchange(connection, buf, message->nlmsg_len, 1, false, nullptr, nullptr);
}

// Calls f for each attribute between start and end.
template <typename F>
void for_each_attribute(const void *start, const void *end, F f) {
    const auto *attribute = static_cast<const nlattr *>(start);
    while (mnl_attr_ok(attribute, static_cast<int>(static_cast<const char *>(end) -
                                                   reinterpret_cast<const char *>(attribute)))) {
        f(attribute);
        attribute = mnl_attr_next(attribute);
    }
}

template <typename F>
void for_each_nested(const nlattr *nest, F f) {
    for_each_attribute(mnl_attr_get_payload(nest),
                       reinterpret_cast<const char *>(nest) + mnl_attr_get_len(nest), f);
}

template <typename F>
void for_each_in_message(const nlmsghdr *message, F f) {
    for_each_attribute(mnl_nlmsg_get_payload_offset(message, sizeof(nfgenmsg)),
                       mnl_nlmsg_get_payload_tail(message), f);
}

// What kset_members collects from a listing.
struct members {
    unsigned char (*out)[16];
    int max;
    int count;
};

// An element of a listing: DATA { IP { IPADDR_IPV4 or IPADDR_IPV6 } }.
void add_member(const nlattr *element, members *found) {
    for_each_nested(element, [found](const nlattr *inner) {
        if (mnl_attr_get_type(inner) != IPSET_ATTR_IP) {
            return;
        }
        for_each_nested(inner, [found](const nlattr *address) {
            uint16_t size = mnl_attr_get_payload_len(address);
            int type = mnl_attr_get_type(address);
            bool usable = (type == IPSET_ATTR_IPADDR_IPV4 && size == 4) ||
                          (type == IPSET_ATTR_IPADDR_IPV6 && size == 16);
            if (usable && found->count < found->max) {
                unsigned char *slot = found->out[found->count++];
                memset(slot, 0, 16);
                memcpy(slot, mnl_attr_get_payload(address), size);
            }
        });
    });
}

void collect_members(const nlmsghdr *message, void *data) {
    auto *found = static_cast<members *>(data);
    for_each_in_message(message, [found](const nlattr *attribute) {
        if (mnl_attr_get_type(attribute) != IPSET_ATTR_ADT) {
            return;
        }
        for_each_nested(attribute, [found](const nlattr *element) {
            if (mnl_attr_get_type(element) == IPSET_ATTR_DATA) {
                add_member(element, found);
            }
        });
    });
}

void read_packets(const nlmsghdr *message, void *data) {
    for_each_in_message(message, [data](const nlattr *attribute) {
        if (mnl_attr_get_type(attribute) == NFACCT_PKTS &&
            mnl_attr_validate(attribute, MNL_TYPE_U64) == 0) {
            *static_cast<uint64_t *>(data) = be64toh(mnl_attr_get_u64(attribute));
        }
    });
}

int acct_request(kernel_set_socket *connection, int command, uint16_t flags, const char *name,
                 answer_handler handler, void *data) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    nlmsghdr *message = put_request(buf, connection, NFNL_SUBSYS_ACCT, command, flags | NLM_F_ACK);
    mnl_attr_put_strz(message, NFACCT_NAME, name);
    return exchange(connection, buf, message->nlmsg_len, 1, false, handler, data);
}

}  // namespace

int kset_open(kernel_set_socket *connection) {
    *connection = kernel_set_socket{};
    mnl_socket *socket = mnl_socket_open(NETLINK_NETFILTER);
    if (socket == nullptr) {
        return errno;
    }
    // Never waits for ever: the kernel answers at once, or something is wrong.
    timeval limit{1, 0};
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) < 0 ||
        setsockopt(mnl_socket_get_fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        int error = errno;
        mnl_socket_close(socket);
        return error;
    }
    connection->socket = socket;
    connection->port = mnl_socket_get_portid(socket);
    return 0;
}

void kset_close(kernel_set_socket *connection) {
    if (connection->socket != nullptr) {
        mnl_socket_close(connection->socket);
    }
    connection->socket = nullptr;
}

int kset_create(kernel_set_socket *connection, const char *name, int ip_version) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    nlmsghdr *message =
        put_set_request(buf, connection, IPSET_CMD_CREATE, NLM_F_ACK | NLM_F_EXCL, name);
    mnl_attr_put_strz(message, IPSET_ATTR_TYPENAME, "hash:ip");
    mnl_attr_put_u8(message, IPSET_ATTR_REVISION, 0);
    mnl_attr_put_u8(message, IPSET_ATTR_FAMILY, nf_family(ip_version));
    nlattr *data = mnl_attr_nest_start(message, IPSET_ATTR_DATA);
    mnl_attr_put_u32(message, IPSET_ATTR_MAXELEM | NLA_F_NET_BYTEORDER, htobe32(KSET_MAX_MEMBERS));
    mnl_attr_nest_end(message, data);
    return simple_request(connection, message, buf);
}

int kset_destroy(kernel_set_socket *connection, const char *name) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    nlmsghdr *message = put_set_request(buf, connection, IPSET_CMD_DESTROY, NLM_F_ACK, name);
    return simple_request(connection, message, buf);
}

int kset_flush(kernel_set_socket *connection, const char *name) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    nlmsghdr *message = put_set_request(buf, connection, IPSET_CMD_FLUSH, NLM_F_ACK, name);
    return simple_request(connection, message, buf);
}

int kset_replace(kernel_set_socket *connection, const char *name, int ip_version,
                 const unsigned char *removed, const unsigned char *added) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    size_t length = 0;
    int requests = 0;
    const struct {
        int command;
        const unsigned char *address;
    } changes[] = {{IPSET_CMD_DEL, removed}, {IPSET_CMD_ADD, added}};
    for (const auto &change : changes) {
        if (change.address == nullptr) {
            continue;
        }
        nlmsghdr *message =
            put_set_request(buf + length, connection, change.command, NLM_F_ACK, name);
        put_address(message, ip_version, change.address);
        length += MNL_ALIGN(message->nlmsg_len);
        ++requests;
    }
    return requests == 0 ? 0 : exchange(connection, buf, length, requests, false, nullptr, nullptr);
}

int kset_members(kernel_set_socket *connection, const char *name, unsigned char (*out)[16], int max,
                 int *count) {
    alignas(nlmsghdr) char buf[BUFFER_SIZE];
    nlmsghdr *message = put_set_request(buf, connection, IPSET_CMD_LIST, NLM_F_DUMP, name);
    members found{out, max, 0};
    int rc = exchange(connection, buf, message->nlmsg_len, 1, true, collect_members, &found);
    *count = found.count;
    return rc;
}

int kacct_create(kernel_set_socket *connection, const char *name) {
    return acct_request(connection, NFNL_MSG_ACCT_NEW, NLM_F_CREATE, name, nullptr, nullptr);
}

int kacct_delete(kernel_set_socket *connection, const char *name) {
    return acct_request(connection, NFNL_MSG_ACCT_DEL, 0, name, nullptr, nullptr);
}

int kacct_read(kernel_set_socket *connection, const char *name, uint64_t *packets) {
    *packets = 0;
    return acct_request(connection, NFNL_MSG_ACCT_GET, 0, name, read_packets, packets);
}

int kacct_take(kernel_set_socket *connection, const char *name, uint64_t *packets) {
    *packets = 0;
    return acct_request(connection, NFNL_MSG_ACCT_GET_CTRZERO, 0, name, read_packets, packets);
}
