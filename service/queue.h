/* SPDX-License-Identifier: BSD-2-Clause */
// The connection queue: the unbounded first-in first-out line of accepted connections between
// the accept loop, which pushes, and the pool's workers, which take. Each cell carries the
// descriptor and the CLOCK_MONOTONIC time of its accept, from which the receive time-out
// counts; the accept loop stamps it once and the stamp travels with the descriptor.
//
// Every call takes the address of the queue handle. A descriptor belongs to the queue from push
// to pop; the queue never closes one.
//
// Thread safety: the queue has a lock of its own, held for the one operation by push, pop,
// take, length and close, and released while connection_queue_take waits. Any number of
// threads may call these at once. connection_queue_create and connection_queue_free must not race
// with anything else on the same handle.
#ifndef VRELL_SERVICE_QUEUE_H_
#define VRELL_SERVICE_QUEUE_H_

#include <glib.h>
#include <stdint.h>
#include <time.h>

struct connection_queue;

// Makes an empty queue and stores its handle at queue. Returns 0; -1 when queue is null or the
// queue cannot be made.
int connection_queue_create(connection_queue **queue);

// Appends a cell with the descriptor and its accept time at the tail and wakes a waiter; a null
// accepted stands for the current CLOCK_MONOTONIC time. Returns 0; -1 when there is no queue or
// no memory for the cell.
int connection_queue_push(connection_queue **queue, int32_t connection,
                          const struct timespec *accepted = nullptr);

// Removes the head cell and frees it. Returns its descriptor and, when accepted is not null,
// stores its accept time there; returns -1 when there is no queue or it is empty.
int32_t connection_queue_pop(connection_queue **queue, struct timespec *accepted = nullptr);

// Returns the number of cells; 0 for an empty queue and when there is no queue.
int connection_queue_length(connection_queue **queue);

// Removes the head cell as connection_queue_pop does, waiting while the queue is empty and
// open. When draw is not null it is called under the queue's lock for the cell taken and its
// value stored at drawn, so that values drawn follow the order of the queue. Returns the
// descriptor; -1 when there is no queue, or it is empty and closed.
int32_t connection_queue_take(connection_queue **queue, struct timespec *accepted,
                              int (*draw)(void), int32_t *drawn);

// Closes the queue: takers empty it, then every take returns -1 at once instead of waiting.
// Pushes still succeed. Does nothing when there is no queue.
void connection_queue_close(connection_queue **queue);

// Returns the most cells the queue has held at once since it was made; 0 when there is no
// queue.
int connection_queue_length_max(connection_queue **queue);

// Returns how many cells have been taken off the head (pop or take) since the queue was made; 0
// when there is no queue.
uint64_t connection_queue_taken(connection_queue **queue);

// Frees every cell with FreeEachElement, leaving the descriptors open, frees the queue and
// clears the handle. Does nothing when there is no queue.
void connection_queue_free(connection_queue **queue);

// Frees one cell; the descriptor in it is not closed. The GDestroyNotify of the free.
void FreeEachElement(gpointer cell);

#endif  // VRELL_SERVICE_QUEUE_H_
