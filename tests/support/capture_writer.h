// Small captures for the replay reader's tests: packets built field by field, written as pcap
// through libpcap's dump API, as pcapng byte by byte (libpcap writes no pcapng), gzip'd by zlib.
#pragma once

#include <arpa/inet.h>
#include <pcap/pcap.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace capture_writer {

using bytes = std::vector<unsigned char>;

inline bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void put16(bytes &b, size_t at, uint16_t value) {
    b[at] = static_cast<unsigned char>(value >> 8);
    b[at + 1] = static_cast<unsigned char>(value);
}

inline void put_le(bytes &b, uint64_t value, int size) {
    for (int i = 0; i < size; i++) {
        b.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
}

inline bytes address(const char *text) {
    unsigned char a[16];
    if (inet_pton(AF_INET, text, a) == 1) {
        return bytes(a, a + 4);
    }
    inet_pton(AF_INET6, text, a);
    return bytes(a, a + 16);
}

inline bytes tcp(uint16_t source_port, uint16_t port, uint8_t flags) {
    bytes t(20, 0);
    put16(t, 0, source_port);
    put16(t, 2, port);
    t[12] = 0x50;
    t[13] = flags;
    return t;
}

inline bytes udp(uint16_t source_port, uint16_t port) {
    bytes u(12, 0);
    put16(u, 0, source_port);
    put16(u, 2, port);
    put16(u, 4, 12);
    return u;
}

// fragment: the flags and offset field (0x2000: more fragments; the offset in 8-byte units).
inline bytes ipv4(const char *source, const char *destination, uint8_t protocol,
                  const bytes &payload, uint16_t fragment = 0) {
    bytes p(20, 0);
    p[0] = 0x45;
    put16(p, 2, static_cast<uint16_t>(20 + payload.size()));
    put16(p, 6, fragment);
    p[8] = 64;
    p[9] = protocol;
    bytes s = address(source), d = address(destination);
    std::copy(s.begin(), s.end(), p.begin() + 12);
    std::copy(d.begin(), d.end(), p.begin() + 16);
    return p + payload;
}

// extension: the type of one 8-byte extension header before the payload, or -1 for none; a
// fragment header (44) gets fragment as its offset and flags field.
inline bytes ipv6(const char *source, const char *destination, uint8_t protocol,
                  const bytes &payload, int extension = -1, uint16_t fragment = 0) {
    bytes p(40, 0);
    p[0] = 0x60;
    bytes chain;
    if (extension >= 0) {
        chain = bytes(8, 0);
        chain[0] = protocol;
        if (extension == 44) {
            put16(chain, 2, fragment);
        }
    }
    put16(p, 4, static_cast<uint16_t>(chain.size() + payload.size()));
    p[6] = extension >= 0 ? static_cast<unsigned char>(extension) : protocol;
    p[7] = 64;
    bytes s = address(source), d = address(destination);
    std::copy(s.begin(), s.end(), p.begin() + 8);
    std::copy(d.begin(), d.end(), p.begin() + 24);
    return p + chain + payload;
}

inline uint16_t ethertype(const bytes &ip) {
    return ip[0] >> 4 == 6 ? 0x86dd : 0x0800;
}

// vlan_tags: 0, 1 (802.1Q) or 2 (802.1ad outside 802.1Q).
inline bytes ethernet(const bytes &ip, int vlan_tags = 0) {
    bytes f(12, 0x02);
    for (int tag = vlan_tags; tag > 0; tag--) {
        bytes t(4, 0);
        put16(t, 0, tag == 2 ? 0x88a8 : 0x8100);
        put16(t, 2, static_cast<uint16_t>(100 + tag));
        f = f + t;
    }
    bytes type(2);
    put16(type, 0, ethertype(ip));
    return f + type + ip;
}

// A TCP segment or a UDP datagram over IPv4 in an Ethernet frame.
inline bytes tcp4(const char *s, const char *d, uint16_t sp, uint16_t dp, uint8_t flags) {
    return ethernet(ipv4(s, d, 6, tcp(sp, dp, flags)));
}
inline bytes udp4(const char *s, const char *d, uint16_t sp, uint16_t dp) {
    return ethernet(ipv4(s, d, 17, udp(sp, dp)));
}

inline bytes sll(const bytes &ip) {
    bytes h(16, 0);
    put16(h, 0, 4);  // sent by this host
    put16(h, 2, 1);  // ARPHRD_ETHER
    put16(h, 4, 6);
    put16(h, 14, ethertype(ip));
    return h + ip;
}

inline bytes sll2(const bytes &ip) {
    bytes h(20, 0);
    put16(h, 0, ethertype(ip));
    put16(h, 8, 1);
    h[10] = 4;
    h[11] = 6;
    return h + ip;
}

// BSD loopback: the family in the capturing host's order (DLT_NULL) or in network order
// (DLT_LOOP); ipv6_family is the sender's AF_INET6.
inline bytes loopback(const bytes &ip, bool little_endian, uint32_t ipv6_family) {
    uint32_t family = ip[0] >> 4 == 6 ? ipv6_family : 2;
    bytes h;
    for (int i = 0; i < 4; i++) {
        int shift = little_endian ? 8 * i : 8 * (3 - i);
        h.push_back(static_cast<unsigned char>(family >> shift));
    }
    return h + ip;
}

struct record {
    double time;  // s after the capture's base time
    bytes data;
    uint32_t interface = 0;  // pcapng only
};

inline constexpr int64_t BASE_SECONDS = 1700000000;

inline void split_time(double t, int64_t per_second, int64_t *seconds, int64_t *fraction) {
    double whole = std::floor(t);
    *seconds = BASE_SECONDS + static_cast<int64_t>(whole);
    *fraction = std::llround((t - whole) * static_cast<double>(per_second));
}

// A pcap file with nanosecond timestamps.
inline bool write_pcap(const std::string &path, int link_type, const std::vector<record> &records) {
    pcap_t *dead =
        pcap_open_dead_with_tstamp_precision(link_type, 65535, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *dumper = dead ? pcap_dump_open(dead, path.c_str()) : nullptr;
    if (dumper == nullptr) {
        return false;
    }
    for (const record &r : records) {
        pcap_pkthdr header{};
        int64_t seconds, nanoseconds;
        split_time(r.time, 1000000000, &seconds, &nanoseconds);
        header.ts.tv_sec = static_cast<time_t>(seconds);
        header.ts.tv_usec = static_cast<suseconds_t>(nanoseconds);
        header.caplen = header.len = static_cast<bpf_u_int32>(r.data.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, r.data.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

// A pcapng section with one interface per link type and microsecond timestamps.
inline bytes pcapng(const std::vector<int> &link_types, const std::vector<record> &records) {
    bytes out;
    auto block = [&out](uint32_t type, bytes body) {
        body.resize((body.size() + 3) / 4 * 4, 0);
        put_le(out, type, 4);
        put_le(out, body.size() + 12, 4);
        out = out + body;
        put_le(out, body.size() + 12, 4);
    };
    bytes section;
    put_le(section, 0x1a2b3c4d, 4);
    put_le(section, 1, 2);
    put_le(section, 0, 2);
    put_le(section, UINT64_MAX, 8);
    block(0x0a0d0d0a, section);
    for (int link_type : link_types) {
        bytes interface;
        put_le(interface, static_cast<uint64_t>(link_type), 2);
        put_le(interface, 0, 2);
        put_le(interface, 65535, 4);
        block(1, interface);
    }
    for (const record &r : records) {
        int64_t seconds, microseconds;
        split_time(r.time, 1000000, &seconds, &microseconds);
        auto stamp = static_cast<uint64_t>(seconds * 1000000 + microseconds);
        bytes packet;
        put_le(packet, r.interface, 4);
        put_le(packet, stamp >> 32, 4);
        put_le(packet, stamp & 0xffffffff, 4);
        put_le(packet, r.data.size(), 4);
        put_le(packet, r.data.size(), 4);
        block(6, packet + r.data);
    }
    return out;
}

inline bytes read_file(const std::string &path) {
    bytes data;
    FILE *f = fopen(path.c_str(), "rb");
    for (int c; f != nullptr && (c = getc(f)) != EOF;) {
        data.push_back(static_cast<unsigned char>(c));
    }
    if (f != nullptr) {
        fclose(f);
    }
    return data;
}

inline bool write_file(const std::string &path, const bytes &data, bool gzip = false) {
    if (gzip) {
        gzFile gz = gzopen(path.c_str(), "wb");
        bool ok = gz != nullptr && gzwrite(gz, data.data(), static_cast<unsigned>(data.size())) ==
                                       static_cast<int>(data.size());
        return gz != nullptr && gzclose(gz) == Z_OK && ok;
    }
    FILE *f = fopen(path.c_str(), "wb");
    bool ok =
        f != nullptr && (data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size());
    return f != nullptr && fclose(f) == 0 && ok;
}

}  // namespace capture_writer
