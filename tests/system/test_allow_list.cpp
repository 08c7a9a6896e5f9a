// The operator's controls, through the real kernel: the allow-list (destinations and users that
// are never throttled) and the rule guard that puts back rules another tool removed.
#include <gtest/gtest.h>

#include <regex>

#include "daemon_fixture.h"
#include "traffic.h"

namespace {

constexpr char ALLOW_LIST[] = "/etc/opt/kel/kel-ulvo/kel-ulvo.allow";
constexpr char RESTORED[] = "rules of kel-ulvo were missing and have been restored:";

class AllowList : public DaemonTest {
  protected:
    void SetUp() override {
        DaemonTest::SetUp();
        ASSERT_EQ(run("ip -6 addr add fd00:7::5/128 dev lo nodad && "
                      "ip -6 addr add fd00:8::5/128 dev lo nodad"),
                  0);
    }
    static void write_allow_list(const std::string &text) { std::ofstream(ALLOW_LIST) << text; }
    // Holds connections to n new IPv4 hosts: the queue has them all ahead of any other new host.
    static std::vector<Fd> burst(int subnet, int n) {
        std::vector<Fd> held;
        for (int i = 0; i < n; ++i) {
            held.push_back(connect_nonblocking(
                "127.0." + std::to_string(subnet) + "." + std::to_string(2 + i), SERVICE_PORT));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return held;
    }
    // True when a connection to the host, opened by the uid (0: as the test), is established
    // within the time.
    static bool connects(const std::string &host, int timeout_ms, int uid = 0) {
        if (uid == 0) {
            return connect_ms(host, timeout_ms) >= 0;
        }
        return run("setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
                   " --clear-groups timeout " + std::to_string(timeout_ms / 1000.0) +
                   " bash -c 'exec 3<>/dev/tcp/" + host + "/" + std::to_string(SERVICE_PORT) +
                   "' 2>/dev/null") == 0;
    }
    static long metric(const std::string &name) {
        std::smatch m;
        std::string text = run_output(std::string(STATUS_TOOL) + " -metrics 2>/dev/null");
        return std::regex_search(text, m, std::regex("\n" + name + " (\\d+)\n")) ? std::stol(m[1])
                                                                                 : -1;
    }
    static std::string rules() { return run_output("iptables -S; ip6tables -S"); }
};

// Destinations on the list connect at once while a burst holds every other new host, and the
// daemon never sees their packets.
TEST_F(AllowList, ListedAddressesAndNetworksOfBothFamiliesAreNeverHeld) {
    write_allow_list(
        "# hosts that are never throttled\n"
        "\n"
        "127.0.60.9          # an address\n"
        "127.0.61.0/24\n"
        "  fd00:6::3\n"
        "fd00:7::/64\t# a network\n");
    std::string status = start_daemon();
    ASSERT_EQ(status.substr(status.size() - 4), "end\n") << status;
    std::vector<Fd> held = burst(62, 5);
    EXPECT_EQ(status_counters()["connection establishing packets"], 5);

    for (const char *host : {"127.0.60.9", "127.0.61.200", "fd00:6::3", "fd00:7::5"}) {
        EXPECT_TRUE(connects(host, 300)) << host << " is on the list";
    }
    // Checked before the held connections' SYNs are sent again (after a second).
    EXPECT_EQ(status_counters()["connection establishing packets"], 5)
        << "the daemon never saw the listed hosts' packets";
    std::vector<double> others =
        connect_all({"127.0.60.10", "127.0.62.200", "fd00:6::2", "fd00:8::5"}, 1500);
    EXPECT_EQ(others, std::vector<double>(4, -1)) << "hosts off the list are held";
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 4);
    EXPECT_EQ(metric("kel_ulvo_rules_restored_total"), 0);
}

// A user entry exempts that user's connections, in both families, and nobody else's.
TEST_F(AllowList, UserEntriesExemptOnlyThatUsersConnections) {
    need("setpriv");
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    write_allow_list("user nobody\nuser 4242\n");
    start_daemon();
    std::vector<Fd> held = burst(63, 8);
    struct {
        const char *host;
        int uid;
        bool passes;
    } cases[] = {
        {"127.0.64.2", 65534, true}, {"fd00:7::5", 65534, true}, {"127.0.64.3", 4242, true},
        {"127.0.64.4", 1, false},    {"fd00:8::5", 1, false},    {"127.0.64.5", 0, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(connects(c.host, c.passes ? 1000 : 1500, c.uid), c.passes)
            << "uid " << c.uid << " to " << c.host;
    }
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 2);
}

// An invalid entry refuses the start with the file, the line and the entry, and leaves no
// rules; the helper says the same when it checks the list by hand.
TEST_F(AllowList, InvalidEntriesRefuseTheStartNamingTheLine) {
    struct {
        const char *entry;
        const char *reason;
    } cases[] = {
        {"192.0.2.256", "not an IPv4 or IPv6 address"},
        {"2001:db8::/129", "the prefix length must be 0 to 128"},
        {"198.51.100.0/33", "the prefix length must be 0 to 32"},
        {"user no-such-user", "no such user"},
        {"allow everything", "not an address, a network or a user entry"},
    };
    for (const auto &c : cases) {
        write_allow_list(std::string("# line 1\n192.0.2.53\n") + c.entry + "   # line 3\n");
        std::string message = std::string("kel-ulvo-iptables: ") + ALLOW_LIST +
                              ", line 3: " + c.entry + ": " + c.reason + "\n";
        std::string status = start_daemon();
        EXPECT_NE(status.find("   " + message + "kel-ulvod failed to start\nend\n"),
                  std::string::npos)
            << status;
        ASSERT_GT(pid_, 0);
        EXPECT_EQ(WEXITSTATUS(wait_exit(pid_, 5000)), 1) << "a failed start ends with 1";
        EXPECT_NE(read_file(EVENT_LOG).find("   " + message), std::string::npos) << c.entry;
        EXPECT_FALSE(rules_loaded()) << c.entry << "\n" << rules();

        int exit_status = 0;
        std::string by_hand =
            run_output(std::string(HELPER) + " reload_allow_list 2>&1", &exit_status);
        EXPECT_EQ(by_hand, message);
        EXPECT_EQ(exit_status, 1);
    }
    // Without the file nothing is exempt, and the start is good.
    ASSERT_EQ(run(std::string("rm ") + ALLOW_LIST), 0);
    std::string status = start_daemon();
    EXPECT_EQ(status.substr(status.size() - 4), "end\n") << status;
    EXPECT_EQ(status.find("failed"), std::string::npos) << status;
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 0);
}

// A changed list is taken into use by the helper on the running daemon; an invalid one is
// refused with the same message, and the list in force stays.
TEST_F(AllowList, ReloadTakesAChangedListIntoUseOrKeepsTheOldOne) {
    write_allow_list("127.0.65.2\n");
    start_daemon();
    std::vector<Fd> held = burst(66, 8);
    EXPECT_TRUE(connects("127.0.65.2", 300));
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 1);

    write_allow_list("127.0.67.0/24\nfd00:8::/32\n");
    int exit_status = -1;
    std::string said = run_output(std::string(HELPER) + " reload_allow_list 2>&1", &exit_status);
    EXPECT_EQ(exit_status, 0) << said;
    EXPECT_TRUE(connects("127.0.67.9", 300));
    EXPECT_TRUE(connects("fd00:8::5", 300));
    EXPECT_FALSE(connects("127.0.65.2", 1500)) << "no longer on the list";
    auto start = std::chrono::steady_clock::now();
    while (metric("kel_ulvo_allow_entries") != 2 && ms_since(start) < 3000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 2);

    write_allow_list("127.0.68.0/24\nuser\n");
    said = run_output(std::string(HELPER) + " reload_allow_list 2>&1", &exit_status);
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(said, std::string("kel-ulvo-iptables: ") + ALLOW_LIST +
                        ", line 2: user: \"user\" takes one user name or uid\n");
    EXPECT_TRUE(connects("127.0.67.10", 300)) << "the list in force stays";
    EXPECT_FALSE(connects("127.0.68.2", 1500));
    EXPECT_EQ(metric("kel_ulvo_allow_entries"), 2);
    EXPECT_NE(read_file(EVENT_LOG).find("   the allow-list in force has 2 entries (before: 1)\n"),
              std::string::npos);

    // A list that exempts a whole family unasked, or that others than root could change, is
    // refused the same way; "deliberately" takes the whole family out of the throttle.
    const std::string file = ALLOW_LIST;
    struct {
        const char *text;
        std::string change;
        const char *message;  // after the file's name
    } refused[] = {
        {"0.0.0.0/0\n", "",
         ", line 1: 0.0.0.0/0: a prefix length of 0 exempts every IPv4 destination; write "
         "\"deliberately\" after the entry if that is meant\n"},
        {"127.0.68.0/24\n", "chmod 0664 " + file, ": writable by others than root (mode 0664)\n"},
        {"127.0.68.0/24\n", "chown 1 " + file, ": owned by uid 1: it must be root's\n"},
        {"127.0.68.0/24\n", "mv " + file + " " + file + ".real && ln -s " + file + ".real " + file,
         ": a symbolic link, which is not followed: it must be a regular file\n"},
    };
    for (const auto &c : refused) {
        ASSERT_EQ(run("rm -f " + file + " " + file + ".real"), 0);
        write_allow_list(c.text);
        ASSERT_EQ(run(c.change), 0) << c.change;
        said = run_output(std::string(HELPER) + " reload_allow_list 2>&1", &exit_status);
        EXPECT_EQ(exit_status, 1) << c.text << c.change;
        EXPECT_EQ(said, "kel-ulvo-iptables: " + file + c.message);
    }
    EXPECT_TRUE(connects("127.0.67.11", 300)) << "the list in force stays";
    ASSERT_EQ(run("rm -f " + file + " " + file + ".real"), 0);
    write_allow_list("0.0.0.0/0 deliberately   # the throttle is off for IPv4\n");
    said = run_output(std::string(HELPER) + " reload_allow_list 2>&1", &exit_status);
    EXPECT_EQ(exit_status, 0) << said;
    EXPECT_EQ(said, "kel-ulvo-iptables: " + file + ": 1 entries in force\n");
    long judged = status_counters()["connection establishing packets"];
    EXPECT_TRUE(connects("127.0.72.2", 300));
    EXPECT_EQ(status_counters()["connection establishing packets"], judged)
        << "the daemon never sees an exempt packet";
}

// Rules that another tool removes are back within the guard's period of ten seconds (at once
// when the helper's check asks for it), with one warning each and nothing twice; the daemon
// judges packets again afterwards.
TEST_F(AllowList, TheGuardPutsRemovedRulesBack) {
    write_allow_list("127.0.69.2\n");
    run(std::string("rm -f ") + EVENT_LOG);
    start_daemon();
    ASSERT_GT(pid_, 0);
    const std::string intact = rules();
    ASSERT_NE(intact.find("-A KEL_ULVO_ALLOW -d 127.0.69.2/32 -j RETURN"), std::string::npos)
        << intact;
    struct {
        const char *damage;
        const char *host;  // a new host whose connection the daemon must judge afterwards
        bool by_check_verb;
        const char *missing;
    } cases[] = {
        {"iptables -F KEL_ULVO_QUEUE", "127.0.70.2", true,
         "   iptables: the queue rules in KEL_ULVO_QUEUE\n"},
        {"iptables -F OUTPUT", "127.0.70.3", false,
         "   iptables: the jump from OUTPUT to KEL_ULVO\n"},
        {"iptables -F KEL_ULVO", "127.0.70.4", false, "   iptables: the chain KEL_ULVO\n"},
        {"ip6tables -D OUTPUT -j KEL_ULVO", "fd00:7::5", false,
         "   ip6tables: the jump from OUTPUT to KEL_ULVO\n"},
    };
    int warnings = 0;
    for (const auto &c : cases) {
        ASSERT_EQ(run(c.damage), 0) << c.damage;
        auto damaged = std::chrono::steady_clock::now();
        if (c.by_check_verb) {
            int exit_status = -1;
            std::string said = run_output(std::string(HELPER) + " check_rules 2>&1", &exit_status);
            EXPECT_EQ(exit_status, 1);
            EXPECT_EQ(said,
                      "kel-ulvo-iptables: iptables: missing: the queue rules in "
                      "KEL_ULVO_QUEUE\n");
        }
        // Bounds from the guard's own periods, generous for a busy machine: the check verb's
        // request is seen within a second and the check itself may take up to the helper's
        // limit, but a repair by the verb must still come well before the next periodic check
        // could have made it; the periodic check comes within its period, plus its own time.
        const double verb_bound = 1000 + 5000, period_bound = 10000 + 10000;
        std::string now = rules();
        while (now != intact && ms_since(damaged) < period_bound * BUILD_SLOWDOWN + 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            now = rules();
        }
        double repaired_ms = ms_since(damaged);
        EXPECT_EQ(now, intact) << c.damage << ": exactly the rules as loaded, nothing twice";
        EXPECT_LT(repaired_ms, (c.by_check_verb ? verb_bound : period_bound) * BUILD_SLOWDOWN)
            << c.damage;
        printf("%s: repaired after %.0f ms\n", c.damage, repaired_ms);
        ++warnings;
        std::string log = read_file(EVENT_LOG);
        // The warning follows the helper's whole check (both families) once it has ended.
        for (auto since = std::chrono::steady_clock::now();
             count(log, RESTORED) < warnings && ms_since(since) < 10000;
             log = read_file(EVENT_LOG)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(count(log, RESTORED), warnings) << c.damage << "\n" << log;
        EXPECT_NE(log.find(std::string(RESTORED) + "\n" + c.missing), std::string::npos) << log;

        // One datagram of a new flow: the daemon judges it, so its rules work again.
        long judged = status_counters()["connection establishing packets"];
        ASSERT_TRUE(send_udp(c.host, 7001, 20));
        auto sent = std::chrono::steady_clock::now();
        while (status_counters()["connection establishing packets"] == judged &&
               ms_since(sent) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(status_counters()["connection establishing packets"], judged + 1)
            << "the daemon judges " << c.host << " again";
    }
    EXPECT_EQ(metric("kel_ulvo_rules_restored_total"), 4);
    EXPECT_EQ(count(read_file(EVENT_LOG), "[WARNING]"), 4) << "an intact check says nothing";

    // A record that is not kel-ulvo's own is never fed back to iptables-restore: the guard says
    // which line is foreign and leaves the chain as it is.
    const std::string record = "/var/opt/kel/kel-ulvo/.rules.iptables";
    const std::string good = private_dir() + "/rules.iptables";
    ASSERT_EQ(run("cp -p " + record + " " + good + " && echo '-A OUTPUT -j ACCEPT' >>" + record +
                  " && iptables -F KEL_ULVO_QUEUE"),
              0);
    run(std::string(HELPER) + " check_rules >/dev/null 2>&1");
    const std::string refused = "   kel-ulvo-iptables: " + record +
                                ", line 13: -A OUTPUT -j ACCEPT: not a line of kel-ulvo's rules\n";
    std::string log = read_file(EVENT_LOG);
    for (auto since = std::chrono::steady_clock::now();
         log.find(refused) == std::string::npos && ms_since(since) < 3000;
         log = read_file(EVENT_LOG)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(log.find(refused), std::string::npos) << log;
    EXPECT_EQ(run_output("iptables -S KEL_ULVO_QUEUE"), "-N KEL_ULVO_QUEUE\n");
    ASSERT_EQ(run("mv " + good + " " + record), 0);

    // A check asked for just before the shutdown leaves no rules behind.
    ASSERT_EQ(run("iptables -F OUTPUT"), 0);
    run(std::string(HELPER) + " check_rules >/dev/null 2>&1");
    signal_daemon(SIGTERM);
    EXPECT_EQ(WEXITSTATUS(wait_exit(pid_, 5000)), 0);
    EXPECT_FALSE(rules_loaded()) << rules();
    pid_ = 0;
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
