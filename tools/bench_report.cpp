// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_report.h"

#include <stdio.h>

#include <algorithm>

#include "tools/bench_reply.h"

namespace {

double share(uint64_t part, uint64_t whole) {
  return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0;
}

double rate(const bench_report &r) {
  return r.seconds > 0 ? static_cast<double>(r.answered) / r.seconds : 0;
}

void print_json_map(const std::map<std::string, uint64_t> &map) {
  printf("{");
  const char *separator = "";
  for (const auto &[kind, n] : map) {
    printf("%s\"%s\": %llu", separator, kind.c_str(), static_cast<unsigned long long>(n));
    separator = ", ";
  }
  printf("}");
}

void print_json_array(const char *name, const std::vector<uint64_t> &values,
                      const std::vector<uint64_t> *whole) {
  printf(", \"%s\": [", name);
  for (size_t i = 0; i < values.size(); i++) {
    if (whole == nullptr)
      printf("%s%llu", i ? ", " : "", static_cast<unsigned long long>(values[i]));
    else
      printf("%s%.4f", i ? ", " : "", share(values[i], (*whole)[i]));
  }
  printf("]");
}

// The server's CPU time in microseconds and its context switches, each per request answered.
double server_cpu_us(const bench_report &r) {
  double ticks = static_cast<double>(bench_proc_ticks_per_second());
  return r.answered > 0 && ticks > 0 ? static_cast<double>(r.server.cpu_ticks) * 1e6 / ticks /
                                           static_cast<double>(r.answered)
                                     : 0;
}
double server_switches(const bench_report &r) {
  return share(r.server.context_switches, r.answered);
}

void print_json(const bench_options &options, const bench_report &r, uint64_t queries,
                uint64_t hits) {
  const char *mode = options.scan ? "scan" : bench_options_protocol_name(options.speaks);
  printf(
      "{\"mode\": \"%s\", \"concurrency\": %d, \"seconds\": %.3f, \"answered\": %llu, "
      "\"errors\": %llu, \"requests_per_second\": %.1f, \"latency_us\": {\"p50\": %.1f, "
      "\"p90\": %.1f, \"p99\": %.1f, \"p99.9\": %.1f, \"max\": %.1f}, \"replies\": ",
      mode, options.concurrency, r.seconds, static_cast<unsigned long long>(r.answered),
      static_cast<unsigned long long>(r.errors), rate(r), r.p50, r.p90, r.p99, r.p999, r.max);
  print_json_map(r.replies);
  printf(", \"error_kinds\": ");
  print_json_map(r.error_kinds);
  printf(", \"sent\": ");
  print_json_map(r.sent);
  if (options.vanish > 0 || options.silent > 0) {
    printf(", \"vanished\": %llu, \"silent_replies\": ",
           static_cast<unsigned long long>(r.soak.vanished));
    print_json_map(r.soak.silent_replies);
  }
  if (options.server_pid > 0 && r.server_read) {
    printf(
        ", \"server\": {\"pid\": %d, \"cpu_ticks\": %llu, \"clock_ticks_per_second\": %ld, "
        "\"cpu_us_per_request\": %.2f",
        options.server_pid, static_cast<unsigned long long>(r.server.cpu_ticks),
        bench_proc_ticks_per_second(), server_cpu_us(r));
    if (r.switches_known)
      printf(", \"context_switches\": %llu, \"context_switches_per_request\": %.3f}",
             static_cast<unsigned long long>(r.server.context_switches), server_switches(r));
    else
      printf(", \"context_switches\": null, \"context_switches_per_request\": null}");
  } else if (options.server_pid > 0) {
    printf(", \"server\": null");
  }
  if (options.interval_ms > 0)
    printf(", \"interval_ms\": %d, \"planned\": %llu", options.interval_ms,
           static_cast<unsigned long long>(r.planned));
  if (options.idle > 0) {
    printf(", \"idle\": %d, \"idle_reopened\": %llu, \"idle_failed\": %llu, \"idle_replies\": ",
           options.idle, static_cast<unsigned long long>(r.idle->reopened),
           static_cast<unsigned long long>(r.idle->failed));
    print_json_map(r.idle->replies);
  }
  if (options.scan) {
    printf(", \"hit_rate\": %.4f", share(hits, queries));
    print_json_array("hit_rate_per_second", r.hits, &r.queries);
    print_json_array("queries_per_second", r.queries, nullptr);
    print_json_array("hits_per_second", r.hits, nullptr);
  }
  printf("}\n");
}

void print_text(const bench_options &options, const bench_report &r, uint64_t queries,
                uint64_t hits) {
  const char *mode = options.scan ? "scan" : bench_options_protocol_name(options.speaks);
  printf("%s at %s: %d clients, %.2f s\n", mode, options.socket_path, options.concurrency,
         r.seconds);
  if (options.scan)
    printf("hit rate  %.3f of %llu queries\n", share(hits, queries),
           static_cast<unsigned long long>(queries));
  printf("requests  %llu answered, %llu errors, %.0f per second\n",
         static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.errors),
         rate(r));
  if (options.interval_ms > 0)
    printf("paced     one every %d ms: %llu of %llu answered\n", options.interval_ms,
           static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.planned));
  if (options.idle > 0) {
    printf("idle      %d held, %llu re-opened, %llu connects failed", options.idle,
           static_cast<unsigned long long>(r.idle->reopened),
           static_cast<unsigned long long>(r.idle->failed));
    for (const auto &[code, n] : r.idle->replies)
      printf(", %s: %llu", code.c_str(), static_cast<unsigned long long>(n));
    printf("\n");
  }
  printf("latency   p50 %.1f us, p90 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us\n", r.p50,
         r.p90, r.p99, r.p999, r.max);
  if (options.server_pid > 0 && r.server_read)
    printf("server    %.2f us CPU and %.3f context switches per request\n", server_cpu_us(r),
           r.switches_known ? server_switches(r) : -1.0);
  printf("replies  ");
  for (const auto &[kind, n] : r.replies)
    printf(" %s: %llu", kind.c_str(), static_cast<unsigned long long>(n));
  if (options.vanish > 0 || options.silent > 0) {
    printf("\nsoak      vanished: %llu", static_cast<unsigned long long>(r.soak.vanished));
    for (const auto &[code, n] : r.soak.silent_replies)
      printf(", silent %s: %llu", code.c_str(), static_cast<unsigned long long>(n));
  }
  printf("\nerrors   ");
  if (r.error_kinds.empty()) printf(" none");
  for (const auto &[kind, n] : r.error_kinds)
    printf(" %s: %llu", kind.c_str(), static_cast<unsigned long long>(n));
  printf("\n");
}

}  // namespace

bench_report bench_report_summarise(const std::vector<bench_load_tally> &tallies,
                                    const std::vector<bench_soak_tally> &soak_tallies,
                                    double seconds) {
  bench_report r = {};
  r.seconds = seconds;
  std::vector<uint64_t> all;
  for (const auto &t : soak_tallies) {
    r.soak.vanished += t.vanished;
    for (const auto &[code, n] : t.silent_replies) r.soak.silent_replies[code] += n;
    for (const auto &[kind, n] : t.errors) {
      r.error_kinds[kind] += n;
      r.errors += n;
    }
  }
  for (const auto &t : tallies) {
    all.insert(all.end(), t.latency_ns.begin(), t.latency_ns.end());
    for (const auto &[kind, n] : t.sent) r.sent[kind] += n;
    for (const auto &[kind, n] : t.replies) r.replies[kind] += n;
    for (const auto &[kind, n] : t.errors) {
      r.error_kinds[kind] += n;
      r.errors += n;
    }
  }
  std::sort(all.begin(), all.end());
  r.answered = all.size();
  r.p50 = bench_reply_percentile_us(all, 0.50);
  r.p90 = bench_reply_percentile_us(all, 0.90);
  r.p99 = bench_reply_percentile_us(all, 0.99);
  r.p999 = bench_reply_percentile_us(all, 0.999);
  r.max = bench_reply_percentile_us(all, 1.0);
  return r;
}

void bench_report_print(const bench_options &options, const bench_report &r) {
  uint64_t queries = 0, hits = 0;
  for (size_t i = 0; i < r.queries.size(); i++) queries += r.queries[i], hits += r.hits[i];
  if (options.json)
    print_json(options, r, queries, hits);
  else
    print_text(options, r, queries, hits);
}

void bench_report_second(size_t second, uint64_t hits, uint64_t queries, bool progress) {
  if (progress) fprintf(stderr, "\r\033[K");
  printf("second %3zu  hit rate %.3f  %llu queries\n", second, share(hits, queries),
         static_cast<unsigned long long>(queries));
  fflush(stdout);
}

void bench_report_progress(double elapsed, uint64_t answered, uint64_t failed) {
  fprintf(stderr, "\r%6.1f s  %10llu answered  %8.0f/s  %llu errors ", elapsed,
          static_cast<unsigned long long>(answered), answered / elapsed,
          static_cast<unsigned long long>(failed));
}

void bench_report_progress_end(void) {
  fprintf(stderr, "\r\033[K");
}
