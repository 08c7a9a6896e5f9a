// kel-ulvod's start-up: the list of steps from the first line to the running daemon.
#pragma once

// The daemon's whole life: start-up, then the main thread's loop.
[[noreturn]] void ulvo_main();
