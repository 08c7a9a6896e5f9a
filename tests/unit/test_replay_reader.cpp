// The replay's capture reader: flows and queued packets of captures the tests write, in every
// link type and file format it reads, and a clear message for every file it cannot read.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "../support/capture_writer.h"
#include "capture.h"

namespace {

using namespace capture_writer;

constexpr uint8_t SYN = 0x02, ACK = 0x10, FIN = 0x01, RST = 0x04, TCP = 6, UDP = 17;
constexpr const char *A = "10.0.0.1", *B = "192.0.2.10", *C = "192.0.2.20", *D = "198.51.100.53",
                     *A6 = "2001:db8::1", *D6 = "2001:db8::53";

class ReplayReader : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "replay-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string path(const char *name) const { return dir + "/" + name; }

    // Writes the records as a pcap file and reads it back, which must succeed.
    replay_capture read(int link_type, const std::vector<record> &records) {
        std::string file = path("capture.pcap");
        EXPECT_TRUE(write_pcap(file, link_type, records));
        replay_capture capture;
        char error[256] = "";
        EXPECT_EQ(read_capture(file.c_str(), &capture, error, sizeof error), 0) << error;
        return capture;
    }

    std::string dir;
};

struct flow_case {
    const char *source;
    double time;
    uint8_t protocol;
    uint16_t source_port, port;
    bool answered;
    double answer_time;
    uint32_t packets;
};

// The flows as expected, and every queued packet naming its flow, the first at the flow's time.
void expect_flows(const replay_capture &capture, const std::vector<flow_case> &expected,
                  const std::string &what) {
    ASSERT_EQ(capture.flows.size(), expected.size()) << what;
    std::vector<uint32_t> counted(expected.size(), 0);
    for (const replay_packet &packet : capture.packets) {
        ASSERT_LT(packet.flow, capture.flows.size()) << what;
        if (counted[packet.flow]++ == 0) {
            EXPECT_DOUBLE_EQ(packet.time, capture.flows[packet.flow].time) << what;
        }
    }
    for (size_t i = 0; i < expected.size(); i++) {
        const replay_flow &f = capture.flows[i];
        const flow_case &e = expected[i];
        int family;
        unsigned char source[16];
        ASSERT_EQ(parse_address(e.source, &family, source), 0);
        std::string at = what + ", flow " + std::to_string(i);
        EXPECT_EQ(f.family, family) << at;
        EXPECT_EQ(memcmp(f.source, source, 16), 0) << at;
        EXPECT_NEAR(f.time, e.time, 1e-6) << at;
        EXPECT_EQ(f.protocol, e.protocol) << at;
        EXPECT_EQ(f.source_port, e.source_port) << at;
        EXPECT_EQ(f.port, e.port) << at;
        EXPECT_EQ(f.answered, e.answered) << at;
        EXPECT_NEAR(f.answer_time, e.answer_time, 1e-6) << at;
        EXPECT_EQ(f.packets, e.packets) << at;
        EXPECT_EQ(counted[i], f.packets) << at;
    }
}

bytes tcp4(const char *s, const char *d, uint16_t sp, uint16_t dp, uint8_t flags) {
    return ethernet(ipv4(s, d, TCP, tcp(sp, dp, flags)));
}

bytes udp4(const char *s, const char *d, uint16_t sp, uint16_t dp) {
    return ethernet(ipv4(s, d, UDP, udp(sp, dp)));
}

TEST_F(ReplayReader, FlowsAsConnectionTrackingSeesThem) {
    struct {
        const char *name;
        std::vector<record> records;
        std::vector<flow_case> flows;
    } cases[] = {
        {"TCP answered, and unanswered with two retransmissions",
         {{0.0, tcp4(A, B, 40000, 80, SYN)},
          {0.05, tcp4(B, A, 80, 40000, SYN | ACK)},
          {0.06, tcp4(A, B, 40000, 80, ACK)},
          {0.1, tcp4(A, C, 40001, 443, SYN)},
          {1.1, tcp4(A, C, 40001, 443, SYN)},
          {3.1, tcp4(A, C, 40001, 443, SYN)}},
         {{A, 0.0, TCP, 40000, 80, true, 0.05, 1}, {A, 0.1, TCP, 40001, 443, false, 0, 3}}},
        {"TCP port reuse: after FIN, after an answer, after RST, after the SYN_SENT timeout",
         {{0.0, tcp4(A, B, 40000, 80, SYN)},
          {0.01, tcp4(B, A, 80, 40000, SYN | ACK)},
          {1.0, tcp4(A, B, 40000, 80, FIN | ACK)},
          {2.0, tcp4(A, B, 40000, 80, SYN)},
          {2.01, tcp4(B, A, 80, 40000, SYN | ACK)},
          {5.0, tcp4(A, B, 40000, 80, SYN)},
          {5.1, tcp4(B, A, 80, 40000, RST | ACK)},
          {6.0, tcp4(A, B, 40000, 80, SYN)},
          {6.5, tcp4(A, B, 40000, 80, SYN)},
          {126.6, tcp4(A, B, 40000, 80, SYN)}},
         {{A, 0.0, TCP, 40000, 80, true, 0.01, 1},
          {A, 2.0, TCP, 40000, 80, true, 2.01, 1},
          {A, 5.0, TCP, 40000, 80, false, 0, 1},
          {A, 6.0, TCP, 40000, 80, false, 0, 2},
          {A, 126.6, TCP, 40000, 80, false, 0, 1}}},
        {"UDP: repeats until the reply, then the two timeouts",
         {{0.0, udp4(A, D, 50000, 53)},
          {0.5, udp4(A, D, 50000, 53)},
          {0.6, udp4(D, A, 53, 50000)},
          {0.7, udp4(A, D, 50000, 53)},
          {1.0, udp4(A, C, 50001, 5000)},
          {2.0, udp4(A, C, 50001, 5000)},
          {32.5, udp4(A, C, 50001, 5000)},
          {100.7, udp4(A, D, 50000, 53)},
          {220.8, udp4(A, D, 50000, 53)}},
         {{A, 0.0, UDP, 50000, 53, true, 0.6, 2},
          {A, 1.0, UDP, 50001, 5000, false, 0, 2},
          {A, 32.5, UDP, 50001, 5000, false, 0, 1},
          {A, 220.8, UDP, 50000, 53, false, 0, 1}}},
        {"inbound flows are the remote source's",
         {{0.0, tcp4(B, A, 33000, 22, SYN)},
          {0.01, tcp4(A, B, 22, 33000, SYN | ACK)},
          {1.0, udp4(D, A, 53, 50002)},
          {1.1, udp4(A, D, 50002, 53)}},
         {{B, 0.0, TCP, 33000, 22, true, 0.01, 1}, {D, 1.0, UDP, 53, 50002, true, 1.1, 1}}},
        {"IPv6 extension headers, fragments of both families",
         {{0.0, ethernet(ipv6(A6, D6, UDP, udp(50000, 53), 60))},
          {0.1, ethernet(ipv6(A6, D6, TCP, tcp(40000, 443, SYN), 0))},
          {0.2, ethernet(ipv6(A6, D6, UDP, udp(50001, 4500), 44, 0x0001))},
          {0.3, ethernet(ipv6(A6, D6, UDP, udp(1111, 2222), 44, 0x00a8))},
          {0.4, ethernet(ipv4(A, D, UDP, udp(50003, 9000), 0x2000))},
          {0.5, ethernet(ipv4(A, D, UDP, udp(3333, 4444), 0x00b9))}},
         {{A6, 0.0, UDP, 50000, 53, false, 0, 1},
          {A6, 0.1, TCP, 40000, 443, false, 0, 1},
          {A6, 0.2, UDP, 50001, 4500, false, 0, 1},
          {A, 0.4, UDP, 50003, 9000, false, 0, 1}}},
    };
    for (const auto &c : cases) {
        replay_capture capture = read(DLT_EN10MB, c.records);
        expect_flows(capture, c.flows, c.name);
        EXPECT_EQ(capture.packets_read, c.records.size()) << c.name;
        EXPECT_EQ(capture.packets_skipped, 0u) << c.name;
        EXPECT_NEAR(capture.duration, c.records.back().time, 1e-6) << c.name;
    }
}

TEST_F(ReplayReader, EveryLinkTypeItKnows) {
    struct {
        const char *name;
        int link_type;
        bytes (*frame)(const bytes &);
        bool ipv6;
    } cases[] = {
        {"Ethernet", DLT_EN10MB, [](const bytes &ip) { return ethernet(ip); }, true},
        {"802.1Q", DLT_EN10MB, [](const bytes &ip) { return ethernet(ip, 1); }, true},
        {"802.1ad", DLT_EN10MB, [](const bytes &ip) { return ethernet(ip, 2); }, true},
        {"SLL", DLT_LINUX_SLL, sll, true},
        {"SLL2", DLT_LINUX_SLL2, sll2, true},
        {"raw", DLT_RAW, [](const bytes &ip) { return ip; }, true},
        {"IPv4", DLT_IPV4, [](const bytes &ip) { return ip; }, false},
        {"null, little-endian", DLT_NULL, [](const bytes &ip) { return loopback(ip, true, 30); },
         true},
        {"null, big-endian", DLT_NULL, [](const bytes &ip) { return loopback(ip, false, 24); },
         true},
        {"loop", DLT_LOOP, [](const bytes &ip) { return loopback(ip, false, 28); }, true},
    };
    for (const auto &c : cases) {
        std::vector<record> records = {
            {0.0, c.frame(ipv4(A, B, TCP, tcp(40000, 80, SYN)))},
            {0.2, c.frame(ipv4(B, A, TCP, tcp(80, 40000, SYN | ACK)))},
        };
        std::vector<flow_case> flows = {{A, 0.0, TCP, 40000, 80, true, 0.2, 1}};
        if (c.ipv6) {
            records.push_back({0.5, c.frame(ipv6(A6, D6, UDP, udp(50000, 53)))});
            flows.push_back({A6, 0.5, UDP, 50000, 53, false, 0, 1});
        }
        expect_flows(read(c.link_type, records), flows, c.name);
    }
}

// Every packet cut before the headers the reader needs is skipped and never read past (the
// sanitizer builds see to that); from the needed length on it is a flow's queued packet.
TEST_F(ReplayReader, PacketsCutShortAreSkipped) {
    struct {
        const char *name;
        int link_type;
        bytes packet;
        size_t needed;
    } cases[] = {
        {"802.1Q, IPv4, TCP", DLT_EN10MB, ethernet(ipv4(A, B, TCP, tcp(1, 2, SYN)), 1),
         18 + 20 + 14},
        {"SLL, IPv6, destination options, UDP", DLT_LINUX_SLL,
         sll(ipv6(A6, D6, UDP, udp(1, 2), 60)), 16 + 40 + 8 + 4},
        {"null, IPv4, UDP", DLT_NULL, loopback(ipv4(A, B, UDP, udp(1, 2)), true, 30), 4 + 20 + 4},
    };
    for (const auto &c : cases) {
        std::vector<record> records;
        for (size_t length = 0; length <= c.packet.size(); length++) {
            records.push_back({0.001 * static_cast<double>(length),
                               bytes(c.packet.begin(), c.packet.begin() + length)});
        }
        replay_capture capture = read(c.link_type, records);
        EXPECT_EQ(capture.packets_skipped, c.needed) << c.name;
        ASSERT_EQ(capture.flows.size(), 1u) << c.name;
        EXPECT_EQ(capture.flows[0].packets, c.packet.size() + 1 - c.needed) << c.name;
    }
    // Malformed headers are skipped; other protocols are read and ignored.
    bytes bad_ihl = ethernet(ipv4(A, B, TCP, tcp(1, 2, SYN)));
    bad_ihl[14] = 0x44;
    bytes long_ihl = ethernet(ipv4(A, B, TCP, tcp(1, 2, SYN)));
    long_ihl[14] = 0x4f;
    bytes padded = ethernet(ipv4(A, B, TCP, tcp(1, 2, SYN)));
    put16(padded, 16, 20 + 10);  // the IP total length ends inside the TCP header
    bytes arp = ethernet(bytes(28, 0));
    put16(arp, 12, 0x0806);
    replay_capture capture = read(DLT_EN10MB, {{0, bad_ihl}, {1, long_ihl}, {2, padded}, {3, arp}});
    EXPECT_EQ(capture.packets_read, 4u);
    EXPECT_EQ(capture.packets_skipped, 3u);
    EXPECT_TRUE(capture.flows.empty());
}

std::vector<record> mixed_traffic() {
    return {{0.0, tcp4(A, B, 40000, 80, SYN), 0},
            {0.1, tcp4(B, A, 80, 40000, SYN | ACK), 1},
            {0.2, udp4(A, D, 50000, 53), 0},
            {0.3, tcp4(A, C, 40001, 443, SYN), 1},
            {1.3, tcp4(A, C, 40001, 443, SYN), 0},
            {1.5, udp4(D, A, 53, 50000), 1},
            {2.0, ethernet(ipv6(A6, D6, UDP, udp(50001, 123))), 0}};
}

// The same packets read alike from pcap and pcapng (two interfaces of one link type), gzip'd or
// not, from a stream, and split over two files read as one capture.
TEST_F(ReplayReader, EveryFileFormatReadsTheSame) {
    const std::vector<record> records = mixed_traffic();
    const replay_capture expected = read(DLT_EN10MB, records);
    ASSERT_EQ(expected.flows.size(), 4u);
    ASSERT_EQ(expected.packets.size(), 5u);
    const bytes pcap = read_file(path("capture.pcap"));
    const bytes ng = pcapng({DLT_EN10MB, DLT_EN10MB}, records);
    ASSERT_TRUE(write_file(path("capture.pcap.gz"), pcap, true));
    ASSERT_TRUE(write_file(path("capture.pcapng"), ng));
    ASSERT_TRUE(write_file(path("capture.pcapng.gz"), ng, true));
    const std::vector<record> first(records.begin(), records.begin() + 4);
    std::vector<record> second(records.begin() + 4, records.end());
    for (record &r : second) {
        r.interface = 0;
    }
    ASSERT_TRUE(write_pcap(path("first.pcap"), DLT_EN10MB, first));
    ASSERT_TRUE(write_file(path("second.pcapng"), pcapng({DLT_EN10MB}, second)));

    struct {
        const char *name;
        std::vector<std::string> files;
    } cases[] = {
        {"pcap.gz", {path("capture.pcap.gz")}},
        {"pcapng", {path("capture.pcapng")}},
        {"pcapng.gz", {path("capture.pcapng.gz")}},
        {"two files", {path("first.pcap"), path("second.pcapng")}},
        {"stream", {}},
    };
    for (const auto &c : cases) {
        replay_capture capture;
        char error[256] = "";
        int status;
        if (c.files.empty()) {
            FILE *in = fmemopen(const_cast<unsigned char *>(pcap.data()), pcap.size(), "r");
            status = read_capture_stream(in, "memory", &capture, error, sizeof error);
        } else {
            std::vector<const char *> paths;
            for (const std::string &file : c.files) {
                paths.push_back(file.c_str());
            }
            status = read_captures(paths.data(), paths.size(), &capture, error, sizeof error);
        }
        ASSERT_EQ(status, 0) << c.name << ": " << error;
        EXPECT_EQ(capture.packets_read, records.size()) << c.name;
        EXPECT_NEAR(capture.duration, expected.duration, 1e-6) << c.name;
        ASSERT_EQ(capture.packets.size(), expected.packets.size()) << c.name;
        for (size_t i = 0; i < expected.packets.size(); i++) {
            EXPECT_NEAR(capture.packets[i].time, expected.packets[i].time, 1e-6) << c.name;
            EXPECT_EQ(capture.packets[i].flow, expected.packets[i].flow) << c.name;
        }
        ASSERT_EQ(capture.flows.size(), expected.flows.size()) << c.name;
        for (size_t i = 0; i < expected.flows.size(); i++) {
            EXPECT_EQ(capture.flows[i].answered, expected.flows[i].answered) << c.name;
            EXPECT_NEAR(capture.flows[i].answer_time, expected.flows[i].answer_time, 1e-6)
                << c.name;
        }
    }
}

// Each file the reader cannot read is a message naming it and, where a record is at fault, the
// offset of that record; what came before it is kept.
TEST_F(ReplayReader, FilesItCannotReadAreClearErrors) {
    ASSERT_TRUE(write_pcap(path("good.pcap"), DLT_EN10MB, mixed_traffic()));
    const bytes pcap = read_file(path("good.pcap"));
    const size_t last = pcap.size() - (16 + mixed_traffic().back().data.size());
    bytes gzip_cut;
    ASSERT_TRUE(write_file(path("all.gz"), pcap, true));
    gzip_cut = read_file(path("all.gz"));
    gzip_cut.resize(gzip_cut.size() - 12);
    bytes gzip_bad = read_file(path("all.gz"));
    for (size_t i = 20; i < 40; i++) {
        gzip_bad[i] ^= 0x5a;
    }
    bytes wifi = pcap;
    wifi[20] = 105;  // the file header's link type: IEEE 802.11
    const bytes mixed = pcapng({DLT_EN10MB, DLT_LINUX_SLL}, mixed_traffic());

    // Where zlib decides how much of cut data it hands on, only the message's ends are fixed.
    const std::string cut_record = ": offset " + std::to_string(last);
    struct {
        const char *name;
        bytes data;
        std::string message;  // after the file's name
        const char *ending;   // when set, message is the start and this the end
        uint64_t read;        // packets read before the fault
    } cases[] = {
        {"empty", {}, ": empty file", nullptr, 0},
        {"garbage", bytes(100, 'x'), ": offset 0: unknown file format", nullptr, 0},
        {"header cut", bytes(pcap.begin(), pcap.begin() + 10),
         ": offset 0: truncated dump file; tried to read 24 file header bytes, only got 6", nullptr,
         0},
        {"last record cut", bytes(pcap.begin(), pcap.end() - 5),
         cut_record + ": truncated dump file; tried to read 66 captured bytes, only got 61",
         nullptr, 6},
        {"unknown link type", wifi,
         ": link type 105 (IEEE802_11) is none the reader knows: Ethernet, Linux cooked (SLL, "
         "SLL2), raw IP or BSD loopback",
         nullptr, 0},
        {"interfaces of two link types", mixed,
         ": offset 48: an interface has a type 113 different from the type of the first "
         "interface",
         nullptr, 0},
        {"gzip data cut", gzip_cut,
         cut_record + " (after decompression): truncated dump file; tried to read 66 captured "
                      "bytes, only got ",
         " (the gzip data ends early)", 6},
        {"gzip data corrupt", gzip_bad,
         ": offset 0 (after decompression): gzip data: incorrect data check", nullptr, 0},
    };
    for (const auto &c : cases) {
        std::string file = path(c.name);
        ASSERT_TRUE(write_file(file, c.data)) << c.name;
        replay_capture capture;
        char error[256] = "";
        EXPECT_EQ(read_capture(file.c_str(), &capture, error, sizeof error), 1) << c.name;
        std::string message = error;
        if (c.ending != nullptr) {
            EXPECT_EQ(message.rfind(file + c.message, 0), 0u) << message;
            EXPECT_TRUE(message.ends_with(c.ending)) << message;
        } else {
            EXPECT_EQ(message, file + c.message) << c.name;
        }
        EXPECT_EQ(capture.packets_read, c.read) << c.name;
    }
    replay_capture capture;
    char error[256] = "";
    EXPECT_EQ(read_capture(path("missing").c_str(), &capture, error, sizeof error), 1);
    EXPECT_EQ(error, path("missing") + ": No such file or directory");
}

TEST_F(ReplayReader, TheBusiestHostItsFlowsAndAWindow) {
    // A opens three flows, C two, and B two to A, which are not A's.
    const replay_capture capture = read(DLT_EN10MB, {{0.0, tcp4(C, B, 41000, 80, SYN)},
                                                     {0.5, tcp4(B, A, 33000, 22, SYN)},
                                                     {1.0, tcp4(A, B, 40000, 80, SYN)},
                                                     {1.5, tcp4(B, A, 33001, 22, SYN)},
                                                     {2.0, tcp4(C, B, 41001, 80, SYN)},
                                                     {2.5, udp4(A, D, 50000, 53)},
                                                     {3.0, tcp4(A, B, 40000, 80, SYN)},
                                                     {3.5, udp4(D, A, 53, 50000)},
                                                     {4.0, tcp4(A, C, 40001, 443, SYN)}});
    int family = 0;
    unsigned char host[16];
    ASSERT_EQ(pick_host(capture, &family, host), 0);
    char text[INET6_ADDRSTRLEN];
    EXPECT_STREQ(format_address(family, host, text, sizeof text), A);

    replay_capture a;
    keep_host(capture, family, host, &a);
    expect_flows(a,
                 {{A, 1.0, TCP, 40000, 80, false, 0, 2},
                  {A, 2.5, UDP, 50000, 53, true, 3.5, 1},
                  {A, 4.0, TCP, 40001, 443, false, 0, 1}},
                 "host A");
    EXPECT_EQ(a.packets_read, 9u);
    EXPECT_DOUBLE_EQ(a.duration, 4.0);

    // The flows that start in [2, 4.5), re-based: A's retransmission at 3 is not among them.
    replay_capture window;
    keep_window(a, 2.0, 2.5, &window);
    expect_flows(window,
                 {{A, 0.5, UDP, 50000, 53, true, 1.5, 1}, {A, 2.0, TCP, 40001, 443, false, 0, 1}},
                 "window");
    EXPECT_DOUBLE_EQ(window.duration, 2.0);
    keep_window(a, 0.0, 1.5, &window);
    expect_flows(window, {{A, 1.0, TCP, 40000, 80, false, 0, 1}}, "first window");

    // A tie goes to the source that came first, not to the last to reach the count.
    replay_capture tie;
    for (const char *source : {C, A, C, A}) {
        replay_flow flow{};
        parse_address(source, &flow.family, flow.source);
        tie.flows.push_back(flow);
    }
    ASSERT_EQ(pick_host(tie, &family, host), 0);
    EXPECT_STREQ(format_address(family, host, text, sizeof text), C);
    replay_capture none;
    EXPECT_EQ(pick_host(none, &family, host), 1);
    struct {
        const char *text;
        int status, family;
    } addresses[] = {{"10.0.0.1", 0, 4}, {"2001:db8::1", 0, 6}, {"::ffff:10.0.0.1", 0, 6},
                     {"10.0.0", 1, 0},   {"host", 1, 0},        {"", 1, 0}};
    for (const auto &c : addresses) {
        family = 0;
        EXPECT_EQ(parse_address(c.text, &family, host), c.status) << c.text;
        EXPECT_EQ(family, c.family) << c.text;
        if (c.status == 0) {
            EXPECT_STREQ(format_address(family, host, text, sizeof text), c.text);
        }
    }
}

}  // namespace
