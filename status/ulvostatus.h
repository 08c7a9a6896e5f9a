// ulvostatus: prints the running daemon's status or answers single questions for scripts.
#pragma once

// Exit statuses besides 0 and the 1 of "-vla_occurring".
inline constexpr int ULVOSTATUS_USAGE = 100;
inline constexpr int ULVOSTATUS_FAILED = 101;
// -metrics only: standard output took an error, so what it holds may be cut short.
inline constexpr int ULVOSTATUS_WRITE_FAILED = 102;

// The whole tool: the arguments as main has them, the exit status as result.
int ulvostatus_main(int argc, char **argv);
// Carries out the sub-options that follow "-ProprietaryInterface".
int do_proprietary_iface_opts(int count, char **options);
// Prints the status report: 0, or 101 when the block could not be read.
int print_stats();
// Writes the metrics in Prometheus text format: 0, also without a daemon, or 102 when standard
// output took an error.
int print_metrics();
