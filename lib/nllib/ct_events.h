// Connection-tracking events (ctnetlink): which of the host's connections were answered. One
// socket subscribed to the updates and the ends of connections, and one pure function that
// reads an event's original tuple and whether a reply was seen.
#pragma once

#include <cstddef>
#include <cstdint>

// One event: the connection's original direction and what the kernel says of it.
struct ct_event {
    int ip_version;            // 1 IPv4, 2 IPv6
    unsigned char source[16];  // network byte order; IPv4 in the first 4 bytes, rest zero
    unsigned char destination[16];
    uint8_t protocol;            // 6 TCP, 17 UDP, ...
    uint16_t source_port, port;  // host byte order; 0 where the protocol has none
    bool replied;                // a reply was seen (IPS_SEEN_REPLY)
    bool assured;                // TCP: the handshake completed (IPS_ASSURED)
    bool destroyed;              // the connection ended
};

// What ct_parse_event found in one netlink message.
enum { CT_EVENT = 0, CT_NOT_AN_EVENT = 1, CT_MALFORMED = 2 };

// Reads one netlink message at the start of length bytes (the header included; the message's
// length rounded up to 4 bytes must lie within them): CT_EVENT with *event filled,
// CT_NOT_AN_EVENT for another message (an error or done message, a new connection), or
// CT_MALFORMED when an attribute the event needs is missing or cut short.
int ct_parse_event(const void *message, size_t length, ct_event *event);

// Opens a netlink socket subscribed to connection updates and ends, with a receive buffer of
// buffer bytes: the socket, or -1 with errno set (EPROTONOSUPPORT, ENOENT or EPERM when the
// kernel has no connection-tracking events to give).
int ct_events_open(int buffer);
