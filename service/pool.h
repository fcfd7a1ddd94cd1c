/* SPDX-License-Identifier: BSD-2-Clause */
// The worker pool: a fixed number of long-lived workers, each of which takes the connection at
// the head of the connection queue, serves it with request_handler_thread and takes the next.
// A connection thus reaches its worker in one hand-over, in accept order, and at most as many
// are served at once as there are workers. Stopping the pool closes the queue: the workers
// first serve every connection still in it, then end. Each worker puts itself under SCHED_BATCH
// as it starts (it stays under the normal policy where that fails), so that a worker a push
// wakes waits for a core instead of preempting the accept loop.
//
// Thread safety: pool_start and pool_stop belong to one thread (the daemon's main thread).
// pool_counts may be called from any thread while the pool runs, a worker included. The pool
// has no lock of its own: workers meet only in the connection queue, under its lock.
#ifndef VRELL_SERVICE_POOL_H_
#define VRELL_SERVICE_POOL_H_

#include <pthread.h>
#include <stdint.h>

#include "cache/cache.h"
#include "service/queue.h"
#include "service/request.h"
#include "service/stats.h"
#include "service/waiting.h"

// The request id generator is seeded with this, then re-seeded with its first value, so that
// the ids follow the same sequence, in accept order, in every run.
constexpr unsigned REQUEST_ID_SEED = 1103527590;

// A worker's state word: waiting for a connection, or serving one.
constexpr int32_t SLOT_IDLE = 0;
constexpr int32_t SLOT_RUNNING = 1;

// What the pool needs from its owner. The pool copies it; the queue and the cache must outlive
// the pool.
struct pool_config {
  int32_t threads;             // service_thread_count: the number of workers, at least 1
  verdict_cache *cache;        // handed to every request
  connection_queue **queue;    // the address of the queue handle the accept loop pushes onto
  void (*request_stop)(void);  // called, when not null, when the pool cannot be set up
  const waiting_set *waiting;  // read for the waiting gauge; may be null
};

struct worker_pool;

// A snapshot of a running pool, for operators: the gauges that "S" reports.
using pool_counters = stats_gauges;

// Starts config->threads workers and seeds the request ids; call it before anything is pushed.
// Returns the pool, which the caller ends with pool_stop; null when config, its queue or its
// thread count is unusable, memory runs out or a worker cannot be started: the workers already
// started are ended first (the queue is closed for that), and config->request_stop is called.
worker_pool *pool_start(const pool_config *config);

// How long pool_stop waits for its workers by default: every connection queued is answered
// within its receive deadline, and a worker that has not ended a few seconds after that is
// held by something it cannot get out of.
constexpr int POOL_STOP_GRACE_MS = 3000;
constexpr int POOL_STOP_WAIT_MS = REQUEST_RECEIVE_TIMEOUT_MS + POOL_STOP_GRACE_MS;

// Closes the queue, lets the workers serve every connection in it (each is answered at the
// latest when its receive deadline, counted from its accept, has passed), waits at most wait_ms
// for them to end, joins them and frees the pool. Fills last, when not null, with the counts
// once the wait is over. The caller stops pushing first. Returns 0; the number of workers still
// running at the bound, which are then left detached, with the pool, its queue and the cache
// still in their use: the caller frees none of these and ends the process. Returns 0 for a null
// pool.
int pool_stop(worker_pool *pool, pool_counters *last, int wait_ms = POOL_STOP_WAIT_MS);

// Fills counters from pool. Returns 0; -1 when pool or counters is null.
int pool_counts(const worker_pool *pool, pool_counters *counters);

// The loop of one worker; arg is the worker's record, the result null. Takes
// connections from the queue and serves them until the queue is closed and empty.
void *request_queue_handler(void *arg);

// For tests: replaces pthread_create, with which the pool starts its workers, to make starts
// fail. Null restores pthread_create. Call it before pool_start.
void pool_set_thread_create(int (*create)(pthread_t *thread, const pthread_attr_t *attr,
                                          void *(*start)(void *), void *arg));

// For tests that follow the hand-overs: on_take is called by a worker for each connection it
// has taken, before serving it. Null, the default, calls nothing. Call it before pool_start.
void pool_set_on_take(void (*on_take)(const worker_job *job));

#endif  // VRELL_SERVICE_POOL_H_
