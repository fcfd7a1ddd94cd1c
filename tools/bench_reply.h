/* SPDX-License-Identifier: BSD-2-Clause */
// What vrell-bench reads and reckons without a socket: where one whole reply of redis-server
// (RESP) or of memcached (its text protocol) ends in the bytes received so far, the kind of
// reply it is for the histogram, and the latency percentiles of a run. Kept apart from the
// load loop so that tests can feed them captured replies cut at any byte.
//
// Thread safety: every call is independent; any number of threads may call at once. Never
// prints.
#ifndef VRELL_TOOLS_BENCH_REPLY_H_
#define VRELL_TOOLS_BENCH_REPLY_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Returns the length of the complete RESP reply at the start of the have bytes of data: a
// simple string, an error, an integer, a bulk string (whose value may hold "\r\n") or the nil
// bulk string; 0 while it is incomplete. data need not be terminated. Arrays are not read: no
// command the benchmark sends answers with one.
size_t bench_reply_resp_length(const char *data, size_t have);

// Returns the histogram key of the complete RESP reply of length bytes at data: "+OK" and the
// other simple strings and ":N" integers as they are, the first word of an error ("-ERR",
// "-WRONGTYPE"), "nil" or "value" for a bulk string, "unknown" for anything else.
std::string bench_reply_resp_kind(const char *data, size_t length);

// Returns the length of the complete memcached reply at the start of the have bytes of data:
// one line ("STORED", "END", "DELETED", "ERROR", ...), or for a hit the line "VALUE key flags
// bytes", the bytes of the value (which may hold "\r\n" and "END"), "\r\n" and "END\r\n"; 0
// while it is incomplete. data need not be terminated.
size_t bench_reply_memcached_length(const char *data, size_t have);

// Returns the histogram key of the complete memcached reply of length bytes at data: "value"
// for a hit, else its line without "\r\n" ("END", "STORED", "CLIENT_ERROR bad data chunk").
std::string bench_reply_memcached_kind(const char *data, size_t length);

// Returns the q-quantile (0 < q <= 1) of sorted, latencies in nanoseconds in ascending order,
// in microseconds: the value of rank ceil(q * n), so q = 1 gives the largest. Returns 0 for no
// values.
double bench_reply_percentile_us(const std::vector<uint64_t> &sorted, double q);

#endif  // VRELL_TOOLS_BENCH_REPLY_H_
