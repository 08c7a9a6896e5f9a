#include "capture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_map>

#include "input.h"
#include "packet.h"

namespace {

constexpr uint8_t PROTO_TCP = 6;
constexpr uint32_t NO_FLOW = UINT32_MAX;

__attribute__((format(printf, 3, 4))) int fail(char *error, size_t error_size, const char *format,
                                               ...) {
    if (error_size > 0) {
        va_list args;
        va_start(args, format);
        vsnprintf(error, error_size, format, args);
        va_end(args);
    }
    return 1;
}

uint64_t position(FILE *in) {
    off64_t at = ftello64(in);
    return at < 0 ? 0 : static_cast<uint64_t>(at);
}

// The 4-tuple of a flow in one direction, with its family and protocol: compared and hashed as
// bytes, so it has no padding and unused address bytes are zero.
struct flow_key {
    uint8_t family, protocol;
    uint16_t source_port, port;
    unsigned char source[16], destination[16];
};
static_assert(sizeof(flow_key) == 38);

struct flow_key_hash {
    size_t operator()(const flow_key &key) const {
        return std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char *>(&key), sizeof key));
    }
};

struct flow_key_equal {
    bool operator()(const flow_key &a, const flow_key &b) const {
        return memcmp(&a, &b, sizeof a) == 0;
    }
};

// What connection tracking would hold for a flow, keyed by its original direction.
struct flow_state {
    uint32_t flow;  // index into replay_capture::flows
    double last;    // time of its last packet in either direction
    bool closed;    // TCP: a FIN or RST was seen
};

using flow_table = std::unordered_map<flow_key, flow_state, flow_key_hash, flow_key_equal>;

// The state of one read, kept from one file to the next.
struct reader {
    replay_capture *out = nullptr;
    flow_table table{};
    bool started = false;
    int64_t first_seconds = 0, first_nanoseconds = 0;
};

flow_key make_key(const packet_fields &fields, bool reverse) {
    flow_key key;
    memset(&key, 0, sizeof key);
    key.family = static_cast<uint8_t>(fields.family);
    key.protocol = fields.protocol;
    key.source_port = reverse ? fields.port : fields.source_port;
    key.port = reverse ? fields.source_port : fields.port;
    memcpy(key.source, reverse ? fields.destination : fields.source, sizeof key.source);
    memcpy(key.destination, reverse ? fields.source : fields.destination, sizeof key.destination);
    return key;
}

// Whether connection tracking still holds the flow at time t.
bool live(const reader &r, const flow_state &state, double t) {
    const replay_flow &flow = r.out->flows[state.flow];
    double idle = t - state.last;
    if (flow.protocol == PROTO_TCP) {
        return !state.closed && (flow.answered || idle <= TCP_UNANSWERED_TIMEOUT);
    }
    return idle <= (flow.answered ? UDP_ANSWERED_TIMEOUT : UDP_UNANSWERED_TIMEOUT);
}

void queue_packet(reader &r, uint32_t flow, double t) {
    r.out->packets.push_back(replay_packet{t, flow});
    r.out->flows[flow].packets++;
}

void start_flow(reader &r, const flow_key &key, const packet_fields &fields, double t) {
    replay_flow flow{};
    flow.time = t;
    flow.family = fields.family;
    memcpy(flow.source, fields.source, sizeof flow.source);
    memcpy(flow.destination, fields.destination, sizeof flow.destination);
    flow.protocol = fields.protocol;
    flow.source_port = fields.source_port;
    flow.port = fields.port;
    auto index = static_cast<uint32_t>(r.out->flows.size());
    r.out->flows.push_back(flow);
    r.table[key] = flow_state{index, t, false};
    queue_packet(r, index, t);
}

void answer(reader &r, flow_state &state, double t) {
    replay_flow &flow = r.out->flows[state.flow];
    if (!flow.answered) {
        flow.answered = true;
        flow.answer_time = t;
    }
}

// The rules queue a SYN in state NEW: the first of a connection, or a retransmission while
// nothing has answered it. A SYN on a tuple whose connection was answered or closed starts a
// new one, as connection tracking does on port reuse.
void track_tcp(reader &r, const packet_fields &fields, double t) {
    flow_key forward = make_key(fields, false);
    flow_key reverse = make_key(fields, true);
    auto it = r.table.find(forward);
    bool syn = (fields.tcp_flags & TCP_SYN) != 0;
    bool ack = (fields.tcp_flags & TCP_ACK) != 0;
    if (syn && !ack) {
        if (it != r.table.end() && live(r, it->second, t) &&
            !r.out->flows[it->second.flow].answered) {
            it->second.last = t;
            queue_packet(r, it->second.flow, t);
            return;
        }
        auto back = r.table.find(reverse);
        if (back != r.table.end() && live(r, back->second, t)) {
            back->second.last = t;  // a simultaneous open: the reply direction of that one
            return;
        }
        start_flow(r, forward, fields, t);
        return;
    }
    bool reply = false;
    if (it == r.table.end()) {
        it = r.table.find(reverse);
        reply = true;
    }
    if (it == r.table.end()) {
        return;  // a connection that started before the capture
    }
    flow_state &state = it->second;
    if (syn && reply && !state.closed) {
        answer(r, state, t);
    }
    if ((fields.tcp_flags & (TCP_FIN | TCP_RST)) != 0) {
        state.closed = true;
    }
    state.last = t;
}

// Connection tracking calls every datagram of a flow NEW until a reply is seen, and forgets the
// flow after its timeout: then the next datagram starts a new one.
void track_udp(reader &r, const packet_fields &fields, double t) {
    auto it = r.table.find(make_key(fields, false));
    if (it != r.table.end() && live(r, it->second, t)) {
        it->second.last = t;
        if (!r.out->flows[it->second.flow].answered) {
            queue_packet(r, it->second.flow, t);
        }
        return;
    }
    auto back = r.table.find(make_key(fields, true));
    if (back != r.table.end() && live(r, back->second, t)) {
        back->second.last = t;
        answer(r, back->second, t);
        return;
    }
    start_flow(r, make_key(fields, false), fields, t);
}

void track(reader &r, int link_type, const pcap_pkthdr &header, const u_char *data) {
    // The timestamps are in nanoseconds: the stream was opened so.
    int64_t seconds = header.ts.tv_sec, nanoseconds = header.ts.tv_usec;
    if (!r.started) {
        r.started = true;
        r.first_seconds = seconds;
        r.first_nanoseconds = nanoseconds;
    }
    // In doubles: exact for any real timestamp, and no overflow for the absurd ones a broken
    // file may hold.
    double t = (static_cast<double>(seconds) - static_cast<double>(r.first_seconds)) +
               (static_cast<double>(nanoseconds) - static_cast<double>(r.first_nanoseconds)) * 1e-9;
    replay_capture &out = *r.out;
    out.packets_read++;
    out.duration = std::max(out.duration, t);

    packet_fields fields;
    int kind = parse_packet(link_type, data, header.caplen, &fields);
    if (kind == PACKET_BAD) {
        out.packets_skipped++;
    }
    if (kind != PACKET_TRANSPORT) {
        return;
    }
    if (fields.protocol == PROTO_TCP) {
        track_tcp(r, fields, t);
    } else {
        track_udp(r, fields, t);
    }
}

// Why a read failed: the input's own reason where reading the file failed, else libpcap's.
void describe(const capture_input *input, const char *pcap_message, char *why, size_t size) {
    if (input->error[0] != '\0') {
        snprintf(why, size, "%s", input->error);
    } else if (input->cut) {
        snprintf(why, size, "%s (the gzip data ends early)", pcap_message);
    } else if (input->blocks.mixed_link_types) {
        snprintf(why, size,
                 "%s (the reader takes a pcapng file only when its interfaces share one link type)",
                 pcap_message);
    } else {
        snprintf(why, size, "%s", pcap_message);
    }
}

// Reads one input stream into r and closes it.
int read_stream(reader &r, FILE *in, const capture_input *input, const char *name, char *error,
                size_t error_size) {
    char why[PCAP_ERRBUF_SIZE + 64];
    int first = getc(in);
    if (first == EOF) {
        int status;
        if (ferror(in)) {
            describe(input, strerror(errno), why, sizeof why);
            status =
                fail(error, error_size, "%s: offset 0%s: %s", name, input_offset_note(input), why);
        } else {
            describe(input, "empty file", why, sizeof why);
            status = fail(error, error_size, "%s: %s", name, why);
        }
        fclose(in);
        return status;
    }
    ungetc(first, in);

    char pcap_error[PCAP_ERRBUF_SIZE] = "";
    pcap_t *pcap =
        pcap_fopen_offline_with_tstamp_precision(in, PCAP_TSTAMP_PRECISION_NANO, pcap_error);
    if (pcap == nullptr) {
        describe(input, pcap_error, why, sizeof why);
        int status =
            fail(error, error_size, "%s: offset 0%s: %s", name, input_offset_note(input), why);
        fclose(in);
        return status;
    }
    int link_type = pcap_datalink(pcap);
    if (!packet_link_type_known(link_type)) {
        const char *link_name = pcap_datalink_val_to_name(link_type);
        pcap_close(pcap);
        return fail(error, error_size,
                    "%s: link type %d (%s) is none the reader knows: Ethernet, Linux cooked "
                    "(SLL, SLL2), raw IP or BSD loopback",
                    name, link_type, link_name != nullptr ? link_name : "unnamed");
    }
    int status = 0;
    for (;;) {
        uint64_t at = position(in);
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        int got = pcap_next_ex(pcap, &header, &data);
        if (got == 1) {
            track(r, link_type, *header, data);
            continue;
        }
        if (got == PCAP_ERROR_BREAK && !input->cut) {
            break;  // the end of the file
        }
        describe(input, got == PCAP_ERROR_BREAK ? "the capture ends" : pcap_geterr(pcap), why,
                 sizeof why);
        status = fail(error, error_size, "%s: offset %" PRIu64 "%s: %s", name, at,
                      input_offset_note(input), why);
        break;
    }
    pcap_close(pcap);
    return status;
}

int read_fd(reader &r, int fd, const char *name, char *error, size_t error_size) {
    const capture_input *input = nullptr;
    FILE *in = open_input_fd(fd, &input);
    if (in == nullptr) {
        return fail(error, error_size, "%s: %s", name, strerror(errno));
    }
    return read_stream(r, in, input, name, error, error_size);
}

bool same_source(const replay_flow &flow, int family, const unsigned char address[16]) {
    return flow.family == family && memcmp(flow.source, address, sizeof flow.source) == 0;
}

}  // namespace

int read_captures(const char *const *paths, size_t count, replay_capture *out, char *error,
                  size_t error_size) {
    *out = replay_capture{};
    reader r;
    r.out = out;
    for (size_t i = 0; i < count; i++) {
        int fd = open(paths[i], O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return fail(error, error_size, "%s: %s", paths[i], strerror(errno));
        }
        int status = read_fd(r, fd, paths[i], error, error_size);
        close(fd);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

int read_capture(const char *path, replay_capture *out, char *error, size_t error_size) {
    return read_captures(&path, 1, out, error, error_size);
}

int read_capture_fd(int fd, const char *name, replay_capture *out, char *error, size_t error_size) {
    *out = replay_capture{};
    reader r;
    r.out = out;
    return read_fd(r, fd, name, error, error_size);
}

int read_capture_stream(FILE *in, const char *name, replay_capture *out, char *error,
                        size_t error_size) {
    *out = replay_capture{};
    reader r;
    r.out = out;
    const capture_input *input = nullptr;
    FILE *wrapped = open_input_stream(in, &input);
    if (wrapped == nullptr) {
        return fail(error, error_size, "%s: %s", name, strerror(errno));
    }
    return read_stream(r, wrapped, input, name, error, error_size);
}

int pick_host(const replay_capture &capture, int *family, unsigned char address[16]) {
    struct tally {
        uint32_t flows, first;
    };
    std::map<std::array<unsigned char, 17>, tally> sources;
    const replay_flow *best = nullptr;
    uint32_t best_flows = 0, best_first = 0;
    for (uint32_t i = 0; i < capture.flows.size(); i++) {
        const replay_flow &flow = capture.flows[i];
        std::array<unsigned char, 17> key;
        key[0] = static_cast<unsigned char>(flow.family);
        memcpy(key.data() + 1, flow.source, 16);
        tally &t = sources.try_emplace(key, tally{0, i}).first->second;
        t.flows++;
        if (t.flows > best_flows || (t.flows == best_flows && t.first < best_first)) {
            best = &capture.flows[t.first];
            best_flows = t.flows;
            best_first = t.first;
        }
    }
    if (best == nullptr) {
        return 1;
    }
    *family = best->family;
    memcpy(address, best->source, 16);
    return 0;
}

void keep_host(const replay_capture &in, int family, const unsigned char address[16],
               replay_capture *out) {
    replay_capture kept;
    kept.duration = in.duration;
    kept.packets_read = in.packets_read;
    kept.packets_skipped = in.packets_skipped;
    std::vector<uint32_t> index(in.flows.size(), NO_FLOW);
    for (size_t i = 0; i < in.flows.size(); i++) {
        if (same_source(in.flows[i], family, address)) {
            index[i] = static_cast<uint32_t>(kept.flows.size());
            kept.flows.push_back(in.flows[i]);
        }
    }
    for (const replay_packet &packet : in.packets) {
        if (index[packet.flow] != NO_FLOW) {
            kept.packets.push_back(replay_packet{packet.time, index[packet.flow]});
        }
    }
    *out = std::move(kept);
}

void keep_window(const replay_capture &in, double start, double length, replay_capture *out) {
    const double end = start + length;
    replay_capture kept;
    kept.duration = std::clamp(in.duration - start, 0.0, std::max(length, 0.0));
    kept.packets_read = in.packets_read;
    kept.packets_skipped = in.packets_skipped;
    std::vector<uint32_t> index(in.flows.size(), NO_FLOW);
    for (size_t i = 0; i < in.flows.size(); i++) {
        replay_flow flow = in.flows[i];
        if (flow.time < start || flow.time >= end) {
            continue;
        }
        flow.time -= start;
        if (flow.answered) {
            flow.answer_time -= start;
        }
        flow.packets = 0;  // counted again below: a retransmission may fall after the end
        index[i] = static_cast<uint32_t>(kept.flows.size());
        kept.flows.push_back(flow);
    }
    for (const replay_packet &packet : in.packets) {
        uint32_t flow = index[packet.flow];
        if (flow != NO_FLOW && packet.time >= start && packet.time < end) {
            kept.packets.push_back(replay_packet{packet.time - start, flow});
            kept.flows[flow].packets++;
        }
    }
    *out = std::move(kept);
}

int parse_address(const char *text, int *family, unsigned char address[16]) {
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, text, bytes) == 1) {
        *family = 4;
    } else if (inet_pton(AF_INET6, text, bytes) == 1) {
        *family = 6;
    } else {
        return 1;
    }
    memcpy(address, bytes, sizeof bytes);
    return 0;
}

const char *format_address(int family, const unsigned char address[16], char *text, size_t size) {
    if (inet_ntop(family == 4 ? AF_INET : AF_INET6, address, text, static_cast<socklen_t>(size)) ==
            nullptr &&
        size > 0) {
        snprintf(text, size, "?");
    }
    return text;
}
