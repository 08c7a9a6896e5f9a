// libFuzzer target: the configuration reader on any file content and environment values.
// Input: the file's content, then for each of the six keys in order, a NUL and the value that
// its environment variable gets (a key without one stays unset).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "event_log.h"
#include "ulvolib_testing.h"

namespace {

constexpr const char *KEYS[] = {"host_working_set_size",     "delay_queue_delay_seconds",
                                "delay_queue_size",          "delay_queue_high_watermark",
                                "delay_queue_low_watermark", "shared_memory_key"};

int config_fd = -1;
std::string config_path;

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    config_fd = memfd_create("kel-ulvo.conf", 0);
    config_path = "/proc/self/fd/" + std::to_string(config_fd);
    set_config_path_for_test(config_path.c_str());
    set_ulvolib_output(fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    const char *end = text + size;
    const char *nul = static_cast<const char *>(memchr(text, '\0', size));
    size_t file_length = nul != nullptr ? static_cast<size_t>(nul - text) : size;
    if (ftruncate(config_fd, 0) != 0 || pwrite(config_fd, text, file_length, 0) < 0) {
        return 0;
    }
    const char *value = nul != nullptr ? nul + 1 : end;
    for (const char *key : KEYS) {
        if (value >= end) {
            unsetenv(key);
            continue;
        }
        const char *next =
            static_cast<const char *>(memchr(value, '\0', static_cast<size_t>(end - value)));
        std::string v(value, next != nullptr ? next : end);
        setenv(key, v.c_str(), 1);
        value = next != nullptr ? next + 1 : end;
    }

    ulvo_config config;
    memset(&config, 0xa5, sizeof config);
    int rc = read_config(&config);
    check(rc == 0 || rc == 1);
    if (rc == 0) {
        // An accepted configuration is one the daemon can run with.
        check(config.host_working_set_size >= 1 && config.host_working_set_size <= 100);
        check(config.dq_delay_seconds >= 1 && config.dq_delay_seconds <= 10);
        check(config.dq_size >= 10 && config.dq_size <= 1000);
        check(config.dq_high_watermark >= 8 && config.dq_high_watermark <= config.dq_size);
        check(config.dq_low_watermark >= 4 &&
              config.dq_low_watermark <= config.dq_high_watermark - 4);
        int32_t key = 0;
        check(peek_shared_memory_key(&key) == 0 && key == config.shared_memory_key);
    }
    return 0;
}
