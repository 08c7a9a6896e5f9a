// What the library's start-up needs of the writer's hold on the daemon's block; for the
// library's own sources, not for the programs.
#pragma once

#include "config.h"

// True while this process holds a block that it made or took over.
bool shm_block_made();
// Creates the block under the configured key, or takes over a stale one of this build, and
// holds it for the writers: 0, or 1 after a report.
int make_shm_block(const ulvo_config *config);
