// kel-ulvo-replay --live on a capture the test writes: the flows through the installed daemon in
// the replay's own lab agree with the replay in virtual time, class by class, and the lab leaves
// nothing behind.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "../support/capture_writer.h"
#include "sandbox.h"

namespace {

using namespace capture_writer;

constexpr uint8_t SYN = 0x02, ACK = 0x10;
constexpr char HOST[] = "192.0.2.1";

// A page load's worth of flows in 1.5 s: a resolver asked three times, six web servers, one web
// server that never answers, and two datagrams nobody answers.
std::vector<record> page_load() {
    std::vector<record> r;
    const char *resolver = "198.51.100.53";
    for (int i = 0; i < 3; ++i) {
        double t = 0.5 * i;
        uint16_t port = static_cast<uint16_t>(40000 + i);
        r.push_back({t, udp4(HOST, resolver, port, 53)});
        r.push_back({t + 0.01, udp4(resolver, HOST, 53, port)});
    }
    for (int i = 0; i < 6; ++i) {
        char server[32];  // not string concatenation: GCC 12 warns falsely on it for i386
        snprintf(server, sizeof server, "203.0.113.%d", 10 + i);
        double t = 0.1 + 0.2 * i;
        uint16_t port = static_cast<uint16_t>(50000 + i);
        r.push_back({t, tcp4(HOST, server, port, 443, SYN)});
        r.push_back({t + 0.02, tcp4(server, HOST, 443, port, SYN | ACK)});
    }
    r.push_back({0.3, tcp4(HOST, "203.0.113.99", 50100, 443, SYN)});
    r.push_back({0.4, udp4(HOST, "198.51.100.7", 41000, 6892)});
    r.push_back({0.45, udp4(HOST, "198.51.100.8", 41001, 6892)});
    std::sort(r.begin(), r.end(), [](const record &a, const record &b) { return a.time < b.time; });
    return r;
}

TEST(ReplayLive, AgreesWithTheCoreClassByClass) {
    install_build_tree();
    std::string capture = private_dir() + "/page.pcap";
    ASSERT_TRUE(write_pcap(capture, DLT_EN10MB, page_load()));
    std::string csv = private_dir() + "/flows.csv";
    int status = -1;
    std::string scratch = private_dir() + "/tmp";
    ASSERT_EQ(run("mkdir -p " + scratch), 0);
    std::string out =
        run_output("TMPDIR=" + scratch +
                       " /opt/kel/kel-ulvo/bin/kel-ulvo-replay --live --policy rule --csv " + csv +
                       " --set delay_queue_size=10 --set "
                       "delay_queue_high_watermark=8 --set "
                       "delay_queue_low_watermark=4 " +
                       capture + " 2>&1",
                   &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("host 192.0.2.1: 12 new outgoing flows (9 answered)"), std::string::npos)
        << out;

    // The side-by-side table: share held within 10 points, p50 and p90 within 0.5 s.
    std::istringstream lines(out.substr(out.find("held% live/core")));
    std::string line;
    std::getline(lines, line);
    std::map<std::string, std::vector<double>> rows;
    while (std::getline(lines, line)) {
        std::string name = line.substr(0, 10);
        name.erase(name.find_last_not_of(' ') + 1);
        std::istringstream values(line.substr(10));
        std::vector<double> v(6);
        char slash;
        values >> v[0] >> slash >> v[1] >> v[2] >> slash >> v[3] >> v[4] >> slash >> v[5];
        ASSERT_TRUE(values) << line;
        rows[name] = v;
    }
    ASSERT_EQ(rows.size(), 4u) << out;  // DNS, web, other UDP, all
    for (const auto &[name, v] : rows) {
        EXPECT_LE(std::fabs(v[0] - v[1]), 10.0) << name << "\n" << out;
        EXPECT_LE(std::fabs(v[2] - v[3]), 0.5) << name << "\n" << out;
        EXPECT_LE(std::fabs(v[4] - v[5]), 0.5) << name << "\n" << out;
    }
    EXPECT_GT(rows["web"][2], 1.0) << "six new web servers wait for their turns\n" << out;

    // One row per flow; the unanswered web server's SYN left after its turn, like the others.
    std::string flows = run_output("cat " + csv);
    EXPECT_EQ(std::count(flows.begin(), flows.end(), '\n'), 13) << flows;
    EXPECT_NE(flows.find(",tcp,443,web,0,1,0,"), std::string::npos) << flows;
    EXPECT_EQ(run_output("ls -A " + scratch), "") << "the lab's directory is removed";
    EXPECT_EQ(run_output("for p in /proc/[0-9]*; do readlink $p/exe; done | grep -c "
                         "'kel-ulvod\\|kel-ulvo-replay' || true"),
              "0\n")
        << "no process of the lab is left";
}

// The interleaving worm through the lab's daemon, by the rule and with credit: the silent
// targets it reaches agree with virtual time within 20 % (or two probes), and credit adds no
// more than its balance and allowance allow.
TEST(ReplayLive, AnInterleavingWormAgreesWithVirtualTime) {
    install_build_tree();
    std::string scratch = private_dir() + "/tmp";
    ASSERT_EQ(run("mkdir -p " + scratch), 0);
    std::map<std::string, std::pair<int, int>> reached;
    for (const char *policy : {"rule", "credit"}) {
        int status = -1;
        std::string credit = std::string(policy) == "credit"
                                 ? " --set new_host_credit=10 --set credit_ceiling=20"
                                 : " --policy rule";
        std::string out =
            run_output("TMPDIR=" + scratch +
                           " /opt/kel/kel-ulvo/bin/kel-ulvo-replay --attack interleave "
                           "--live" +
                           credit +
                           " --set delay_queue_size=10 --set delay_queue_high_watermark=8 "
                           "--set delay_queue_low_watermark=4 2>&1",
                       &status);
        ASSERT_EQ(status, 0) << out;
        size_t at = out.find("silent targets reached in 15 s: live ");
        ASSERT_NE(at, std::string::npos) << out;
        int live = -1, core = -1;
        ASSERT_EQ(sscanf(out.c_str() + at,
                         "silent targets reached in 15 s: live %d, virtual time %d", &live, &core),
                  2)
            << out;
        EXPECT_LE(std::abs(live - core), std::max(2, core / 5)) << policy << "\n" << out;
        reached[policy] = {live, core};
    }
    // 15 releases in 15 s, some of them the worm's helpers by the rule; with credit the helpers
    // pass on it and every release is a probe, and credit adds its balance of 10 and no more.
    EXPECT_GE(reached["rule"].second, 5);
    EXPECT_LE(reached["rule"].second, 16);
    EXPECT_LE(reached["credit"].second, 15 + 10 + 2);
    EXPECT_EQ(run_output("ls -A " + scratch), "") << "the lab's directory is removed";
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
