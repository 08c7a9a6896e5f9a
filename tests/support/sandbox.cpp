#include "sandbox.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char SANDBOX_ENV[] = "KEL_ULVO_IN_SANDBOX";

bool under_ci() {
    const char *ci = getenv("CI");
    return ci != nullptr && strcmp(ci, "true") == 0;
}

// Why the sandbox cannot be made here, or empty when it can.
std::string sandbox_unavailable() {
    if (geteuid() != 0) {
        return "system tests need root";
    }
    if (run("unshare --mount --net --ipc --pid --fork --mount-proc true >/dev/null 2>&1") != 0) {
        return "unshare cannot create mount, network, IPC and PID namespaces here";
    }
    return "";
}

void must(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "sandbox set-up failed: %s: %s\n", what, strerror(errno));
        exit(1);
    }
}

// Inside the namespaces: private fixed paths and a working loopback interface, set up by the
// same shell function as the demo's and the benchmark's sandboxes.
void set_up_inside() {
    must(run(std::string("source ") + KEL_ULVO_SOURCE_DIR +
             "/scripts/common.sh && sandbox_mounts") == 0,
         "sandbox_mounts");
    must(run("mkdir -p " + private_dir()) == 0, "mkdir private_dir");
}

}  // namespace

int run(const std::string &command) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/bash", "bash", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string run_output(const std::string &command, int *status) {
    // popen would use /bin/sh; a temporary file keeps bash and its exit status.
    char path[] = "/tmp/kel-ulvo-out.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        if (status != nullptr) {
            *status = -1;
        }
        return "";
    }
    close(fd);
    int rc = run("{ " + command + "; } >" + path);
    if (status != nullptr) {
        *status = rc;
    }
    std::string output;
    if (FILE *file = fopen(path, "r"); file != nullptr) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
            output.append(chunk, n);
        }
        fclose(file);
    }
    unlink(path);
    return output;
}

std::string private_dir() {
    return "/var/opt/kel-ulvo-test";
}

std::string build_dir() {
    return KEL_ULVO_BUILD_DIR;
}
std::string build_helper_script() {
    return build_dir() + "/kel-ulvo-iptables";
}

void install_build_tree() {
    ASSERT_EQ(run("cmake --install " + build_dir() + " --component Unspecified >/dev/null"), 0);
    // The tests' traffic goes to loopback addresses, which the sample allow-list exempts.
    ASSERT_EQ(run(": >/etc/opt/kel/kel-ulvo/kel-ulvo.allow"), 0);
}

int sandbox_main(int argc, char **argv) {
    std::vector<char *> original(argv, argv + argc);
    original.push_back(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests) || getenv(SANDBOX_ENV) != nullptr) {
        if (getenv(SANDBOX_ENV) != nullptr) {
            set_up_inside();
        }
        return RUN_ALL_TESTS();
    }
    std::string reason = sandbox_unavailable();
    if (!reason.empty()) {
        if (under_ci()) {
            fprintf(stderr, "FAIL: %s, and under CI a system test may not be skipped\n",
                    reason.c_str());
            return 1;
        }
        fprintf(stderr, "SKIP: %s\n", reason.c_str());
        return SKIP_EXIT_CODE;
    }
    setenv(SANDBOX_ENV, "1", 1);
    std::vector<const char *> command = {"unshare", "--mount", "--net",        "--ipc",
                                         "--pid",   "--fork",  "--mount-proc", "--"};
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        perror("readlink /proc/self/exe");
        return 1;
    }
    self[n] = '\0';
    command.push_back(self);
    for (int i = 1; i < static_cast<int>(original.size()) - 1; ++i) {
        command.push_back(original[i]);
    }
    command.push_back(nullptr);
    execvp("unshare", const_cast<char *const *>(command.data()));
    perror("unshare");
    return 1;
}
