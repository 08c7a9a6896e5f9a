// What the daemon reads from the helper script's answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "rules.h"

namespace {

TEST(Rules, TheHelpersAnswerGivesTheEntriesAndTheRestAsDetailLines) {
    struct {
        const char *output;
        int entries;
        const char *rest;
    } cases[] = {
        {"allow_entries=3\n", 3, ""},
        {"allow_entries=0", 0, ""},  // no newline at the end
        {"", -1, ""},
        {"allow_entries=\n", -1, "   allow_entries=\n"},  // no number: not the count
        {"restored iptables: the chain KEL_ULVO, the jump from OUTPUT to KEL_ULVO\n"
         "allow_entries=2\n",
         2, "   iptables: the chain KEL_ULVO, the jump from OUTPUT to KEL_ULVO\n"},
        {"kel-ulvo-iptables: f, line 2: x: no such user\n\nmore\n", -1,
         "   kel-ulvo-iptables: f, line 2: x: no such user\n   more\n"},
    };
    for (const auto &c : cases) {
        char rest[256];
        EXPECT_EQ(parse_helper_output(c.output, rest, sizeof rest), c.entries) << c.output;
        EXPECT_STREQ(rest, c.rest) << c.output;
    }
    // Cut to the room given, always terminated; the count is read beyond the cut.
    char small[12];
    EXPECT_EQ(parse_helper_output("a long line of text\nallow_entries=5\n", small, sizeof small),
              5);
    EXPECT_STREQ(small, "   a long l");
}

// The guard's report of untracked rules is taken out of the rest of its answer.
TEST(Rules, LinesWithAPrefixAreTakenOutOfTheDetail) {
    struct {
        const char *detail;
        const char *left;
        const char *taken;
    } cases[] = {
        {"", "", ""},
        {"   a\n   b\n", "   a\n   b\n", ""},
        {"   untracked iptables: -A OUTPUT -j NOTRACK\n", "",
         "   untracked iptables: -A OUTPUT -j NOTRACK\n"},
        {"   iptables: the chain KEL_ULVO\n   untracked ip6tables: x\n   more\n   untracked "
         "iptables: y",
         "   iptables: the chain KEL_ULVO\n   more\n",
         "   untracked ip6tables: x\n   untracked iptables: y"},
    };
    for (const auto &c : cases) {
        char detail[256];
        snprintf(detail, sizeof detail, "%s", c.detail);
        char taken[256];
        EXPECT_EQ(take_detail_lines(detail, "   untracked ", taken, sizeof taken), strlen(c.taken));
        EXPECT_STREQ(detail, c.left) << c.detail;
        EXPECT_STREQ(taken, c.taken) << c.detail;
    }
    char detail[] = "   untracked a\n   untracked b\n";
    char small[20];
    take_detail_lines(detail, "   untracked ", small, sizeof small);
    EXPECT_STREQ(small, "   untracked a\n") << "whole lines only";
}

}  // namespace
