// The clients of a soak that misbehave beside the measured load: one kind connects and
// vanishes mid-request, the other connects and stays silent until the daemon gives up on it.
// Each runs its loop on a thread of its own and counts what it did, so that the daemon's
// counters can be checked against these tallies after the run.
//
// Thread safety: each loop writes only its own tally; several loops may run at once on
// different tallies. The tally is read after the loop has returned.
#ifndef VRELL_TOOLS_BENCH_SOAK_H_
#define VRELL_TOOLS_BENCH_SOAK_H_

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>

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

#endif  // VRELL_TOOLS_BENCH_SOAK_H_
