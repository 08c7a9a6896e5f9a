// Test helpers: request elements holding crafted packet messages.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "cre_pool.h"

// Makes the element hold a packet message to the given IPv4 or IPv6 address.
inline void set_destination(cre *element, const std::string &address) {
    element->pkt = reinterpret_cast<ipq_packet_msg *>(element->msg_buf + sizeof(nlmsghdr));
    unsigned char *ip = element->msg_buf + sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET;
    memset(ip, 0, PACKET_COPY_BYTES);
    if (address.find(':') != std::string::npos) {
        ip[0] = 0x60;
        inet_pton(AF_INET6, address.c_str(), ip + 24);
    } else {
        ip[0] = 0x45;
        inet_pton(AF_INET, address.c_str(), ip + 16);
    }
}

// An element on the stack, set up for the address's IP version, outside any pool.
struct TestCre {
    explicit TestCre(const std::string &address) {
        memset(&element, 0, sizeof element);
        bool v6 = address.find(':') != std::string::npos;
        element.ip_version = v6 ? 2 : 1;
        element.addr_offset = v6 ? 24 : 16;
        element.addr_len = v6 ? 16 : 4;
        set_destination(&element, address);
    }
    cre element;
};

// Fills the element's buffer as nl_get_msg leaves it for a queued packet to the address.
inline void make_packet_message(cre *element, const std::string &address, unsigned long id) {
    memset(element->msg_buf, 0, sizeof element->msg_buf);
    set_destination(element, address);
    element->pkt = nullptr;  // the throttle thread sets it
    nlmsghdr header{};
    header.nlmsg_len = sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET + 40;
    header.nlmsg_type = IPQM_PACKET;
    memcpy(element->msg_buf, &header, sizeof header);
    memcpy(element->msg_buf + sizeof header, &id, sizeof id);
    size_t data_len = 40;
    memcpy(element->msg_buf + sizeof header + offsetof(ipq_packet_msg, data_len), &data_len,
           sizeof data_len);
}

// Fills the element's buffer with a bare netlink message of the type (and an error code).
inline void make_control_message(cre *element, uint16_t type, int error = 0) {
    memset(element->msg_buf, 0, sizeof element->msg_buf);
    nlmsghdr header{};
    header.nlmsg_len = type == NLMSG_ERROR ? 36 : 16;
    header.nlmsg_type = type;
    memcpy(element->msg_buf, &header, sizeof header);
    memcpy(element->msg_buf + sizeof header, &error, sizeof error);
}
