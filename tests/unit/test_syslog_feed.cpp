// The pieces of the system-log messages: one line per report, its priority, the datagram, the
// start line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "event_log.h"
#include "syslog_feed.h"

namespace {

TEST(SyslogPieces, ReportsBecomeOneLineWithTheirTagsPriority) {
    struct {
        const char *detail;
        const char *line;
    } joins[] = {
        {"   could not load iptable rules, \n   \"cmd\" returned 3\n",
         "could not load iptable rules,; \"cmd\" returned 3"},
        {"kel-ulvo started - v1", "kel-ulvo started - v1"},
        {"\n  \n\tonly this\n", "only this"},
        {"", ""},
    };
    for (const auto &c : joins) {
        char out[128];
        join_detail_lines(c.detail, out, sizeof out);
        EXPECT_STREQ(out, c.line);
    }
    char tiny[8];
    EXPECT_EQ(join_detail_lines("a long first line\nsecond", tiny, sizeof tiny), 7u);
    EXPECT_STREQ(tiny, "a long ");

    EXPECT_EQ(syslog_priority_of(TAG_ERROR), 3);
    EXPECT_EQ(syslog_priority_of(TAG_WARNING), 4);
    EXPECT_EQ(syslog_priority_of(TAG_DROPPING_CONNECTIONS), 4);
    EXPECT_EQ(syslog_priority_of(TAG_ALERT_VLA_DETECTED), 1);
    EXPECT_EQ(syslog_priority_of(TAG_ALERT_VLA_STOPPED), 5);
    EXPECT_EQ(syslog_priority_of(TAG_DEBUG), 7);

    setenv("TZ", "UTC", 1);
    tzset();
    char datagram[128];
    syslog_datagram(1, 1796850000, 42, "text", datagram, sizeof datagram);
    EXPECT_STREQ(datagram, "<25>Dec  9 21:00:00 kel-ulvod[42]: text");
}

TEST(SyslogPieces, TheStartLineNamesTheAllowListInForce) {
    struct {
        int entries;
        size_t size;
        const char *line;
    } cases[] = {
        {-1, 64, "kel-ulvo started - v1"},  // the start did not get as far as the allow-list
        {0, 64, "kel-ulvo started - v1, 0 allow-list entries in force"},
        {1, 64, "kel-ulvo started - v1, 1 allow-list entry in force"},
        {12, 64, "kel-ulvo started - v1, 12 allow-list entries in force"},
        {12, 16, "kel-ulvo starte"},
    };
    for (const auto &c : cases) {
        char out[64];
        size_t n = compose_start_message("kel-ulvo started - v1", c.entries, out, c.size);
        EXPECT_STREQ(out, c.line) << c.entries;
        EXPECT_EQ(n, strlen(c.line));
    }
}

}  // namespace
