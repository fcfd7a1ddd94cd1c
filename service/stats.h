/* SPDX-License-Identifier: BSD-2-Clause */
// The daemon's counters: what the requests were answered since the start, how many
// connections came, how busy the workers and the connection queue are. The "S" request reads
// them as one line, and the orderly stop logs the same fields. A counter costs the request
// path one relaxed atomic increment and no lock; each sits on a cache line of its own, so
// workers on different cores do not take turns on one line.
//
// Thread safety: every call may run on any thread at any time. The counters are read one by
// one, so a line read while requests run mixes moments a few requests apart.
#ifndef VRELL_SERVICE_STATS_H_
#define VRELL_SERVICE_STATS_H_

#include <stddef.h>
#include <stdint.h>

#include "cache/cache.h"

// The counters that only grow. Which reply codes each one counts is stated beside it.
enum stats_counter : int {
  STATS_HITS,          // 205 and 206
  STATS_MISSES,        // 209
  STATS_STALE,         // 207
  STATS_ADDED,         // 201
  STATS_MODIFIED,      // 202
  STATS_REFUSED_FULL,  // 203
  STATS_DELETED,       // 204
  STATS_CLEARED,       // 211
  STATS_INVALID,       // 210
  STATS_ERRORS,        // 208
  STATS_TIMEOUTS,      // receive deadlines that ran out
  STATS_CONNECTIONS,   // connections accepted
  STATS_COUNTERS       // the number of counters
};
// What the replies 101 and 102 count under: nothing.
constexpr stats_counter STATS_UNCOUNTED = STATS_COUNTERS;

// The gauges of the worker pool and the connection queue at one moment, for operators.
struct stats_gauges {
  int32_t threads;     // workers
  int32_t busy;        // workers serving a connection
  int32_t queued;      // connections waiting in the queue
  int32_t queued_max;  // the most that have waited at once
  int32_t waiting;     // connections that have sent nothing yet, held off the queue
};

// Reads the gauges of source into out. Returns 0; -1 when it cannot.
using stats_gauge_reader = int (*)(const void *source, stats_gauges *out);

// The buffer of the stats reply. Every field at its widest fits, so the line is never cut.
constexpr int STATS_REPLY_MAX = 1024;
// A full table is logged at most this often, with the refusals since the last line.
constexpr int STATS_FULL_WARNING_EVERY_S = 60;

// Records the start of serving: uptime counts from here.
void stats_start(void);

// Adds one to the counter.
void stats_count(stats_counter counter);

// Counts a reply under its counter, the one its row of the protocol's tables names;
// STATS_UNCOUNTED counts nothing.
void stats_count_reply(stats_counter counter);

// Logs what a reply counted under counter calls for, once it has been sent and its connection
// closed: for STATS_REFUSED_FULL the full-table warning, the first one at once, then at most one
// every STATS_FULL_WARNING_EVERY_S seconds with the count since the last line. cache may be
// null; it only names the capacity in the warning.
void stats_after_reply(stats_counter counter, const verdict_cache *cache);

// Returns the counter's value.
uint64_t stats_get(stats_counter counter);

// Writes the fields "uptime=N;entries=N;...;queued_max=N;waiting=N;log_dropped=N" into out (size
// bytes, terminated). entries takes the cache's lock for a moment; a null cache gives 0 entries
// and capacity, null gauges give 0 for threads, busy, queued, queued_max and waiting. Returns the
// length of the text, cut to size - 1.
size_t stats_fields(char *out, size_t size, verdict_cache *cache, const stats_gauges *gauges);

// Hands down the reader of the gauges that stats_reply reports: the worker pool sets it as it
// starts and clears it (null) once its workers have ended, so a worker never reaches up into
// the pool. Call it while no worker runs.
void stats_set_gauges(stats_gauge_reader read, const void *source);

// For tests: replaces the monotonic seconds that time the full-table warning. Null restores
// the clock. Must not be changed while other threads count.
void stats_set_clock(int64_t (*seconds)(void));

// Writes the stats reply, STATS_TEXT (base/wire.h), the fields and "\r\n", into reply
// (STATS_REPLY_MAX bytes), with the gauges the reader given to stats_set_gauges reads now, or 0s
// without one.
void stats_reply(char *reply, verdict_cache *cache);

#endif  // VRELL_SERVICE_STATS_H_
