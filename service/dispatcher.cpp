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
void (*dispatcher_on_hand_over)(const worker_job *job) = nullptr;

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

// The monitor sleeps on a lock of its own, so that a worker announcing its end never waits for
// a monitor pass that holds the pool lock.
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

// The life of a slot's worker: wait for a hand-over, serve that one connection, tell the
// monitor, wait again. A connection handed over is served even when the end has been asked
// for, since its slot is already SLOT_RUNNING in busy_slots.
void *worker_main(void *arg) {
  auto *slot = static_cast<worker_slot *>(arg);
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(slot->wake_lock);
      slot->wake.wait(guard, [slot] { return slot->handed || slot->quit; });
      if (!slot->handed) break;
      slot->handed = false;
    }
    // The SLOT_FINISHED store is the handler's last act on the job; only after it has happened
    // is the monitor told, so the pass it wakes finds the slot finished.
    request_handler_thread(&slot->job);
    poke_monitor(true);
  }
  return nullptr;
}

void wake_worker(worker_slot *slot, bool quit) {
  {
    std::lock_guard<std::mutex> guard(slot->wake_lock);
    if (quit) {
      slot->quit = true;
    } else {
      slot->handed = true;
    }
  }
  slot->wake.notify_one();
}

// Asks the slot's worker to end once it has served what it was handed, and waits for it.
void end_worker(worker_slot *slot) {
  wake_worker(slot, true);
  pthread_join(slot->thread, nullptr);
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

// Hands the connection to the slot's worker.
void hand_over(GQueue *busy_slots, int32_t *busy_count, worker_slot *slot, int32_t connection,
               const timespec &accepted) {
  {
    std::lock_guard<std::mutex> guard(pool_lock);
    g_queue_push_tail(busy_slots, slot);
    slot->state.store(SLOT_RUNNING);
    slot->job.request_id = rand();
    slot->job.connection = connection;
    slot->job.accepted = accepted;
    (*busy_count)++;
  }
  if (dispatcher_on_hand_over != nullptr) dispatcher_on_hand_over(&slot->job);
  wake_worker(slot, false);
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
  int32_t workers = 0;
  while (workers < slots && dispatcher_thread_create(&slot_array[workers].thread, nullptr,
                                                     worker_main, &slot_array[workers]) == 0) {
    workers++;
  }

  thread_queue_args args = {busy_slots, free_slots, &busy_count};
  pthread_t monitor;
  bool started = workers == slots;
  if (started) {
    publish(free_slots, busy_slots, &busy_count, slots, queue);
    thread_queue_running.store(1);
    started = dispatcher_thread_create(&monitor, nullptr, thread_queue_handler, &args) == 0;
  }
  if (started) {
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
      hand_over(busy_slots, &busy_count, slot, connection, accepted);
    }

    // A worker is never cut short: asked to end, it first serves its connection to the end.
    for (;;) {
      worker_slot *slot;
      {
        std::lock_guard<std::mutex> guard(pool_lock);
        slot = static_cast<worker_slot *>(g_queue_pop_head(busy_slots));
      }
      if (slot == nullptr) break;
      end_worker(slot);
      std::lock_guard<std::mutex> guard(pool_lock);
      release_slot(free_slots, slot);
      busy_count--;
    }
    thread_queue_running.store(0);
    poke_monitor(false);
    pthread_join(monitor, nullptr);
    // Only this thread writes quit, so it may read it without the slot's lock.
    for (int32_t i = 0; i < slots; i++) {
      if (!slot_array[i].quit) end_worker(&slot_array[i]);
    }
  } else {
    thread_queue_running.store(0);
    for (int32_t i = 0; i < workers; i++) end_worker(&slot_array[i]);
  }

  publish(nullptr, nullptr, nullptr, 0, nullptr);
  g_queue_free(free_slots);
  g_queue_free(busy_slots);
  delete[] slot_array;
  if (!started) request_stop();
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
