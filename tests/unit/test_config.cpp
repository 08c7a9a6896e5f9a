#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "capture.h"
#include "config.h"
#include "env_config.h"
#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

// Every test gets its own configuration file, a clean environment and captured output with
// the event tag lines switched off, so that the detail lines can be compared exactly.
class Config : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *key : CONFIG_KEYS) {
            unsetenv(key);
        }
        path = dir.path() + "/kel-ulvo.conf";
        set_config_path_for_test(path.c_str());
        set_ulvolib_output(out.file());
        set_start_status_file(nullptr);
        event_logging_off();
    }
    void TearDown() override {
        for (const char *key : CONFIG_KEYS) {
            unsetenv(key);
        }
        set_config_path_for_test(ULVO_CONFIG_PATH);
        set_ulvolib_output(nullptr);
        event_logging_on();
    }
    void write(const std::string &content) { dir.file("kel-ulvo.conf", content); }
    // A file that sets every key validly, so that a test sees only the lines it cares about.
    static std::string full(const std::string &extra_first = "") {
        return extra_first +
               "host_working_set_size=5\ndelay_queue_delay_seconds=1\ndelay_queue_size=200\n"
               "delay_queue_high_watermark=160\ndelay_queue_low_watermark=100\n"
               "shared_memory_key=0x4b554c56\n";
    }
    std::string not_set(const char *key, int value) const {
        return "   " + std::string(key) + " is not set in " + path +
               ",\n   or kel-ulvod was started from the command line.\n   Using default value of " +
               std::to_string(value) + ".\n";
    }
    std::string out_of_range(const char *key, int value, int low, int high) const {
        return "   " + std::string(key) + " is set to " + std::to_string(value) + " in " + path +
               ",\n   valid range is " + std::to_string(low) + " to " + std::to_string(high) +
               " inclusive.\n";
    }

    ScratchDir dir;
    std::string path;
    Capture out;
    ulvo_config config{};
};

TEST_F(Config, NoFileNoEnvironmentGivesDefaultsWithSixWarnings) {
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.host_working_set_size, 5);
    EXPECT_EQ(config.dq_delay_seconds, 1);
    EXPECT_EQ(config.dq_size, 200);
    EXPECT_EQ(config.dq_high_watermark, 160);
    EXPECT_EQ(config.dq_low_watermark, 100);
    EXPECT_EQ(config.shared_memory_key, 0x4b554c56);
    EXPECT_EQ(out.text(),
              not_set("host_working_set_size", 5) + not_set("delay_queue_delay_seconds", 1) +
                  not_set("delay_queue_size", 200) + not_set("delay_queue_high_watermark", 160) +
                  not_set("delay_queue_low_watermark", 100) +
                  "   shared_memory_key is not set in " + path +
                  ",\n   using default value of 0x4b554c56.\n");
}

TEST_F(Config, TagLinesAndStartStatusCopy) {
    event_logging_on();
    Capture status;
    set_start_status_file(status.file());
    write("delay_queue_size=100\n");
    EXPECT_EQ(read_config(&config), 1);
    set_start_status_file(nullptr);
    std::string text = out.text();
    // Two warnings before the refusal, each opening with its tag line; the copy has no tags.
    EXPECT_EQ(text.find(TAG_WARNING), 0u);
    EXPECT_NE(text.find(std::string(TAG_ERROR) + " ["), std::string::npos);
    EXPECT_EQ(status.text(), not_set("host_working_set_size", 5) +
                                 not_set("delay_queue_delay_seconds", 1) +
                                 not_set("delay_queue_high_watermark", 160) +
                                 out_of_range("delay_queue_high_watermark", 160, 8, 100));
}

TEST_F(Config, DefaultIsRangeTestedAndLaterRowsAreNotRead) {
    write(full("delay_queue_size=100\n"));  // the first line for a key wins
    // full() also sets the high water mark to 160, which is above the new size.
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(config.dq_size, 100);
    EXPECT_EQ(config.dq_high_watermark, 160);  // the refused value stays in the field
    EXPECT_EQ(out.text(), out_of_range("delay_queue_high_watermark", 160, 8, 100));

    Capture again;
    set_ulvolib_output(again.file());
    write("delay_queue_size=100\n");
    ulvo_config fresh{};
    fresh.dq_low_watermark = -7;
    ASSERT_EQ(read_config(&fresh), 1);
    EXPECT_EQ(fresh.dq_low_watermark, -7);
    EXPECT_EQ(again.text(), not_set("host_working_set_size", 5) +
                                not_set("delay_queue_delay_seconds", 1) +
                                not_set("delay_queue_high_watermark", 160) +
                                out_of_range("delay_queue_high_watermark", 160, 8, 100));
}

TEST_F(Config, WatermarkRangesFollowTheValuesBeforeThem) {
    write("delay_queue_high_watermark=8\ndelay_queue_low_watermark=5\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(out.text(), out_of_range("delay_queue_low_watermark", 5, 4, 4));

    write("delay_queue_high_watermark=8\ndelay_queue_low_watermark=4\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.dq_high_watermark, 8);
    EXPECT_EQ(config.dq_low_watermark, 4);

    write("delay_queue_size=1001\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_NE(out.text().find(out_of_range("delay_queue_size", 1001, 10, 1000)), std::string::npos);
}

TEST_F(Config, EmptyValueIsNotSetButABlankIsZero) {
    write("host_working_set_size=\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(out.text(), not_set("host_working_set_size", 5));

    Capture second;
    set_ulvolib_output(second.file());
    write("host_working_set_size= \n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(second.text(), out_of_range("host_working_set_size", 0, 1, 100));

    Capture third;
    set_ulvolib_output(third.file());
    write("host_working_set_size\n" + full());  // no '=' at all
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(third.text(), not_set("host_working_set_size", 5));
}

TEST_F(Config, IntegersConvertLikeAtoi) {
    write(
        "host_working_set_size=  42 with a remark\ndelay_queue_delay_seconds=+3x\n"
        "delay_queue_size=0300\n" +
        full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.host_working_set_size, 42);
    EXPECT_EQ(config.dq_delay_seconds, 3);
    EXPECT_EQ(config.dq_size, 300);
    EXPECT_EQ(out.text(), "");

    write("host_working_set_size=abc\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_NE(out.text().find(out_of_range("host_working_set_size", 0, 1, 100)), std::string::npos);
}

TEST_F(Config, NumbersBeyondIntSaturateInsteadOfWrapping) {
    // 4294967301 is 2^32 + 5: wrapping it would pass the range test as 5.
    write("host_working_set_size=4294967301\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(config.host_working_set_size, INT_MAX);
    EXPECT_EQ(out.text(), out_of_range("host_working_set_size", INT_MAX, 1, 100));

    Capture second;
    set_ulvolib_output(second.file());
    write("delay_queue_delay_seconds=-99999999999999999999999\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(second.text(), out_of_range("delay_queue_delay_seconds", INT_MIN, 1, 10));
}

TEST_F(Config, CommentsAreTabsThenHashOnly) {
    write("#delay_queue_size=311\n\t\t#delay_queue_size=312\n  #delay_queue_size=313\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.dq_size, 313);  // leading blanks do not make a comment

    write("some_other_word=170 # delay_queue_size\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.dq_size, 170);  // the name may stand anywhere in the line
}

TEST_F(Config, FirstMatchingLineWinsAndEnvironmentBeatsTheFile) {
    write(full("delay_queue_size=300\ndelay_queue_size=400\n"));
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.dq_size, 300);

    setenv("delay_queue_size", "500", 1);
    setenv("shared_memory_key", "0x1234", 1);
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.dq_size, 500);
    EXPECT_EQ(config.shared_memory_key, 0x1234);
    EXPECT_EQ(out.text(), "");
}

TEST_F(Config, EmptyEnvironmentVariableCountsAsSet) {
    write(full());
    setenv("delay_queue_delay_seconds", "", 1);
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(out.text(), out_of_range("delay_queue_delay_seconds", 0, 1, 10));

    Capture second;
    set_ulvolib_output(second.file());
    unsetenv("delay_queue_delay_seconds");
    setenv("shared_memory_key", "", 1);
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(second.text(), "   shared_memory_key is set to  in " + path +
                                 ",\n   valid values start with \"0x\"\n");
}

TEST_F(Config, SharedMemoryKeyForms) {
    const char *no_prefix = "   valid values start with \"0x\"\n";
    // A key that comes to 0 is IPC_PRIVATE: a new private segment at every use.
    const char *zero = "   the value is out of range or not properly formated.\n";
    struct Case {
        const char *line;
        int result;
        int32_t key;
        const char *reason;
    };
    const Case cases[] = {
        {"shared_memory_key=0x", 1, -1, zero},
        {"shared_memory_key=0x0", 1, -1, zero},
        {"shared_memory_key=0xZZ", 1, -1, zero},
        {"shared_memory_key=0x1fZZ", 0, 0x1f, nullptr},
        {"shared_memory_key=0x7fffffff", 0, 0x7fffffff, nullptr},
        {"shared_memory_key=0X10", 1, -1, no_prefix},
        {"shared_memory_key= 0x10", 1, -1, no_prefix},
        {"shared_memory_key=10", 1, -1, no_prefix},
    };
    for (const Case &c : cases) {
        Capture text;
        set_ulvolib_output(text.file());
        write(std::string(c.line) + "\n" + full());
        config.shared_memory_key = -1;
        EXPECT_EQ(read_config(&config), c.result) << c.line;
        EXPECT_EQ(config.shared_memory_key, c.key) << c.line;
        if (c.result == 1) {
            std::string value = std::string(c.line).substr(sizeof "shared_memory_key=" - 1);
            EXPECT_EQ(text.text(),
                      "   shared_memory_key is set to " + value + " in " + path + ",\n" + c.reason);
        }
    }
}

TEST_F(Config, SharedMemoryKeyWidthFollowsTheBuildsLong) {
    // 0xdeadbeef fits a 64-bit long, but not the i386 build's signed 32-bit one.
    write("shared_memory_key=0xdeadbeef\n" + full());
    EXPECT_EQ(read_config(&config), sizeof(long) == 8 ? 0 : 1);
    if (sizeof(long) == 8) {
        EXPECT_EQ(config.shared_memory_key, static_cast<int32_t>(0xdeadbeefu));
    }

    write("shared_memory_key=0x123456789\n" + full());
    int rc = read_config(&config);
    if (sizeof(long) == 8) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(config.shared_memory_key, 0x23456789);  // the low 32 bits
    } else {
        EXPECT_EQ(rc, 1);
    }
    Capture overflow;
    set_ulvolib_output(overflow.file());
    write("shared_memory_key=0x1234567890abcdef0\n" + full());
    ASSERT_EQ(read_config(&config), 1);
    EXPECT_EQ(overflow.text(), "   shared_memory_key is set to 0x1234567890abcdef0 in " + path +
                                   ",\n   the value is out of range or not properly formated.\n");
}

TEST_F(Config, OnlyTheFirst199CharactersOfALineCount) {
    std::string pad(190, ' ');
    // The '=' lies beyond the 199 characters looked at: not set.
    write("host_working_set_size" + pad + "=7\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.host_working_set_size, 5);
    EXPECT_EQ(out.text(), not_set("host_working_set_size", 5));

    // The value is cut where the line is cut: 199 - 22 - 175 = 2 digits of "12345".
    std::string line = "host_working_set_size=" + std::string(175, ' ') + "12345";
    write(line + "\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.host_working_set_size, 12);

    // The key still selects a line when it stands beyond the first 199 characters.
    write("x=9" + std::string(250, ' ') + "host_working_set_size\n" + full());
    ASSERT_EQ(read_config(&config), 0);
    EXPECT_EQ(config.host_working_set_size, 9);
}

// The optional keys are silent when unset and range-checked when set.
TEST_F(Config, OptionalKeysAreOffUnlessSetAndRangeChecked) {
    struct Case {
        std::string line;
        int status;
        ulvo_optional_config want;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"", 0, {0, 0, 0}, ""},
        {"kernel_fast_path=1\n", 0, {0, 0, 1}, ""},
        {"new_host_credit=4\ncredit_ceiling=8\n", 0, {4, 8, 0}, ""},
        {"kernel_fast_path=2\n", 1, {0, 0, 0}, out_of_range("kernel_fast_path", 2, 0, 1)},
        {"new_host_credit=4\ncredit_ceiling=3\n", 1, {4, 3, 0}, ""},
    };
    for (const char *key : {"new_host_credit", "credit_ceiling", "kernel_fast_path"}) {
        unsetenv(key);
    }
    for (const Case &c : cases) {
        write(c.line + full());
        Capture said;
        set_ulvolib_output(said.file());
        ulvo_optional_config got{};
        EXPECT_EQ(read_optional_config(&got), c.status) << c.line;
        if (c.status == 0) {
            EXPECT_EQ(got.new_host_credit, c.want.new_host_credit) << c.line;
            EXPECT_EQ(got.credit_ceiling, c.want.credit_ceiling) << c.line;
            EXPECT_EQ(got.kernel_fast_path, c.want.kernel_fast_path) << c.line;
            EXPECT_EQ(said.text(), "") << "an unset key is silent: " << c.line;
        } else if (!c.said.empty()) {
            EXPECT_EQ(said.text(), c.said) << c.line;
        }
    }
}

TEST_F(Config, GetvarCutsEnvironmentValuesAndKeepsTheirNewlines) {
    char value[200];
    setenv("host_working_set_size", std::string(300, '7').c_str(), 1);
    ASSERT_EQ(getvar("host_working_set_size", 200, value), 0);
    EXPECT_EQ(std::string(value), std::string(199, '7'));
    setenv("host_working_set_size", "3\n", 1);
    ASSERT_EQ(getvar("host_working_set_size", 200, value), 0);
    EXPECT_EQ(std::string(value), "3\n");
    write("host_working_set_size=4");  // last line without a newline
    unsetenv("host_working_set_size");
    ASSERT_EQ(getvar("host_working_set_size", 200, value), 0);
    EXPECT_EQ(std::string(value), "4");
    EXPECT_EQ(getvar("delay_queue_size", 200, value), 1);
}

}  // namespace
