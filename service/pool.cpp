// SPDX-License-Identifier: BSD-2-Clause
#include "service/pool.h"

#include <sched.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <new>

#include "base/clock.h"

namespace {

// What pool_set_thread_create and pool_set_on_take put in place.
int (*thread_create)(pthread_t *, const pthread_attr_t *, void *(*)(void *),
                     void *) = pthread_create;
void (*take_hook)(const worker_job *job) = nullptr;

struct pool_worker {
  pthread_t thread;
  std::atomic<int32_t> state{SLOT_IDLE};
  std::atomic<bool> ended{false};  // set as the worker's last act
  const worker_pool *pool;
};

}  // namespace

struct worker_pool {
  pool_config config;
  int32_t started = 0;
  pool_worker *workers = nullptr;
};

namespace {

// Closes the queue, so that each started worker ends once it is empty, and joins them.
void join_workers(worker_pool *pool) {
  connection_queue_close(pool->config.queue);
  for (int32_t i = 0; i < pool->started; i++) pthread_join(pool->workers[i].thread, nullptr);
}

int read_gauges(const void *pool, stats_gauges *out) {
  return pool_counts(static_cast<const worker_pool *>(pool), out);
}

void free_pool(worker_pool *pool) {
  delete[] pool->workers;
  delete pool;
}

}  // namespace

worker_pool *pool_start(const pool_config *config) {
  worker_pool *pool = nullptr;
  // A pool without workers could never serve what is queued.
  if (config != nullptr && config->queue != nullptr && *config->queue != nullptr &&
      config->threads >= 1) {
    pool = new (std::nothrow) worker_pool;
  }
  if (pool != nullptr) {
    pool->config = *config;
    pool->workers = new (std::nothrow) pool_worker[config->threads];
  }
  if (pool != nullptr && pool->workers != nullptr) {
    // Set before any worker runs, so every "S" reads this pool's gauges.
    stats_set_gauges(read_gauges, pool);
    srand(REQUEST_ID_SEED);
    srand(static_cast<unsigned>(rand()));
    for (; pool->started < config->threads; pool->started++) {
      pool_worker *worker = &pool->workers[pool->started];
      worker->pool = pool;
      if (thread_create(&worker->thread, nullptr, request_queue_handler, worker) != 0) break;
    }
    if (pool->started == config->threads) return pool;
  }
  if (pool != nullptr) {
    join_workers(pool);
    stats_set_gauges(nullptr, nullptr);
    free_pool(pool);
  }
  if (config != nullptr && config->request_stop != nullptr) config->request_stop();
  return nullptr;
}

int pool_stop(worker_pool *pool, pool_counters *last, int wait_ms) {
  if (pool == nullptr) return 0;
  connection_queue_close(pool->config.queue);
  const int64_t until = clock_now_ms() + wait_ms;
  int32_t left;
  for (;;) {
    left = 0;
    for (int32_t i = 0; i < pool->started; i++) left += pool->workers[i].ended.load() ? 0 : 1;
    if (left == 0 || clock_now_ms() >= until) break;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  pool_counts(pool, last);
  if (left > 0) {
    // Each worker left may still reach the pool, its queue and the cache, so none of them is
    // freed: the process ends next.
    for (int32_t i = 0; i < pool->started; i++) {
      if (!pool->workers[i].ended.load()) pthread_detach(pool->workers[i].thread);
    }
    return left;
  }
  for (int32_t i = 0; i < pool->started; i++) pthread_join(pool->workers[i].thread, nullptr);
  stats_set_gauges(nullptr, nullptr);
  free_pool(pool);
  return 0;
}

int pool_counts(const worker_pool *pool, pool_counters *counters) {
  if (pool == nullptr || counters == nullptr) return -1;
  counters->threads = pool->config.threads;
  counters->busy = 0;
  for (int32_t i = 0; i < pool->config.threads; i++) {
    if (pool->workers[i].state.load() == SLOT_RUNNING) counters->busy++;
  }
  counters->queued = connection_queue_length(pool->config.queue);
  counters->queued_max = connection_queue_length_max(pool->config.queue);
  counters->waiting = waiting_count(pool->config.waiting);
  return 0;
}

void *request_queue_handler(void *arg) {
  auto *worker = static_cast<pool_worker *>(arg);
  const pool_config &config = worker->pool->config;
  // A worker the accept loop wakes would otherwise preempt it at once, and the loop then waits
  // for its core before it can accept the next connection.
  struct sched_param normal = {0};
  sched_setscheduler(0, SCHED_BATCH, &normal);
  for (;;) {
    worker_job job = {0, -1, config.cache, {0, 0}};
    // The id is drawn as the connection is taken, under the queue's lock, so the ids follow
    // the accept order however the workers interleave.
    job.connection = connection_queue_take(config.queue, &job.accepted, rand, &job.request_id);
    if (job.connection < 0) break;
    worker->state.store(SLOT_RUNNING);
    if (take_hook != nullptr) take_hook(&job);
    request_handler_thread(&job);
    worker->state.store(SLOT_IDLE);
  }
  worker->ended.store(true);
  return nullptr;
}

void pool_set_thread_create(int (*create)(pthread_t *thread, const pthread_attr_t *attr,
                                          void *(*start)(void *), void *arg)) {
  thread_create = create != nullptr ? create : pthread_create;
}

void pool_set_on_take(void (*on_take)(const worker_job *job)) {
  take_hook = on_take;
}
