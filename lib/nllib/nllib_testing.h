// A view into nllib's private state, for the unit tests only.
#pragma once

#include <cstdint>

// How many times nl_create_filter has been called.
uint32_t nl_call_count_for_test();
