// The library's start-up: its configuration, then the request pool, the known-host ring and
// the status block that the daemon needs before its threads start.
#pragma once

#include "config.h"

// Reads the configuration into the library's own record: 0, or 1 when it was refused.
int init_ulvolib();
// The library's configuration once init_ulvolib has succeeded, else null.
const ulvo_config *ulvolib_config();
// Creates the request pool, the known-host ring and the status block, or takes over a stale
// block: 0 when this process owns the block, 1 after a report.
int alloc_mem(const ulvo_config *config);
