// nllib and the helper script against the real kernel, inside the test's own namespaces.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <linux/netfilter/ipset/ip_set.h>  // IPSET_ERR_BUSY
#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include "kernel_set.h"
#include "kernel_sets.h"
#include "net.h"
#include "nllib.h"
#include "sandbox.h"

namespace {

constexpr uint16_t PORT = 8080;

struct Received {
    int status = -1;
    uint16_t type = 0;
    unsigned long packet_id = 0;
    int error = 0;
    std::vector<unsigned char> ip;  // the packet's first bytes
};

// Waits up to timeout_ms for a message on the handle and receives it.
Received receive(nl_filter_handle *filter, int timeout_ms = 2000) {
    Received r;
    if (!wait_readable(filter->fd, timeout_ms)) {
        return r;
    }
    alignas(unsigned long) unsigned char buffer[ULVO_MSG_BUF_SIZE];
    memset(buffer, 0xee, sizeof buffer);
    r.status = nl_get_msg(filter, buffer, sizeof buffer);
    nlmsghdr header;
    memcpy(&header, buffer, sizeof header);
    r.type = header.nlmsg_type;
    if (r.type == NLMSG_ERROR) {
        memcpy(&r.error, buffer + sizeof header, sizeof r.error);
    } else if (r.type == IPQM_PACKET) {
        const auto *packet = reinterpret_cast<const ipq_packet_msg *>(buffer + sizeof header);
        r.packet_id = packet->packet_id;
        r.ip.assign(packet->payload, packet->payload + PACKET_COPY_BYTES);
    }
    return r;
}

std::vector<unsigned char> address_bytes(const std::string &address) {
    unsigned char bytes[16];
    bool v6 = address.find(':') != std::string::npos;
    inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), bytes);
    return std::vector<unsigned char>(bytes, bytes + (v6 ? 16 : 4));
}

class PacketQueue : public ::testing::Test {
  protected:
    void SetUp() override {
        install_build_tree();  // the script writes its rules through the installed kel-ulvo-allow
        ASSERT_EQ(run("ip -6 addr add fd00:6::5/128 dev lo nodad"), 0);
        ASSERT_EQ(run(build_helper_script() + " load_rules"), 0);
        listener4 = listen_tcp("0.0.0.0", PORT);
        listener6 = listen_tcp("::", PORT);
        ASSERT_TRUE(listener4.valid() && listener6.valid());
    }
    void TearDown() override {
        for (nl_filter_handle *f : {&v4, &v6}) {
            if (f->fd > 0) {
                nl_destroy_filter(f);
            }
        }
    }
    void open_both() {
        ASSERT_EQ(nl_create_filter(&v4, AF_INET, ULVO_MSG_BUF_SIZE), NL_OK) << strerror(errno);
        ASSERT_EQ(nl_create_filter(&v6, AF_INET6, ULVO_MSG_BUF_SIZE), NL_OK) << strerror(errno);
    }
    // A SYN to the host arrives on the handle as a packet message with the destination at its
    // offset; returns its id.
    unsigned long expect_syn(nl_filter_handle *filter, const std::string &host) {
        Received r = receive(filter);
        EXPECT_EQ(r.status, NL_OK);
        EXPECT_EQ(r.type, IPQM_PACKET);
        bool is_v6 = host.find(':') != std::string::npos;
        std::vector<unsigned char> want = address_bytes(host);
        if (r.ip.size() == PACKET_COPY_BYTES) {
            EXPECT_EQ(std::vector<unsigned char>(r.ip.begin() + (is_v6 ? 24 : 16),
                                                 r.ip.begin() + (is_v6 ? 40 : 20)),
                      want);
            EXPECT_EQ(r.ip[0] >> 4, is_v6 ? 6 : 4);
        }
        return r.packet_id;
    }

    Fd listener4, listener6;
    nl_filter_handle v4{-1, {}, {}, 0, 0, 0};
    nl_filter_handle v6{-1, {}, {}, 0, 0, 0};
};

TEST_F(PacketQueue, SynsArriveAsPacketsAndAcceptLetsThemThrough) {
    open_both();
    Fd c4 = connect_nonblocking("127.0.0.9", PORT);
    Fd c6 = connect_nonblocking("fd00:6::5", PORT);
    unsigned long id4 = expect_syn(&v4, "127.0.0.9");
    unsigned long id6 = expect_syn(&v6, "fd00:6::5");
    EXPECT_FALSE(wait_connected(c4.get(), 200)) << "no verdict yet";
    EXPECT_EQ(nl_msg_action(&v4, &id4, ULVO_NF_ACCEPT), NL_OK);
    EXPECT_EQ(nl_msg_action(&v6, &id6, ULVO_NF_ACCEPT), NL_OK);
    EXPECT_TRUE(wait_connected(c4.get(), 2000));
    EXPECT_TRUE(wait_connected(c6.get(), 2000));
}

TEST_F(PacketQueue, DropHoldsTheConnectionBackUntilARetransmissionIsAccepted) {
    open_both();
    Fd c = connect_nonblocking("127.0.0.10", PORT);
    unsigned long id = expect_syn(&v4, "127.0.0.10");
    EXPECT_EQ(nl_msg_action(&v4, &id, ULVO_NF_DROP), NL_OK);
    EXPECT_FALSE(wait_connected(c.get(), 500));
    // TCP sends the SYN again about a second later; that one is let through.
    Received again = receive(&v4, 5000);
    ASSERT_EQ(again.type, IPQM_PACKET);
    EXPECT_NE(again.packet_id, id);
    EXPECT_EQ(nl_msg_action(&v4, &again.packet_id, ULVO_NF_ACCEPT), NL_OK);
    EXPECT_TRUE(wait_connected(c.get(), 2000));
}

TEST_F(PacketQueue, AVerdictForAnUnknownPacketIsRefusedLater) {
    open_both();
    unsigned long bogus = 0x7fffff00;
    EXPECT_EQ(nl_msg_action(&v4, &bogus, ULVO_NF_ACCEPT), NL_OK);
    Received r = receive(&v4);
    EXPECT_EQ(r.type, NLMSG_ERROR);
    EXPECT_EQ(r.error, -ENOENT);
}

TEST_F(PacketQueue, SecondBinderGetsEbusy) {
    open_both();
    nl_filter_handle second{};
    ASSERT_EQ(nl_create_filter(&second, AF_INET, ULVO_MSG_BUF_SIZE), NL_OK);
    Received r = receive(&second);
    EXPECT_EQ(r.status, NL_OK);
    EXPECT_EQ(r.type, NLMSG_ERROR);
    EXPECT_EQ(r.error, -EBUSY);
    nl_destroy_filter(&second);
    EXPECT_EQ(second.fd, -1);
    nl_destroy_filter(&second);  // a second close is harmless
    // The first binder still serves the queue.
    Fd c = connect_nonblocking("127.0.0.11", PORT);
    unsigned long id = expect_syn(&v4, "127.0.0.11");
    EXPECT_EQ(nl_msg_action(&v4, &id, ULVO_NF_ACCEPT), NL_OK);
    EXPECT_TRUE(wait_connected(c.get(), 2000));
}

TEST_F(PacketQueue, PacketLongerThanTheBufferIsCut) {
    open_both();
    Fd c = connect_nonblocking("127.0.0.12", PORT);
    ASSERT_TRUE(wait_readable(v4.fd, 2000));
    unsigned char small[sizeof(nlmsghdr) + IPQ_PAYLOAD_OFFSET + 8 + 16];
    memset(small, 0xee, sizeof small);
    ASSERT_EQ(nl_get_msg(&v4, small, sizeof small - 16), NL_OK);
    for (size_t i = sizeof small - 16; i < sizeof small; ++i) {
        EXPECT_EQ(small[i], 0xee) << "wrote past the buffer at " << i;
    }
    nlmsghdr header;
    memcpy(&header, small, sizeof header);
    EXPECT_EQ(header.nlmsg_type, IPQM_PACKET);
    ipq_packet_msg packet;
    memcpy(&packet, small + sizeof header, sizeof packet);
    EXPECT_EQ(packet.data_len, 8u);
    EXPECT_EQ(nl_msg_action(&v4, &packet.packet_id, ULVO_NF_ACCEPT), NL_OK);
    EXPECT_TRUE(wait_connected(c.get(), 2000));
}

// Starts one connection to each of count new hosts in 127.1.0.0/16 and more.
std::vector<Fd> syn_flood(int count) {
    raise_fd_limit();
    std::vector<Fd> sockets;
    for (int i = 0; i < count; ++i) {
        std::string host = "127." + std::to_string(1 + i / 65536) + "." +
                           std::to_string(i / 256 % 256) + "." + std::to_string(1 + i % 254);
        sockets.push_back(connect_nonblocking(host, PORT));
    }
    return sockets;
}

// Reads until the queue stays quiet for a while; every receive must succeed.
std::set<unsigned long> drain(nl_filter_handle *filter, int *failures) {
    std::set<unsigned long> ids;
    while (true) {
        Received r = receive(filter, 300);
        if (r.status == -1) {
            return ids;
        }
        if (r.status != NL_OK) {
            ++*failures;
            continue;
        }
        if (r.type == IPQM_PACKET) {
            ids.insert(r.packet_id);
            nl_msg_action(filter, &r.packet_id, ULVO_NF_ACCEPT);
        }
    }
}

TEST_F(PacketQueue, AFloodBeyondTheReceiveBufferNeverFailsTheReceive) {
    open_both();
    // A receive buffer this small overflows after a few dozen messages.
    int tiny = 4096;
    ASSERT_EQ(setsockopt(v4.fd, SOL_SOCKET, SO_RCVBUFFORCE, &tiny, sizeof tiny), 0);
    std::vector<Fd> sockets = syn_flood(3000);
    int failures = 0;
    std::set<unsigned long> ids = drain(&v4, &failures);
    EXPECT_EQ(failures, 0);
    EXPECT_GT(ids.size(), 0u);
    EXPECT_LT(ids.size(), 3000u) << "the tiny buffer should have overflowed";
}

TEST_F(PacketQueue, TheKernelQueueHoldsMoreThanItsDefault) {
    open_both();
    std::vector<Fd> sockets = syn_flood(3000);
    int failures = 0;
    std::set<unsigned long> ids = drain(&v4, &failures);
    EXPECT_EQ(failures, 0);
    // The kernel's default queue length of 1024 would have dropped two thirds of them.
    EXPECT_GE(ids.size(), 2900u);
}

class HelperScript : public ::testing::Test {
  protected:
    void SetUp() override { install_build_tree(); }
    static std::string rules() { return run_output("iptables -S; ip6tables -S"); }
    static int verb(const std::string &name, const std::string &env = "") {
        return run(env + " " + build_helper_script() + " " + name + " 2>/dev/null");
    }
};

TEST_F(HelperScript, VerbsAddAndRemoveExactlyTheirOwnRules) {
    // Someone else's rules, which must survive every verb.
    ASSERT_EQ(run("iptables -N OTHER && iptables -A OTHER -p tcp --dport 22 -j ACCEPT && "
                  "iptables -A OUTPUT -j OTHER && ip6tables -A OUTPUT -p udp --dport 53 -j ACCEPT"),
              0);
    std::string before = rules();
    EXPECT_EQ(verb("unload_rules"), 0) << "nothing loaded is not an error";
    EXPECT_EQ(rules(), before);

    EXPECT_EQ(verb("load_ipv4_modules"), 0);
    EXPECT_EQ(verb("load_ipv6_modules"), 0);
    EXPECT_EQ(rules(), before);

    EXPECT_EQ(verb("load_rules"), 0);
    std::string loaded = rules();
    EXPECT_EQ(verb("load_rules"), 0);
    EXPECT_EQ(rules(), loaded) << "loading twice equals loading once";
    for (const char *want :
         {"-A OUTPUT -j KEL_ULVO", "-N KEL_ULVO", "-N KEL_ULVO_ALLOW", "-N KEL_ULVO_QUEUE",
          "-A KEL_ULVO -g KEL_ULVO_ALLOW\n-A KEL_ULVO_ALLOW -g KEL_ULVO_QUEUE\n"
          "-A KEL_ULVO_QUEUE -p tcp -m tcp --tcp-flags FIN,SYN,RST,ACK SYN -m conntrack --ctstate "
          "NEW -j NFQUEUE --queue-num 4401 --queue-bypass\n"
          "-A KEL_ULVO_QUEUE -p udp -m conntrack --ctstate NEW -j NFQUEUE --queue-num 4401 "
          "--queue-bypass\n"
          "-A KEL_ULVO_QUEUE -p udplite -m conntrack --ctstate NEW -j NFQUEUE --queue-num 4401 "
          "--queue-bypass\n"
          "-A KEL_ULVO_QUEUE -p sctp -m conntrack --ctstate NEW -j NFQUEUE --queue-num 4401 "
          "--queue-bypass",
          "-j NFQUEUE --queue-num 4406 --queue-bypass"}) {
        EXPECT_NE(loaded.find(want), std::string::npos) << want << "\n" << loaded;
    }
    std::string output_chain = run_output("iptables -S OUTPUT");
    EXPECT_EQ(output_chain.find("-A OUTPUT"), output_chain.find("-A OUTPUT -j KEL_ULVO"))
        << "the jump comes first";

    // Detaching removes only the jumps: nothing new reaches the chains, which stay.
    EXPECT_EQ(verb("detach_rules"), 0);
    std::string detached = rules();
    EXPECT_EQ(detached.find("-A OUTPUT -j KEL_ULVO"), std::string::npos) << detached;
    EXPECT_NE(detached.find("-A KEL_ULVO_QUEUE -p udp"), std::string::npos) << detached;
    EXPECT_EQ(verb("detach_rules"), 0);
    EXPECT_EQ(rules(), detached);

    EXPECT_EQ(verb("unload_rules"), 0);
    EXPECT_EQ(rules(), before);
    EXPECT_EQ(verb("unload_rules"), 0);
    EXPECT_EQ(rules(), before);
    EXPECT_EQ(verb("detach_rules"), 0) << "nothing loaded is not an error";
}

TEST_F(HelperScript, WithTheRulesAndNoReaderConnectionsPass) {
    Fd listener = listen_tcp("0.0.0.0", PORT);
    ASSERT_EQ(verb("load_rules"), 0);
    Fd before_any_reader = connect_nonblocking("127.0.0.20", PORT);
    EXPECT_TRUE(wait_connected(before_any_reader.get(), 1000));

    // A reader that goes away without a word, as a killed daemon does.
    nl_filter_handle reader{};
    ASSERT_EQ(nl_create_filter(&reader, AF_INET, ULVO_MSG_BUF_SIZE), NL_OK);
    Fd while_read = connect_nonblocking("127.0.0.21", PORT);
    ASSERT_TRUE(wait_readable(reader.fd, 2000)) << "the reader gets the SYN";
    nl_destroy_filter(&reader);
    // The kernel drops what the reader held when it went; TCP's retransmission then passes.
    EXPECT_TRUE(wait_connected(while_read.get(), 4000)) << "passes once the reader is gone";
    Fd after = connect_nonblocking("127.0.0.22", PORT);
    EXPECT_TRUE(wait_connected(after.get(), 1000));
}

// The helper searches only the system's directories, whatever PATH it is given: a failing
// iptables is put in place inside the sandbox's own mount namespace instead.
TEST_F(HelperScript, FailuresGiveTheirStatusesAndReasons) {
    const std::string fake = "/var/opt/kel-ulvo-test/fakebin/iptables";
    ASSERT_EQ(
        run("mkdir -p /var/opt/kel-ulvo-test/fakebin && printf '#!/bin/sh\\nexit 3\\n' >" + fake +
            " && chmod +x " + fake + " && ln -s iptables /var/opt/kel-ulvo-test/fakebin/ip6tables"),
        0);
    int status = -1;
    std::string err = run_output("PATH=/var/opt/kel-ulvo-test/fakebin:$PATH " +
                                     build_helper_script() + " load_ipv4_modules 2>&1",
                                 &status);
    EXPECT_EQ(status, 0) << "an iptables earlier in the given PATH is not the one run: " << err;
    std::string real = run_output("readlink -f \"$(command -v iptables)\" | tr -d '\\n'");
    ASSERT_EQ(run("mount --bind " + fake + " " + real), 0) << real;
    std::string real6 = run_output("readlink -f \"$(command -v ip6tables)\" | tr -d '\\n'");
    if (real6 != real) {
        ASSERT_EQ(run("mount --bind " + fake + " " + real6), 0) << real6;
    }
    err = run_output(build_helper_script() + " load_ipv6_modules 2>&1", &status);
    EXPECT_EQ(status, 21);
    EXPECT_NE(err.find("ip6tables cannot queue packets"), std::string::npos) << err;
    err = run_output(build_helper_script() + " load_ipv4_modules 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("iptables cannot queue packets"), std::string::npos) << err;
    err = run_output(build_helper_script() + " load_rules 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("could not"), std::string::npos) << err;
    EXPECT_EQ(verb("no_such_verb"), 2);
    run("umount " + real + "; umount " + real6 +
        " 2>/dev/null; rm -rf /var/opt/kel-ulvo-test/fakebin");
}

// The fast path's kernel objects through netlink: a set follows each replacement exactly, in
// both families; a rule that matches the set counts in the counter, which a take reads and
// zeroes; neither can be removed while a rule refers to it; errors come back as codes.
TEST(KernelSet, SetsFollowEachChangeAndTheCounterCountsOnce) {
    kernel_set_socket ks;
    ASSERT_EQ(kset_open(&ks), 0);
    auto members = [&](const char *name) {
        int rc = -1;
        address_set found = set_members(&ks, name, &rc);
        EXPECT_EQ(rc, 0) << name;
        return found;
    };
    for (auto [name, version, a, b] : {std::tuple{"ks_test4", 1, "127.0.0.7", "10.1.2.3"},
                                       std::tuple{"ks_test6", 2, "fd00:6::5", "2001:db8::1"}}) {
        ASSERT_EQ(kset_create(&ks, name, version), 0) << name;
        std::vector<unsigned char> first = address_bytes(a), second = address_bytes(b);
        EXPECT_EQ(kset_replace(&ks, name, version, nullptr, first.data()), 0);
        EXPECT_EQ(members(name), (std::set{set_member(a)})) << name;
        EXPECT_EQ(kset_replace(&ks, name, version, first.data(), second.data()), 0);
        EXPECT_EQ(members(name), (std::set{set_member(b)})) << name;
        EXPECT_EQ(kset_replace(&ks, name, version, first.data(), second.data()), 0)
            << "a missing member removed and a present one added are no errors";
        EXPECT_EQ(kset_replace(&ks, name, version, nullptr, first.data()), 0);
        EXPECT_EQ(members(name), (std::set{set_member(a), set_member(b)})) << name;
        EXPECT_EQ(kset_flush(&ks, name), 0);
        EXPECT_TRUE(members(name).empty()) << name;
    }
    EXPECT_EQ(kset_create(&ks, "ks_test4", 2), EEXIST)
        << "a set of the name exists, even of another family";

    // UDP to a member is counted; to another address it is not.
    ASSERT_EQ(kacct_create(&ks, "ks_test_acct"), 0);
    std::vector<unsigned char> member = address_bytes("127.0.0.7");
    ASSERT_EQ(kset_replace(&ks, "ks_test4", 1, nullptr, member.data()), 0);
    ASSERT_EQ(run("iptables -A OUTPUT -p udp -m set --match-set ks_test4 dst -m nfacct "
                  "--nfacct-name ks_test_acct"),
              0);
    for (const char *to : {"127.0.0.7", "127.0.0.7", "127.0.0.7", "127.0.0.8"}) {
        run(std::string("echo x >/dev/udp/") + to + "/9");
    }
    uint64_t packets = 99;
    EXPECT_EQ(kacct_read(&ks, "ks_test_acct", &packets), 0);
    EXPECT_EQ(packets, 3u);
    EXPECT_EQ(kacct_take(&ks, "ks_test_acct", &packets), 0);
    EXPECT_EQ(packets, 3u) << "a read leaves the count";
    EXPECT_EQ(kacct_take(&ks, "ks_test_acct", &packets), 0);
    EXPECT_EQ(packets, 0u) << "the take zeroed it";
    EXPECT_EQ(kset_destroy(&ks, "ks_test4"), IPSET_ERR_BUSY);
    EXPECT_EQ(kacct_delete(&ks, "ks_test_acct"), EBUSY);
    ASSERT_EQ(run("iptables -F OUTPUT"), 0);
    EXPECT_EQ(kacct_delete(&ks, "ks_test_acct"), 0);
    EXPECT_EQ(kacct_take(&ks, "ks_test_acct", &packets), ENOENT);
    for (const char *name : {"ks_test4", "ks_test6"}) {
        EXPECT_EQ(kset_destroy(&ks, name), 0);
        EXPECT_NE(kset_flush(&ks, name), 0) << "gone";
    }
    kset_close(&ks);
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
