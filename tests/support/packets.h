// Test helpers: request elements holding crafted packet messages.
#pragma once

#include <arpa/inet.h>

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
