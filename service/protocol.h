/* SPDX-License-Identifier: BSD-2-Clause */
// The wire protocol as pure steps on memory: a request parsed from the bytes of one receive,
// the cache operation it asks for, and the fixed reply text that answers it. Nothing here
// touches a descriptor, so it can be tested and fuzzed without a socket; service/request.h
// receives and sends.
//
// Requests: a one-letter command, then fields separated by single spaces, then one terminating
// byte (normally "\r\n" and a NUL; a NUL or a line end alone also ends a request). Replies: a
// text ending in "\r\n", followed by a NUL. Every reply fits REPLY_MAX except the counters that
// "S" asks for (service/stats.h). The sizes, codes and texts are those of base/wire.h.
//
// Thread safety: no shared state of its own; the cache guards itself, and status_reply keeps
// its broken-down time on the stack.
#ifndef VRELL_SERVICE_PROTOCOL_H_
#define VRELL_SERVICE_PROTOCOL_H_

#include <stddef.h>
#include <stdint.h>

#include "base/wire.h"
#include "cache/cache.h"
#include "service/stats.h"

// The command the parser stores for a request it refuses (the letter I).
constexpr int REQUEST_INVALID = 0x49;
// One request. The worker keeps it and its body on its own stack for one connection, so that
// serving a request allocates nothing; request_new and request_free give tests and fuzzers one
// on the heap.
struct cache_request {
  int32_t
      command;  // first byte of the text; REQUEST_INVALID when refused; 0 after a failed receive
  cache_entry *body;  // path, mtime and verdict as the cache operations take them
};

// Returns a request on the heap with command 0 and its body, or null when memory is short.
// The caller frees it with request_free. The worker does not use it.
cache_request *request_new(void);

// Frees the request and its body. Does nothing for null.
void request_free(cache_request *request);

// Parses the n bytes of one receive (the last byte is the terminator and is dropped) into the
// request. Returns n when the request is accepted; -1 with command REQUEST_INVALID when it is
// malformed, carries an mtime outside the signed 64-bit range, names a path of 1024 bytes or
// more, or is an "A", "D" or "Q" request that was not terminated: its last byte is neither a
// NUL nor "\n" nor "\r", or a receive of REQUEST_MAX bytes or more does not end in a NUL at
// byte REQUEST_MAX. The verdict saturates at the 32-bit limits and keeps its low 8 bits. "C"
// and "K" ignore their rest. A refused request keeps its body as it was. Pure: touches nothing
// but the request.
int request_parse(const char *data, size_t n, cache_request *request);

// Each calls one cache operation, writes the reply text into reply (REPLY_MAX bytes), stores the
// counter the reply counts under (service/stats.h) at counter when it is not null, and returns
// the cache's result. A null cache answers "208-Cache error\r\n" and touches nothing.
int handle_add(verdict_cache *cache, const cache_entry *body, char *reply,
               stats_counter *counter = nullptr);
int handle_delete(verdict_cache *cache, const cache_entry *body, char *reply,
                  stats_counter *counter = nullptr);
int handle_query(verdict_cache *cache, const cache_entry *body, char *reply,
                 stats_counter *counter = nullptr);
int handle_clear(verdict_cache *cache, char *reply, stats_counter *counter = nullptr);

// Writes the status line "101-OK: Cache running;DD-MM-YYYY;HH:MM:SS;PID\r\n" with the local
// time of the call into reply (REPLY_MAX bytes), and stores its counter, STATS_UNCOUNTED (or
// STATS_ERRORS for the cache error that stands in for a line that does not fit), at counter
// when it is not null.
void status_reply(char *reply, stats_counter *counter = nullptr);

// Removes every trailing CR and LF. Returns the new length.
size_t strip_line_end(char *text, size_t length);

#endif  // VRELL_SERVICE_PROTOCOL_H_
