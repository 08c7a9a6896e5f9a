// The shutdown against the daemon's own functions (shutdown_probe, a program of its own): a
// signal that reaches a worker holding the rule's lock while the main thread's rule guard is
// under way (the kernel fast path on, its IP sets real) must still end the daemon, at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "allow_list.h"
#include "capture.h"
#include "kernel_sets.h"
#include "sandbox.h"

namespace {

constexpr char HELPER_PATH[] = "/opt/kel/kel-ulvo/kel-ulvo-iptables";

// The helper's stand-in: every verb ends at once but the guard's, which says it runs (a file)
// and takes half a second, as a helper waiting for iptables does.
void write_helper_stand_in(const std::string &running) {
    run("mkdir -p /opt/kel/kel-ulvo /var/opt/kel/kel-ulvo");
    std::ofstream(HELPER_PATH) << "#!/bin/bash\n"
                                  "echo \"$1\" >>" +
                                      running +
                                      ".verbs\n"
                                      "[ \"$1\" = guard_rules ] || exit 0\n"
                                      ": >" +
                                      running +
                                      "\n"
                                      "sleep 0.5\n"
                                      "echo allow_entries=0\n";
    run(std::string("chmod 0755 ") + HELPER_PATH);
}

TEST(Shutdown, ASignalToAWorkerHoldingTheRuleEndsTheDaemonDuringTheGuard) {
    const std::string running = private_dir() + "/guard-running";
    const std::string log_path = private_dir() + "/event.log";
    write_helper_stand_in(running);

    // The daemon's part runs as a program of its own, as the daemon does: its handler ends the
    // process with exit(), which runs only that program's destructors.
    const std::string program = build_dir() + "/tests/shutdown_probe";
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(program.c_str(), program.c_str(), running.c_str(), log_path.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    pid_t got = 0;
    while ((got = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (got == 0) {
        kill(child, SIGKILL);  // the child this test forked, by the pid fork gave it
        waitpid(child, &status, 0);
        FAIL() << "the daemon hung in its shutdown (ended by the test after 10 s)\n"
               << read_file(log_path);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                               << read_file(log_path);
    EXPECT_LT(seconds, 3.0) << "the shutdown waits only for the guard's helper and its own pause";
    std::string log = read_file(log_path);
    EXPECT_NE(log.find("on signal 15 (SIGTERM)"), std::string::npos) << log;
    // The removal came after the guard, in its turn, and the sets went with the daemon.
    EXPECT_EQ(read_file(running + ".verbs"), "guard_rules\ndetach_rules\nunload_rules\n");
    kernel_set_socket ks;
    ASSERT_EQ(kset_open(&ks), 0);
    int rc = 0;
    set_members(&ks, FAST_PATH_IPV4, &rc);
    EXPECT_EQ(rc, ENOENT) << "the IPv4 set is removed";
    kset_close(&ks);
}

}  // namespace

int main(int argc, char **argv) {
    return sandbox_main(argc, argv);
}
