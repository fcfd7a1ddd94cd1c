/* SPDX-License-Identifier: BSD-2-Clause */
// vrell-bench's command line: what one run does, and the table of its options, one row each,
// from which the usage text, getopt's tables and the parse all come. Adding an option is adding
// a row.
//
// Thread safety: bench_options_parse uses getopt's globals; one thread at a time. The table
// and the usage text are constant.
#ifndef VRELL_TOOLS_BENCH_OPTIONS_H_
#define VRELL_TOOLS_BENCH_OPTIONS_H_

#include <stdint.h>

#include <span>
#include <string>

enum class bench_protocol { vrell, redis, memcached };

struct bench_options {
  const char *socket_path = nullptr;
  int concurrency = 1;
  uint64_t count = 0;
  double duration = 5;
  int timeout_ms = 2000;
  int mix[3] = {90, 8, 2};  // queries, adds, deletes
  int paths = 1024;
  std::string prefix = "/srv/scan";
  bool preload = false;
  unsigned seed = 1;
  bench_protocol speaks = bench_protocol::vrell;
  bool json = false;
  bool scan = false;
  int files = 500;
  int once_percent = 30;
  int server_pid = 0;  // 0: the server's usage is not read
  int vanish = 0;
  int silent = 0;
  int idle = 0;
  int interval_ms = 0;  // 0: back to back
};

// One option. value is the name of its argument in the usage text, null for an option without
// one; help may run over several lines, split by "\n". set stores the argument (null for a
// flag) in options and returns false when it is not a valid value; a null set marks --help.
struct bench_option_row {
  const char *name;
  char letter;  // 0: long form only
  const char *value;
  const char *help;
  bool (*set)(const char *argument, bench_options *options);
};

// Returns every option, in the order of the usage text.
std::span<const bench_option_row> bench_options_rows(void);

// Returns the usage text, made once from the rows.
const std::string &bench_options_usage(void);

// Reads the command line into options. Returns 0 with options filled; 1 after printing the
// usage text to stdout (--help); 2 after printing what was wrong, if getopt has not, and the
// usage text to stderr. Starts from getopt's optind as it stands.
int bench_options_parse(int argc, char *argv[], bench_options *options);

// Returns "vrell", "redis" or "memcached".
const char *bench_options_protocol_name(bench_protocol p);

#endif  // VRELL_TOOLS_BENCH_OPTIONS_H_
