// SPDX-License-Identifier: BSD-2-Clause
#include "service/request.h"

#include <assert.h>
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "service/stats.h"

namespace {

// Receives once: what is already there, even after the deadline; else, once the connection is
// readable, before the deadline. Returns the byte count, or -1 when the wait timed out or
// failed, or the receive failed.
ssize_t receive_once(int connection, char *buffer, size_t size, const struct timespec *deadline) {
  // A client writes its request as it connects, so it is usually there already; a receive that
  // does not wait then saves the wait's system call.
  for (;;) {
    ssize_t n = recv(connection, buffer, size, MSG_DONTWAIT);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
    if (errno == EAGAIN) break;
  }
  for (;;) {
    struct pollfd waiting = {connection, POLLIN, 0};
    int ready = poll(&waiting, 1, clock_ms_until(deadline));
    if (ready > 0) break;
    if (ready == 0) {
      stats_count(STATS_TIMEOUTS);
      return -1;
    }
    if (errno != EINTR) return -1;
  }
  for (;;) {
    ssize_t n = recv(connection, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

int request_read(int connection, cache_request *request, const struct timespec *deadline) {
  char buffer[REQUEST_MAX];
  ssize_t n = receive_once(connection, buffer, sizeof buffer, deadline);
  if (n < 0) return -1;
  return request_parse(buffer, static_cast<size_t>(n), request);
}

int request_drain(int connection, const struct timespec *deadline) {
  char buffer[REQUEST_MAX];
  return static_cast<int>(receive_once(connection, buffer, sizeof buffer, deadline));
}

int reply_send(int connection, const char *reply, const struct timespec *deadline) {
  const size_t size = strlen(reply) + 1;
  size_t sent = 0;
  while (sent < size) {
    // A new connection's buffer always has room for one reply, so this send is the only call.
    ssize_t n = send(connection, reply + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) break;
    struct pollfd room = {connection, POLLOUT, 0};
    int ready = poll(&room, 1, clock_ms_until(deadline));
    if (ready == 0 || (ready < 0 && errno != EINTR)) break;
  }
  return sent > 0 ? static_cast<int>(sent) : -1;
}

void *request_handler_thread(void *arg) {
  auto *job = static_cast<worker_job *>(arg);
  assert(job != nullptr);
  const int connection = job->connection;
  verdict_cache *const cache = job->cache;

  // The time-out counts from the accept, so connections that waited for a worker do not each
  // add a full time-out for the ones queued behind them.
  struct timespec accepted = job->accepted;
  if (accepted.tv_sec == 0 && accepted.tv_nsec == 0) accepted = clock_now();
  const struct timespec deadline = clock_add_ms(accepted, REQUEST_RECEIVE_TIMEOUT_MS);

  char reply[REPLY_MAX];
  // Only the stats line is longer than the other replies.
  char stats_line[STATS_REPLY_MAX];
  const char *text = reply;
  stats_counter counter = STATS_ERRORS;
  // On the stack: a request from the heap cost two zeroed allocations, one of a page, per
  // connection, and malloc and free led the daemon's profile.
  cache_entry body;
  body.path[0] = '\0';
  body.mtime = 0;
  body.stamp = 0;
  body.verdict = 0;
  cache_request held = {0, &body};
  cache_request *const request = &held;
  if (job->request_id <= 0) {
    request_drain(connection, &deadline);
    text = REPLY_CACHE_ERROR;
  } else if (request_read(connection, request, &deadline) < 0) {
    bool invalid = request->command == REQUEST_INVALID;
    text = invalid ? REPLY_INVALID : REPLY_CACHE_ERROR;
    counter = invalid ? STATS_INVALID : STATS_ERRORS;
  } else {
    switch (request->command) {
      case 'A':
        handle_add(cache, request->body, reply, &counter);
        break;
      case 'D':
        handle_delete(cache, request->body, reply, &counter);
        break;
      case 'Q':
        handle_query(cache, request->body, reply, &counter);
        break;
      case 'C':
        handle_clear(cache, reply, &counter);
        break;
      case 'S':
        stats_reply(stats_line, cache);
        text = stats_line;
        counter = STATS_UNCOUNTED;
        break;
      default:  // 'K', the only other command the parser accepts
        status_reply(reply, &counter);
    }
  }

  // Counted before the send: a client that asks for the counters right after its reply finds
  // that reply counted.
  stats_count_reply(counter);
  reply_send(connection, text, &deadline);
  close(connection);
  // Only now: the client has its answer whatever the log does.
  stats_after_reply(counter, cache);
  return nullptr;
}
