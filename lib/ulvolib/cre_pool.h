// The fixed pool of connection request elements, under cr_mutex: each received packet lives in
// one, which the delay queue (daemon_rule.h) keeps while the packet is held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipq_msg.h"

struct nl_filter_handle;

// One received packet-queue message with what the daemon needs to judge and release it.
struct cre {
    int32_t ip_version;        // 1 = IPv4, 2 = IPv6
    int32_t addr_offset;       // destination address offset in the IP header: 16 or 24
    int32_t addr_len;          // destination address length: 4 or 16
    nl_filter_handle *filter;  // the queue connection the verdict must go back on
    uint32_t owner_uid;        // the uid owning the packet's socket, or ULVO_NO_OWNER
    alignas(unsigned long) unsigned char msg_buf[ULVO_MSG_BUF_SIZE];
    ipq_packet_msg *pkt;  // the packet message inside msg_buf, once one was received
    cre *next;            // free list or released chain
};
static_assert(offsetof(cre, msg_buf) % alignof(unsigned long) == 0);
static_assert((offsetof(cre, msg_buf) + sizeof(nlmsghdr)) % alignof(ipq_packet_msg) == 0);

// The destination address bytes of the element's packet (addr_len of them).
inline const unsigned char *cre_destination(const cre *element) {
    return reinterpret_cast<const unsigned char *>(element->pkt) + IPQ_PAYLOAD_OFFSET +
           element->addr_offset;
}

// The held connections of one owner.
struct owner_count {
    uint32_t uid;  // ULVO_NO_OWNER: packets without a known owner, and owners beyond the table
    uint32_t held;
};
// Owners counted apart; further ones are counted with ULVO_NO_OWNER.
inline constexpr int OWNER_SLOTS = 32;

// What the alarm report needs of one held packet.
struct held_packet {
    uint32_t owner_uid;
    int32_t ip_version;  // 1 or 2
    unsigned char destination[16];
    uint8_t protocol;      // 6 TCP, 17 UDP, else 0
    uint16_t source_port;  // host byte order; 0 when not TCP or UDP
};

// Allocates a block of count linked elements; null after a report when memory is short.
cre *create_cre_pool(int count);
// Creates the pool with count elements and makes it the free list: 0, or 1 (reported).
int init_cre_pool(int count);

// Takes an element off the free list and sets it up for the IP version; null when empty.
cre *alloc_cre(int ip_version);
// Returns the element to the front of the free list.
void free_cre(cre *element);
