// libFuzzer target: the capture reader on any file content, by the path a file takes (zlib,
// libpcap, the packet parser, the flow tracking), then the host and window selections on what
// was read. Input: the file's content, plain or gzip'd.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "capture.h"

namespace {

int capture_fd = -1;

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    capture_fd = memfd_create("capture", 0);
    check(capture_fd >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check(ftruncate(capture_fd, 0) == 0);
    check(pwrite(capture_fd, data, size, 0) == static_cast<ssize_t>(size));
    check(lseek(capture_fd, 0, SEEK_SET) == 0);

    replay_capture capture;
    char error[256];
    memset(error, 'x', sizeof error);
    int status = read_capture_fd(capture_fd, "fuzz", &capture, error, sizeof error);
    check(status == 0 || status == 1);
    if (status == 1) {
        check(memchr(error, '\0', sizeof error) != nullptr && strncmp(error, "fuzz: ", 6) == 0);
    }

    // Whatever was read, failure or not, is consistent: each queued packet names a flow, and
    // each flow holds the count of its own.
    check(capture.packets_skipped <= capture.packets_read);
    check(capture.flows.size() <= capture.packets.size());
    check(capture.packets.size() <= capture.packets_read);
    uint64_t queued = 0;
    for (const replay_flow &flow : capture.flows) {
        check(flow.family == 4 || flow.family == 6);
        check(flow.protocol == 6 || flow.protocol == 17);
        check(flow.packets >= 1);
        queued += flow.packets;
    }
    check(queued == capture.packets.size());
    for (const replay_packet &packet : capture.packets) {
        check(packet.flow < capture.flows.size());
    }

    int family = 0;
    unsigned char host[16];
    if (pick_host(capture, &family, host) == 0) {
        replay_capture kept;
        keep_host(capture, family, host, &kept);
        check(!kept.flows.empty());
        keep_window(kept, kept.flows.front().time, 1.0, &kept);
        for (const replay_packet &packet : kept.packets) {
            check(packet.flow < kept.flows.size());
        }
    } else {
        check(capture.flows.empty());
    }
    return 0;
}
