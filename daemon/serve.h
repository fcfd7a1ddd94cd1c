// Serving without the worker pool: every accepted connection gets a detached thread of its own
// that runs request_handler_thread on it. serve_run is the whole serving part of the daemon at
// this stage (socket, accept loop, clean-up), shared by main and by tests that start the daemon
// in-process on a socket of their own.
//
// Thread safety: serve_run runs on one thread at a time. serve_on_thread is called by the accept
// loop; the connection threads share only the cache, which guards itself, and an atomic count.
#ifndef VRELL_DAEMON_SERVE_H_
#define VRELL_DAEMON_SERVE_H_

#include <time.h>

#include "cache/cache.h"
#include "daemon/settings.h"

// How often serve_run looks whether the last connection thread has ended.
constexpr int SERVE_DRAIN_POLL_MS = 10;

// A hand-over for server_accept_loop; arg is the verdict_cache. Starts a detached thread that
// serves the connection with a positive request id and the accept time, then frees its job.
// Returns 0: the connection is the thread's, or, when no thread could be started, it has been
// closed unanswered, since a lack of threads passes as a lack of descriptors does.
int serve_on_thread(int connection, const struct timespec *accepted, void *arg);

// Returns the number of connection threads that have not yet finished.
int serve_active(void);

// Opens the listening socket at settings->socket_path with settings->threads as backlog, sets
// server_socket_path, runs the accept loop with serve_on_thread until accept_loop_running is
// cleared (then one more connection wakes it) or the socket is gone, closes and removes the
// socket node, clears server_socket_path and waits until every connection thread has finished,
// so that the caller may destroy the cache. Returns 0 after the loop has ended, or the negative
// result of open_server_socket. Never prints.
int serve_run(const daemon_settings *settings, verdict_cache *cache);

#endif  // VRELL_DAEMON_SERVE_H_
