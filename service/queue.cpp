#include "service/queue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "service/stats.h"

namespace {

struct queue_cell {
  int32_t connection;
  struct timespec accepted;
};

}  // namespace

struct connection_queue {
  std::mutex lock;  // guards cells and woken
  std::condition_variable ready;
  GQueue *cells = nullptr;
  // A wake is remembered until a wait consumes it: the dispatcher tests its run flag before it
  // waits, and a flag cleared in between must still end that wait.
  bool woken = false;
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
  {
    std::lock_guard<std::mutex> guard(q->lock);
    g_queue_push_tail(q->cells, cell);
    stats_queue_length(static_cast<int32_t>(g_queue_get_length(q->cells)));
  }
  q->ready.notify_one();
  return 0;
}

int32_t connection_queue_pop(connection_queue **queue, struct timespec *accepted) {
  if (queue == nullptr || *queue == nullptr) return -1;
  connection_queue *q = *queue;
  queue_cell *cell;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    cell = static_cast<queue_cell *>(g_queue_pop_head(q->cells));
    stats_queue_length(static_cast<int32_t>(g_queue_get_length(q->cells)));
  }
  if (cell == nullptr) return -1;
  int32_t connection = cell->connection;
  if (accepted != nullptr) *accepted = cell->accepted;
  FreeEachElement(cell);
  return connection;
}

int connection_queue_length(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return 0;
  std::lock_guard<std::mutex> guard((*queue)->lock);
  return static_cast<int>(g_queue_get_length((*queue)->cells));
}

int connection_queue_wait(connection_queue **queue, int timeout_ms) {
  if (queue == nullptr || *queue == nullptr) return 0;
  connection_queue *q = *queue;
  std::unique_lock<std::mutex> guard(q->lock);
  q->ready.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                    [q] { return q->woken || !g_queue_is_empty(q->cells); });
  q->woken = false;
  return g_queue_is_empty(q->cells) ? 0 : 1;
}

void connection_queue_wake(connection_queue **queue) {
  if (queue == nullptr || *queue == nullptr) return;
  connection_queue *q = *queue;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    q->woken = true;
  }
  q->ready.notify_all();
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
