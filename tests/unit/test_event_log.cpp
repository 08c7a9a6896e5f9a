#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <thread>

#include "capture.h"
#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_log_lock_for_test();
        event_logging_on();
        set_ulvolib_output(out.file());
        set_start_status_file(nullptr);
    }
    void TearDown() override {
        set_start_status_file(nullptr);
        set_ulvolib_output(nullptr);
        event_logging_on();
        reset_log_lock_for_test();
    }
    Capture out;
};

TEST_F(EventLog, LineHasTagTimeStampInColumn25AndText) {
    setenv("TZ", "UTC", 1);
    tzset();
    time_t before = time(nullptr);
    log_event(out.file(), TAG_INFO, "kel-ulvo started - v1.0.0-9.sles9");
    time_t after = time(nullptr);

    std::string line = out.text();
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.substr(0, 24), std::string(TAG_INFO) + " ");
    EXPECT_EQ(line[24], '[');  // column 25
    // ctime form: "Www Mmm dd hh:mm:ss yyyy", 24 characters.
    std::regex format(R"(\[[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] )"
                      R"(kel-ulvo started - v1\.0\.0-9\.sles9\n)");
    EXPECT_TRUE(std::regex_match(line.substr(24), format)) << line;
    char expected[2][32];
    ctime_r(&before, expected[0]);
    ctime_r(&after, expected[1]);
    std::string stamp = line.substr(25, 24);
    EXPECT_TRUE(stamp == std::string(expected[0], 24) || stamp == std::string(expected[1], 24));
    unsetenv("TZ");
    tzset();
}

TEST_F(EventLog, EmptyTextLineEndsInBlank) {
    log_event(out.file(), TAG_ERROR, "");
    std::regex line(R"(\[ERROR\] {16} \[[^\]]{24}\] \n)");
    EXPECT_TRUE(std::regex_match(out.text(), line)) << out.text();
}

TEST_F(EventLog, LoggingOffWritesNothing) {
    event_logging_off();
    log_event(out.file(), TAG_ERROR, "text");
    EXPECT_EQ(out.text(), "");
    event_logging_on();
    log_event(out.file(), TAG_ERROR, "text");
    EXPECT_NE(out.text(), "");
}

TEST_F(EventLog, SecondInitReportsDoubleLockInit) {
    EXPECT_EQ(init_log_lock(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(init_log_lock(), 1);
    std::regex report(R"(\[ERROR\] {16} \[[^\]]{24}\] \n)"
                      R"(   INTERNAL ERROR: double lock init on log lock ulvolib,\d+\n)");
    EXPECT_TRUE(std::regex_match(out.text(), report)) << out.text();
}

TEST_F(EventLog, LockIsRecursiveAndExcludesOtherThreads) {
    get_log_lock();  // no lock yet: no effect, and no flush
    release_log_lock();
    ASSERT_EQ(init_log_lock(), 0);
    get_log_lock();
    get_log_lock();  // the owner may take it again
    release_log_lock();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        get_log_lock();
        entered = true;
        release_log_lock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered) << "still held once by this thread";
    release_log_lock();
    other.join();
    EXPECT_TRUE(entered);
}

TEST_F(EventLog, ReportDetailsAreCopiedOnceToAnotherStartStatusStream) {
    Capture status;
    lib_report(TAG_ERROR, true, "   before %d\n", 1);
    set_start_status_file(status.file());
    lib_report(TAG_ERROR, true, "   during %d\n", 2);
    lib_report(TAG_WARNING, false, "   event log only\n");
    set_start_status_file(out.file());  // the same stream: never written twice
    lib_report(TAG_INFO, true, "   same %d\n", 3);
    set_start_status_file(nullptr);
    report_unlocked(status.file(), TAG_DEBUG, "   to %s\n", "a stream of its own");
    const std::string tag = R"( +\[[^\]]{24}\] \n)";
    std::regex log("\\[ERROR\\]" + tag + "   before 1\n\\[ERROR\\]" + tag +
                   "   during 2\n\\[WARNING\\]" + tag + "   event log only\n\\[INFO\\]" + tag +
                   "   same 3\n");
    EXPECT_TRUE(std::regex_match(out.text(), log)) << out.text();
    std::regex copied("   during 2\n\\[DEBUG\\]" + tag + "   to a stream of its own\n");
    EXPECT_TRUE(std::regex_match(status.text(), copied)) << status.text();
}

TEST_F(EventLog, DumpHexRowsOfEightLabelledByOffset) {
    dump_hex("", 0);
    EXPECT_EQ(out.text(), "   00] \n");

    Capture eight;
    set_ulvolib_output(eight.file());
    const unsigned char bytes[] = {0x00, 0x01, 0x7f, 0x80, 0xab, 0xcd, 0xef, 0xff};
    dump_hex(bytes, 8);
    EXPECT_EQ(eight.text(), "   00] 00 01 7F 80 AB CD EF FF \n   08] \n");

    Capture long_dump;
    set_ulvolib_output(long_dump.file());
    unsigned char block[104] = {};
    block[103] = 0x5a;
    dump_hex(block, 104);
    std::string text = long_dump.text();
    EXPECT_NE(text.find("\n   96] 00 00 00 00 00 00 00 5A \n   104] \n"), std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 14);
}

}  // namespace
