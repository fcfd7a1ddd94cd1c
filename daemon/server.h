/* SPDX-License-Identifier: BSD-2-Clause */
// The daemon's listening Unix-domain socket and the accept loop, which stamps every accepted
// connection with its accept time and hands both on (the daemon admits them to its waiting set,
// which queues each for the worker pool once it has something to read) without ever reading
// from it.
//
// Thread safety: open_server_socket and close_server_socket belong to the main thread. One
// thread at a time runs server_accept_loop; it reads accept_loop_running before each accept and
// writes accept_in_progress around it (daemon/run_state.h), so a signal handler or another thread
// ends the loop by clearing accept_loop_running and then connecting once to wake the accept.
#ifndef VRELL_DAEMON_SERVER_H_
#define VRELL_DAEMON_SERVER_H_

#include <stdint.h>
#include <time.h>

#include "daemon/settings.h"

// The number of service threads, passed as backlog, must lie in this range.
constexpr int SERVER_BACKLOG_MIN = 5;
constexpr int SERVER_BACKLOG_MAX = 25;
// The longest socket path: the Unix socket address holds 108 bytes with the terminator.
constexpr int SERVER_PATH_MAX = 107;
// Pause after an accept that failed for a passing reason (no descriptors, no memory, an
// aborted connection, an interruption), before accepting again.
constexpr int SERVER_RETRY_DELAY_MS = 100;

// Results of open_server_socket, tested in this order.
constexpr int SERVER_NO_PATH = -1;        // no settings record, or an empty socket path
constexpr int SERVER_RELATIVE_PATH = -2;  // the path does not begin with '/'
constexpr int SERVER_PATH_TOO_LONG = -3;  // more than SERVER_PATH_MAX characters
constexpr int SERVER_BAD_BACKLOG = -4;    // backlog outside SERVER_BACKLOG_MIN..MAX
constexpr int SERVER_PATH_EXISTS = -5;    // something already exists at the path
constexpr int SERVER_SOCKET_FAILED = -6;  // creating, binding or listening failed

// Results of server_accept_loop.
constexpr int SERVER_LOOP_STOPPED = 0;            // accept_loop_running was found cleared
constexpr int SERVER_LOOP_ACCEPT_FAILED = -1;     // the listening socket is gone
constexpr int SERVER_LOOP_HAND_OVER_FAILED = -2;  // the hand-over refused a connection

// Takes one accepted connection together with its CLOCK_MONOTONIC accept time. Returns 0 when
// it took the connection (from then on it owns the descriptor), negative when it did not (the
// descriptor stays the loop's, which closes it).
using server_hand_over = int (*)(int connection, const struct timespec *accepted, void *arg);

// Called before each accept while the loop runs, with the listening descriptor. Returns 1 when
// the loop may accept now (blocking until a connection comes), 0 when it should test its run
// flag and call again first, negative when the loop must end (SERVER_LOOP_HAND_OVER_FAILED):
// the daemon watches its connections that have sent nothing here, beside the listening socket.
using server_wait = int (*)(int listen_fd, void *arg);

// Creates a Unix-domain stream socket bound at settings->socket_path, sets the node's
// permission bits to 0777 right after the bind (clients of every user connect), and listens
// with a backlog of SOMAXCONN; backlog, the thread count, is only range-tested. Returns the
// listening descriptor, or one of the negative results above; on SERVER_SOCKET_FAILED after a bind
// the node stays. Never prints.
int open_server_socket(const daemon_settings *settings, int backlog);

// Closes the descriptor when it is 0 or more; when settings is given, removes the node at its
// socket path. Never prints.
void close_server_socket(int fd, const daemon_settings *settings);

// Accepts connections on listen_fd and hands each to hand_over with arg, until
// accept_loop_running is found cleared (SERVER_LOOP_STOPPED), the accept fails because the
// listening socket itself is gone (EBADF, EINVAL, ENOTSOCK, EOPNOTSUPP, EFAULT:
// SERVER_LOOP_ACCEPT_FAILED) or the hand-over or the wait refuses (SERVER_LOOP_HAND_OVER_FAILED).
// The failures clear accept_loop_running. Every other accept failure passes: the loop waits
// SERVER_RETRY_DELAY_MS and accepts again. A connection accepted after a stop was asked for is
// still handed over. When wait is not null it is called with arg before each accept, inside the
// span marked by accept_in_progress. Never reads from a connection.
int server_accept_loop(int listen_fd, server_hand_over hand_over, void *arg,
                       server_wait wait = nullptr);

// Returns how many accepts have failed for a passing reason since the process started.
uint64_t server_accept_retries(void);

#endif  // VRELL_DAEMON_SERVER_H_
