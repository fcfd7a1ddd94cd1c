/* SPDX-License-Identifier: BSD-2-Clause */
// The state of the run that ties together the main thread, the termination signal handler, the
// exit thread and the accept loop. Every name here but exit_th is a lock-free atomic word or
// byte, so that the signal handler may read and write it. exit_th is a plain thread handle: the
// main thread alone writes it (lifecycle_start_exit_helper) and joins it
// (lifecycle_finish_exit_helper), and the signal handler never touches it.
#ifndef VRELL_DAEMON_RUN_STATE_H_
#define VRELL_DAEMON_RUN_STATE_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// The number of workers; -1 until main sets it.
extern std::atomic<int32_t> service_thread_count;
// The effective socket path once the socket exists; read by the exit thread.
extern std::atomic<const char *> server_socket_path;
// Cleared to end the accept loop; never set back.
extern std::atomic<int32_t> accept_loop_running;
// 1 while the main thread waits in accept.
extern std::atomic<uint8_t> accept_in_progress;
// The exit thread; main thread only, not atomic.
extern pthread_t exit_th;
// 0 while an exit thread is pending (1 at start and once it has finished).
extern std::atomic<uint8_t> exit_th_done;

#endif  // VRELL_DAEMON_RUN_STATE_H_
