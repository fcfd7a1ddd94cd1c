// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/run_state.h"

// The signal handler reads and writes the atomics; one that needed a lock could deadlock it.
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::atomic<const char *>::is_always_lock_free);
static_assert(std::atomic<uint8_t>::is_always_lock_free);

std::atomic<int32_t> service_thread_count{-1};
std::atomic<const char *> server_socket_path{nullptr};
std::atomic<int32_t> accept_loop_running{1};
std::atomic<uint8_t> accept_in_progress{0};
pthread_t exit_th;
std::atomic<uint8_t> exit_th_done{1};
