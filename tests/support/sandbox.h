// System tests run the real binaries against the real kernel inside private namespaces: a test
// binary whose main is sandbox_main re-runs itself under unshare with its own network, IPC,
// mount and PID namespaces, and tmpfs over /opt, /etc/opt and /var/opt.
#pragma once

#include <string>
#include <vector>

// Exit status that ctest counts as a skip.
inline constexpr int SKIP_EXIT_CODE = 125;

// The gtest main of a system-test binary.
int sandbox_main(int argc, char **argv);

// Runs a command line through bash and returns its exit status (-1 when it could not run).
int run(const std::string &command);
// Runs a command line through bash and returns its standard output.
std::string run_output(const std::string &command, int *status = nullptr);
// Installs the build tree into the sandbox's /opt, /etc/opt and /var/opt.
void install_build_tree();
// The helper script as the build tree configured it.
std::string build_helper_script();
// The build tree's directory.
std::string build_dir();
// A scratch directory of this sandbox alone (on its private /var/opt).
std::string private_dir();
