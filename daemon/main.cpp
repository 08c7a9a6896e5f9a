#include <cstdio>
#include <cstring>

#include "common.h"
#include "config.h"
#include "ulvo.h"
#include "version.h"

namespace {

// The command line: "--help" and "--version" are answered on standard output (0), anything
// else is refused before anything is touched (2); -1 when there are no arguments and the
// daemon is to start.
int ulvo_options(int argc, char **argv) {
    if (argc < 2) {
        return -1;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf(
            "Usage: kel-ulvod [--help | --version | --check-config]\n"
            "Slows down connections to hosts this machine has not contacted recently and\n"
            "raises an alarm on bursts of them. Started without arguments, as root, it\n"
            "detaches and records the outcome of its start in\n"
            "%s.\n"
            "Configuration: %s (see kel-ulvo.conf(5)).\n"
            "Status: ulvostatus -status (see ulvostatus(8)).\n"
            "--check-config reads the configuration as a start would, prints the values a\n"
            "start would use and every problem, and touches nothing: 0 good, 1 refused.\n",
            ULVO_START_STATUS_PATH, ULVO_CONFIG_PATH);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--check-config") == 0) {
        return ulvo_check_config();
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("kel-ulvod %s\n", ULVO_VERSION);
        return 0;
    }
    fprintf(stderr,
            "kel-ulvod: unknown argument '%s'\n"
            "Usage: kel-ulvod [--help | --version | --check-config]\n",
            argv[1]);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int status = ulvo_options(argc, argv);
    if (status >= 0) {
        return status;
    }
    ulvo_main();
}
