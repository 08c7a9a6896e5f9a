// The daemon's events in the system log, and who is blamed for an alarm: the test gives the
// sandbox a /dev of its own and reads the daemon's syslog datagrams on its /dev/log.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <mutex>
#include <regex>

#include "blame.h"
#include "daemon_fixture.h"
#include "event_log.h"
#include "syslog_feed.h"

namespace {

// A /dev of the sandbox's own (the device nodes the daemon and its helper use, bound from the
// real one), so that the test can be the system log at /dev/log.
bool private_dev() {
    return run("set -e; old=" + private_dir() +
               "/dev; mkdir -p $old; mount --bind /dev $old; "
               "mount -t tmpfs -o mode=0755 tmpfs /dev; "
               "for n in null zero full random urandom tty; do "
               "touch /dev/$n; mount --bind $old/$n /dev/$n; done; "
               "ln -s /proc/self/fd /dev/fd; ln -s /proc/self/fd/0 /dev/stdin; "
               "ln -s /proc/self/fd/1 /dev/stdout; ln -s /proc/self/fd/2 /dev/stderr") == 0;
}

// The system log: collects the datagrams sent to /dev/log.
class LogCollector {
  public:
    LogCollector() {
        fd_ = Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, "/dev/log");
        bound_ = bind(fd_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        reader_ = std::thread([this] {
            while (!stop_) {
                if (!wait_readable(fd_.get(), 20)) {
                    continue;
                }
                char text[1024];
                ssize_t n = recv(fd_.get(), text, sizeof text, 0);
                if (n > 0) {
                    std::lock_guard<std::mutex> hold(lock_);
                    messages_.emplace_back(text, static_cast<size_t>(n));
                }
            }
        });
    }
    ~LogCollector() {
        stop_ = true;
        reader_.join();
    }
    bool bound() const { return bound_; }
    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> hold(lock_);
        return messages_;
    }
    // Index of the first message containing the text, waiting up to ms; -1 if none came.
    int wait_for(const std::string &text, int ms) {
        auto start = std::chrono::steady_clock::now();
        do {
            std::vector<std::string> all = messages();
            for (size_t i = 0; i < all.size(); ++i) {
                if (all[i].find(text) != std::string::npos) {
                    return static_cast<int>(i);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (ms_since(start) < ms);
        return -1;
    }

  private:
    Fd fd_;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> messages_;
    std::thread reader_;
};

// A worm-like child, running as nobody under the name "wormlet": it starts connections to count
// new hosts at once and keeps them until it is killed.
pid_t start_wormlet(int first_host, int count) {
    pid_t child = fork();
    if (child != 0) {
        return child;
    }
    prctl(PR_SET_NAME, "wormlet");
    if (setgid(65534) != 0 || setuid(65534) != 0) {
        _exit(1);
    }
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(SERVICE_PORT);
        to.sin_addr.s_addr = htonl(0x7f050000u + static_cast<uint32_t>(first_host + i));
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    for (;;) {
        pause();
    }
}

TEST_F(DaemonTest, EventsReachTheSystemLogAndTheAlarmNamesWhoIsToBlame) {
    ASSERT_TRUE(private_dev());
    LogCollector log;
    ASSERT_TRUE(log.bound());
    start_daemon();
    ASSERT_GT(pid_, 0);
    std::string pid = "kel-ulvod[" + std::to_string(pid_) + "]: ";
    EXPECT_GE(log.wait_for("<30>", 5000), 0) << "start, info";
    EXPECT_TRUE(std::regex_search(
        log.messages().at(0),
        std::regex("kel-ulvod\\[" + std::to_string(pid_) +
                   "\\]: kel-ulvo started - v[^ ,]+, 0 allow-list entries in force$")))
        << log.messages().at(0);

    // Fifteen new hosts against a queue of ten: the alarm (at eight) and then drops.
    pid_t worm = start_wormlet(1, 15);
    ASSERT_GT(worm, 0);
    int detected = log.wait_for("virus-like activity detected", 10000);
    ASSERT_GE(detected, 0);
    std::string alarm = log.messages()[static_cast<size_t>(detected)];
    EXPECT_TRUE(std::regex_search(
        alarm, std::regex("^<25>[A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d kel-ulvod\\[\\d+\\]: "
                          "virus-like activity detected: ([89]|10) connections held for "
                          "([89]|10) new hosts; most from uid 65534 \\(nobody\\): ([89]|10), "
                          "program wormlet \\(pid " +
                          std::to_string(worm) + "\\)$")))
        << alarm;
    // The metrics count the held connections by owner: all of them nobody's.
    auto held_by = [] {
        std::string text = run_output(std::string(STATUS_TOOL) + " -metrics 2>/dev/null");
        std::smatch m;
        long nobody =
            std::regex_search(text, m,
                              std::regex("\nkel_ulvo_held_connections\\{uid=\"65534\"\\} (\\d+)\n"))
                ? std::stol(m[1])
                : -1;
        long queued = std::regex_search(text, m, std::regex("\nkel_ulvo_queue_length (\\d+)\n"))
                          ? std::stol(m[1])
                          : -2;
        return std::make_pair(nobody, queued);
    };
    auto start = std::chrono::steady_clock::now();
    std::pair<long, long> held = held_by();
    while (held.first != held.second && ms_since(start) < 5000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held = held_by();
    }
    EXPECT_EQ(held.first, held.second) << "the held connections by owner add up to the queue";
    EXPECT_GE(held.first, 5);
    int dropping = log.wait_for("the delay queue is full (10 connections held)", 5000);
    EXPECT_GT(dropping, detected);
    EXPECT_EQ(log.messages().at(static_cast<size_t>(std::max(dropping, 0))).substr(0, 4), "<28>");

    // Once the worm is gone its held connections are released one a second, down to the low
    // water mark of four.
    kill(worm, SIGKILL);
    waitpid(worm, nullptr, 0);
    int stopped = log.wait_for("virus-like activity stopped after", 30000);
    ASSERT_GT(stopped, dropping);
    std::smatch summary;
    std::string stop_text = log.messages()[static_cast<size_t>(stopped)];
    ASSERT_TRUE(std::regex_search(
        stop_text, summary,
        std::regex("^<29>.*: virus-like activity stopped after (\\d+) s: (\\d+) connections "
                   "held, (\\d+) released and (\\d+) dropped during it$")))
        << stop_text;
    EXPECT_GE(std::stoi(summary[1]), 4);
    EXPECT_GE(std::stoi(summary[2]), 2);  // held after the alarm: up to the full queue
    EXPECT_GE(std::stoi(summary[3]), 6);  // released down to the low water mark
    EXPECT_GE(std::stoi(summary[4]), 5);  // five connections found the queue full

    start = std::chrono::steady_clock::now();
    while ((held = held_by()) != std::make_pair(-1L, 0L) && ms_since(start) < 15000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(held, std::make_pair(-1L, 0L)) << "no owner's sample once the queue is empty";
    ASSERT_EQ(signal_daemon(SIGTERM), 0);
    int exiting = log.wait_for(pid + "kel-ulvo exiting", 5000);
    EXPECT_GT(exiting, stopped);
    EXPECT_EQ(log.messages().at(static_cast<size_t>(std::max(exiting, 0))).substr(0, 4), "<30>");
    for (const std::string &message : log.messages()) {
        EXPECT_EQ(message.find('\n'), std::string::npos) << "one line each: " << message;
    }
}

TEST_F(DaemonTest, AFailedStartSaysWhyInTheSystemLog) {
    ASSERT_TRUE(private_dev());
    LogCollector log;
    ASSERT_TRUE(log.bound());
    write_config({{"delay_queue_size", "5"}});
    std::string status = start_daemon();
    ASSERT_NE(status.find("kel-ulvod failed to start"), std::string::npos) << status;
    int failed = log.wait_for("kel-ulvod failed to start", 5000);
    ASSERT_GE(failed, 0);
    int reason = log.wait_for("delay_queue_size is set to 5 in", 0);
    ASSERT_GE(reason, 0);
    EXPECT_LT(reason, failed);
    EXPECT_EQ(log.messages()[static_cast<size_t>(reason)].substr(0, 4), "<27>");
    EXPECT_EQ(log.messages()[static_cast<size_t>(failed)].substr(0, 4), "<27>");
    EXPECT_EQ(log.wait_for("kel-ulvo started", 0), -1) << "a failed start says it did not start";
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
