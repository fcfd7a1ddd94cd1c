/* SPDX-License-Identifier: BSD-2-Clause */
// The clients of a soak that misbehave beside the measured load: one kind connects and
// vanishes mid-request, another connects and stays silent until the daemon gives up on it.
// Each runs its loop on a thread of its own and counts what it did, so that the daemon's
// counters can be checked against these tallies after the run. A third kind holds many idle
// connections on one thread, for any server, re-opening each the server ends.
//
// Thread safety: each loop writes only its own tally; several loops may run at once on
// different tallies. The tally is read after the loop has returned.
#ifndef VRELL_TOOLS_BENCH_SOAK_H_
#define VRELL_TOOLS_BENCH_SOAK_H_

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

// A vanishing client pauses this long between connections, so that it stays a small share of
// the load and the measured clients keep the daemon busy.
constexpr int BENCH_SOAK_VANISH_PAUSE_MS = 10;

struct bench_soak_tally {
  uint64_t vanished = 0;                           // connections closed before a whole request
  std::map<std::string, uint64_t> silent_replies;  // replies to silent connections, by code
  std::map<std::string, uint64_t> errors;          // failures: "vanish connect", "silent timeout"
};

// Until stop is set: connects, sends the first half of request (every other time nothing at
// all), closes without reading, pauses BENCH_SOAK_VANISH_PAUSE_MS. The daemon answers each
// such connection 210 to nobody. timeout_ms bounds the connect and the send.
void bench_soak_vanish(const char *socket_path, const std::string &request, int timeout_ms,
                       const std::atomic<bool> *stop, bench_soak_tally *tally);

// Until stop is set: connects, sends nothing, and waits at most wait_ms for the reply, which
// the daemon sends when its receive time-out has run out; counts it by its leading code. A
// wait under way when stop is set is seen to its end, so that every silent connection the
// daemon has counted is in the tally too.
void bench_soak_silent(const char *socket_path, int wait_ms, const std::atomic<bool> *stop,
                       bench_soak_tally *tally);

// The connections of bench_soak_idle, opened by bench_soak_idle_open before the measured load
// starts.
struct bench_soak_idle_set {
  std::vector<int> fds;
  uint64_t reopened = 0;                    // connections the server ended and were opened again
  std::map<std::string, uint64_t> replies;  // what the server sent before it ended one, by code
  uint64_t failed = 0;                      // connects that failed (tried again)
};

// Opens count connections to the server at socket_path, each bounded by timeout_ms, that send
// nothing. Returns the number opened.
int bench_soak_idle_open(const char *socket_path, int count, int timeout_ms,
                         bench_soak_idle_set *set);

// Until stop is set: watches every connection of set on one thread and, whenever the server
// ends one (it answers, or closes it), counts the first three bytes it sent and opens another in
// its place, so that the count of idle connections stays the same. Closes them all at the end.
// Works with any server, since it never sends.
void bench_soak_idle(const char *socket_path, int timeout_ms, const std::atomic<bool> *stop,
                     bench_soak_idle_set *set);

#endif  // VRELL_TOOLS_BENCH_SOAK_H_
