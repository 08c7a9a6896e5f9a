#include "nfq_translate.h"

#include <arpa/inet.h>
#include <endian.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ipq_msg.h"

namespace {

constexpr size_t HEADER = sizeof(nlmsghdr);
constexpr size_t ATTRIBUTES = HEADER + sizeof(nfgenmsg);       // where the attributes start
constexpr size_t PACKET_HEADER = HEADER + IPQ_PAYLOAD_OFFSET;  // 112, or 88 on i386

// Sizes of the attributes that the translation reads; every other attribute is passed over.
constexpr size_t attribute_size(uint16_t type) {
    switch (type) {
        case NFQA_PACKET_HDR:
            return sizeof(nfqnl_msg_packet_hdr);
        case NFQA_MARK:
            return sizeof(uint32_t);
        case NFQA_TIMESTAMP:
            return sizeof(nfqnl_msg_packet_timestamp);
        case NFQA_HWADDR:
            return sizeof(nfqnl_msg_packet_hw);
        case NFQA_UID:
            return sizeof(uint32_t);
        default:
            return 0;
    }
}

// Attribute walk callback: keeps each attribute the translation reads once its size is checked.
int keep_attribute(const nlattr *attribute, void *data) {
    auto **attr = static_cast<const nlattr **>(data);
    uint16_t type = mnl_attr_get_type(attribute);
    if (mnl_attr_type_valid(attribute, NFQA_MAX) < 0) {
        return MNL_CB_OK;  // newer kernels add attributes
    }
    size_t size = attribute_size(type);
    if (size > 0 && mnl_attr_validate2(attribute, MNL_TYPE_UNSPEC, size) < 0) {
        return MNL_CB_ERROR;
    }
    attr[type] = attribute;
    return MNL_CB_OK;
}

// Writes a bare header of the given type, cut to out_size; returns the bytes written.
size_t put_header(unsigned char *out, size_t out_size, uint16_t type, uint32_t seq) {
    nlmsghdr header{};
    header.nlmsg_len = HEADER;
    header.nlmsg_type = type;
    header.nlmsg_seq = seq;
    size_t n = std::min(out_size, HEADER);
    memcpy(out, &header, n);
    return n;
}

// An error message keeps the kernel's negated errno; a short one is padded with zeros.
//
// nfnetlink_queue refuses to bind a queue that another socket holds with EPERM, where ip_queue
// answered EBUSY. The daemon runs with CAP_NET_ADMIN, so a refused configuration request means
// exactly that, and it is reported with the code the rest of the system knows for it.
size_t put_error(const unsigned char *in, size_t in_len, uint32_t declared, unsigned char *out,
                 size_t out_size) {
    constexpr size_t ERROR_SIZE = HEADER + sizeof(nlmsgerr);
    size_t have = std::min<size_t>(in_len, std::max<size_t>(declared, HEADER));
    size_t length = std::max(have, ERROR_SIZE);
    unsigned char message[ERROR_SIZE] = {};
    memcpy(message, in, std::min(have, ERROR_SIZE));
    auto len32 = static_cast<uint32_t>(length);
    memcpy(message + offsetof(nlmsghdr, nlmsg_len), &len32, sizeof len32);
    nlmsgerr error;
    memcpy(&error, message + HEADER, sizeof error);
    const uint16_t config_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
    if (error.error == -EPERM && have >= ERROR_SIZE && error.msg.nlmsg_type == config_type) {
        error.error = -EBUSY;
        memcpy(message + HEADER, &error.error, sizeof error.error);
    }

    size_t n = std::min(out_size, length);
    size_t head = std::min(n, ERROR_SIZE);
    memcpy(out, message, head);
    if (n > head) {
        memcpy(out + head, in + head, n - head);  // n > ERROR_SIZE only when have > ERROR_SIZE
    }
    return n;
}

// A packet message the system cannot read still names its packet: the id alone is handed on,
// so that the packet gets its verdict.
size_t put_unusable(const nlmsghdr *in, const nlattr *const *attr, unsigned char *out,
                    size_t out_size) {
    nfqnl_msg_packet_hdr packet_header;
    memcpy(&packet_header, mnl_attr_get_payload(attr[NFQA_PACKET_HDR]), sizeof packet_header);
    struct {
        nlmsghdr header;
        ipq_packet_msg packet;
    } message{};
    static_assert(sizeof message >= PACKET_HEADER);
    message.header.nlmsg_len = static_cast<uint32_t>(PACKET_HEADER);
    message.header.nlmsg_type = ULVO_UNUSABLE_PACKET;
    message.header.nlmsg_seq = in->nlmsg_seq;
    message.packet.packet_id = ntohl(packet_header.packet_id);
    size_t n = std::min(out_size, PACKET_HEADER);
    memcpy(out, &message, n);
    return n;
}

size_t put_packet(const nlmsghdr *in, const nlattr *const *attr, unsigned char *out,
                  size_t out_size) {
    nfqnl_msg_packet_hdr packet_header;
    memcpy(&packet_header, mnl_attr_get_payload(attr[NFQA_PACKET_HDR]), sizeof packet_header);
    const nlattr *payload_attr = attr[NFQA_PAYLOAD];
    size_t packet_len = mnl_attr_get_payload_len(payload_attr);
    size_t room = out_size > PACKET_HEADER ? out_size - PACKET_HEADER : 0;
    size_t copied = std::min(packet_len, room);

    struct {
        nlmsghdr header;
        ipq_packet_msg packet;
    } message{};
    static_assert(sizeof message >= PACKET_HEADER);
    message.header.nlmsg_len = static_cast<uint32_t>(PACKET_HEADER + copied);
    message.header.nlmsg_type = IPQM_PACKET;
    message.header.nlmsg_seq = in->nlmsg_seq;
    message.packet.packet_id = ntohl(packet_header.packet_id);
    message.packet.hook = packet_header.hook;
    message.packet.hw_protocol = packet_header.hw_protocol;
    if (attr[NFQA_MARK] != nullptr) {
        message.packet.mark = ntohl(mnl_attr_get_u32(attr[NFQA_MARK]));
    }
    if (attr[NFQA_TIMESTAMP] != nullptr) {
        nfqnl_msg_packet_timestamp stamp;
        memcpy(&stamp, mnl_attr_get_payload(attr[NFQA_TIMESTAMP]), sizeof stamp);
        message.packet.timestamp_sec = static_cast<long>(be64toh(stamp.sec));
        message.packet.timestamp_usec = static_cast<long>(be64toh(stamp.usec));
    }
    if (attr[NFQA_HWADDR] != nullptr) {
        nfqnl_msg_packet_hw hw;
        memcpy(&hw, mnl_attr_get_payload(attr[NFQA_HWADDR]), sizeof hw);
        size_t len = std::min<size_t>(ntohs(hw.hw_addrlen), sizeof hw.hw_addr);
        message.packet.hw_addrlen = static_cast<unsigned char>(len);
        memcpy(message.packet.hw_addr, hw.hw_addr, len);
    }
    message.packet.data_len = copied;

    size_t head = std::min(out_size, PACKET_HEADER);
    memcpy(out, &message, head);
    if (room > 0) {
        // Bytes after the copied packet are zeroed, so nothing of an earlier message is read as
        // part of this one.
        memcpy(out + PACKET_HEADER, mnl_attr_get_payload(payload_attr), copied);
        memset(out + PACKET_HEADER + copied, 0, room - copied);
    }
    return head + room;
}

}  // namespace

uint32_t nfq_packet_copy_range(unsigned long copy_range) {
    if (copy_range <= PACKET_HEADER) {
        return 0;
    }
    return static_cast<uint32_t>(
        std::min<unsigned long>(copy_range - PACKET_HEADER, NFQ_MAX_PACKET_COPY));
}

size_t nfq_translate(const unsigned char *in, size_t in_len, bool from_kernel, unsigned char *out,
                     size_t out_size, uint32_t *owner) {
    uint32_t ignored;
    if (owner == nullptr) {
        owner = &ignored;
    }
    *owner = ULVO_NO_OWNER;
    if (out_size == 0) {
        return 0;
    }
    if (!from_kernel || in_len < HEADER) {
        return put_header(out, out_size, NLMSG_NOOP, 0);
    }
    // The datagram may sit anywhere in the caller's memory: work on an aligned copy of its
    // header, and parse attributes only from an aligned datagram (the receive stages it so).
    nlmsghdr header;
    memcpy(&header, in, HEADER);
    const uint16_t packet_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;

    if (header.nlmsg_type == NLMSG_ERROR) {
        return put_error(in, in_len, header.nlmsg_len, out, out_size);
    }
    if (header.nlmsg_type == packet_type &&
        reinterpret_cast<uintptr_t>(in) % alignof(nlmsghdr) == 0 &&
        header.nlmsg_len >= ATTRIBUTES) {
        // The walk never reads past the declared length nor past what was received. The kernel
        // does not pad the last attribute, so the declared length itself is the bound, not its
        // padded size.
        size_t bound = std::min<size_t>(header.nlmsg_len, in_len);
        nlattr *attr[NFQA_MAX + 1] = {};
        int parsed =
            mnl_attr_parse_payload(in + ATTRIBUTES, bound - ATTRIBUTES, keep_attribute, attr);
        if (attr[NFQA_PACKET_HDR] != nullptr) {
            if (parsed == MNL_CB_OK && header.nlmsg_len <= in_len &&
                attr[NFQA_PAYLOAD] != nullptr) {
                if (attr[NFQA_UID] != nullptr) {
                    *owner = ntohl(mnl_attr_get_u32(attr[NFQA_UID]));
                }
                return put_packet(&header, attr, out, out_size);
            }
            // The kernel holds this packet until it gets a verdict: hand on its id.
            return put_unusable(&header, attr, out, out_size);
        }
    }
    // A no-op stays a no-op; anything else keeps its type for the reader to report, except
    // that nothing but a translation may ever carry one of the packet types.
    uint16_t type = header.nlmsg_type;
    if (type == IPQM_PACKET || type == ULVO_UNUSABLE_PACKET) {
        type = NLMSG_NOOP;
    }
    return put_header(out, out_size, type, header.nlmsg_seq);
}
