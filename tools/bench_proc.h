/* SPDX-License-Identifier: BSD-2-Clause */
// What a server process has cost so far, as /proc shows it: the CPU time of all its threads
// and their context switches. vrell-bench reads it before and after a measured run and reports
// both per request answered, beside the throughput, so that a change can be judged where the
// throughput alone is within the noise. Linux only.
//
// Thread safety: every call is independent; any number of threads may call at once. Never
// prints.
#ifndef VRELL_TOOLS_BENCH_PROC_H_
#define VRELL_TOOLS_BENCH_PROC_H_

#include <stdint.h>

struct bench_proc_usage {
  uint64_t cpu_ticks;         // utime + stime of the whole process, in clock ticks
  uint64_t context_switches;  // voluntary and involuntary, summed over its threads
};

// Reads the usage of process pid from /proc/PID/stat and every /proc/PID/task/TID/status.
// Returns 0 with usage filled; -1 when the process cannot be read (gone, or not ours). The
// kernel keeps the CPU time of threads that have ended, but not their context switches: those
// are exact only for a server whose threads live as long as it does.
int bench_proc_read(int pid, bench_proc_usage *usage);

// Reads utime + stime from the text of a /proc/PID/stat line into ticks. The process name
// stands in parentheses and may itself hold spaces and parentheses, so the fields are counted
// from the last ")". Returns 0; -1 when the text is not such a line.
int bench_proc_parse_stat(const char *text, uint64_t *ticks);

// Reads voluntary_ctxt_switches + nonvoluntary_ctxt_switches from the text of a
// /proc/PID/status file into switches. Returns 0; -1 when either line is missing.
int bench_proc_parse_switches(const char *text, uint64_t *switches);

// Returns the clock ticks per second of cpu_ticks (sysconf(_SC_CLK_TCK)).
long bench_proc_ticks_per_second(void);

#endif  // VRELL_TOOLS_BENCH_PROC_H_
