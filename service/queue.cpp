#include "service/queue.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

struct queue_cell {
  int32_t connection;
  struct timespec accepted;
};

// How long a worker that finds the queue empty looks again before it sleeps.
constexpr int64_t SPIN_NS = 30000;

int64_t monotonic_ns() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

struct connection_queue {
  std::mutex lock;  // guards everything below
  std::condition_variable ready;
  GQueue *cells = nullptr;
  bool closed = false;
  int length_max = 0;
  std::atomic<int> length{0};  // the cells' count, for a look without the lock
  std::atomic<bool> spinning{false};
};

int connection_queue_create(connection_queue **queue) {
  if (queue == nullptr) return -1;
  auto *made = new (std::nothrow) connection_queue;
  if (made == nullptr) return -1;
  made->cells = g_queue_new();
  *queue = made;
  return 0;
}

int connection_queue_push(connection_queue **queue, int32_t connection) {
  if (queue == nullptr || *queue == nullptr) return -1;
  // g_new aborts when memory runs out; a failed push must end only the accept loop.
  auto *cell = static_cast<queue_cell *>(g_try_malloc(sizeof(queue_cell)));
  if (cell == nullptr) return -1;
  cell->connection = connection;
  clock_gettime(CLOCK_MONOTONIC, &cell->accepted);
  connection_queue *q = *queue;
  int queued;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    g_queue_push_tail(q->cells, cell);
    queued = static_cast<int>(g_queue_get_length(q->cells));
    q->length.store(queued);
    q->length_max = std::max(q->length_max, queued);
  }
  // A worker still looking takes the one cell without a wake-up; it clears the mark before it
  // takes the lock, so a cell it cannot have seen is never left unannounced.
  if (queued > 1 || !q->spinning.load()) q->ready.notify_one();
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
    q->length.store(static_cast<int>(g_queue_get_length(q->cells)));
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
  // The accept loop often queues the next connection within microseconds; one worker at a time
  // looks for it, giving way to runnable threads, before it sleeps and needs a wake-up.
  bool idle = false;
  if (q->length.load() == 0 && q->spinning.compare_exchange_strong(idle, true)) {
    for (int64_t until = monotonic_ns() + SPIN_NS; q->length.load() == 0 && monotonic_ns() < until;)
      sched_yield();
    q->spinning.store(false);
  }
  queue_cell *cell;
  {
    std::unique_lock<std::mutex> guard(q->lock);
    q->ready.wait(guard, [q] { return q->closed || !g_queue_is_empty(q->cells); });
    cell = static_cast<queue_cell *>(g_queue_pop_head(q->cells));
    q->length.store(static_cast<int>(g_queue_get_length(q->cells)));
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

void connection_queue_free(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return;
  g_queue_free_full((*queue)->cells, FreeEachElement);
  delete *queue;
  *queue = nullptr;
}

void FreeEachElement(gpointer cell) {
  g_free(cell);
}
