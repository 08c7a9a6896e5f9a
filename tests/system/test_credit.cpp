// Answer credit against the real kernel: connection tracking's events say which of the host's
// connections were answered, and only those bring credit back.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "daemon_fixture.h"
#include "traffic.h"

namespace {

constexpr uint16_t ECHO_PORT = 7001;
constexpr char ECHO_HOST[] = "127.0.0.22";

class Credit : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        write_config({{"host_working_set_size", "5"},
                      {"delay_queue_delay_seconds", "1"},
                      {"delay_queue_size", "10"},
                      {"delay_queue_high_watermark", "8"},
                      {"delay_queue_low_watermark", "4"},
                      {"shared_memory_key", "0x4b554c56"},
                      {"new_host_credit", "3"},
                      {"credit_ceiling", "5"}});
        // Answers every datagram to its address and port, from that address: an answer from
        // another one would be a flow of its own.
        echo = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        SockAddr any(ECHO_HOST, ECHO_PORT);
        ASSERT_EQ(bind(echo.get(), any.get(), any.length), 0);
        echoing = std::thread([this] {
            while (!stop_echo) {
                if (!wait_readable(echo.get(), 20)) {
                    continue;
                }
                char data[64];
                sockaddr_storage from{};
                socklen_t length = sizeof from;
                ssize_t n = recvfrom(echo.get(), data, sizeof data, 0,
                                     reinterpret_cast<sockaddr *>(&from), &length);
                if (n > 0) {
                    sendto(echo.get(), data, static_cast<size_t>(n), 0,
                           reinterpret_cast<sockaddr *>(&from), length);
                }
            }
        });
    }
    void TearDown() override {
        stop_echo = true;
        echoing.join();
        DaemonTest::TearDown();
    }

    // The credit's metrics after the daemon has published them (once per release).
    static std::map<std::string, long> credit_metrics() {
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        std::istringstream lines(run_output(std::string(STATUS_TOOL) + " -metrics"));
        std::map<std::string, long> values;
        std::string name;
        long value;
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream words(line);
            if (line.rfind("kel_ulvo_credit", 0) == 0 || line.rfind("kel_ulvo_conntrack", 0) == 0) {
                words >> name >> value;
                values[name] = value;
            }
        }
        // Exactly these, by name: a misnamed one would otherwise read as 0 below.
        std::vector<std::string> names;
        for (const auto &[metric, ignored] : values) {
            names.push_back(metric);
        }
        EXPECT_EQ(names,
                  (std::vector<std::string>{
                      "kel_ulvo_conntrack_events_lost_total", "kel_ulvo_credit_answers_total",
                      "kel_ulvo_credit_balance", "kel_ulvo_credit_passed_total"}));
        return values;
    }

    // A datagram to the echo port from a socket of its own; true when the answer came.
    static bool udp_exchange(const std::string &host, uint16_t port) {
        SockAddr to(host, port);
        Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        timeval wait{1, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char data[8] = "credit";
        sendto(fd.get(), data, sizeof data, 0, to.get(), to.length);
        return recv(fd.get(), data, sizeof data, 0) > 0;
    }

    Fd echo;
    std::thread echoing;
    std::atomic<bool> stop_echo{false};
};

// One run: answered TCP and UDP bring credit back, a refused connection, an unanswered datagram
// and a connection from another host do not; the credit runs out, the next new host waits in
// the queue, and the event log says so once.
TEST_F(Credit, OnlyTheHostsOwnAnsweredConnectionsBringCreditBack) {
    std::string status = start_daemon();
    ASSERT_EQ(status.find("failed to start"), std::string::npos) << status;
    auto m = credit_metrics();
    EXPECT_EQ(m["kel_ulvo_credit_balance"], 3);

    double answered = connect_ms("127.0.0.21");
    EXPECT_GE(answered, 0);
    EXPECT_LT(answered, 300) << "passed at once on credit";
    EXPECT_TRUE(udp_exchange(ECHO_HOST, ECHO_PORT));
    m = credit_metrics();
    EXPECT_EQ(m["kel_ulvo_credit_passed_total"], 2);
    EXPECT_EQ(m["kel_ulvo_credit_answers_total"], 2);
    // 3 - 2 + 2 × 2 is the ceiling of 5, which falls back to the start by one a release.
    EXPECT_EQ(m["kel_ulvo_credit_balance"], 3);

    // Refused (a reset is a reply, not an answer) and unanswered: spent, nothing back.
    Fd refused = connect_nonblocking("127.0.0.23", 7999);
    EXPECT_FALSE(udp_exchange("127.0.0.24", 7998));
    // A connection another host opens to this one.
    run("unshare --net sleep 30 >/dev/null 2>&1 & echo $! >" + private_dir() + "/peer");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string peer = run_output("cat " + private_dir() + "/peer");
    peer.erase(peer.find_last_not_of('\n') + 1);
    ASSERT_EQ(run("ip link add veth-here type veth peer name veth-peer && "
                  "ip link set veth-peer netns " +
                  peer +
                  " && ip addr add 10.99.0.1/24 dev veth-here && ip link set veth-here up && "
                  "nsenter --net=/proc/" +
                  peer +
                  "/ns/net sh -c 'ip addr add 10.99.0.2/24 dev veth-peer && "
                  "ip link set veth-peer up && ip link set lo up'"),
              0);
    EXPECT_EQ(run("nsenter --net=/proc/" + peer + "/ns/net bash -c 'exec 3<>/dev/tcp/10.99.0.1/" +
                  std::to_string(SERVICE_PORT) + "'"),
              0)
        << "the inbound connection is made";
    m = credit_metrics();
    EXPECT_EQ(m["kel_ulvo_credit_passed_total"], 4);
    EXPECT_EQ(m["kel_ulvo_credit_answers_total"], 2) << "refused, unanswered and inbound: none";
    EXPECT_EQ(m["kel_ulvo_credit_balance"], 1);
    EXPECT_EQ(m["kel_ulvo_conntrack_events_lost_total"], 0);

    // Spend the last one: the next new hosts wait for their release.
    for (const char *host : {"127.0.0.25", "127.0.0.26", "127.0.0.27"}) {
        Fd spent = connect_nonblocking(host, 7997);  // refused: no credit back
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double held = connect_ms("127.0.0.28");
    EXPECT_GT(held, 300) << "waited for a release";
    std::string log = read_file(EVENT_LOG);
    EXPECT_EQ(count(log, "answer credit is spent"), 1) << log;
}

// A burst larger than the balance: the first three pass on credit, and each answer pays at once
// for the next held one (queue order), well before the first release; beyond the allowance of
// five, the rest wait for releases as by the rule.
TEST_F(Credit, ABurstPassesAsItsAnswersComeBack) {
    std::string status = start_daemon();
    ASSERT_EQ(status.find("failed to start"), std::string::npos) << status;
    std::vector<std::string> hosts;
    for (int i = 1; i <= 6; ++i) {
        hosts.push_back("127.0.4." + std::to_string(i));
    }
    std::vector<double> done = connect_all(hosts);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_GE(done[i], 0) << hosts[i];
        EXPECT_LT(done[i], 400) << hosts[i] << ": on credit, its own or an answer's";
    }
    EXPECT_GT(done[5], 400) << "beyond the allowance: a release";
    auto counters = status_counters();
    // The sixth waited for a release; the fourth and fifth waited for an answer, unless one came
    // before their own packet did.
    EXPECT_GE(counters["packets placed on queue"], 1);
    EXPECT_LE(counters["packets placed on queue"], 3);
    EXPECT_EQ(counters["currently queued packets"], 0);
}

// Worms that know the credit, against the real kernel's answers: probes to silent addresses
// interleaved with answered TCP connections to a pool of hosts, or with datagrams to a server
// that replies, get no further than the same probes alone. Each run: 20 probes a second for
// 5 s to new addresses that receive and never reply; what reached them is counted before the
// daemon's stop lets the held ones go.
TEST_F(Credit, InterleavedAnswersGetAScanNoFurtherThanItsProbesAlone) {
    enum loop_kind { PROBES_ALONE, TCP_POOL, UDP_REPLIES };
    const char *names[] = {"probes alone", "with a TCP pool", "with UDP replies"};
    size_t delivered[3] = {};
    for (int kind : {PROBES_ALONE, TCP_POOL, UDP_REPLIES}) {
        std::string status = start_daemon();
        ASSERT_EQ(status.find("failed to start"), std::string::npos) << status;
        UdpReceiver silent(9);
        ASSERT_TRUE(silent.valid());
        auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < 100; ++round) {
            if (kind == TCP_POOL) {
                // Seven hosts that answer, more than the working set holds.
                Fd helper =
                    connect_nonblocking("127.0.3." + std::to_string(1 + round % 7), SERVICE_PORT);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else if (kind == UDP_REPLIES) {
                send_udp(ECHO_HOST, ECHO_PORT, 8);
            }
            send_udp("127.0.2." + std::to_string(1 + round), 9, 8);
            std::this_thread::sleep_until(start + std::chrono::milliseconds(50 * (round + 1)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        delivered[kind] = silent.total();
        signal_daemon(SIGTERM);
        wait_exit(pid_, 10000);
        pid_ = 0;
    }
    for (int kind : {PROBES_ALONE, TCP_POOL, UDP_REPLIES}) {
        // The balance of 3, then about a release a second.
        EXPECT_GE(delivered[kind], 5u) << names[kind];
        EXPECT_LE(delivered[kind], 12u) << names[kind];
        EXPECT_LE(delivered[kind], delivered[PROBES_ALONE] + 2) << names[kind];
    }
    std::string log = read_file(EVENT_LOG);
    EXPECT_EQ(count(log, "[ALERT_VLA_DETECTED]"), 3) << "each run raised the alarm\n" << log;
}

// Without the kernel's connection-tracking events the credit would never come back: the start
// is refused with the reason, and nothing is left behind.
TEST_F(Credit, RefusedWithoutConnectionTrackingEvents) {
    ASSERT_EQ(run("sysctl -qw net.netfilter.nf_conntrack_events=0 || "
                  "{ modprobe nf_conntrack && sysctl -qw net.netfilter.nf_conntrack_events=0; }"),
              0);
    std::string status = start_daemon();
    EXPECT_NE(status.find("   new_host_credit is set, but connection-tracking events are switched "
                          "off\n   (net.netfilter.nf_conntrack_events=0)"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find("kel-ulvod failed to start\nend\n"), std::string::npos) << status;
    EXPECT_FALSE(rules_loaded());
    EXPECT_FALSE(block_exists());
    pid_ = 0;
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
