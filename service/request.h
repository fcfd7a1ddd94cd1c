/* SPDX-License-Identifier: BSD-2-Clause */
// The routine that serves one connection: one request per connection, received once within
// the deadline counted from the accept, parsed and applied (service/protocol.h), answered with
// one reply, counted (service/stats.h), then the connection is closed.
//
// Thread safety: the handler keeps no shared state of its own; any number of workers run it
// at once, each on its own connection.
#ifndef VRELL_SERVICE_REQUEST_H_
#define VRELL_SERVICE_REQUEST_H_

#include <stdint.h>
#include <time.h>

#include "cache/cache.h"
#include "service/protocol.h"

// A client that has sent nothing this long after its accept is answered "208-Cache error\r\n".
constexpr int REQUEST_RECEIVE_TIMEOUT_MS = 5000;

// The argument of request_handler_thread: one connection as a worker took it from the queue.
struct worker_job {
  int32_t request_id;  // only a positive id is a valid hand-over
  int32_t connection;  // the worker owns it from the hand-over on and closes it
  verdict_cache *cache;
  struct timespec
      accepted;  // CLOCK_MONOTONIC time of the accept; the receive time-out counts from it
};

// One receive from the connection (waiting at most until deadline, a CLOCK_MONOTONIC time, or
// without bound for null), then request_parse. Returns the bytes received when accepted; -1
// when the receive failed or timed out (command stays 0) or the request is malformed.
int request_read(int connection, cache_request *request, const struct timespec *deadline);

// One receive of up to REQUEST_MAX bytes whose content is discarded. Returns the byte count,
// or -1.
int request_drain(int connection, const struct timespec *deadline);

// Sends the text and its NUL, never raising SIGPIPE and never blocking: when the connection has
// no room, waits for room at most until deadline (a CLOCK_MONOTONIC time; null for no bound),
// so a client that never reads costs a worker no more than that. Returns the bytes sent, or -1
// when none could be.
int reply_send(int connection, const char *reply, const struct timespec *deadline = nullptr);

// Serves exactly the one connection of the worker_job that arg points to, counts its reply
// (service/stats.h) before sending it, closes the connection and returns null. A worker of the
// pool calls it for each connection it takes.
void *request_handler_thread(void *arg);

#endif  // VRELL_SERVICE_REQUEST_H_
