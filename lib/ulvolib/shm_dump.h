// Dumps of the whole status block for the status tool's diagnostic options.
#pragma once

#include <cstdint>

// Write the whole block, field by field or in hexadecimal, to the library's output: 0 or 1.
int debug_dump_shm_struct_unlocked(int32_t key);
int debug_dump_shm_unlocked(int32_t key);
