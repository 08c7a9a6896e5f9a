// The six settings of both programs: configuration file, environment overrides, defaults, ranges.
#pragma once

#include <cstddef>
#include <cstdint>

// The six settings, signed 32-bit, in the order the status block stores them.
struct ulvo_config {
    int32_t host_working_set_size;
    int32_t dq_delay_seconds;
    int32_t dq_size;
    int32_t dq_high_watermark;
    int32_t dq_low_watermark;
    int32_t shared_memory_key;
};
static_assert(sizeof(ulvo_config) == 24);
static_assert(offsetof(ulvo_config, host_working_set_size) == 0);
static_assert(offsetof(ulvo_config, dq_delay_seconds) == 4);
static_assert(offsetof(ulvo_config, dq_size) == 8);
static_assert(offsetof(ulvo_config, dq_high_watermark) == 12);
static_assert(offsetof(ulvo_config, dq_low_watermark) == 16);
static_assert(offsetof(ulvo_config, shared_memory_key) == 20);

// Where both programs read their settings from.
inline constexpr char ULVO_CONFIG_PATH[] = "/etc/opt/kel/kel-ulvo/kel-ulvo.conf";
// The key of the status block when none is configured.
inline constexpr int32_t DEFAULT_SHARED_MEMORY_KEY = 0x4b554c56;

// The optional settings beyond the six: answer credit and the kernel's fast path. Not in the
// status block; an unset key is silent and leaves the feature off.
struct ulvo_optional_config {
    int32_t new_host_credit;   // the host's starting credit; 0: answer credit off
    int32_t credit_ceiling;    // the most credit it can hold; 0: the start itself
    int32_t kernel_fast_path;  // 1: packets to the working set pass in the kernel; 0: off
};

// Copies the key's value from the environment, else from the configuration file, into dest
// (length bytes, cut to fit): 0 found, 1 not set.
int getvar(const char *key, int length, char *dest);
// Fills the record from the file and the environment: 0 all six set, 1 a value refused (reported).
int read_config(ulvo_config *config);
// Fills the record from the file and the environment, 0 for an unset key: 0, or 1 when a value
// is refused (reported as read_config reports its keys).
int read_optional_config(ulvo_optional_config *optional);
// The shared_memory_key that read_config would take, without any report: 0 found (or the
// default), 1 when the configured value would be refused.
int peek_shared_memory_key(int32_t *key);
// Warns about each line of the configuration file that sets no known key, or is not
// KEY=NUMBER (a misspelt key would otherwise be ignored in silence, and "5o" read as 5): the
// number of warnings. Changes nothing of what the readers take.
int lint_config();
