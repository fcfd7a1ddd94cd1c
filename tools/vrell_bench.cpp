// SPDX-License-Identifier: BSD-2-Clause
// vrell-bench: a load generator for the daemon. Client threads each loop connect, send one
// request, receive the reply, close, with a mix of queries, adds and deletes over a set of
// paths, until a count or a duration is reached. It reports requests per second, the latency
// percentiles, a histogram of reply codes and every error by kind. The redis and memcached
// modes run the same loop against redis-server (SET with EX, GET, DEL) and memcached (set with
// an expiry, get, delete), the peers a user might pick instead. The scan workload acts as
// scanners do: query a file, and add its verdict when the cache has none; it reports the
// share of queries answered from the cache each second. Given the server's pid, it also reports
// the server's CPU time and context switches per request; for a soak, extra clients vanish
// mid-request or stay silent beside the load. Paced (--interval), a client sends one request at
// each tick instead of one after the other, and --idle holds idle connections open beside it
// against any of the three servers: what a scanner sees while others connect and say nothing.
#include <stdint.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "tools/bench_load.h"
#include "tools/bench_options.h"
#include "tools/bench_proc.h"
#include "tools/bench_report.h"
#include "tools/bench_soak.h"

namespace {

// The daemon answers a client that has sent nothing after this long; a silent client waits for
// that and the time-out on top.
constexpr int kDaemonSilenceMs = 5000;

// What one run holds, from the start of its threads to its report.
struct bench_run {
  bench_load_shared shared;
  std::vector<std::string> paths;
  std::vector<double> popularity;  // the scan workload's
  std::string half_request;        // what a vanishing client sends the first half of
  std::vector<bench_load_tally> tallies;
  std::vector<bench_soak_tally> soak_tallies;
  std::vector<std::thread> clients;
  bench_soak_idle_set idle;
  // Held until the measured clients are done, so that a request still waiting at the end is
  // not let through by the idle connections closing.
  std::atomic<bool> idle_stop{false};
  std::thread idle_holder;
  bool progress = false;  // stderr is a terminal, which is shown how far the run has come
  uint64_t start = 0;
  // The scan workload's counts at the end of each whole second, and the totals they start from.
  std::vector<uint64_t> queries_per_second, hits_per_second;
  uint64_t queries_before = 0, hits_before = 0;
};

std::vector<std::string> make_paths(const bench_options &options) {
  std::vector<std::string> paths;
  char path[VRELL_CLIENT_REQUEST_MAX];
  const int path_count = options.scan ? options.files : options.paths;
  for (int i = 0; i < path_count; i++) {
    snprintf(path, sizeof path, "%s/d%03d/file%06d.bin", options.prefix.c_str(), i % 100, i);
    paths.emplace_back(path);
  }
  return paths;
}

void start_idle(const bench_options &options, bench_run *run) {
  // Each idle connection is a descriptor of ours.
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (bench_soak_idle_open(options.socket_path, options.idle, options.timeout_ms, &run->idle) <
      options.idle)
    fprintf(stderr, "vrell-bench: %llu idle connections could not be opened\n",
            static_cast<unsigned long long>(run->idle.failed));
  run->idle_holder = std::thread(bench_soak_idle, options.socket_path, options.timeout_ms,
                                 &run->idle_stop, &run->idle);
}

// Starts the misbehaving clients, then the measured ones, whose run starts now.
void start_clients(const bench_options &options, bench_run *run) {
  run->tallies.resize(static_cast<size_t>(options.concurrency));
  run->soak_tallies.resize(static_cast<size_t>(options.vanish + options.silent));
  run->half_request = bench_load_query(run->paths[0]);
  for (int i = 0; i < options.vanish + options.silent; i++) {
    if (i < options.vanish)
      run->clients.emplace_back(bench_soak_vanish, options.socket_path,
                                std::cref(run->half_request), options.timeout_ms, &run->shared.stop,
                                &run->soak_tallies[i]);
    else
      run->clients.emplace_back(bench_soak_silent, options.socket_path,
                                kDaemonSilenceMs + options.timeout_ms, &run->shared.stop,
                                &run->soak_tallies[i]);
  }
  run->start = bench_load_now_ns();
  for (int i = 0; i < options.concurrency; i++) {
    unsigned seed = options.seed * 7919u + static_cast<unsigned>(i);
    if (options.scan)
      run->clients.emplace_back(bench_load_scan, std::cref(options), std::cref(run->paths),
                                std::cref(run->popularity), seed, i, &run->shared,
                                &run->tallies[i]);
    else
      run->clients.emplace_back(bench_load_mix, std::cref(options), std::cref(run->paths), seed,
                                run->start, &run->shared, &run->tallies[i]);
  }
}

// Takes the scan workload's counts of every whole second up to now.
void sample_seconds(const bench_options &options, uint64_t now, bench_run *run) {
  while (now >= run->start + (run->queries_per_second.size() + 1) * 1000000000u) {
    uint64_t q = run->shared.scan_queries.load(), h = run->shared.scan_hits.load();
    run->queries_per_second.push_back(q - run->queries_before);
    run->hits_per_second.push_back(h - run->hits_before);
    run->queries_before = q;
    run->hits_before = h;
    if (!options.json)
      bench_report_second(run->queries_per_second.size(), run->hits_per_second.back(),
                          run->queries_per_second.back(), run->progress);
  }
}

// Waits for the end of the duration or of the count, showing how far the run has come.
void keep_time(const bench_options &options, bench_run *run) {
  const uint64_t end = options.duration > 0
                           ? run->start + static_cast<uint64_t>(options.duration * 1e9)
                           : UINT64_MAX;
  uint64_t shown = run->start;
  for (;;) {
    uint64_t now = bench_load_now_ns();
    if (options.scan) sample_seconds(options, now, run);
    const uint64_t answered = run->shared.answered.load();
    const uint64_t failed = run->shared.failed.load();
    if (now >= end || (options.count > 0 && answered + failed >= options.count)) break;
    if (run->progress && now - shown >= 500000000u) {
      shown = now;
      bench_report_progress((now - run->start) / 1e9, answered, failed);
    }
    usleep(10000);
  }
}

// Stops every client and the idle connections. Returns the seconds the run lasted: until its
// last request ended, so that requests still under way when the time was up count with the time
// they took.
double stop_clients(bench_run *run) {
  run->shared.stop.store(true);
  for (auto &t : run->clients) t.join();
  run->idle_stop.store(true);
  if (run->idle_holder.joinable()) run->idle_holder.join();
  uint64_t last = run->start;
  for (const auto &t : run->tallies) last = std::max(last, t.last_ns);
  return (last - run->start) / 1e9;
}

}  // namespace

int main(int argc, char *argv[]) {
  bench_options options;
  int parsed = bench_options_parse(argc, argv, &options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  bench_run run;
  run.paths = make_paths(options);
  if (options.preload) bench_load_preload(options, run.paths);
  if (options.scan) run.popularity = bench_load_zipf(run.paths.size());
  bench_proc_usage server_before = {}, server_after = {};
  bool server_read =
      options.server_pid > 0 && bench_proc_read(options.server_pid, &server_before) == 0;
  if (options.idle > 0) start_idle(options, &run);
  start_clients(options, &run);
  run.progress = isatty(STDERR_FILENO) == 1;
  keep_time(options, &run);
  double seconds = stop_clients(&run);
  server_read = server_read && bench_proc_read(options.server_pid, &server_after) == 0;
  if (options.server_pid > 0 && !server_read)
    fprintf(stderr, "vrell-bench: cannot read /proc/%d: no server usage\n", options.server_pid);
  if (run.progress) bench_report_progress_end();

  bench_report r = bench_report_summarise(run.tallies, run.soak_tallies, seconds);
  r.server_read = server_read;
  r.switches_known = server_after.context_switches >= server_before.context_switches;
  r.server = {
      server_after.cpu_ticks - server_before.cpu_ticks,
      r.switches_known ? server_after.context_switches - server_before.context_switches : 0};
  r.queries = run.queries_per_second;
  r.hits = run.hits_per_second;
  r.planned = bench_load_planned(options) * static_cast<uint64_t>(options.concurrency);
  r.idle = &run.idle;
  bench_report_print(options, r);
  // A run in which nothing was answered measured nothing.
  return r.answered > 0 ? 0 : 1;
}
