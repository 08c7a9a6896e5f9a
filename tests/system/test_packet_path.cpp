// The packet path under real traffic of every shape: every packet the kernel hands the daemon
// gets its verdict, nothing held is lost at a stop, the queues fail open when the daemon cannot
// keep up, and a start whose queue is taken fails cleanly.
#include <gtest/gtest.h>

#include <algorithm>

#include "daemon_fixture.h"
#include "nllib.h"
#include "traffic.h"

namespace {

constexpr uint16_t UDP_PORT = 7001;

// UDP payload sizes: every size up to 64 bytes (the odd ones leave the kernel's packet message
// unpadded), sizes around the bytes the daemon copies of each packet, and large ones.
std::vector<size_t> udp_sizes() {
    std::vector<size_t> sizes;
    for (size_t n = 0; n <= 64; ++n) {
        sizes.push_back(n);
    }
    for (size_t n : {100, 191, 192, 193, 211, 212, 213, 1000, 1472, 9000, 60000}) {
        sizes.push_back(n);
    }
    return sizes;
}

class PacketPath : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_TRUE(udp.valid());
        write_config({{"delay_queue_size", "400"},
                      {"delay_queue_high_watermark", "300"},
                      {"delay_queue_low_watermark", "100"}});
    }
    // Makes the hosts known: one datagram to each, received once released.
    void make_known(const std::vector<std::string> &hosts) {
        size_t before = udp.total();
        for (const std::string &host : hosts) {
            ASSERT_TRUE(send_udp(host, UDP_PORT, 3000));  // a size the shapes leave out
        }
        ASSERT_TRUE(udp.wait_total(before + hosts.size(), 10000));
    }
    std::map<std::string, long> counters() { return status_counters(); }

    UdpReceiver udp{UDP_PORT};
};

// The same traffic by the rule alone and with answer credit, whose judging also reads each
// packet's ports: with credit enough for all of it, new hosts pass at once too.
class PacketShapes : public PacketPath, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        PacketPath::SetUp();
        write_config({{"delay_queue_size", "400"},
                      {"delay_queue_high_watermark", "300"},
                      {"delay_queue_low_watermark", "100"},
                      {"new_host_credit", GetParam() ? "1000" : "0"}});
    }
};

// UDP of every size, UDP-Lite and SCTP, TCP SYNs with options (connect) and without (raw), over
// IPv4 and IPv6, to known and to new hosts: every packet reaches its receiver, and the daemon's
// count of each outcome adds up.
TEST_P(PacketShapes, TrafficOfEveryShapeIsDelivered) {
    const bool credit = GetParam();
    ASSERT_EQ(start_daemon().find("failed"), std::string::npos);
    const std::vector<std::string> known = {"127.0.0.80", "fd00:6::1"};
    const std::vector<std::string> fresh = {"127.0.0.81", "fd00:6::2"};
    make_known(known);
    auto before = counters();

    const std::vector<size_t> sizes = udp_sizes();
    uint16_t raw_port = 40000;
    for (const auto &hosts : {known, fresh}) {
        bool are_new = hosts == fresh;
        auto start = std::chrono::steady_clock::now();
        size_t expected = udp.total();
        for (const std::string &host : hosts) {
            for (size_t size : sizes) {
                ASSERT_TRUE(send_udp(host, UDP_PORT, size)) << host << " " << size;
            }
            expected += sizes.size();
        }
        std::vector<Fd> connections;
        std::vector<RawSyn> raws;
        std::vector<uint16_t> raw_ports;
        for (const std::string &host : hosts) {
            ASSERT_TRUE(send_udplite_and_sctp_init(host, UDP_PORT)) << host;
            connections.push_back(connect_nonblocking(host, SERVICE_PORT));
            raws.emplace_back(host, SERVICE_PORT);
            ASSERT_TRUE(raws.back().valid());
            raw_ports.push_back(++raw_port);
            ASSERT_TRUE(raws.back().send(raw_ports.back()));
        }

        EXPECT_TRUE(udp.wait_total(expected, 10000)) << udp.total() << " of " << expected;
        for (size_t i = 0; i < hosts.size(); ++i) {
            EXPECT_TRUE(wait_connected(connections[i].get(), 10000)) << hosts[i];
            EXPECT_TRUE(raws[i].wait_syn_ack(raw_ports[i], 10000)) << hosts[i];
            auto got = udp.sizes(hosts[i]);
            for (size_t size : sizes) {
                EXPECT_EQ(got[size], 1) << hosts[i] << " payload " << size;
            }
        }
        // Datagrams, a UDP-Lite datagram and an SCTP INIT, a SYN with options and one without,
        // to each host. A held SYN may be sent again by TCP and held once more.
        long sent = 2 * (static_cast<long>(sizes.size()) + 4);
        auto after = counters();
        if (are_new && !credit) {
            EXPECT_GE(after["packets placed on queue"] - before["packets placed on queue"], sent);
        } else {
            EXPECT_LT(ms_since(start), 3000) << "known hosts pass at once";
            EXPECT_EQ(
                after["packets passed without delay"] - before["packets passed without delay"],
                sent);
            EXPECT_EQ(after["packets placed on queue"], before["packets placed on queue"]);
        }
        before = after;
    }

    auto after = counters();
    EXPECT_EQ(after["connection establishing packets"],
              after["packets passed without delay"] + after["packets placed on queue"] +
                  after["packets dropped due to queue overflow"]);
    EXPECT_EQ(after["packets dropped due to queue overflow"], 0);
    std::string log = read_file(EVENT_LOG);
    EXPECT_EQ(log.find("unknown netlink message type"), std::string::npos) << log;
    EXPECT_EQ(log.find("could not be read"), std::string::npos) << log;
}
INSTANTIATE_TEST_SUITE_P(Policies, PacketShapes, ::testing::Values(false, true),
                         [](const auto &param_info) {
                             return param_info.param ? "credit" : "rule";
                         });

// An orderly stop lets every held packet go once the rules are gone: none is dropped with the
// sockets.
TEST_F(PacketPath, HeldDatagramsAllArriveAfterAStop) {
    ASSERT_EQ(start_daemon().find("failed"), std::string::npos);
    std::vector<std::string> hosts;
    for (int i = 1; i <= 50; ++i) {
        hosts.push_back("127.0.1." + std::to_string(i));
    }
    hosts.insert(hosts.end(), {"fd00:6::1", "fd00:6::2", "fd00:6::3"});
    for (const std::string &host : hosts) {
        ASSERT_TRUE(send_udp(host, UDP_PORT, 33));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long held = counters()["currently queued packets"];
    EXPECT_GE(held, static_cast<long>(hosts.size()) - 1);
    EXPECT_EQ(kernel_queued(), held);

    signal_daemon(SIGTERM);
    int status = wait_exit(pid_, 10000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pid_ = 0;
    EXPECT_TRUE(udp.wait_total(hosts.size(), 3000))
        << udp.total() << " of " << hosts.size() << " arrived";
    for (const std::string &host : hosts) {
        EXPECT_EQ(udp.sizes(host)[33], 1) << host;
    }
    EXPECT_FALSE(rules_loaded());
    EXPECT_EQ(read_file(EVENT_LOG).find("could not accept the held packets"), std::string::npos);
}

// A stopped daemon reads nothing: once the kernel queue is full, the kernel lets new packets
// pass instead of dropping them, and after SIGCONT the daemon works through what waited.
TEST_F(PacketPath, AStoppedDaemonFailsOpenAndCatchesUp) {
    ASSERT_EQ(start_daemon().find("failed"), std::string::npos);
    make_known({"127.0.0.90"});
    ASSERT_EQ(signal_daemon(SIGSTOP), 0);
    // Every thread stopped: none reads another packet.
    std::string states;
    for (int i = 0; i < 200; ++i) {
        states = run_output("cat /proc/" + std::to_string(pid_) +
                            "/task/*/stat | awk '{print $3}' | sort -u");
        if (states == "T\n") {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(states, "T\n");
    const size_t queue_length = 8192, beyond = 800;
    size_t before = udp.total();
    for (size_t i = 0; i < queue_length + beyond; ++i) {
        ASSERT_TRUE(send_udp("127.0.0.90", UDP_PORT, 5));
    }
    bool passed = udp.wait_total(before + beyond, 5000);
    size_t while_stopped = udp.total() - before;
    ASSERT_EQ(signal_daemon(SIGCONT), 0);
    EXPECT_TRUE(passed) << while_stopped << " datagrams passed while the daemon was stopped";
    EXPECT_LT(while_stopped, queue_length + beyond) << "the queue held packets";

    EXPECT_TRUE(udp.wait_total(before + queue_length + beyond, 15000))
        << udp.total() - before << " of " << queue_length + beyond;
    expect_kernel_queue_matches_daemon();
    auto c = counters();
    EXPECT_EQ(c["connection establishing packets"], c["packets passed without delay"] +
                                                        c["packets placed on queue"] +
                                                        c["packets dropped due to queue overflow"]);
    EXPECT_EQ(c["connection establishing packets"] - 1,
              static_cast<long>(queue_length + beyond - while_stopped))
        << "the daemon judged what the queue held, and only that";
}

// The stop lets go of every packet: those the kernel queued while the daemon was stopped and
// never read, and those sent while the stop runs (the jump goes first, then what is queued is
// accepted, then the rules go).
TEST_F(PacketPath, TheStopLetsEveryPacketGo) {
    // Queued in the kernel, never read: the daemon stopped, then resumed and ended at once.
    ASSERT_EQ(start_daemon().find("failed"), std::string::npos);
    make_known({"127.0.0.91"});
    ASSERT_EQ(signal_daemon(SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    size_t before = udp.total();
    const size_t queued = 2000;
    for (size_t i = 0; i < queued; ++i) {
        ASSERT_TRUE(send_udp("127.0.0.91", UDP_PORT, 5));
    }
    ASSERT_EQ(signal_daemon(SIGCONT), 0);
    ASSERT_EQ(signal_daemon(SIGTERM), 0);
    EXPECT_TRUE(WIFEXITED(wait_exit(pid_, 10000)));
    pid_ = 0;
    EXPECT_TRUE(udp.wait_total(before + queued, 5000))
        << udp.total() - before << " of " << queued << " queued while the daemon was stopped";

    // Sent during the stop: one datagram a millisecond to a known host (each a new flow that
    // goes to the daemon), from before the signal until after the daemon has gone.
    ASSERT_EQ(start_daemon().find("failed"), std::string::npos);
    make_known({"127.0.0.92"});
    pid_t daemon = pid_;
    before = udp.total();
    std::atomic<bool> stop{false};
    std::atomic<size_t> sent{0};
    std::thread sender([&] {
        while (!stop) {
            if (send_udp("127.0.0.92", UDP_PORT, 5)) {
                ++sent;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(signal_daemon(SIGTERM), 0);
    EXPECT_TRUE(WIFEXITED(wait_exit(daemon, 10000)));
    pid_ = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    sender.join();
    EXPECT_TRUE(udp.wait_total(before + sent, 5000))
        << udp.total() - before << " of " << sent << " sent while the daemon stopped";
}

// A queue that another program already holds fails the start: the start-status file says so
// and ends, no rules stay loaded, and the daemon is gone at once.
TEST_F(PacketPath, AQueueAlreadyBoundFailsTheStart) {
    for (int family : {AF_INET, AF_INET6}) {
        nl_filter_handle taken{};
        ASSERT_EQ(nl_create_filter(&taken, family, ULVO_MSG_BUF_SIZE), NL_OK);
        std::string status = start_daemon();
        auto ended = std::chrono::steady_clock::now();
        EXPECT_NE(status.find("netlink err=-16, for " +
                              std::string(family == AF_INET ? "IPv4" : "IPv6") + " thread"),
                  std::string::npos)
            << status;
        EXPECT_GE(status.size(), 30u);
        EXPECT_EQ(status.substr(status.size() - std::min<size_t>(status.size(), 30)),
                  "kel-ulvod failed to start\nend\n")
            << status;
        while (!daemon_pids().empty() && ms_since(ended) < 2000 * BUILD_SLOWDOWN) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(daemon_pids().empty()) << "a daemon lingers";
        EXPECT_FALSE(rules_loaded()) << run_output("iptables -S; ip6tables -S");
        EXPECT_FALSE(block_exists());
        EXPECT_GT(connect_ms("127.0.0.95"), -1) << "traffic passes";
        nl_destroy_filter(&taken);
        pid_ = 0;
    }
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
