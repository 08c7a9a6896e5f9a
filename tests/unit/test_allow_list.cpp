// The allow-list's parser, its restore input, the record check and the file checks. The messages
// are the operator's: each is compared whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "allow_list.h"
#include "capture.h"

namespace {

constexpr char FILE_NAME[] = "/etc/opt/kel/kel-ulvo/kel-ulvo.allow";

int lookup(const char *name, uint32_t *uid) {
    static const struct {
        const char *name;
        uint32_t uid;
    } users[] = {{"nobody", 65534}, {"root", 0}, {"toor", 0}, {"backup", 34}, {"host7$", 1007}};
    for (const auto &user : users) {
        if (strcmp(name, user.name) == 0) {
            *uid = user.uid;
            return 0;
        }
    }
    return 1;
}

// A parsed list, freed at scope exit.
struct Parsed {
    explicit Parsed(const std::string &text) {
        status = parse_allow_list(text.data(), text.size(), lookup, &list);
    }
    ~Parsed() { free_allow_list(&list); }
    std::string message() const {
        Capture out;
        print_allow_error(out.file(), FILE_NAME, &list);
        return out.text();
    }
    std::string restore(int32_t family, uint16_t queue, bool fast_path = false) const {
        Capture out;
        EXPECT_EQ(write_restore_input(out.file(), &list, family, queue, fast_path), 0);
        return out.text();
    }
    allow_list list{};
    int status;
};

std::string record_error(const std::string &record, int32_t family, uint16_t queue) {
    allow_record_error error{};
    int status = check_restore_record(record.data(), record.size(), family, queue, &error);
    if (status != 1) {
        return "status " + std::to_string(status);
    }
    Capture out;
    print_record_error(out.file(), "R", &error);
    return out.text();
}

const char EVERY_IPV4[] =
    "a prefix length of 0 exempts every IPv4 destination; write \"deliberately\" after the "
    "entry if that is meant";
const char EVERY_IPV6[] =
    "a prefix length of 0 exempts every IPv6 destination; write \"deliberately\" after the "
    "entry if that is meant";
const char EVERY_ROOT[] =
    "uid 0 exempts every program that runs as root; write \"deliberately\" after the entry if "
    "that is meant";
const char NOT_DELIBERATE[] =
    "\"deliberately\" is only for an entry that exempts everything (a prefix length of 0, or "
    "uid 0)";

// Each valid entry and the match it gives in its family's chain (users: in both).
TEST(AllowListFile, ValidEntriesGiveTheirMatch) {
    struct {
        const char *entry;
        int32_t family;
        const char *match;
    } cases[] = {
        {"192.0.2.53", ALLOW_IPV4, "-d 192.0.2.53"},
        {"0.0.0.0", ALLOW_IPV4, "-d 0.0.0.0"},
        {"255.255.255.255/32", ALLOW_IPV4, "-d 255.255.255.255/32"},
        {"198.51.100.0/24", ALLOW_IPV4, "-d 198.51.100.0/24"},
        {"0.0.0.0/0 deliberately", ALLOW_IPV4, "-d 0.0.0.0/0"},
        {"192.0.2.0/0\tdeliberately", ALLOW_IPV4, "-d 192.0.2.0/0"},
        {"::", ALLOW_IPV6, "-d ::"},
        {"::1", ALLOW_IPV6, "-d ::1"},
        {"2001:db8::/32", ALLOW_IPV6, "-d 2001:db8::/32"},
        {"2001:DB8:0:0:0:0:0:0001/128", ALLOW_IPV6, "-d 2001:DB8:0:0:0:0:0:0001/128"},
        {"1:2:3:4:5:6:7::", ALLOW_IPV6, "-d 1:2:3:4:5:6:7::"},
        {"::ffff:192.0.2.1", ALLOW_IPV6, "-d ::ffff:192.0.2.1"},
        {"1:2:3:4:5:6:192.0.2.10/120", ALLOW_IPV6, "-d 1:2:3:4:5:6:192.0.2.10/120"},
        {"::/0 deliberately", ALLOW_IPV6, "-d ::/0"},
        {"user nobody", ALLOW_USER, "-m owner --uid-owner 65534"},
        {"user host7$", ALLOW_USER, "-m owner --uid-owner 1007"},
        {"user 007", ALLOW_USER, "-m owner --uid-owner 7"},
        {"user 4294967294", ALLOW_USER, "-m owner --uid-owner 4294967294"},
        {"user root deliberately", ALLOW_USER, "-m owner --uid-owner 0"},
        {"  user\t0   deliberately  ", ALLOW_USER, "-m owner --uid-owner 0"},
    };
    for (const auto &c : cases) {
        Parsed parsed(std::string(c.entry) + "  # why\n");
        ASSERT_EQ(parsed.status, 0) << c.entry << ": " << parsed.message();
        ASSERT_EQ(parsed.list.count, 1) << c.entry;
        std::string rule = std::string("-A KEL_ULVO_ALLOW ") + c.match + " -j RETURN\n";
        for (int32_t family : {ALLOW_IPV4, ALLOW_IPV6}) {
            bool listed = parsed.restore(family, 1).find(rule) != std::string::npos;
            EXPECT_EQ(listed, c.family == ALLOW_USER || c.family == family)
                << c.entry << " in family " << family;
        }
    }
}

// The first invalid entry is reported with the line, the entry's words and the reason; the
// entries before it stay parsed.
TEST(AllowListFile, InvalidEntriesAreReportedWithLineEntryAndReason) {
    struct {
        const char *line;
        const char *entry;  // as the message shows it
        const char *reason;
    } cases[] = {
        {"192.0.2.256", "192.0.2.256", "not an IPv4 or IPv6 address"},
        {"192.0.2.01", "192.0.2.01", "not an IPv4 or IPv6 address"},  // octal to iptables
        {"010.0.0.1/8", "010.0.0.1/8", "not an IPv4 or IPv6 address"},
        {"00.0.0.1", "00.0.0.1", "not an IPv4 or IPv6 address"},
        {"192.0.2", "192.0.2", "not an IPv4 or IPv6 address"},
        {"1.2.3.4.5", "1.2.3.4.5", "not an IPv4 or IPv6 address"},
        {"/24", "/24", "not an IPv4 or IPv6 address"},
        {"1.2.3.4/33", "1.2.3.4/33", "the prefix length must be 0 to 32"},
        {"10.1.2.3/010", "10.1.2.3/010",
         "a prefix length with a leading zero is ambiguous (iptables reads it as octal); write it "
         "without"},
        {"fd00::1/040", "fd00::1/040",
         "a prefix length with a leading zero is ambiguous (iptables reads it as octal); write it "
         "without"},
        {"10.0.0.0/00 deliberately", "10.0.0.0/00 deliberately",
         "a prefix length with a leading zero is ambiguous (iptables reads it as octal); write it "
         "without"},
        {"1.2.3.4/", "1.2.3.4/", "the prefix length must be 0 to 32"},
        {"1.2.3.4/0032", "1.2.3.4/0032", "the prefix length must be 0 to 32"},
        {"1.2.3.4/24/8", "1.2.3.4/24/8", "the prefix length must be 0 to 32"},
        {"1.2.3.4/2a", "1.2.3.4/2a", "not an address, a network or a user entry"},
        {"2001:db8::/129", "2001:db8::/129", "the prefix length must be 0 to 128"},
        {"2001:db8::/-1", "2001:db8::/-1", "the prefix length must be 0 to 128"},
        {"2001:db8:::1", "2001:db8:::1", "not an IPv4 or IPv6 address"},
        {"1::2::3", "1::2::3", "not an IPv4 or IPv6 address"},
        {":1::", ":1::", "not an IPv4 or IPv6 address"},
        {"1::2:", "1::2:", "not an IPv4 or IPv6 address"},
        {"1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8:9", "not an IPv4 or IPv6 address"},
        {"1:2:3:4:5:6:7:8::", "1:2:3:4:5:6:7:8::", "not an IPv4 or IPv6 address"},
        {"1:2:3:4:5:6:7:1.2.3.4", "1:2:3:4:5:6:7:1.2.3.4", "not an IPv4 or IPv6 address"},
        {"00001::", "00001::", "not an IPv4 or IPv6 address"},
        {"::ffff:192.0.2.01", "::ffff:192.0.2.01", "not an IPv4 or IPv6 address"},
        {"::1.2.3.4:5", "::1.2.3.4:5", "not an IPv4 or IPv6 address"},
        {"fe80::1%eth0", "fe80::1%eth0", "not an IPv4 or IPv6 address"},
        {"0.0.0.0/0", "0.0.0.0/0", EVERY_IPV4},

        {"::/0", "::/0", EVERY_IPV6},
        {"user 0", "user 0", EVERY_ROOT},
        {"user root", "user root", EVERY_ROOT},
        {"user toor", "user toor", EVERY_ROOT},
        {"192.0.2.1 deliberately", "192.0.2.1 deliberately", NOT_DELIBERATE},
        {"user nobody deliberately", "user nobody deliberately", NOT_DELIBERATE},
        {"0.0.0.0/0 Deliberately", "0.0.0.0/0 Deliberately",
         "not an address, a network or a user entry"},
        {"0.0.0.0/0 deliberately now", "0.0.0.0/0 deliberately now",
         "not an address, a network or a user entry"},
        {"user", "user", "\"user\" takes one user name or uid"},
        {"user root deliberately x", "user root deliberately x",
         "\"user\" takes one user name or uid"},
        {"user 4294967295", "user 4294967295", "the uid must be 0 to 4294967294"},
        {"user 00000000001", "user 00000000001", "the uid must be 0 to 4294967294"},
        {"user no-such-user", "user no-such-user", "no such user"},
        {"user -nobody", "user -nobody", "no such user"},
        {"user nob$dy", "user nob$dy", "no such user"},
        {"User nobody", "User nobody", "not an address, a network or a user entry"},
        {"allow \t everything  and\tmore ", "allow everything and\tmore",
         "not an address, a network or a user entry"},
        {"192.0.2.1\r", "192.0.2.1\r", "not an address, a network or a user entry"},
    };
    for (const auto &c : cases) {
        Parsed parsed(std::string("# line 1\n192.0.2.53\n") + c.line +
                      "   # line 3\n198.51.100.1\n");
        EXPECT_EQ(parsed.status, 1) << c.line;
        EXPECT_EQ(parsed.message(),
                  std::string(FILE_NAME) + ", line 3: " + c.entry + ": " + c.reason + "\n");
        EXPECT_EQ(parsed.list.count, 1) << c.line;
    }
}

// Comments, blank lines, blanks around entries and a last line without a newline.
TEST(AllowListFile, CommentsBlankLinesAndTheLastLine) {
    Parsed parsed(" # a comment\n\n\t \n192.0.2.1#no blank before the comment\n#\nuser 34");
    ASSERT_EQ(parsed.status, 0) << parsed.message();
    ASSERT_EQ(parsed.list.count, 2);
    EXPECT_EQ(parsed.list.entries[0].line, 4);
    EXPECT_EQ(parsed.list.entries[1].line, 6);
    EXPECT_EQ(parsed.list.entries[1].uid, 34U);

    Parsed empty("");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.list.count, 0);

    Parsed last("192.0.2.1\n192.0.2.300");
    EXPECT_EQ(last.message(),
              std::string(FILE_NAME) + ", line 2: 192.0.2.300: not an IPv4 or IPv6 address\n");

    // A NUL byte is no part of any entry; the message shows where it is.
    Parsed nul(std::string("192.0.2.1\0\n", 11));
    EXPECT_EQ(nul.message(),
              std::string(FILE_NAME) +
                  ", line 1: 192.0.2.1?: not an address, a network or a user entry\n");
}

// The restore input for both families of one list, whole: the chains, the matches in the
// file's order, the queue rules with each family's queue.
TEST(AllowListFile, RestoreInputOfEachFamily) {
    Parsed parsed("192.0.2.53\n2001:db8::/32\nuser backup\n198.51.100.0/24\n");
    ASSERT_EQ(parsed.status, 0);
    const std::string head =
        "*filter\n"
        ":KEL_ULVO - [0:0]\n"
        ":KEL_ULVO_ALLOW - [0:0]\n"
        ":KEL_ULVO_QUEUE - [0:0]\n"
        "-A KEL_ULVO -g KEL_ULVO_ALLOW\n";
    auto tail = [](const char *queue) {
        return std::string("-A KEL_ULVO_ALLOW -g KEL_ULVO_QUEUE\n") +
               "-A KEL_ULVO_QUEUE -p tcp --syn -m conntrack --ctstate NEW -j NFQUEUE --queue-num " +
               queue + " --queue-bypass\n" +
               "-A KEL_ULVO_QUEUE -p udp -m conntrack --ctstate NEW -j NFQUEUE --queue-num " +
               queue + " --queue-bypass\n" +
               "-A KEL_ULVO_QUEUE -p udplite -m conntrack --ctstate NEW -j NFQUEUE --queue-num " +
               queue + " --queue-bypass\n" +
               "-A KEL_ULVO_QUEUE -p sctp -m conntrack --ctstate NEW -j NFQUEUE --queue-num " +
               queue + " --queue-bypass\nCOMMIT\n";
    };
    EXPECT_EQ(parsed.restore(ALLOW_IPV4, 4401), head +
                                                    "-A KEL_ULVO_ALLOW -d 192.0.2.53 -j RETURN\n"
                                                    "-A KEL_ULVO_ALLOW -m owner --uid-owner 34 "
                                                    "-j RETURN\n"
                                                    "-A KEL_ULVO_ALLOW -d 198.51.100.0/24 -j "
                                                    "RETURN\n" +
                                                    tail("4401"));
    EXPECT_EQ(parsed.restore(ALLOW_IPV6, 4406),
              head +
                  "-A KEL_ULVO_ALLOW -d 2001:db8::/32 -j RETURN\n"
                  "-A KEL_ULVO_ALLOW -m owner --uid-owner 34 -j RETURN\n" +
                  tail("4406"));
    Parsed none("");
    EXPECT_EQ(none.restore(ALLOW_IPV4, 4401), head + tail("4401"));
}

// A record is fed back to iptables-restore only when it is the generator's own text.
TEST(AllowListFile, RecordCheckAcceptsOnlyTheGeneratorsText) {
    Parsed parsed(
        "192.0.2.53\n::/0 deliberately\nuser root deliberately\n0.0.0.0/0 deliberately\n");
    ASSERT_EQ(parsed.status, 0) << parsed.message();
    const std::string ipv4 = parsed.restore(ALLOW_IPV4, 4401);
    for (int32_t family : {ALLOW_IPV4, ALLOW_IPV6}) {
        uint16_t queue = family == ALLOW_IPV4 ? 4401 : 4406;
        std::string record = parsed.restore(family, queue);
        EXPECT_EQ(record_error(record, family, queue), "status 0") << record;
        Parsed empty("");
        record = empty.restore(family, queue);
        EXPECT_EQ(record_error(record, family, queue), "status 0") << record;
    }

    // The ipv4 record is 12 lines: the allow chain's matches are lines 6 to 8.
    auto with_line = [&](int before, const std::string &line) {
        std::string record = ipv4;
        size_t at = 0;
        for (int i = 1; i < before; ++i) {
            at = record.find('\n', at) + 1;
        }
        return record.insert(at, line + "\n");
    };
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string record = ipv4;
        return record.replace(record.find(from), from.size(), to);
    };
    struct {
        std::string record;
        int32_t family;
        const char *error;
    } cases[] = {
        {with_line(7, "-A OUTPUT -j ACCEPT"), ALLOW_IPV4,
         "R, line 7: -A OUTPUT -j ACCEPT: not a line of kel-ulvo's rules\n"},
        {with_line(7, "-A KEL_ULVO_ALLOW -j ACCEPT"), ALLOW_IPV4,
         "R, line 7: -A KEL_ULVO_ALLOW -j ACCEPT: not a line of kel-ulvo's rules\n"},
        {with_line(6, "-A KEL_ULVO_ALLOW -p tcp -j RETURN"), ALLOW_IPV4,
         "R, line 6: -A KEL_ULVO_ALLOW -p tcp -j RETURN: not a line of kel-ulvo's rules\n"},
        {with_line(6, "-A KEL_ULVO_ALLOW -d 2001:db8::1 -j RETURN"), ALLOW_IPV4,
         "R, line 6: -A KEL_ULVO_ALLOW -d 2001:db8::1 -j RETURN: not a line of kel-ulvo's rules\n"},
        {with_line(6, "-A KEL_ULVO_ALLOW -m owner --uid-owner 007 -j RETURN"), ALLOW_IPV4,
         "R, line 6: -A KEL_ULVO_ALLOW -m owner --uid-owner 007 -j RETURN: not a line of "
         "kel-ulvo's rules\n"},
        {with_line(2, ":OUTPUT ACCEPT [0:0]"), ALLOW_IPV4,
         "R, line 2: :OUTPUT ACCEPT [0:0]: not a line of kel-ulvo's rules\n"},
        {replaced("--queue-num 4401 --queue-bypass\n-A KEL_ULVO_QUEUE -p udp",
                  "--queue-num 4402 --queue-bypass\n-A KEL_ULVO_QUEUE -p udp"),
         ALLOW_IPV4,
         "R, line 10: -A KEL_ULVO_QUEUE -p tcp --syn -m conntrack --ctstate NEW -j NFQUEUE "
         "--queue-num 4402 --queue-bypass: not a line of kel-ulvo's rules\n"},
        {replaced(" --queue-bypass\nCOMMIT", "\nCOMMIT"), ALLOW_IPV4,
         "R, line 13: -A KEL_ULVO_QUEUE -p sctp -m conntrack --ctstate NEW -j NFQUEUE --queue-num "
         "4401: not a line of kel-ulvo's rules\n"},
        {ipv4, ALLOW_IPV6,
         "R, line 6: -A KEL_ULVO_ALLOW -d 192.0.2.53 -j RETURN: not a line of kel-ulvo's rules\n"},
        {ipv4 + "*nat\n", ALLOW_IPV4, "R, line 15: *nat: not a line of kel-ulvo's rules\n"},
        {replaced("COMMIT\n", ""), ALLOW_IPV4,
         "R, line 14: the rules end before their COMMIT line\n"},
        {replaced("COMMIT\n", "COMMIT"), ALLOW_IPV4,
         "R, line 14: COMMIT: not a line of kel-ulvo's rules\n"},
        {"", ALLOW_IPV4, "R, line 1: the rules end before their COMMIT line\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(record_error(c.record, c.family, 4401), c.error) << c.record;
    }

    // With the fast path, a return to its own set's members before each queue rule is the
    // generator's text too; another set, or one return missing, is not.
    for (int32_t family : {ALLOW_IPV4, ALLOW_IPV6}) {
        uint16_t queue = family == ALLOW_IPV4 ? 4401 : 4406;
        std::string record = parsed.restore(family, queue, true);
        EXPECT_EQ(record_error(record, family, queue), "status 0") << record;
    }
    const std::string fast = parsed.restore(ALLOW_IPV4, 4401, true);
    const std::string tcp_return =
        "-A KEL_ULVO_QUEUE -p tcp --syn -m conntrack --ctstate NEW -m set --match-set "
        "kel_ulvo_fast4 dst -m nfacct --nfacct-name kel_ulvo_fast4 -j RETURN";
    ASSERT_NE(fast.find(tcp_return + "\n-A KEL_ULVO_QUEUE -p tcp --syn"), std::string::npos)
        << fast;
    std::string other_set = fast;
    other_set.replace(other_set.find("kel_ulvo_fast4 dst"), 18, "kel_ulvo_other dst");
    EXPECT_EQ(record_error(other_set, ALLOW_IPV4, 4401),
              "R, line 10: -A KEL_ULVO_QUEUE -p tcp --syn -m conntrack --ctstate NEW -m set "
              "--match-set kel_ulvo_other dst -m nfacct --nfacct-name kel_ulvo_fast4 -j RETURN: "
              "not a line of kel-ulvo's rules\n");
    std::string one_missing = fast;
    one_missing.erase(one_missing.find(tcp_return), tcp_return.size() + 1);
    EXPECT_NE(record_error(one_missing, ALLOW_IPV4, 4401), "status 0") << one_missing;
}

// Only a regular file of root's that nobody else may write is read; a missing allow-list is an
// empty one.
TEST(AllowListFile, FilesMustBeRootsAlone) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to own and give away files";
    }
    ScratchDir dir;
    std::string good = dir.file("good", "192.0.2.1\n");
    chmod(good.c_str(), 0644);
    std::string group = dir.file("group", "");
    chmod(group.c_str(), 0664);
    std::string others = dir.file("others", "");
    chmod(others.c_str(), 0602);
    std::string owned = dir.file("owned", "");
    chmod(owned.c_str(), 0644);
    ASSERT_EQ(chown(owned.c_str(), 1, 1), 0);
    std::string link = dir.path() + "/link";
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string missing = dir.path() + "/missing";
    struct {
        std::string path;
        bool missing_ok;
        std::string result;
    } cases[] = {
        {good, false, "192.0.2.1\n"},
        {missing, true, ""},
        {missing, false, missing + ": no such file"},
        {group, true, group + ": writable by others than root (mode 0664)"},
        {others, true, others + ": writable by others than root (mode 0602)"},
        {owned, true, owned + ": owned by uid 1: it must be root's"},
        {link, true, link + ": a symbolic link, which is not followed: it must be a regular file"},
        {fifo, true, fifo + ": not a readable regular file"},
        {dir.path(), true, dir.path() + ": not a readable regular file"},
    };
    for (const auto &c : cases) {
        char *text = nullptr;
        size_t length = 0;
        char why[512] = "";
        int status = read_root_file(c.path.c_str(), c.missing_ok, &text, &length, why, sizeof why);
        std::string result = status == 0 ? std::string(text, length) : why;
        EXPECT_EQ(result, c.result) << c.path;
        EXPECT_EQ(status, c.result.starts_with(c.path) ? 1 : 0) << c.path;
        free(text);
    }
}

}  // namespace
