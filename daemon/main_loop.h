// The main thread's work once start-up is done: it sends the system-log messages the other
// threads queue, runs the rule guard every RULE_GUARD_PERIOD_MS and when the helper asks, and,
// with a watchdog, checks the workers every tick. It sleeps until the next of these or until
// another thread wakes it.
#pragma once

// Sets up the wake-up; before any thread exists. 0, or 1 reported.
int main_loop_setup();
// Wakes the main thread for queued work (async-signal-safe).
void wake_main_thread();
[[noreturn]] void main_thread_loop();
