// The wire protocol and the routine that serves one connection: one request per connection,
// received once, parsed, applied to the verdict cache, answered with one fixed reply line.
// Parsing is a pure step on a byte buffer (request_parse), apart from the socket calls, so that
// it can be tested and fuzzed without a socket.
//
// Requests: a one-letter command, then fields separated by single spaces, then one terminating
// byte (normally "\r\n" and a NUL; a NUL or a line end alone also ends a request). Replies: a text
// ending in "\r\n", followed by a NUL. Every reply fits REPLY_MAX except the counters that "S"
// asks for (service/stats.h), which only newer clients request.
//
// Thread safety: the handler keeps no shared state of its own; the cache guards itself.
#ifndef VRELL_SERVICE_REQUEST_H_
#define VRELL_SERVICE_REQUEST_H_

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "base/wire.h"
#include "cache/cache.h"

// The command the parser stores for a request it refuses (the letter I).
constexpr int REQUEST_INVALID = 0x49;
// A client that has sent nothing this long after its accept is answered "208-Cache error\r\n".
constexpr int REQUEST_RECEIVE_TIMEOUT_MS = 5000;

// One request, created by the worker, owned by it and freed before the reply is sent.
struct cache_request {
  int32_t
      command;  // first byte of the text; REQUEST_INVALID when refused; 0 after a failed receive
  cache_entry *body;  // path, mtime and verdict as the cache operations take them
};

struct worker_pool;

// The argument of request_handler_thread: one connection as a worker took it from the queue.
struct worker_job {
  int32_t request_id;  // only a positive id is a valid hand-over
  int32_t connection;  // the worker owns it from the hand-over on and closes it
  verdict_cache *cache;
  struct timespec
      accepted;  // CLOCK_MONOTONIC time of the accept; the receive time-out counts from it
  const worker_pool *pool = nullptr;  // the pool serving it, whose counts "S" reports; or null
};

// Returns a request with command 0 and its body, or null when memory is short.
// The caller frees it with request_free.
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

// One receive from the connection (waiting at most until deadline, a CLOCK_MONOTONIC time, or
// without bound for null), then request_parse. Returns the bytes received when accepted; -1
// when the receive failed or timed out (command stays 0) or the request is malformed.
int request_read(int connection, cache_request *request, const struct timespec *deadline);

// One receive of up to REQUEST_MAX bytes whose content is discarded. Returns the byte count,
// or -1.
int request_drain(int connection, const struct timespec *deadline);

// Sends the text and its NUL in one send, never raising SIGPIPE. Returns bytes sent, or -1.
int reply_send(int connection, const char *reply);

// Each calls one cache operation, writes the reply text into reply (REPLY_MAX bytes) and
// returns the cache's result. A null cache answers "208-Cache error\r\n" and touches nothing.
int handle_add(verdict_cache *cache, const cache_entry *body, char *reply);
int handle_delete(verdict_cache *cache, const cache_entry *body, char *reply);
int handle_query(verdict_cache *cache, const cache_entry *body, char *reply);
int handle_clear(verdict_cache *cache, char *reply);

// Writes the status line "101-OK: Cache running;DD-MM-YYYY;HH:MM:SS;PID\r\n" with the local
// time of the call into reply (REPLY_MAX bytes).
void status_reply(char *reply);

// Removes every trailing CR and LF. Returns the new length.
size_t strip_line_end(char *text, size_t length);

// Serves exactly the one connection of the worker_job it is given, counts its reply
// (service/stats.h) before sending it, closes the connection and returns null. A thread entry,
// so that a thread of its own may serve a connection.
void *request_handler_thread(void *job);

#endif  // VRELL_SERVICE_REQUEST_H_
