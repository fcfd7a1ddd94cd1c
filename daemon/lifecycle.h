/* SPDX-License-Identifier: BSD-2-Clause */
// Detaching from the terminal, and the signals: SIGTERM and SIGINT lead to an orderly stop,
// SIGHUP is ignored.
// The stop interrupts no system call: the handler clears accept_loop_running and wakes the
// exit helper thread, which connects to the daemon's own socket and sends the exit request;
// that connection makes the blocked accept return and the loop sees the cleared flag.
//
// The main function uses it in this order:
//   lifecycle_ignore_hangup()  (first of all);
//   server_socket_path := the socket path;   lifecycle_install_handlers();   daemonize();
//   (in the detached child) write_pid_file;
//   lifecycle_set_listener(listen_fd);   lifecycle_start_exit_helper();   start the pool;
//   the accept loop;
//   lifecycle_finish_exit_helper()  (in place of joining exit_th when exit_th_done is 0);
//   stop the pool (it serves every accepted connection first), the rest of the orderly stop.
//
// Thread safety: termination_signal_handler touches only the lock-free flags of
// daemon/run_state.h and the wake pipe, so it may run on any thread; while the exit helper runs,
// every other thread started after it blocks SIGTERM and SIGINT, and the signal reaches the
// helper. The lifecycle_ calls and daemonize belong to the main thread. exit_th is the exit
// helper thread, written by lifecycle_start_exit_helper and joined by
// lifecycle_finish_exit_helper, both on the main thread.
#ifndef VRELL_DAEMON_LIFECYCLE_H_
#define VRELL_DAEMON_LIFECYCLE_H_

// send_exit_request receives once, up to this many bytes, and ignores what it gets.
constexpr int EXIT_REPLY_MAX = 256;
// How long send_exit_request waits for the connection and for the answer, so that a stop
// never hangs on it.
constexpr int EXIT_REQUEST_TIMEOUT_MS = 5000;
// The exit helper looks at accept_loop_running at least this often, so that a stop asked by
// a thread (which does not wake it) still wakes the accept loop.
constexpr int EXIT_STOP_CHECK_MS = 1000;
// After a stop, how often the exit helper looks whether the main thread has reached accept.
constexpr int EXIT_WINDOW_POLL_MS = 10;

// The messages of daemonize, on standard error.
constexpr char DAEMONIZE_NO_NULL_MESSAGE[] = "Can't open /dev/null\n";
constexpr char DAEMONIZE_DUP2_FORMAT[] = "dup2(%d, %d) failed\n";

// Flushes the standard streams, so that lines printed before detaching are not lost, then
// opens /dev/null three times (read-only, write-only, write-only), duplicates them onto
// descriptors 0, 1 and 2, closes those above 2, and forks. Returns 0 in the detached child,
// which has called setsid; -1 in the calling process when an open, a dup2 (both with their
// message on standard error) or the fork (silently) failed. The parent of the fork does not
// return: it leaves with _exit(0). Changes neither the working directory nor the umask; every
// other descriptor stays open and is inherited.
int daemonize(void);

// The handler of SIGTERM and SIGINT. Clears accept_loop_running; when it finds the main
// thread in accept it clears accept_in_progress and exit_th_done (only one signal can win
// that), and in every case it wakes the exit helper. Async-signal-safe; keeps errno.
void termination_signal_handler(int signal_number);

// The body of the exit thread, run by the exit helper: send_exit_request with
// server_socket_path (its result is ignored), then exit_th_done := 1 as its last act.
void exit_signal_thread(void);

// Connects to the socket at path, sends the exit request and receives once. Returns 0 when an
// answer of any content, or an orderly end of the connection, arrived within timeout_ms; -1
// when the path is null, relative, not readable and writable or not a socket, or connecting,
// sending or receiving failed or timed out. Once lifecycle_finish_exit_helper has begun it
// waits no longer. Never prints; never raises SIGPIPE.
int send_exit_request(const char *path, int timeout_ms = EXIT_REQUEST_TIMEOUT_MS);

// Sets SIGHUP to SIG_IGN for the rest of the process's life; threads and the detached child
// inherit it. Its default action would end the daemon without the orderly stop, leaving the
// pid file and the socket node that make every later start refuse, and a service manager does
// not restart a daemon that a hang-up ended. Cannot fail: SIGHUP may always be ignored.
void lifecycle_ignore_hangup(void);

// Creates the wake pipe of the exit helper (once per process), then installs
// termination_signal_handler for SIGTERM and then SIGINT with sigaction: SA_RESTART, which
// is what signal gives on glibc, so an interrupted accept resumes instead of failing; the
// handler stays installed (no SA_RESETHAND), and blocks both signals while it runs. Call it
// after server_socket_path is set and before daemonize. Returns 0, or -1 when the pipe or an
// install failed.
int lifecycle_install_handlers(void);

// Names the listening descriptor. Once a stop was asked and the exit request has been dealt
// with, the exit helper shuts that socket down, so that an accept which no exit request
// reached (the node was removed or made inaccessible) returns and the loop ends.
void lifecycle_set_listener(int listen_fd);

// Starts the exit helper thread as exit_th, in the detached child (threads do not survive
// the fork) and before the accept loop; best before the pool, whose threads then
// inherit the mask. Blocks SIGTERM and SIGINT in the calling thread, so that they reach the
// helper and never interrupt accept. A signal that came earlier is acted on as soon as the
// helper runs. Returns 0, or -1 when the thread could not be started or the handlers were
// never installed; the caller then stops at once, since no signal could wake the loop.
int lifecycle_start_exit_helper(void);

// Called by the main thread after it has left the accept loop, in place of joining exit_th.
// Tells the helper that the loop is over, then joins it: the helper gives up waiting for the
// answer to an exit request in flight (the workers still serve its connection when it was
// accepted) and shuts the listening socket down. Restores the calling thread's signal mask. Does
// nothing when no helper was started. The wake pipe stays open, so a late signal is harmless.
void lifecycle_finish_exit_helper(void);

#endif  // VRELL_DAEMON_LIFECYCLE_H_
