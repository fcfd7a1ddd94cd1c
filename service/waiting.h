/* SPDX-License-Identifier: BSD-2-Clause */
// The waiting set: accepted connections that have not sent anything yet. They wait here, watched
// with epoll by the accepting thread, instead of in a worker; a connection goes on to the
// connection queue once it has something to read (its request, or its end) or once its receive
// deadline, counted from its accept, has run out (the worker then answers it at once). So a
// client that connects and stays silent costs a descriptor and a cell, never a worker.
//
// The set is bounded (waiting_bound): when it is full, its oldest connection is answered
// "208-Cache error" and closed to make room, and counted under STATS_ERRORS. The connection just
// admitted may stay one over the bound until the next wait, which sees whether it has spoken
// meanwhile: a client accepted between its connect and its write never makes another give way.
//
// Thread safety: every call but waiting_count belongs to one thread, the one that accepts (the
// daemon's main thread). waiting_count may be called from any thread while the set exists.
#ifndef VRELL_SERVICE_WAITING_H_
#define VRELL_SERVICE_WAITING_H_

#include <stdint.h>
#include <time.h>

#include "service/queue.h"

// Descriptors kept out of the bound for everything but the waiting connections: the standard
// streams, the listening socket, the epoll instance, the log, the exit helper's pipe and
// connection, the pid file, and room to spare.
constexpr int WAITING_FDS_RESERVED = 32;
// Per worker: the connection it serves and one queued behind it.
constexpr int WAITING_FDS_PER_WORKER = 2;
// The bound never exceeds this, whatever the descriptor limit.
constexpr int WAITING_MAX = 1 << 20;

struct waiting_set;

// Returns the most connections that may wait with a descriptor limit of nofile (the soft
// RLIMIT_NOFILE) and threads workers: nofile - WAITING_FDS_RESERVED - WAITING_FDS_PER_WORKER *
// threads, at least threads (so a small limit never serves fewer silent clients than a worker
// each), at most WAITING_MAX.
int waiting_bound(uint64_t nofile, int threads);

// Makes an empty set that holds at most bound connections (at least 1) and hands the ready
// ones to queue; listen_fd is watched with them, so that one wait sees both. Returns the set,
// which the caller frees with waiting_free; null when bound, queue or listen_fd is unusable, or
// the epoll instance or memory cannot be had. Never prints.
waiting_set *waiting_create(connection_queue **queue, int listen_fd, int bound);

// Takes a connection just accepted, with its CLOCK_MONOTONIC accept time. One that has
// something to read goes onto the queue at once; one that has not is held (the oldest held
// connection answered and closed first when the set is already one over its bound). One that
// cannot be held goes onto the queue as well. Returns 0 when the set or the queue took the
// connection (it owns the descriptor from then on); -1 when the queue refused it (the descriptor
// stays the caller's).
int waiting_admit(waiting_set *set, int connection, const struct timespec *accepted);

// Returns 1 at once when no connection is held: the caller may block in accept. Otherwise waits,
// at most until the oldest held connection's deadline, for the listening socket or a held
// connection to become readable; hands every held connection that became readable or whose
// deadline has passed to the queue, in that order; then answers and closes the oldest until the
// set is within its bound. Returns 1 when the listening socket has a
// connection to accept (or has failed, which the accept will tell), 0 when it has not; -1 when
// the queue refused a connection: that one and every one still held are answered and closed.
int waiting_wait(waiting_set *set);

// Hands every held connection to the queue, oldest first, for the orderly stop: the workers
// answer each when it speaks or at its deadline. Returns 0; -1 when the queue refused one, which
// is then answered and closed, as is every one after it.
int waiting_flush(waiting_set *set);

// Returns the number of connections held now; 0 for a null set.
int waiting_count(const waiting_set *set);

// Answers and closes every connection still held, closes the epoll instance (not the listening
// socket) and frees the set. Does nothing for a null set.
void waiting_free(waiting_set *set);

#endif  // VRELL_SERVICE_WAITING_H_
