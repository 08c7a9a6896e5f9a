// The daemon's liveness messages to the service manager: the test stands in for systemd with a
// notification socket of its own, and stops single worker threads with ptrace to show that the
// messages follow each worker's real progress.
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "daemon_fixture.h"
#include "watchdog.h"

namespace {

// A datagram socket that the daemon's messages arrive on.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = Fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        bound_ = bind(fd_.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    bool bound() const { return bound_; }
    // The messages that arrive within ms milliseconds.
    std::vector<std::string> receive_for(int ms) {
        std::vector<std::string> got;
        auto start = std::chrono::steady_clock::now();
        while (ms_since(start) < ms) {
            if (!wait_readable(fd_.get(), 20)) {
                continue;
            }
            char text[256];
            ssize_t n = recv(fd_.get(), text, sizeof text, 0);
            if (n > 0) {
                got.emplace_back(text, static_cast<size_t>(n));
            }
        }
        return got;
    }
    // Waits up to ms milliseconds for a message that starts with the text.
    bool wait_for(const std::string &start_of_message, int ms) {
        auto start = std::chrono::steady_clock::now();
        while (ms_since(start) < ms) {
            for (const std::string &message : receive_for(100)) {
                if (message.rfind(start_of_message, 0) == 0) {
                    return true;
                }
            }
        }
        return false;
    }

  private:
    std::string path_;
    Fd fd_;
    bool bound_ = false;
};

int count_of(const std::vector<std::string> &messages, const std::string &what) {
    return static_cast<int>(std::count(messages.begin(), messages.end(), what));
}

// The thread of the process with the given name (its comm), or 0.
pid_t thread_named(pid_t pid, const std::string &name) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &entry : std::filesystem::directory_iterator(tasks)) {
        if (read_file(entry.path() / "comm") == name + "\n") {
            return static_cast<pid_t>(std::stol(entry.path().filename()));
        }
    }
    return 0;
}

// Stops one thread alone, as a debugger does, until the scope ends.
class ThreadStop {
  public:
    explicit ThreadStop(pid_t tid) : tid_(tid) {
        stopped_ = ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0 &&
                   ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 &&
                   waitpid(tid, nullptr, __WALL) == tid;
    }
    ~ThreadStop() { ptrace(PTRACE_DETACH, tid_, nullptr, nullptr); }
    bool stopped() const { return stopped_; }

  private:
    pid_t tid_;
    bool stopped_ = false;
};

TEST_F(DaemonTest, WatchdogMessagesFollowEveryWorkersProgress) {
    NotifySocket manager(private_dir() + "/notify.sock");
    ASSERT_TRUE(manager.bound());
    // A two-second watchdog: the daemon checks its workers every 666 ms.
    std::string status =
        start_daemon("NOTIFY_SOCKET=" + private_dir() + "/notify.sock WATCHDOG_USEC=2000000");
    ASSERT_EQ(status.substr(status.size() - 4), "end\n") << status;
    ASSERT_GT(pid_, 0);
    EXPECT_TRUE(manager.wait_for("READY=1", 5000)) << "readiness after the good start";
    EXPECT_GE(count_of(manager.receive_for(2000), "WATCHDOG=1"), 2) << read_file(EVENT_LOG);

    struct Worker {
        const char *thread;
        const char *report;
    } workers[] = {{"ulvo-dethrottle", "the de-throttle thread has made no progress"},
                   {"ulvo-IPv4", "the IPv4 throttle thread has made no progress"},
                   {"ulvo-IPv6", "the IPv6 throttle thread has made no progress"}};
    for (const Worker &worker : workers) {
        SCOPED_TRACE(worker.thread);
        pid_t tid = thread_named(pid_, worker.thread);
        ASSERT_GT(tid, 0);
        {
            ThreadStop stop(tid);
            ASSERT_TRUE(stop.stopped()) << strerror(errno);
            // The other threads go on beating; the stopped one's period and grace run out.
            auto start = std::chrono::steady_clock::now();
            while (ms_since(start) < 15000 * BUILD_SLOWDOWN &&
                   read_file(EVENT_LOG).find(worker.report) == std::string::npos) {
                manager.receive_for(100);
            }
            EXPECT_NE(read_file(EVENT_LOG).find(worker.report), std::string::npos);
            manager.receive_for(200);  // any message already on its way
            EXPECT_EQ(count_of(manager.receive_for(2500), "WATCHDOG=1"), 0)
                << "no liveness while a worker is stopped";
        }
        EXPECT_TRUE(manager.wait_for("WATCHDOG=1", 3000 * BUILD_SLOWDOWN))
            << "liveness again once the worker goes on";
    }
    // Every worker still does its work: new hosts are held and released, a known one passes.
    auto before = status_counters();
    EXPECT_GE(connect_ms("127.0.9.1"), 0);
    EXPECT_GE(connect_ms("fd00:6::1"), 0);
    EXPECT_GE(connect_ms("127.0.9.1"), 0);
    auto after = status_counters();
    EXPECT_EQ(after["packets placed on queue"] - before["packets placed on queue"], 2);
    EXPECT_EQ(after["packets passed without delay"] - before["packets passed without delay"], 1);
    EXPECT_EQ(count(read_file(EVENT_LOG), "no progress"), 3) << read_file(EVENT_LOG);
    EXPECT_EQ(signal_daemon(SIGTERM), 0);
    EXPECT_TRUE(manager.wait_for("STOPPING=1", 3000));
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
