// The replay's capture reader: flows and queued packets of captures the tests write, in every
// link type and file format it reads, and a clear message for every file it cannot read.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/capture_writer.h"
#include "capture.h"

namespace {

using namespace capture_writer;
using lines = std::vector<std::string>;

constexpr uint8_t SYN = 0x02, ACK = 0x10, FIN = 0x01, RST = 0x04, TCP = 6, UDP = 17;
constexpr const char *A = "10.0.0.1", *B = "192.0.2.10", *C = "192.0.2.20", *D = "198.51.100.53",
                     *A6 = "2001:db8::1", *D6 = "2001:db8::53";

// One line per flow: "source protocol source-port>port: queued packets' times[ answered t]".
// Every queued packet must name a flow, and a flow's first one be at the flow's time.
lines flows_of(const replay_capture &capture) {
    lines out;
    char text[INET6_ADDRSTRLEN], line[160];
    for (const replay_flow &f : capture.flows) {
        snprintf(line, sizeof line,
                 "%s %s %u>%u:", format_address(f.family, f.source, text, sizeof text),
                 f.protocol == TCP ? "tcp" : "udp", f.source_port, f.port);
        out.push_back(line);
    }
    std::vector<uint32_t> queued(out.size(), 0);
    for (const replay_packet &packet : capture.packets) {
        if (packet.flow >= out.size()) {
            ADD_FAILURE() << "a packet of flow " << packet.flow;
            continue;
        }
        if (queued[packet.flow]++ == 0) {
            EXPECT_DOUBLE_EQ(packet.time, capture.flows[packet.flow].time);
        }
        snprintf(line, sizeof line, " %g", packet.time);
        out[packet.flow] += line;
    }
    for (size_t i = 0; i < out.size(); i++) {
        EXPECT_EQ(queued[i], capture.flows[i].packets) << out[i];
        if (capture.flows[i].answered) {
            snprintf(line, sizeof line, " answered %g", capture.flows[i].answer_time);
            out[i] += line;
        }
    }
    return out;
}

class ReplayReader : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "replay-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
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

TEST_F(ReplayReader, FlowsAsConnectionTrackingSeesThem) {
    struct {
        const char *name;
        std::vector<record> records;
        lines flows;
    } cases[] = {
        {"TCP answered, and unanswered with two retransmissions",
         {{0.0, tcp4(A, B, 40000, 80, SYN)},
          {0.05, tcp4(B, A, 80, 40000, SYN | ACK)},
          {0.06, tcp4(A, B, 40000, 80, ACK)},
          {0.1, tcp4(A, C, 40001, 443, SYN)},
          {1.1, tcp4(A, C, 40001, 443, SYN)},
          {3.1, tcp4(A, C, 40001, 443, SYN)}},
         {"10.0.0.1 tcp 40000>80: 0 answered 0.05", "10.0.0.1 tcp 40001>443: 0.1 1.1 3.1"}},
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
         {"10.0.0.1 tcp 40000>80: 0 answered 0.01", "10.0.0.1 tcp 40000>80: 2 answered 2.01",
          "10.0.0.1 tcp 40000>80: 5", "10.0.0.1 tcp 40000>80: 6 6.5",
          "10.0.0.1 tcp 40000>80: 126.6"}},
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
         {"10.0.0.1 udp 50000>53: 0 0.5 answered 0.6", "10.0.0.1 udp 50001>5000: 1 2",
          "10.0.0.1 udp 50001>5000: 32.5", "10.0.0.1 udp 50000>53: 220.8"}},
        {"inbound flows are the remote source's",
         {{0.0, tcp4(B, A, 33000, 22, SYN)},
          {0.01, tcp4(A, B, 22, 33000, SYN | ACK)},
          {1.0, udp4(D, A, 53, 50002)},
          {1.1, udp4(A, D, 50002, 53)}},
         {"192.0.2.10 tcp 33000>22: 0 answered 0.01",
          "198.51.100.53 udp 53>50002: 1 answered 1.1"}},
        {"IPv6 extension headers, fragments of both families",
         {{0.0, ethernet(ipv6(A6, D6, UDP, udp(50000, 53), 60))},
          {0.1, ethernet(ipv6(A6, D6, TCP, tcp(40000, 443, SYN), 0))},
          {0.2, ethernet(ipv6(A6, D6, UDP, udp(50001, 4500), 44, 0x0001))},
          {0.3, ethernet(ipv6(A6, D6, UDP, udp(1111, 2222), 44, 0x00a8))},
          {0.4, ethernet(ipv4(A, D, UDP, udp(50003, 9000), 0x2000))},
          {0.5, ethernet(ipv4(A, D, UDP, udp(3333, 4444), 0x00b9))}},
         {"2001:db8::1 udp 50000>53: 0", "2001:db8::1 tcp 40000>443: 0.1",
          "2001:db8::1 udp 50001>4500: 0.2", "10.0.0.1 udp 50003>9000: 0.4"}},
    };
    for (const auto &c : cases) {
        replay_capture capture = read(DLT_EN10MB, c.records);
        EXPECT_EQ(flows_of(capture), c.flows) << c.name;
        EXPECT_EQ(capture.packets_read, c.records.size()) << c.name;
        EXPECT_EQ(capture.packets_skipped, 0u) << c.name;
        EXPECT_DOUBLE_EQ(capture.duration, c.records.back().time) << c.name;
    }
}

TEST_F(ReplayReader, EveryLinkTypeItKnows) {
    struct {
        int link_type;
        bytes (*frame)(const bytes &);
    } cases[] = {
        {DLT_EN10MB, [](const bytes &ip) { return ethernet(ip); }},
        {DLT_EN10MB, [](const bytes &ip) { return ethernet(ip, 1); }},
        {DLT_EN10MB, [](const bytes &ip) { return ethernet(ip, 2); }},
        {DLT_LINUX_SLL, sll},
        {DLT_LINUX_SLL2, sll2},
        {DLT_RAW, [](const bytes &ip) { return ip; }},
        {DLT_IPV4, [](const bytes &ip) { return ip; }},
        {DLT_IPV6, [](const bytes &ip) { return ip; }},
        {DLT_NULL, [](const bytes &ip) { return loopback(ip, true, 30); }},
        {DLT_NULL, [](const bytes &ip) { return loopback(ip, false, 24); }},
        {DLT_LOOP, [](const bytes &ip) { return loopback(ip, false, 28); }},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        // Each link type carries each family, except the two that carry only one.
        const auto &c = cases[i];
        std::vector<record> records = {
            {0.0, c.frame(ipv4(A, B, TCP, tcp(40000, 80, SYN)))},
            {0.2, c.frame(ipv4(B, A, TCP, tcp(80, 40000, SYN | ACK)))},
            {0.5, c.frame(ipv6(A6, D6, UDP, udp(50000, 53)))},
        };
        lines expected = {"10.0.0.1 tcp 40000>80: 0 answered 0.2", "2001:db8::1 udp 50000>53: 0.5"};
        uint64_t skipped = 0;
        if (c.link_type == DLT_IPV4 || c.link_type == DLT_IPV6) {
            size_t other = c.link_type == DLT_IPV4 ? 1 : 0;
            expected.erase(expected.begin() + static_cast<long>(other));
            skipped = c.link_type == DLT_IPV4 ? 1 : 2;
        }
        replay_capture capture = read(c.link_type, records);
        EXPECT_EQ(flows_of(capture), expected) << "case " << i;
        EXPECT_EQ(capture.packets_skipped, skipped) << "case " << i;
    }
}

// Every packet cut before the headers the reader needs is skipped and never read past (the
// sanitizer builds see to that); from the needed length on it is a flow's queued packet.
TEST_F(ReplayReader, PacketsCutShortOrMalformedAreSkipped) {
    struct {
        int link_type;
        bytes packet;
        size_t needed;
    } cases[] = {
        {DLT_EN10MB, ethernet(ipv4(A, B, TCP, tcp(1, 2, SYN)), 1), 18 + 20 + 14},
        {DLT_LINUX_SLL, sll(ipv6(A6, D6, UDP, udp(1, 2), 60)), 16 + 40 + 8 + 4},
        {DLT_NULL, loopback(ipv4(A, B, UDP, udp(1, 2)), true, 30), 4 + 20 + 4},
    };
    for (const auto &c : cases) {
        std::vector<record> records;
        for (size_t length = 0; length <= c.packet.size(); length++) {
            records.push_back({0.001 * static_cast<double>(length),
                               bytes(c.packet.begin(), c.packet.begin() + length)});
        }
        replay_capture capture = read(c.link_type, records);
        EXPECT_EQ(capture.packets_skipped, c.needed) << c.link_type;
        ASSERT_EQ(capture.flows.size(), 1u) << c.link_type;
        EXPECT_EQ(capture.flows[0].packets, c.packet.size() + 1 - c.needed) << c.link_type;
    }
    // Malformed headers are skipped; other protocols are read and ignored.
    const bytes syn = tcp4(A, B, 1, 2, SYN);
    bytes short_ihl = syn, long_ihl = syn, short_total = syn, arp = ethernet(bytes(28, 0));
    short_ihl[14] = 0x44;
    long_ihl[14] = 0x4f;
    put16(short_total, 16, 20 + 10);  // the IP total length ends inside the TCP header
    put16(arp, 12, 0x0806);
    replay_capture capture =
        read(DLT_EN10MB, {{0, short_ihl}, {1, long_ihl}, {2, short_total}, {3, arp}});
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
            {1.5, udp4(D, A, 53, 50000), 0},
            {2.0, ethernet(ipv6(A6, D6, UDP, udp(50001, 123))), 0}};
}

// The same packets read alike from pcap and pcapng (two interfaces of one link type and of
// different snapshot lengths), gzip'd or not, from a stream, and split over two files read as
// one capture.
TEST_F(ReplayReader, EveryFileFormatReadsTheSame) {
    const std::vector<record> records = mixed_traffic();
    const lines expected = {"10.0.0.1 tcp 40000>80: 0 answered 0.1",
                            "10.0.0.1 udp 50000>53: 0.2 answered 1.5",
                            "10.0.0.1 tcp 40001>443: 0.3 1.3", "2001:db8::1 udp 50001>123: 2"};
    EXPECT_EQ(flows_of(read(DLT_EN10MB, records)), expected);
    const bytes pcap = read_file(path("capture.pcap"));
    bytes ng = pcapng({DLT_EN10MB, DLT_EN10MB}, records);
    ng[62] = 4;  // the second interface's snapshot length, at 48 + 12: 262144, not 65535
    ng[60] = ng[61] = 0;
    const std::vector<record> first(records.begin(), records.begin() + 5);
    const std::vector<record> second(records.begin() + 5, records.end());
    ASSERT_TRUE(write_file(path("capture.pcap.gz"), pcap, true));
    ASSERT_TRUE(write_file(path("capture.pcapng"), ng));
    ASSERT_TRUE(write_file(path("capture.pcapng.gz"), ng, true));
    ASSERT_TRUE(write_pcap(path("first.pcap"), DLT_EN10MB, first));
    ASSERT_TRUE(write_file(path("second.pcapng"), pcapng({DLT_EN10MB}, second)));

    const std::vector<std::vector<std::string>> cases = {
        {path("capture.pcap.gz")},
        {path("capture.pcapng")},
        {path("capture.pcapng.gz")},
        {path("first.pcap"), path("second.pcapng")},
        {},  // the pcap from memory, as a stream
    };
    for (const auto &files : cases) {
        replay_capture capture;
        char error[256] = "";
        std::vector<const char *> paths;
        for (const std::string &file : files) {
            paths.push_back(file.c_str());
        }
        int status = files.empty()
                         ? read_capture_stream(
                               fmemopen(const_cast<uint8_t *>(pcap.data()), pcap.size(), "r"),
                               "memory", &capture, error, sizeof error)
                         : read_captures(paths.data(), paths.size(), &capture, error, sizeof error);
        const std::string name = files.empty() ? "stream" : files.back();
        ASSERT_EQ(status, 0) << name << ": " << error;
        EXPECT_EQ(flows_of(capture), expected) << name;
        EXPECT_EQ(capture.packets_read, records.size()) << name;
        EXPECT_DOUBLE_EQ(capture.duration, 2.0) << name;
    }
}

// Each file the reader cannot read is a message naming it and, where a record is at fault, the
// offset of that record; what came before it is kept.
TEST_F(ReplayReader, FilesItCannotReadAreClearErrors) {
    ASSERT_TRUE(write_pcap(path("good.pcap"), DLT_EN10MB, mixed_traffic()));
    const bytes pcap = read_file(path("good.pcap"));
    ASSERT_TRUE(write_file(path("good.pcap.gz"), pcap, true));
    bytes gzip_cut = read_file(path("good.pcap.gz")), gzip_bad = gzip_cut, wifi = pcap;
    gzip_cut.resize(gzip_cut.size() - 12);
    for (size_t i = 20; i < 40; i++) {
        gzip_bad[i] ^= 0x5a;
    }
    wifi[20] = 105;  // the file header's link type: IEEE 802.11
    // Where zlib decides how much of cut data it hands on, only the message's ends are fixed.
    const std::string last = ": offset " + std::to_string(pcap.size() - 16 - 66);
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
         last + ": truncated dump file; tried to read 66 captured bytes, only got 61", nullptr, 6},
        {"unknown link type", wifi,
         ": link type 105 (IEEE802_11) is none the reader knows: Ethernet, Linux cooked (SLL, "
         "SLL2), raw IP or BSD loopback",
         nullptr, 0},
        {"interfaces of two link types", pcapng({DLT_EN10MB, DLT_LINUX_SLL}, mixed_traffic()),
         ": offset 48: an interface has a type 113 different from the type of the first "
         "interface (the reader takes a pcapng file only when its interfaces share one link "
         "type)",
         nullptr, 0},
        {"gzip data cut", gzip_cut,
         last + " (after decompression): truncated dump file; tried to read 66 captured bytes, "
                "only got ",
         " (the gzip data ends early)", 6},
        {"gzip data corrupt", gzip_bad,
         ": offset 0 (after decompression): gzip data: incorrect data check", nullptr, 0},
        {"missing", {}, ": No such file or directory", nullptr, 0},
    };
    for (const auto &c : cases) {
        std::string file = path(c.name);
        ASSERT_TRUE(strcmp(c.name, "missing") == 0 || write_file(file, c.data)) << c.name;
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
    char text[INET6_ADDRSTRLEN];
    ASSERT_EQ(pick_host(capture, &family, host), 0);
    EXPECT_STREQ(format_address(family, host, text, sizeof text), A);
    replay_capture a, window;
    keep_host(capture, family, host, &a);
    EXPECT_EQ(flows_of(a),
              lines({"10.0.0.1 tcp 40000>80: 1 3", "10.0.0.1 udp 50000>53: 2.5 answered 3.5",
                     "10.0.0.1 tcp 40001>443: 4"}));
    EXPECT_EQ(a.packets_read, 9u);
    EXPECT_DOUBLE_EQ(a.duration, 4.0);
    // The flows that start in [2, 4.5), re-based: A's retransmission at 3 is not among them.
    keep_window(a, 2.0, 2.5, &window);
    EXPECT_EQ(flows_of(window),
              lines({"10.0.0.1 udp 50000>53: 0.5 answered 1.5", "10.0.0.1 tcp 40001>443: 2"}));
    EXPECT_DOUBLE_EQ(window.duration, 2.0);
    keep_window(a, 0.0, 1.5, &window);
    EXPECT_EQ(flows_of(window), lines({"10.0.0.1 tcp 40000>80: 1"}));

    // A tie goes to the source that came first, not to the last to reach the count.
    replay_capture tie, none;
    for (const char *source : {C, A, C, A}) {
        replay_flow flow{};
        parse_address(source, &flow.family, flow.source);
        tie.flows.push_back(flow);
    }
    ASSERT_EQ(pick_host(tie, &family, host), 0);
    EXPECT_STREQ(format_address(family, host, text, sizeof text), C);
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
