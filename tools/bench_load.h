/* SPDX-License-Identifier: BSD-2-Clause */
// vrell-bench's load: the client loops that connect, send one request, receive the reply and
// close, in the protocol of the run (vrell, redis-server's RESP or memcached's text protocol),
// and what each client saw. The mix loop sends queries, adds and deletes over a set of paths;
// the scan loop acts as a scanner does, adding a verdict when a query found none.
//
// Thread safety: each loop writes only its own tally and the atomics of the shared state it is
// given; any number of loops may run at once. A tally is read after its loop has returned.
#ifndef VRELL_TOOLS_BENCH_LOAD_H_
#define VRELL_TOOLS_BENCH_LOAD_H_

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "tools/bench_options.h"

// What one client thread saw; merged after every thread has ended.
struct bench_load_tally {
  // 64 bits: a reply that waited for a silent client's 5 s would not fit 32 bits of nanoseconds.
  std::vector<uint64_t> latency_ns;
  std::map<std::string, uint64_t> sent;  // requests by letter (Q, A, D)
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> errors;
  uint64_t last_ns = 0;  // when its last request ended
};

// What the client threads and the thread that keeps time share.
struct bench_load_shared {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> tickets{0};  // requests begun, against --count
  std::atomic<uint64_t> answered{0};
  std::atomic<uint64_t> failed{0};
  // The scan loop's queries answered and those answered from the cache.
  std::atomic<uint64_t> scan_queries{0};
  std::atomic<uint64_t> scan_hits{0};
};

// Returns the monotonic clock in nanoseconds, the clock of every latency and deadline here.
uint64_t bench_load_now_ns(void);

// Returns the vrell query of path, the request that a vanishing client sends half of.
std::string bench_load_query(const std::string &path);

// Adds every path once, one after the other, so that queries find entries. Prints to stderr how
// many failed, if any.
void bench_load_preload(const bench_options &options, const std::vector<std::string> &paths);

// Returns the requests one paced client makes: one at the start and one at each tick until the
// end; 0 when the run is not paced.
uint64_t bench_load_planned(const bench_options &options);

// Until shared->stop is set, the count is reached or, paced, the last tick is served: requests
// of the mix over paths, drawn from seed. start is when the run began, on bench_load_now_ns.
void bench_load_mix(const bench_options &options, const std::vector<std::string> &paths,
                    unsigned seed, uint64_t start, bench_load_shared *shared,
                    bench_load_tally *tally);

// Returns the cumulative weights of Zipf-like popularity over n files: file i is drawn with
// weight 1 / (i + 1).
std::vector<double> bench_load_zipf(size_t n);

// Until shared->stop is set or the count is reached: a scanner, client number client, over files
// drawn by popularity (bench_load_zipf) and paths seen once.
void bench_load_scan(const bench_options &options, const std::vector<std::string> &files,
                     const std::vector<double> &popularity, unsigned seed, int client,
                     bench_load_shared *shared, bench_load_tally *tally);

#endif  // VRELL_TOOLS_BENCH_LOAD_H_
