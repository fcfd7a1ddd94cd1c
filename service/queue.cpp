// SPDX-License-Identifier: BSD-2-Clause
#include "service/queue.h"

#include "base/clock.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

struct queue_cell {
  int32_t connection;
  struct timespec accepted;
};

}  // namespace

struct connection_queue {
  std::mutex lock;  // guards everything below
  std::condition_variable ready;
  GQueue *cells = nullptr;
  bool closed = false;
  int length_max = 0;
  uint64_t taken = 0;  // cells taken off the head
};

int connection_queue_create(connection_queue **queue) {
  if (queue == nullptr) return -1;
  auto *made = new (std::nothrow) connection_queue;
  if (made == nullptr) return -1;
  made->cells = g_queue_new();
  *queue = made;
  return 0;
}

int connection_queue_push(connection_queue **queue, int32_t connection,
                          const struct timespec *accepted) {
  if (queue == nullptr || *queue == nullptr) return -1;
  // g_new aborts when memory runs out; a failed push must end only the accept loop.
  auto *cell = static_cast<queue_cell *>(g_try_malloc(sizeof(queue_cell)));
  if (cell == nullptr) return -1;
  cell->connection = connection;
  cell->accepted = accepted != nullptr ? *accepted : clock_now();
  connection_queue *q = *queue;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    g_queue_push_tail(q->cells, cell);
    q->length_max = std::max(q->length_max, static_cast<int>(g_queue_get_length(q->cells)));
  }
  q->ready.notify_one();
  return 0;
}

namespace {

// Frees a cell taken off the queue. Returns its descriptor, -1 for no cell.
int32_t unpack(queue_cell *cell, struct timespec *accepted) {
  if (cell == nullptr) return -1;
  int32_t connection = cell->connection;
  if (accepted != nullptr) *accepted = cell->accepted;
  FreeEachElement(cell);
  return connection;
}

}  // namespace

int32_t connection_queue_pop(connection_queue **queue, struct timespec *accepted) {
  if (queue == nullptr || *queue == nullptr) return -1;
  connection_queue *q = *queue;
  queue_cell *cell;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    cell = static_cast<queue_cell *>(g_queue_pop_head(q->cells));
    if (cell != nullptr) q->taken++;
  }
  return unpack(cell, accepted);
}

int connection_queue_length(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return 0;
  std::lock_guard<std::mutex> guard((*queue)->lock);
  return static_cast<int>(g_queue_get_length((*queue)->cells));
}

int32_t connection_queue_take(connection_queue **queue, struct timespec *accepted,
                              int (*draw)(void), int32_t *drawn) {
  if (queue == nullptr || *queue == nullptr) return -1;
  connection_queue *q = *queue;
  queue_cell *cell;
  {
    std::unique_lock<std::mutex> guard(q->lock);
    q->ready.wait(guard, [q] { return q->closed || !g_queue_is_empty(q->cells); });
    cell = static_cast<queue_cell *>(g_queue_pop_head(q->cells));
    if (cell != nullptr) q->taken++;
    if (cell != nullptr && draw != nullptr) *drawn = draw();
  }
  return unpack(cell, accepted);
}

void connection_queue_close(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return;
  connection_queue *q = *queue;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    q->closed = true;
  }
  q->ready.notify_all();
}

int connection_queue_length_max(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return 0;
  std::lock_guard<std::mutex> guard((*queue)->lock);
  return (*queue)->length_max;
}

uint64_t connection_queue_taken(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return 0;
  std::lock_guard<std::mutex> guard((*queue)->lock);
  return (*queue)->taken;
}

void connection_queue_free(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return;
  g_queue_free_full((*queue)->cells, FreeEachElement);
  delete *queue;
  *queue = nullptr;
}

void FreeEachElement(gpointer cell) {
  g_free(cell);
}
