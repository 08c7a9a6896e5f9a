#include "ct_events.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

namespace {

// The nested attributes of a tuple: each kept in tb when it is of the expected type and size.
struct tuple_attributes {
    const nlattr *ip = nullptr, *proto = nullptr;
};

int keep_tuple(const nlattr *attribute, void *data) {
    auto *tb = static_cast<tuple_attributes *>(data);
    switch (mnl_attr_get_type(attribute)) {
        case CTA_TUPLE_IP:
            if (mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0) {
                tb->ip = attribute;
            }
            break;
        case CTA_TUPLE_PROTO:
            if (mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0) {
                tb->proto = attribute;
            }
            break;
        default:
            break;
    }
    return MNL_CB_OK;
}

struct address_attributes {
    const nlattr *v4_src = nullptr, *v4_dst = nullptr, *v6_src = nullptr, *v6_dst = nullptr;
};

int keep_address(const nlattr *attribute, void *data) {
    auto *tb = static_cast<address_attributes *>(data);
    int type = mnl_attr_get_type(attribute);
    if ((type == CTA_IP_V4_SRC || type == CTA_IP_V4_DST) &&
        mnl_attr_validate(attribute, MNL_TYPE_U32) == 0) {
        (type == CTA_IP_V4_SRC ? tb->v4_src : tb->v4_dst) = attribute;
    } else if ((type == CTA_IP_V6_SRC || type == CTA_IP_V6_DST) &&
               mnl_attr_validate2(attribute, MNL_TYPE_BINARY, 16) == 0) {
        (type == CTA_IP_V6_SRC ? tb->v6_src : tb->v6_dst) = attribute;
    }
    return MNL_CB_OK;
}

struct proto_attributes {
    const nlattr *num = nullptr, *src_port = nullptr, *dst_port = nullptr;
};

int keep_proto(const nlattr *attribute, void *data) {
    auto *tb = static_cast<proto_attributes *>(data);
    int type = mnl_attr_get_type(attribute);
    if (type == CTA_PROTO_NUM && mnl_attr_validate(attribute, MNL_TYPE_U8) == 0) {
        tb->num = attribute;
    } else if ((type == CTA_PROTO_SRC_PORT || type == CTA_PROTO_DST_PORT) &&
               mnl_attr_validate(attribute, MNL_TYPE_U16) == 0) {
        (type == CTA_PROTO_SRC_PORT ? tb->src_port : tb->dst_port) = attribute;
    }
    return MNL_CB_OK;
}

struct event_attributes {
    const nlattr *orig = nullptr, *status = nullptr;
};

int keep_event(const nlattr *attribute, void *data) {
    auto *tb = static_cast<event_attributes *>(data);
    int type = mnl_attr_get_type(attribute);
    if (type == CTA_TUPLE_ORIG && mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0) {
        tb->orig = attribute;
    } else if (type == CTA_STATUS && mnl_attr_validate(attribute, MNL_TYPE_U32) == 0) {
        tb->status = attribute;
    }
    return MNL_CB_OK;
}

// The tuple's addresses and ports into *event: false when a part is missing or malformed.
bool read_tuple(const nlattr *orig, ct_event *event) {
    tuple_attributes tuple;
    address_attributes ip;
    proto_attributes proto;
    if (mnl_attr_parse_nested(orig, keep_tuple, &tuple) != MNL_CB_OK || tuple.ip == nullptr ||
        tuple.proto == nullptr || mnl_attr_parse_nested(tuple.ip, keep_address, &ip) != MNL_CB_OK ||
        mnl_attr_parse_nested(tuple.proto, keep_proto, &proto) != MNL_CB_OK ||
        proto.num == nullptr) {
        return false;
    }
    if (ip.v4_src != nullptr && ip.v4_dst != nullptr) {
        event->ip_version = 1;
        memcpy(event->source, mnl_attr_get_payload(ip.v4_src), 4);
        memcpy(event->destination, mnl_attr_get_payload(ip.v4_dst), 4);
    } else if (ip.v6_src != nullptr && ip.v6_dst != nullptr) {
        event->ip_version = 2;
        memcpy(event->source, mnl_attr_get_payload(ip.v6_src), 16);
        memcpy(event->destination, mnl_attr_get_payload(ip.v6_dst), 16);
    } else {
        return false;
    }
    event->protocol = mnl_attr_get_u8(proto.num);
    event->source_port = proto.src_port ? ntohs(mnl_attr_get_u16(proto.src_port)) : 0;
    event->port = proto.dst_port ? ntohs(mnl_attr_get_u16(proto.dst_port)) : 0;
    return true;
}

}  // namespace

int ct_parse_event(const void *message, size_t length, ct_event *event) {
    *event = ct_event{};
    if (length < sizeof(nlmsghdr)) {
        return CT_MALFORMED;
    }
    const auto *header = static_cast<const nlmsghdr *>(message);
    // libmnl walks the attributes up to the aligned end of the message: that much must be there.
    if (MNL_ALIGN(header->nlmsg_len) > length) {
        return CT_MALFORMED;
    }
    if (header->nlmsg_len < sizeof(nlmsghdr) + sizeof(nfgenmsg)) {
        return CT_NOT_AN_EVENT;
    }
    if (NFNL_SUBSYS_ID(header->nlmsg_type) != NFNL_SUBSYS_CTNETLINK) {
        return CT_NOT_AN_EVENT;
    }
    int kind = NFNL_MSG_TYPE(header->nlmsg_type);
    if (kind != IPCTNL_MSG_CT_NEW && kind != IPCTNL_MSG_CT_DELETE) {
        return CT_NOT_AN_EVENT;
    }
    event_attributes tb;
    if (mnl_attr_parse(header, sizeof(nfgenmsg), keep_event, &tb) != MNL_CB_OK ||
        tb.orig == nullptr || tb.status == nullptr || !read_tuple(tb.orig, event)) {
        return CT_MALFORMED;
    }
    uint32_t status = ntohl(mnl_attr_get_u32(tb.status));
    event->replied = (status & IPS_SEEN_REPLY) != 0;
    event->assured = (status & IPS_ASSURED) != 0;
    event->destroyed = kind == IPCTNL_MSG_CT_DELETE;
    return CT_EVENT;
}

int ct_events_open(int buffer) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0) {
        return -1;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups =
        (1u << (NFNLGRP_CONNTRACK_UPDATE - 1)) | (1u << (NFNLGRP_CONNTRACK_DESTROY - 1));
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
