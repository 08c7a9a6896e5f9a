// The capture reader of kel-ulvo-replay: the new outgoing flows in pcap and pcapng files (gzip'd
// or not) and the packets of them that the throttle's rules would queue, as connection tracking
// tells them apart. Plain records and functions; 0 is success, 1 a failure whose message goes to
// the caller's buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Connection tracking forgets a UDP flow this long after its last datagram: while no reply has
// been seen (nf_conntrack_udp_timeout), and once one has (nf_conntrack_udp_timeout_stream).
inline constexpr double UDP_UNANSWERED_TIMEOUT = 30.0;
inline constexpr double UDP_ANSWERED_TIMEOUT = 120.0;
// And a TCP connection whose SYN was never answered (nf_conntrack_tcp_timeout_syn_sent).
inline constexpr double TCP_UNANSWERED_TIMEOUT = 120.0;

// One new outgoing flow: a TCP connection attempt or a UDP flow.
struct replay_flow {
    double time;               // s from the capture's first packet: its first queued packet
    int family;                // 4 or 6
    unsigned char source[16];  // network byte order; IPv4 in the first 4 bytes, the rest zero
    unsigned char destination[16];
    uint8_t protocol;            // 6 TCP, 17 UDP
    uint16_t source_port, port;  // host byte order; port is the destination's
    bool answered;               // a SYN-ACK, or any datagram back
    double answer_time;          // s from the capture's first packet; 0 when not answered
    uint32_t packets;            // queued packets of the flow (a retransmitted SYN is one)
};

// One packet the rules would queue: a SYN in state NEW, or a UDP datagram before any reply.
struct replay_packet {
    double time;    // s from the capture's first packet
    uint32_t flow;  // index into replay_capture::flows
};

struct replay_capture {
    std::vector<replay_flow> flows;      // every new outgoing flow of every source, capture order
    std::vector<replay_packet> packets;  // every queued packet, capture order
    double duration = 0.0;               // s from the first packet to the last
    uint64_t packets_read = 0;           // every packet in the files, of any kind
    uint64_t packets_skipped = 0;        // cut short before the headers needed, or malformed
};

// Reads one capture file. On a failure, out keeps what was read before the fault (nothing when
// the file's header was refused), so a caller may still use a capture whose last record was cut.
int read_capture(const char *path, replay_capture *out, char *error, size_t error_size);

// Reads several files in the order given as one capture: times count from the first file's first
// packet by each packet's own timestamp, and flows go on from one file into the next.
int read_captures(const char *const *paths, size_t count, replay_capture *out, char *error,
                  size_t error_size);

// Reads a capture, gzip'd or not, from an open descriptor (left open); name is used in messages.
int read_capture_fd(int fd, const char *name, replay_capture *out, char *error, size_t error_size);

// Reads an uncompressed capture from a stream, which it closes; name is used in messages.
int read_capture_stream(FILE *in, const char *name, replay_capture *out, char *error,
                        size_t error_size);

// The source with the most new outgoing flows (on a tie, the one whose first flow came first);
// 1 when the capture has no flow.
int pick_host(const replay_capture &capture, int *family, unsigned char address[16]);

// The flows of one source and their packets, the flows renumbered; the counters and the duration
// stay those of the whole capture. out may be &in.
void keep_host(const replay_capture &in, int family, const unsigned char address[16],
               replay_capture *out);

// The flows whose first packet falls in [start, start + length) and their packets in it, times
// re-based so that the window starts at 0 (an answer may come after the window's end).
void keep_window(const replay_capture &in, double start, double length, replay_capture *out);

// An IPv4 or IPv6 address in text: its family and bytes as replay_flow keeps them; 1 when the
// text is neither.
int parse_address(const char *text, int *family, unsigned char address[16]);

// The text of an address as replay_flow keeps it; text is at least 46 bytes (INET6_ADDRSTRLEN).
const char *format_address(int family, const unsigned char address[16], char *text, size_t size);
