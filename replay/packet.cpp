#include "packet.h"

#include <pcap/dlt.h>

#include <cstring>

namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr uint16_t ETHERTYPE_NONE = 0;  // what a link header says for anything but IP

constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;

uint16_t get16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t get32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool vlan_tag(uint16_t ethertype) {
    return ethertype == 0x8100 || ethertype == 0x88a8 || ethertype == 0x9100;
}

// The address families that BSD loopback headers carry for IPv6: NetBSD and OpenBSD, FreeBSD,
// Darwin, and Linux's own.
bool loopback_ipv6(uint32_t family) {
    return family == 24 || family == 28 || family == 30 || family == 10;
}

// Finds where the IP header starts and what the link header says it is. Returns false when the
// packet is too short for its link header.
bool link_header(int link_type, const unsigned char *data, size_t caplen, size_t *offset,
                 uint16_t *ethertype) {
    switch (link_type) {
        case DLT_EN10MB:
            if (caplen < 14) {
                return false;
            }
            *offset = 14;
            *ethertype = get16(data + 12);
            break;
        case DLT_LINUX_SLL:
            if (caplen < 16) {
                return false;
            }
            *offset = 16;
            *ethertype = get16(data + 14);
            break;
        case DLT_LINUX_SLL2:
            if (caplen < 20) {
                return false;
            }
            *offset = 20;
            *ethertype = get16(data);
            break;
        case DLT_NULL:
        case DLT_LOOP: {
            if (caplen < 4) {
                return false;
            }
            // DLT_NULL's family is in the byte order of the host that captured; DLT_LOOP's is
            // in network byte order. Every family value that matters is below 256, so the
            // order shows.
            uint32_t family = get32(data);
            if (link_type == DLT_NULL && family > 0xffff) {
                family = data[0] | data[1] << 8;
            }
            *offset = 4;
            *ethertype = family == 2             ? ETHERTYPE_IPV4
                         : loopback_ipv6(family) ? ETHERTYPE_IPV6
                                                 : ETHERTYPE_NONE;
            return true;
        }
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
            if (caplen < 1) {
                return false;
            }
            *offset = 0;
            *ethertype = data[0] >> 4 == 4 ? ETHERTYPE_IPV4 : ETHERTYPE_IPV6;
            if (link_type != DLT_RAW && (*ethertype == ETHERTYPE_IPV4) != (link_type == DLT_IPV4)) {
                *ethertype = ETHERTYPE_NONE;  // parse_ip reports the version as malformed
            }
            return true;
        default:
            return false;
    }
    // 802.1Q and 802.1ad tags, each four bytes before the type they wrap.
    while (vlan_tag(*ethertype)) {
        if (caplen < *offset + 4) {
            return false;
        }
        *ethertype = get16(data + *offset + 2);
        *offset += 4;
    }
    return true;
}

// The transport header at data[0, length): ports and, for TCP, the flags.
int parse_transport(const unsigned char *data, size_t length, packet_fields *fields) {
    size_t needed = fields->protocol == PROTO_TCP ? 14 : 4;
    if (length < needed) {
        return PACKET_BAD;
    }
    fields->source_port = get16(data);
    fields->port = get16(data + 2);
    fields->tcp_flags = fields->protocol == PROTO_TCP ? data[13] : 0;
    return PACKET_TRANSPORT;
}

int parse_ipv4(const unsigned char *data, size_t length, packet_fields *fields) {
    if (length < 20 || data[0] >> 4 != 4) {
        return PACKET_BAD;
    }
    size_t header = static_cast<size_t>(data[0] & 0x0f) * 4;
    size_t total = get16(data + 2);
    if (header < 20 || header > length || total < header) {
        return PACKET_BAD;
    }
    // The total length bounds the packet where a link pads it; a snapshot length may have cut
    // it shorter than the total says.
    size_t end = total < length ? total : length;
    if ((get16(data + 6) & 0x1fff) != 0) {
        return PACKET_OTHER;  // the first fragment carried the ports
    }
    uint8_t protocol = data[9];
    if (protocol != PROTO_TCP && protocol != PROTO_UDP) {
        return PACKET_OTHER;
    }
    fields->family = 4;
    fields->protocol = protocol;
    memset(fields->source, 0, sizeof fields->source);
    memset(fields->destination, 0, sizeof fields->destination);
    memcpy(fields->source, data + 12, 4);
    memcpy(fields->destination, data + 16, 4);
    return parse_transport(data + header, end - header, fields);
}

int parse_ipv6(const unsigned char *data, size_t length, packet_fields *fields) {
    if (length < 40 || data[0] >> 4 != 6) {
        return PACKET_BAD;
    }
    size_t payload = get16(data + 4);
    // A zero payload length is a jumbogram's: the capture bounds it.
    size_t end = payload != 0 && 40 + payload < length ? 40 + payload : length;
    uint8_t next = data[6];
    size_t offset = 40;
    // Every extension header is at least 8 bytes long, so the walk ends within the packet.
    for (;;) {
        if (next == 0 || next == 43 || next == 60 || next == 51) {
            // hop-by-hop, routing, destination options: 8-byte units after the first 8;
            // authentication: 4-byte units after the first 8
            if (end < offset + 2) {
                return PACKET_BAD;
            }
            size_t units = data[offset + 1];
            size_t size = next == 51 ? (units + 2) * 4 : (units + 1) * 8;
            next = data[offset];
            offset += size;
        } else if (next == 44) {
            if (end < offset + 8) {
                return PACKET_BAD;
            }
            bool later = (get16(data + offset + 2) & 0xfff8) != 0;
            next = data[offset];
            offset += 8;
            if (later) {
                return PACKET_OTHER;
            }
        } else {
            break;
        }
        if (offset > end) {
            return PACKET_BAD;
        }
    }
    if (next != PROTO_TCP && next != PROTO_UDP) {
        return PACKET_OTHER;
    }
    fields->family = 6;
    fields->protocol = next;
    memcpy(fields->source, data + 8, 16);
    memcpy(fields->destination, data + 24, 16);
    return parse_transport(data + offset, end - offset, fields);
}

}  // namespace

bool packet_link_type_known(int link_type) {
    switch (link_type) {
        case DLT_EN10MB:
        case DLT_LINUX_SLL:
        case DLT_LINUX_SLL2:
        case DLT_NULL:
        case DLT_LOOP:
        case DLT_RAW:
        case DLT_IPV4:
        case DLT_IPV6:
            return true;
        default:
            return false;
    }
}

int parse_packet(int link_type, const unsigned char *data, size_t caplen, packet_fields *fields) {
    size_t offset = 0;
    uint16_t ethertype = ETHERTYPE_NONE;
    if (!link_header(link_type, data, caplen, &offset, &ethertype)) {
        return PACKET_BAD;
    }
    if (ethertype == ETHERTYPE_IPV4) {
        return parse_ipv4(data + offset, caplen - offset, fields);
    }
    if (ethertype == ETHERTYPE_IPV6) {
        return parse_ipv6(data + offset, caplen - offset, fields);
    }
    // A raw link whose version is neither is malformed; any other link may carry anything.
    bool raw = link_type == DLT_RAW || link_type == DLT_IPV4 || link_type == DLT_IPV6;
    return raw ? PACKET_BAD : PACKET_OTHER;
}
