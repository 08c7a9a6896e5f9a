// The helper runs as a fresh process would, whatever state the daemon calls it from, and never
// longer than its limit.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "event_log.h"
#include "helper.h"
#include "helper_testing.h"

namespace {

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void ignore(int) {}

// As the shutdown calls it: from a handler's context, every signal blocked, handlers installed.
class Helper : public ::testing::Test {
  protected:
    void SetUp() override {
        struct sigaction handled {};
        handled.sa_handler = ignore;
        sigaction(SIGALRM, &handled, &old_alarm);
        signal(SIGPIPE, SIG_IGN);
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before);
    }
    void TearDown() override {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        sigaction(SIGALRM, &old_alarm, nullptr);
        signal(SIGPIPE, SIG_DFL);
        set_helper_time_limit_for_test(HELPER_TIME_LIMIT_MS);
    }
    sigset_t before{};
    struct sigaction old_alarm {};
};

TEST_F(Helper, StartsWithNoSignalBlockedOrIgnored) {
    char output[512];
    int status =
        run_helper_capture("grep -E '^Sig(Blk|Ign):' /proc/self/status", output, sizeof output);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

// flock -w times out through SIGALRM: with the daemon's mask it would wait for ever.
TEST_F(Helper, ItsOwnTimedWaitsEnd) {
    char path[] = "/tmp/kel-ulvo-helper-lock-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    auto start = std::chrono::steady_clock::now();
    int status = run_helper((std::string("flock -w 1 ") + path + " true").c_str());
    EXPECT_EQ(helper_exit_status(status), 1);
    EXPECT_LT(ms_since(start), 4000);
    close(fd);
    unlink(path);
}

// A helper that overruns its limit is ended with whatever it started in the background, and the
// caller learns it from the status and the event log.
TEST_F(Helper, OverrunIsEndedWithItsChildrenAndReported) {
    char log_path[] = "/tmp/kel-ulvo-helper-log-XXXXXX";
    int log_fd = mkstemp(log_path);
    ASSERT_NE(log_fd, -1);
    FILE *log = fdopen(log_fd, "w+");
    set_ulvolib_output(log);
    set_helper_time_limit_for_test(1000);
    std::string pid_file = std::string(log_path) + ".pid";
    struct Case {
        bool capture;
        std::string command;
    };
    for (const Case &c : {Case{false, "sleep 60 & echo $! >" + pid_file + "; wait"},
                          Case{true, "echo started; sleep 60 & echo $! >" + pid_file + "; wait"}}) {
        auto start = std::chrono::steady_clock::now();
        char output[64] = "";
        int status = c.capture ? run_helper_capture(c.command.c_str(), output, sizeof output)
                               : run_helper(c.command.c_str());
        double elapsed = ms_since(start);
        EXPECT_EQ(helper_exit_status(status), 128 + SIGKILL) << c.command;
        EXPECT_GE(elapsed, 900) << c.command;
        EXPECT_LT(elapsed, 4000) << c.command;
        if (c.capture) {
            EXPECT_STREQ(output, "started\n");
        }
        pid_t background = 0;
        std::ifstream(pid_file) >> background;
        ASSERT_GT(background, 0);
        // Killed, it is gone or a zombie as soon as the kernel has delivered the signal.
        auto state_of = [background] {
            std::string state, ignored;
            std::ifstream stat("/proc/" + std::to_string(background) + "/stat");
            stat >> ignored >> ignored >> state;
            return state;
        };
        std::string state = state_of();
        auto asked = std::chrono::steady_clock::now();
        while (!state.empty() && state != "Z" && ms_since(asked) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            state = state_of();
        }
        EXPECT_TRUE(state.empty() || state == "Z") << "the background sleep is still " << state;
    }
    set_ulvolib_output(nullptr);
    fflush(log);
    std::ifstream text(log_path);
    std::string all((std::istreambuf_iterator<char>(text)), std::istreambuf_iterator<char>());
    size_t first = all.find("did not end within 1 s and was stopped");
    EXPECT_NE(first, std::string::npos) << all;
    EXPECT_NE(all.find("did not end within 1 s and was stopped", first + 1), std::string::npos)
        << "each overrun is reported: " << all;
    fclose(log);
    unlink(log_path);
    unlink(pid_file.c_str());
}

}  // namespace
