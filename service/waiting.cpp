// SPDX-License-Identifier: BSD-2-Clause
#include "service/waiting.h"

#include <errno.h>
#include <glib.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "base/clock.h"
#include "base/wire.h"
#include "service/request.h"
#include "service/stats.h"

namespace {

// One held connection. Held in accept order, so the head has the nearest deadline.
struct held_connection {
  GList link;  // in waiting_set::held; link.data points back here
  int connection;
  struct timespec accepted;
  struct timespec deadline;
};

// Events taken per wait; more stay ready for the next.
constexpr int EVENTS_PER_WAIT = 64;

}  // namespace

struct waiting_set {
  connection_queue **queue;
  int epoll_fd;
  int bound;
  GQueue held;
  std::atomic<int> count{0};
};

namespace {

// The reply of a connection the set gives up on. Its socket is new and has sent nothing, so the
// send finds room; it never waits.
void answer_and_close(int connection) {
  stats_count_reply(STATS_ERRORS);
  send(connection, REPLY_CACHE_ERROR, sizeof REPLY_CACHE_ERROR, MSG_NOSIGNAL | MSG_DONTWAIT);
  close(connection);
}

// Takes the cell out of the set and frees it. Returns its descriptor and accept time.
int release(waiting_set *set, held_connection *cell, struct timespec *accepted) {
  g_queue_unlink(&set->held, &cell->link);
  set->count.store(static_cast<int>(set->held.length), std::memory_order_relaxed);
  int connection = cell->connection;
  *accepted = cell->accepted;
  g_free(cell);
  return connection;
}

// Stops watching the cell's connection; a cell whose one event has fired needs nothing.
void unwatch(waiting_set *set, held_connection *cell) {
  epoll_ctl(set->epoll_fd, EPOLL_CTL_DEL, cell->connection, nullptr);
}

// Answers and closes the oldest held connection.
void give_way(waiting_set *set) {
  auto *oldest = static_cast<held_connection *>(set->held.head->data);
  unwatch(set, oldest);
  struct timespec ignored;
  answer_and_close(release(set, oldest, &ignored));
}

bool has_something_to_read(int connection) {
  struct pollfd ready = {connection, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

bool before(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Milliseconds until the deadline, rounded up, so that a wait never ends just short of it and
// spins.
int ms_until(const struct timespec &deadline) {
  int ms = clock_ms_until(&deadline);
  return ms < INT_MAX ? ms + 1 : ms;
}

// Pushes a connection the set has let go; on failure answers it and every one still held.
int hand_on(waiting_set *set, int connection, const struct timespec *accepted) {
  if (connection_queue_push(set->queue, connection, accepted) == 0) return 0;
  answer_and_close(connection);
  while (!g_queue_is_empty(&set->held)) {
    auto *cell = static_cast<held_connection *>(set->held.head->data);
    unwatch(set, cell);
    struct timespec ignored;
    answer_and_close(release(set, cell, &ignored));
  }
  return -1;
}

}  // namespace

int waiting_bound(uint64_t nofile, int threads) {
  const uint64_t reserved =
      WAITING_FDS_RESERVED + WAITING_FDS_PER_WORKER * static_cast<uint64_t>(std::max(threads, 0));
  uint64_t room = nofile > reserved ? nofile - reserved : 0;
  room = std::max(room, static_cast<uint64_t>(std::max(threads, 1)));
  return static_cast<int>(std::min(room, static_cast<uint64_t>(WAITING_MAX)));
}

waiting_set *waiting_create(connection_queue **queue, int listen_fd, int bound) {
  if (queue == nullptr || *queue == nullptr || listen_fd < 0 || bound < 1) return nullptr;
  auto *set = new (std::nothrow) waiting_set;
  if (set == nullptr) return nullptr;
  set->queue = queue;
  set->bound = bound;
  g_queue_init(&set->held);
  set->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  // The listening socket's event carries no cell.
  struct epoll_event listening = {};
  listening.events = EPOLLIN;
  listening.data.ptr = nullptr;
  if (set->epoll_fd < 0 || epoll_ctl(set->epoll_fd, EPOLL_CTL_ADD, listen_fd, &listening) != 0) {
    if (set->epoll_fd >= 0) close(set->epoll_fd);
    delete set;
    return nullptr;
  }
  return set;
}

int waiting_admit(waiting_set *set, int connection, const struct timespec *accepted) {
  // A client writes its request as it connects, so it is nearly always there already.
  if (has_something_to_read(connection)) {
    return connection_queue_push(set->queue, connection, accepted);
  }
  auto *cell = static_cast<held_connection *>(g_try_malloc0(sizeof(held_connection)));
  if (cell == nullptr) return connection_queue_push(set->queue, connection, accepted);
  cell->link.data = cell;
  cell->connection = connection;
  cell->accepted = *accepted;
  cell->deadline = clock_add_ms(*accepted, REQUEST_RECEIVE_TIMEOUT_MS);
  // One event each: once it has fired the connection is the queue's, and no later event may
  // name a cell that is gone.
  struct epoll_event watch = {};
  watch.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
  watch.data.ptr = cell;
  if (epoll_ctl(set->epoll_fd, EPOLL_CTL_ADD, connection, &watch) != 0) {
    // Out of epoll's memory or watches: a worker waits for this one, as all did before.
    g_free(cell);
    return connection_queue_push(set->queue, connection, accepted);
  }
  // Only when no wait came between two admissions.
  if (static_cast<int>(set->held.length) > set->bound) give_way(set);
  g_queue_push_tail_link(&set->held, &cell->link);
  set->count.store(static_cast<int>(set->held.length), std::memory_order_relaxed);
  return 0;
}

int waiting_wait(waiting_set *set) {
  if (g_queue_is_empty(&set->held)) return 1;
  const auto *oldest = static_cast<held_connection *>(set->held.head->data);
  struct epoll_event events[EVENTS_PER_WAIT];
  int n = epoll_wait(set->epoll_fd, events, EVENTS_PER_WAIT, ms_until(oldest->deadline));
  bool listening = false;
  struct timespec accepted;
  for (int i = 0; i < n; i++) {
    auto *cell = static_cast<held_connection *>(events[i].data.ptr);
    if (cell == nullptr) {
      listening = true;
      continue;
    }
    int connection = release(set, cell, &accepted);
    if (hand_on(set, connection, &accepted) < 0) return -1;
  }
  const struct timespec now = clock_now();
  while (!g_queue_is_empty(&set->held)) {
    auto *cell = static_cast<held_connection *>(set->held.head->data);
    if (before(now, cell->deadline)) break;
    unwatch(set, cell);
    int connection = release(set, cell, &accepted);
    if (hand_on(set, connection, &accepted) < 0) return -1;
  }
  // The newest connection may be one over the bound until now: a client that connects before
  // it writes is given until the next event to be seen readable, so that it never makes a
  // silent one give way.
  while (static_cast<int>(set->held.length) > set->bound) give_way(set);
  return listening ? 1 : 0;
}

int waiting_flush(waiting_set *set) {
  if (set == nullptr) return 0;
  struct timespec accepted;
  while (!g_queue_is_empty(&set->held)) {
    auto *cell = static_cast<held_connection *>(set->held.head->data);
    unwatch(set, cell);
    int connection = release(set, cell, &accepted);
    if (hand_on(set, connection, &accepted) < 0) return -1;
  }
  return 0;
}

int waiting_count(const waiting_set *set) {
  return set != nullptr ? set->count.load(std::memory_order_relaxed) : 0;
}

void waiting_free(waiting_set *set) {
  if (set == nullptr) return;
  struct timespec accepted;
  while (!g_queue_is_empty(&set->held)) {
    auto *cell = static_cast<held_connection *>(set->held.head->data);
    answer_and_close(release(set, cell, &accepted));
  }
  close(set->epoll_fd);
  delete set;
}
