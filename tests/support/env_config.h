// A complete configuration given through the environment, for tests that run the library or
// the programs without a configuration file.
#pragma once

#include <cstdlib>
#include <iterator>

// The six configuration keys, in the order the status block stores their values.
inline constexpr const char *CONFIG_KEYS[] = {
    "host_working_set_size",      "delay_queue_delay_seconds", "delay_queue_size",
    "delay_queue_high_watermark", "delay_queue_low_watermark", "shared_memory_key"};

// The text each key is set to, one field per key.
struct ConfigValues {
    const char *host_working_set_size;
    const char *delay_queue_delay_seconds;
    const char *delay_queue_size;
    const char *delay_queue_high_watermark;
    const char *delay_queue_low_watermark;
    const char *shared_memory_key;
};

// Sets the six keys as environment variables for its lifetime and unsets them after.
class EnvConfig {
  public:
    explicit EnvConfig(const ConfigValues &values) {
        const char *in_key_order[] = {
            values.host_working_set_size,     values.delay_queue_delay_seconds,
            values.delay_queue_size,          values.delay_queue_high_watermark,
            values.delay_queue_low_watermark, values.shared_memory_key};
        static_assert(std::size(in_key_order) == std::size(CONFIG_KEYS));
        for (size_t i = 0; i < std::size(CONFIG_KEYS); ++i) {
            setenv(CONFIG_KEYS[i], in_key_order[i], 1);
        }
    }
    ~EnvConfig() {
        for (const char *key : CONFIG_KEYS) {
            unsetenv(key);
        }
    }
    EnvConfig(const EnvConfig &) = delete;
    EnvConfig &operator=(const EnvConfig &) = delete;
};
