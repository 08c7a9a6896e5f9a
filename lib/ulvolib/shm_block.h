// The status block's whole interface for a program that uses all of it: the layout, the
// library's start-up, the daemon's writer, the status tool's reader and the dumps. Code that
// needs one part includes that part's header.
#pragma once

#include "shm_dump.h"
#include "shm_layout.h"
#include "shm_reader.h"
#include "shm_writer.h"
#include "ulvolib.h"
