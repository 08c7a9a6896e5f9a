// The packet-queue message layouts that the rest of the system reads and writes. These are the
// records of the kernel's original ip_queue interface; the nfnetlink_queue path of nllib
// translates what today's kernels deliver into them.
#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>

// Message types of the packet queue.
inline constexpr uint16_t IPQM_MODE = 17;     // mode request
inline constexpr uint16_t IPQM_VERDICT = 18;  // verdict
inline constexpr uint16_t IPQM_PACKET = 19;   // a queued packet
// A queued packet whose message could not be read: an ipq_packet_msg that holds only the
// packet_id, so that the packet still gets its verdict. Made by nllib alone.
inline constexpr uint16_t ULVO_UNUSABLE_PACKET = 20;

// The owner of a packet that has no local socket, or whose owner the kernel did not name.
inline constexpr uint32_t ULVO_NO_OWNER = 0xffffffff;

// Copy modes and verdicts (<linux/netfilter.h> clashes with <netinet/in.h>, so they live here).
inline constexpr uint8_t IPQ_COPY_PACKET = 2;
inline constexpr int ULVO_NF_DROP = 0;
inline constexpr int ULVO_NF_ACCEPT = 1;

// Mode request payload.
struct ipq_mode_msg {
    uint8_t value;
    size_t range;
};

// Verdict payload.
struct ipq_verdict_msg {
    uint32_t value;
    unsigned long id;
    size_t data_len;
};

// A queued packet: header, then the packet's first bytes at payload.
struct ipq_packet_msg {
    unsigned long packet_id;
    unsigned long mark;
    long timestamp_sec;
    long timestamp_usec;
    unsigned int hook;
    char indev_name[16];
    char outdev_name[16];
    uint16_t hw_protocol;  // network byte order
    unsigned short hw_type;
    unsigned char hw_addrlen;
    unsigned char hw_addr[8];
    size_t data_len;
    unsigned char payload[];
};

#if defined(__LP64__)
static_assert(sizeof(ipq_mode_msg) == 16);
static_assert(sizeof(ipq_verdict_msg) == 24);
static_assert(offsetof(ipq_packet_msg, data_len) == 88);
static_assert(offsetof(ipq_packet_msg, payload) == 96);
#else
static_assert(sizeof(ipq_mode_msg) == 8);
static_assert(sizeof(ipq_verdict_msg) == 12);
static_assert(offsetof(ipq_packet_msg, data_len) == 68);
static_assert(offsetof(ipq_packet_msg, payload) == 72);
#endif
static_assert(sizeof(nlmsghdr) == 16);

// Where the packet's bytes start inside a packet message.
inline constexpr size_t IPQ_PAYLOAD_OFFSET = offsetof(ipq_packet_msg, payload);
// How many bytes of each packet the system keeps: enough for any IPv4 or IPv6 header.
inline constexpr size_t PACKET_COPY_BYTES = 240;
// One received message: netlink header, packet message header, packet bytes (352 or 328).
inline constexpr size_t ULVO_MSG_BUF_SIZE =
    sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET + PACKET_COPY_BYTES;
#if defined(__LP64__)
static_assert(ULVO_MSG_BUF_SIZE == 352);
#else
static_assert(ULVO_MSG_BUF_SIZE == 328);
#endif
