// For tests only: a shorter limit for a helper run.
#pragma once

#include <cstdint>

// Sets how long a helper may run before it is ended (HELPER_TIME_LIMIT_MS by default).
void set_helper_time_limit_for_test(int64_t ms);
