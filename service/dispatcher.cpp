#include "service/dispatcher.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "daemon/flags.h"

void (*dispatcher_on_stop_request)(void) = nullptr;
int (*dispatcher_thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                                void *) = pthread_create;

namespace {

constexpr auto kWait = std::chrono::milliseconds(POOL_WAIT_MS);

// The pool lock, and what it guards of the dispatcher now running: its lists and count, and the
// queue it pops from, which dispatcher_wake must reach.
std::mutex pool_lock;
std::condition_variable slot_returned;  // waited on by the dispatcher, with pool_lock
struct {
  GQueue *free_slots = nullptr;
  GQueue *busy_slots = nullptr;
  int32_t *busy_count = nullptr;
  int32_t slots = 0;
  connection_queue **queue = nullptr;
} current;

// The monitor sleeps on a lock of its own, because a worker announces its end while the
// monitor may hold the pool lock to join it.
std::mutex monitor_lock;
std::condition_variable monitor_cond;
int32_t workers_ended = 0;   // guarded by monitor_lock
bool monitor_woken = false;  // guarded by monitor_lock; remembered until the next wait

void request_stop() {
  accept_loop_running.store(0);
  if (dispatcher_on_stop_request != nullptr) dispatcher_on_stop_request();
}

void poke_monitor(bool worker_ended) {
  {
    std::lock_guard<std::mutex> guard(monitor_lock);
    if (worker_ended) {
      workers_ended++;
    } else {
      monitor_woken = true;
    }
  }
  monitor_cond.notify_one();
}

void monitor_wait() {
  std::unique_lock<std::mutex> guard(monitor_lock);
  monitor_cond.wait_for(guard, kWait, [] { return workers_ended > 0 || monitor_woken; });
  workers_ended = 0;
  monitor_woken = false;
}

// The worker's SLOT_FINISHED store is its handler's last act; only after it has happened is the
// monitor told, so the pass it wakes finds the slot finished.
void *worker_main(void *job) {
  request_handler_thread(job);
  poke_monitor(true);
  return nullptr;
}

// Returns a slot taken from free_slots, or null once request_queue_running is clear.
worker_slot *take_slot(GQueue *free_slots, const int32_t *busy_count, int32_t slots) {
  std::unique_lock<std::mutex> guard(pool_lock);
  for (;;) {
    if (*busy_count < slots) {
      auto *slot = static_cast<worker_slot *>(g_queue_pop_head(free_slots));
      if (slot != nullptr) return slot;
    }
    if (request_queue_running.load() == 0) return nullptr;
    slot_returned.wait_for(guard, kWait);
  }
}

void release_slot(GQueue *free_slots, worker_slot *slot) {
  slot->state.store(SLOT_IDLE);
  g_queue_push_tail(free_slots, slot);
}

// Hands the connection to a worker on the slot. A worker that cannot be started leaves its
// client with an answer and its slot back in free_slots.
void start_worker(GQueue *free_slots, GQueue *busy_slots, int32_t *busy_count, worker_slot *slot,
                  int32_t connection, const timespec &accepted) {
  int started;
  {
    // Held over the start, so that the monitor reads the thread handle only once it is written.
    std::lock_guard<std::mutex> guard(pool_lock);
    g_queue_push_tail(busy_slots, slot);
    slot->state.store(SLOT_RUNNING);
    slot->job.request_id = rand();
    slot->job.connection = connection;
    slot->job.accepted = accepted;
    (*busy_count)++;
    started = dispatcher_thread_create(&slot->thread, nullptr, worker_main, &slot->job);
    if (started != 0) {
      g_queue_pop_tail(busy_slots);
      (*busy_count)--;
      release_slot(free_slots, slot);
    }
  }
  if (started != 0) {
    reply_send(connection, REPLY_CACHE_ERROR);
    close(connection);
  }
}

void publish(GQueue *free_slots, GQueue *busy_slots, int32_t *busy_count, int32_t slots,
             connection_queue **queue) {
  std::lock_guard<std::mutex> guard(pool_lock);
  current.free_slots = free_slots;
  current.busy_slots = busy_slots;
  current.busy_count = busy_count;
  current.slots = slots;
  current.queue = queue;
}

}  // namespace

void *request_queue_handler(void *arg) {
  auto **queue = static_cast<connection_queue **>(arg);
  const int32_t slots = service_thread_count.load();
  // A pool without slots could never serve a connection it has popped.
  if (queue == nullptr || *queue == nullptr || slots < 1) {
    request_stop();
    return nullptr;
  }
  auto *slot_array = new (std::nothrow) worker_slot[slots]();
  if (slot_array == nullptr) {
    request_stop();
    return nullptr;
  }
  GQueue *free_slots = g_queue_new();
  GQueue *busy_slots = g_queue_new();
  int32_t busy_count = 0;
  verdict_cache *cache = active_cache.load();
  for (int32_t i = 0; i < slots; i++) {
    worker_slot *slot = &slot_array[i];
    g_queue_push_tail(free_slots, slot);
    slot->state.store(SLOT_IDLE);
    slot->job.cache = cache;
    slot->job.state = &slot->state;
  }
  publish(free_slots, busy_slots, &busy_count, slots, queue);

  thread_queue_args args = {busy_slots, free_slots, &busy_count};
  thread_queue_running.store(1);
  pthread_t monitor;
  bool monitor_started =
      dispatcher_thread_create(&monitor, nullptr, thread_queue_handler, &args) == 0;
  if (monitor_started) {
    srand(REQUEST_ID_SEED);
    srand(static_cast<unsigned>(rand()));

    for (;;) {
      if (request_queue_running.load() == 0 && connection_queue_length(queue) == 0) break;
      timespec accepted;
      int32_t connection = connection_queue_pop(queue, &accepted);
      if (connection < 0) {
        connection_queue_wait(queue, POOL_WAIT_MS);
        continue;
      }
      worker_slot *slot = take_slot(free_slots, &busy_count, slots);
      if (request_queue_running.load() == 0) {
        // The stop has begun: this connection is not served, but its client sees the end
        // instead of waiting on an open descriptor nobody owns.
        close(connection);
        if (slot != nullptr) {
          std::lock_guard<std::mutex> guard(pool_lock);
          release_slot(free_slots, slot);
        }
        break;
      }
      start_worker(free_slots, busy_slots, &busy_count, slot, connection, accepted);
    }

    // Workers are never told to stop: each serves its one connection to the end.
    for (;;) {
      worker_slot *slot;
      {
        std::lock_guard<std::mutex> guard(pool_lock);
        slot = static_cast<worker_slot *>(g_queue_pop_head(busy_slots));
      }
      if (slot == nullptr) break;
      int32_t state = slot->state.load();
      if (state == SLOT_RUNNING || state == SLOT_FINISHED) pthread_join(slot->thread, nullptr);
      std::lock_guard<std::mutex> guard(pool_lock);
      release_slot(free_slots, slot);
      busy_count--;
    }
    thread_queue_running.store(0);
    poke_monitor(false);
    pthread_join(monitor, nullptr);
  } else {
    thread_queue_running.store(0);
  }

  publish(nullptr, nullptr, nullptr, 0, nullptr);
  g_queue_free(free_slots);
  g_queue_free(busy_slots);
  delete[] slot_array;
  if (!monitor_started) request_stop();
  return nullptr;
}

void *thread_queue_handler(void *arg) {
  auto *args = static_cast<thread_queue_args *>(arg);
  if (args == nullptr || args->busy_slots == nullptr || args->free_slots == nullptr ||
      args->busy_count == nullptr) {
    request_stop();
    return nullptr;
  }
  for (;;) {
    int returned = 0;
    {
      std::lock_guard<std::mutex> guard(pool_lock);
      if (thread_queue_running.load() == 0 && g_queue_is_empty(args->busy_slots)) break;
      for (GList *link = args->busy_slots->head; link != nullptr;) {
        GList *next = link->next;
        auto *slot = static_cast<worker_slot *>(link->data);
        if (slot->state.load() == SLOT_FINISHED) {
          // A finished worker has at most its last few instructions left to run.
          pthread_join(slot->thread, nullptr);
          g_queue_delete_link(args->busy_slots, link);
          release_slot(args->free_slots, slot);
          (*args->busy_count)--;
          returned++;
        }
        link = next;
      }
    }
    if (returned > 0) slot_returned.notify_one();
    monitor_wait();
  }
  return nullptr;
}

void dispatcher_wake(void) {
  {
    std::lock_guard<std::mutex> guard(pool_lock);
    connection_queue_wake(current.queue);
  }
  slot_returned.notify_all();
  poke_monitor(false);
}

int dispatcher_get_stats(dispatcher_stats *stats) {
  if (stats == nullptr) return -1;
  std::lock_guard<std::mutex> guard(pool_lock);
  if (current.free_slots == nullptr) return -1;
  stats->slots = current.slots;
  stats->free_slots = static_cast<int32_t>(g_queue_get_length(current.free_slots));
  stats->busy_slots = static_cast<int32_t>(g_queue_get_length(current.busy_slots));
  stats->busy_count = *current.busy_count;
  return 0;
}
