/* SPDX-License-Identifier: BSD-2-Clause */
// vrell-bench's report: the clients' tallies merged into one summary of a run, printed as text
// or as one JSON object, and the lines shown while a run goes on.
//
// Thread safety: every call is independent; the printing calls write to stdout or stderr and
// are made by the thread that keeps time.
#ifndef VRELL_TOOLS_BENCH_REPORT_H_
#define VRELL_TOOLS_BENCH_REPORT_H_

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "tools/bench_load.h"
#include "tools/bench_options.h"
#include "tools/bench_proc.h"
#include "tools/bench_soak.h"

struct bench_report {
  double seconds;
  uint64_t answered;
  uint64_t errors;
  double p50, p90, p99, p999, max;  // microseconds
  std::map<std::string, uint64_t> sent;
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> error_kinds;
  // The misbehaving clients' tallies, merged; their failures are in error_kinds.
  bench_soak_tally soak;
  // The server's usage over the run; valid when server_read. Its context switches are of the
  // threads alive at the end, unknown when threads that had switched ended during the run.
  bool server_read, switches_known;
  bench_proc_usage server;
  // The scan workload's queries answered, and answered from the cache, in each whole second.
  std::vector<uint64_t> queries, hits;
  uint64_t planned;  // the requests of paced clients, 0 when not paced
  const bench_soak_idle_set *idle;
};

// Returns the run of seconds summed up from the tallies of the measured clients and of the
// misbehaving ones: counts, replies and errors by kind, the latency percentiles. The caller
// fills in the server's usage, the scan's seconds, planned and idle.
bench_report bench_report_summarise(const std::vector<bench_load_tally> &tallies,
                                    const std::vector<bench_soak_tally> &soak_tallies,
                                    double seconds);

// Prints the report to stdout: as one JSON object with --json, else as lines of text.
void bench_report_print(const bench_options &options, const bench_report &r);

// Prints the scan workload's line of one whole second to stdout: its hit rate and queries.
// progress: the progress line on stderr, a terminal, is cleared first.
void bench_report_second(size_t second, uint64_t hits, uint64_t queries, bool progress);

// Prints how far the run has come to stderr, over the last such line.
void bench_report_progress(double elapsed, uint64_t answered, uint64_t failed);

// Clears the progress line on stderr.
void bench_report_progress_end(void);

#endif  // VRELL_TOOLS_BENCH_REPORT_H_
