// kel-ulvod's start-up: the list of steps from the first line to the running daemon.
#pragma once

// The daemon's whole life: start-up, then the main thread's loop.
[[noreturn]] void ulvo_main();
// --check-config: reads the configuration as a start would (file and environment), prints the
// values a start would use on standard output and every problem on standard error, and touches
// nothing else: 0 when a start would take it, 1 when it would refuse it.
int ulvo_check_config();
