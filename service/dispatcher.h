// The worker pool: the dispatcher takes accepted connections from the connection queue in
// order and hands each to a worker slot, at most service_thread_count at once; the monitor
// returns the slots of finished workers. Every slot has one long-lived worker thread, started
// at set-up and joined at the stop, which a hand-over wakes to serve one connection, so no
// thread is started per connection. Every wait is a timed wait of at most a second that is cut
// short by what it waits for, so an idle pool answers at once and a slot is usable again as
// soon as its worker has served its connection.
//
// Thread safety: one dispatcher runs at a time. The pool lock guards free_slots, busy_slots and
// busy_count; it is held for each take, append and count test, for each pass of the monitor
// and while the stop empties busy_slots, and never while waiting. Each slot's wake lock guards
// its handed and quit marks and is taken alone. A slot's state word is atomic: the worker
// stores SLOT_FINISHED without a lock. The pool lock may be taken before the connection
// queue's lock, never after it.
#ifndef VRELL_SERVICE_DISPATCHER_H_
#define VRELL_SERVICE_DISPATCHER_H_

#include <glib.h>
#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "service/queue.h"
#include "service/request.h"

// The id generator is seeded with this, then re-seeded with its first value, so that the ids
// follow the same sequence in every run.
constexpr unsigned REQUEST_ID_SEED = 1103527590;

// The longest any wait of the pool lasts before it looks at its flags again.
constexpr int POOL_WAIT_MS = 1000;

// One worker's place in the pool. The dispatcher owns the array of slots.
struct worker_slot {
  pthread_t thread;            // the slot's worker, alive from set-up to the stop
  worker_job job;              // written by the dispatcher only while the slot is not running
  std::atomic<int32_t> state;  // SLOT_IDLE, SLOT_RUNNING or SLOT_FINISHED
  std::mutex wake_lock;        // guards handed and quit
  std::condition_variable wake;
  bool handed;  // a connection waits in job for the worker
  bool quit;    // the worker ends once nothing is handed
};

// The monitor's argument; it lives with the dispatcher, which joins the monitor first.
struct thread_queue_args {
  GQueue *busy_slots;
  GQueue *free_slots;
  int32_t *busy_count;
};

// Dispatcher thread entry; the argument is the address of the connection queue handle. Main
// sets request_queue_running before starting it and, to stop it, clears the flag and calls
// dispatcher_wake. It sets up service_thread_count slots with a worker thread each, starts the
// monitor and hands out connections until the flag is clear and the queue is empty; then it
// ends and joins the worker of every slot still in busy_slots (each first serves its connection
// to the end), the monitor, and the remaining workers. A connection popped when the flag is
// already clear is closed without a reply. When the queue is missing, service_thread_count is
// below 1, memory for the slots runs out or a worker or the monitor cannot be started, it ends
// and joins the workers already started, clears accept_loop_running, calls
// dispatcher_on_stop_request and ends. Returns null.
void *request_queue_handler(void *queue);

// Monitor thread entry, started and joined by the dispatcher. While thread_queue_running is set
// or busy_slots is not empty it returns every finished slot: moves it to free_slots as
// SLOT_IDLE and lowers busy_count; the slot's worker is then already waiting for its next
// connection. It waits between passes until a worker ends,
// the flag is cleared or a second has passed. An incomplete argument clears
// accept_loop_running, calls dispatcher_on_stop_request and ends. Returns null.
void *thread_queue_handler(void *args);

// Cuts short every wait of the pool so that it reads its run flags again. Whoever clears
// request_queue_running or thread_queue_running calls it after the clear. Takes locks, so it is
// not for signal handlers; the pool does not read accept_loop_running, so the signal path need
// not call it. Does nothing when no dispatcher runs.
void dispatcher_wake(void);

// Called, when not null, each time the dispatcher or the monitor clears accept_loop_running,
// so that the daemon can wake its accept. Set it before the dispatcher starts.
extern void (*dispatcher_on_stop_request)(void);

// How the pool starts its threads, the monitor and one worker per slot at set-up:
// pthread_create unless a test replaces it, before the dispatcher starts, to make starts fail.
// A worker gets the address of its worker_slot as arg.
extern int (*dispatcher_thread_create)(pthread_t *thread, const pthread_attr_t *attr,
                                       void *(*start)(void *), void *arg);

// Called, when not null, on the dispatcher's thread for each hand-over, once the job holds its
// connection and request id and before the slot's worker is woken. For tests that follow the
// hand-overs; set it before the dispatcher starts.
extern void (*dispatcher_on_hand_over)(const worker_job *job);

// A snapshot of the pool, taken under the pool lock.
struct dispatcher_stats {
  int32_t slots;       // service_thread_count at set-up
  int32_t free_slots;  // slots in free_slots
  int32_t busy_slots;  // slots in busy_slots
  int32_t busy_count;
};

// Fills stats from the running dispatcher. Returns 0; -1 when no dispatcher has its slots set
// up, or stats is null.
int dispatcher_get_stats(dispatcher_stats *stats);

#endif  // VRELL_SERVICE_DISPATCHER_H_
