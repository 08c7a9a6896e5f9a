// outbreak-listener: the lab's "vulnerable service". It accepts TCP connections on its port
// and closes them at once; the first one infects the host: the time is recorded and the worm
// command is started, once.
//
// usage: outbreak-listener PORT RECORD_FILE WORM_COMMAND [ARGUMENTS...]
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "lab.h"

namespace {

int64_t wall_ms() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Writes the infection time to the record file as a whole (temporary file, then rename).
bool record(const char *path, int64_t at_ms) {
    std::string temporary = std::string(path) + ".tmp";
    FILE *file = fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    fprintf(file, "%lld\n", static_cast<long long>(at_ms));
    return fclose(file) == 0 && rename(temporary.c_str(), path) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: outbreak-listener PORT RECORD_FILE WORM_COMMAND [ARGUMENTS...]\n");
        return 2;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ignore.sa_flags = SA_NOCLDWAIT;  // the worm is never waited for
    sigaction(SIGCHLD, &ignore, nullptr);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) != 0 ||
        listen(fd, 128) != 0) {
        perror("outbreak-listener");
        return 1;
    }
    listener_state state{};
    for (;;) {
        int connection = accept(fd, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        close(connection);
        if (!note_connection(&state, wall_ms())) {
            continue;
        }
        if (!record(argv[2], state.infected_at_ms)) {
            perror("outbreak-listener: record");
        }
        if (fork() == 0) {
            execv(argv[3], argv + 3);
            _exit(127);
        }
    }
}
