// The wire format of one captured packet: from its link-layer header down to the ports of TCP
// and UDP. Pure functions over the captured bytes; nothing past the captured length is read.
#pragma once

#include <cstddef>
#include <cstdint>

enum packet_kind : int {
    PACKET_OTHER = 0,      // not TCP or UDP over IP, or a fragment after the first
    PACKET_TRANSPORT = 1,  // TCP or UDP: the fields are filled in
    PACKET_BAD = 2,        // cut short before the headers that are needed, or malformed
};

inline constexpr uint8_t TCP_FIN = 0x01;
inline constexpr uint8_t TCP_SYN = 0x02;
inline constexpr uint8_t TCP_RST = 0x04;
inline constexpr uint8_t TCP_ACK = 0x10;

struct packet_fields {
    int family;                     // 4 or 6
    uint8_t protocol;               // 6 TCP, 17 UDP
    unsigned char source[16];       // network byte order; IPv4 in the first 4 bytes
    unsigned char destination[16];  // the rest zero
    uint16_t source_port, port;     // host byte order
    uint8_t tcp_flags;              // TCP only
};

// True when parse_packet knows the link-layer header of this libpcap link type (a DLT_ value).
bool packet_link_type_known(int link_type);

// Reads one packet of caplen captured bytes whose link-layer header is of link_type; returns a
// packet_kind, and fills in fields only for PACKET_TRANSPORT.
int parse_packet(int link_type, const unsigned char *data, size_t caplen, packet_fields *fields);
