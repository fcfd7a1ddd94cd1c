// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/lifecycle.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "base/wire.h"
#include "config/path.h"
#include "daemon/run_state.h"

// How the stop reaches a main thread that may be anywhere in its loop:
//
//   while (accept_loop_running) {        (T)
//     accept_in_progress := 1;           (S)
//     wait, then accept(...);            (A)  the wait: for connections that have sent nothing
//     accept_in_progress := 0;           (C)
//     hand the connection over
//   }
//   lifecycle_finish_exit_helper();      (F)
//
// A thread may not be created in a signal handler, so the handler only clears the run flag,
// claims the exit request with a compare-and-swap of accept_in_progress from 1 to 0 (so at
// most one exit request is ever sent) and writes a byte to the wake pipe. The helper thread,
// started before the loop, is woken by that byte or finds the cleared flag on its own within
// EXIT_STOP_CHECK_MS. It then:
// - sends the exit request when the handler claimed it: the main thread was between S and C;
// - otherwise keeps trying the same claim every EXIT_WINDOW_POLL_MS until F tells it the loop
//   is over. A main thread between T and S (the window the handler cannot see) reaches S
//   within moments and is claimed there; one before T or after C leaves the loop and reaches F.
// The exit request's connect and receive give up at F: the loop is over, so the request has
// done its part, and a claim made just after accept returned (between A and C) leaves it
// unaccepted in the backlog, where no answer could ever come. Last, the helper shuts the listening
// socket down: a blocked accept that no exit request reached (the node is gone) then fails, and
// every later accept fails at once, which ends the loop. F joins the helper, so no join and no
// accept can wait without bound.

namespace {

std::atomic<int> wake_read{-1};
std::atomic<int> wake_write{-1};
std::atomic<int> listener{-1};
// CLOCK_MONOTONIC milliseconds at which the main thread left the loop; 0 while it has not.
std::atomic<int64_t> loop_left_at{0};
bool helper_started = false;
// The main thread's signal mask from before lifecycle_start_exit_helper.
sigset_t main_mask;

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

void wake_helper() {
  int fd = wake_write.load();
  // A full pipe already holds a wake-up; the result does not matter.
  if (fd >= 0 && write(fd, "w", 1) < 0) {
  }
}

void drain_wake() {
  char bytes[64];
  int fd = wake_read.load();
  while (fd >= 0 && read(fd, bytes, sizeof bytes) > 0) {
  }
}

// The time the exit request waits until: its own deadline, or the moment the loop was left.
// Its answer is of no use from then on: the workers serve the connection when it was accepted,
// and one left in the backlog is never accepted.
int64_t effective_deadline(int64_t deadline) {
  int64_t left = loop_left_at.load();
  return left != 0 ? std::min(deadline, left) : deadline;
}

// Waits for events on fd (none when fd is negative) until the effective deadline, or at most
// slice_ms when that is positive, waking early for the wake pipe. Returns true when fd is
// ready.
bool wait_ready(int fd, short events, int64_t deadline, int64_t slice_ms) {
  for (;;) {
    int64_t now = clock_now_ms();
    int64_t until = effective_deadline(deadline);
    if (slice_ms > 0) until = std::min(until, now + slice_ms);
    if (now >= until) return false;
    struct pollfd fds[2] = {{fd, events, 0}, {wake_read.load(), POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(until - now));
    if (n < 0 && errno != EINTR) return false;
    if (n > 0 && fds[0].revents != 0) return true;
    if (n > 0 && fds[1].revents != 0) drain_wake();
  }
}

// Waits up to ms for a byte on the wake pipe, and empties it.
void wait_wake(int ms) {
  struct pollfd fds = {wake_read.load(), POLLIN, 0};
  poll(&fds, 1, ms);
  drain_wake();
}

// Descriptors 0 to 2 are replaced by daemonize, so the pipe must live above them even when
// the daemon was started with a standard stream closed.
int above_std_streams(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

bool claim_exit_request() {
  uint8_t in_accept = 1;
  if (!accept_in_progress.compare_exchange_strong(in_accept, 0)) return false;
  exit_th_done.store(0);
  return true;
}

sigset_t termination_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

void *exit_helper_thread(void *) {
  // Every other thread started from here on blocks the two signals, so they are delivered here,
  // where poll is interrupted, and never to a thread blocked in accept, whose call resumes
  // before a deferring runtime such as ThreadSanitizer's ever runs the handler. A signal that
  // came while the main thread blocked them is delivered the moment this unblocks.
  sigset_t signals = termination_signals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  while (accept_loop_running.load() != 0 && loop_left_at.load() == 0) {
    wait_wake(EXIT_STOP_CHECK_MS);
  }
  for (;;) {
    if (exit_th_done.load() == 0) {
      exit_signal_thread();
      break;
    }
    if (loop_left_at.load() != 0) break;
    if (claim_exit_request()) continue;
    wait_wake(EXIT_WINDOW_POLL_MS);
  }
  int fd = listener.load();
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
  return nullptr;
}

}  // namespace

int daemonize(void) {
  // Output still buffered here would go to /dev/null, or be dropped by the parent's _exit.
  fflush(stdout);
  fflush(stderr);
  int opened[3] = {open("/dev/null", O_RDONLY), open("/dev/null", O_WRONLY),
                   open("/dev/null", O_WRONLY)};
  if (opened[0] < 0 || opened[1] < 0 || opened[2] < 0) {
    fputs(DAEMONIZE_NO_NULL_MESSAGE, stderr);
    for (int fd : opened) {
      if (fd >= 0) close(fd);
    }
    return -1;
  }
  // Until the fork has succeeded a failure is reported on the output the daemon was started
  // with, so that output is kept aside and put back for the report.
  int kept[2] = {fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3),
                 fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)};
  auto put_back = [&kept](bool restore) {
    for (int i = 0; i < 2; ++i) {
      if (kept[i] < 0) continue;
      if (restore) dup2(kept[i], STDOUT_FILENO + i);
      close(kept[i]);
    }
  };
  for (int i = 0; i < 3; ++i) {
    if (dup2(opened[i], i) < 0) {
      put_back(true);
      fprintf(stderr, DAEMONIZE_DUP2_FORMAT, opened[i], i);
      for (int fd : opened) {
        if (fd > 2) close(fd);
      }
      return -1;
    }
  }
  for (int fd : opened) {
    if (fd > 2) close(fd);
  }
  pid_t pid = fork();
  put_back(pid < 0);
  if (pid < 0) return -1;
  // No static destructors, no second flush and no leak check in the parent.
  if (pid > 0) _exit(0);
  setsid();
  return 0;
}

void termination_signal_handler(int) {
  int saved_errno = errno;
  accept_loop_running.store(0);
  claim_exit_request();
  wake_helper();
  errno = saved_errno;
}

void exit_signal_thread(void) {
  send_exit_request(server_socket_path.load());
  exit_th_done.store(1);
}

int send_exit_request(const char *path, int timeout_ms) {
  if (path == nullptr || path[0] != '/' || access(path, R_OK | W_OK) != 0 ||
      path_file_type(path) != PATH_TYPE_SOCKET) {
    return -1;
  }
  int64_t deadline = clock_now_ms() + timeout_ms;
  // A full backlog holds a connect; each try waits a slice only, so that the end of the loop
  // cuts the wait short and no connect can keep the main thread in its join.
  unix_socket_guard connection;
  for (;;) {
    int64_t until = std::min(effective_deadline(deadline), clock_now_ms() + EXIT_WINDOW_POLL_MS);
    connection.fd = unix_socket_connect(path, until);
    if (connection.fd >= 0) break;
    if (errno != EAGAIN && errno != EINTR) return -1;
    if (clock_now_ms() >= effective_deadline(deadline)) return -1;
  }
  const int fd = connection.fd;
  // The exit request is sent with its NUL in one send; only the connection matters.
  if (send(fd, REQUEST_EXIT, sizeof REQUEST_EXIT, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof REQUEST_EXIT))
    return -1;
  if (!wait_ready(fd, POLLIN, deadline, 0)) return -1;
  char reply[EXIT_REPLY_MAX];
  return recv(fd, reply, sizeof reply, 0) < 0 ? -1 : 0;
}

void lifecycle_ignore_hangup(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGHUP, &action, nullptr);
}

int lifecycle_install_handlers(void) {
  if (wake_write.load() < 0) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    int read_end = above_std_streams(ends[0]);
    int write_end = above_std_streams(ends[1]);
    if (read_end < 0 || write_end < 0) {
      if (read_end >= 0) close(read_end);
      if (write_end >= 0) close(write_end);
      return -1;
    }
    wake_read.store(read_end);
    wake_write.store(write_end);
  }
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = termination_signal_handler;
  action.sa_flags = SA_RESTART;
  action.sa_mask = termination_signals();
  if (sigaction(SIGTERM, &action, nullptr) != 0) return -1;
  if (sigaction(SIGINT, &action, nullptr) != 0) return -1;
  return 0;
}

void lifecycle_set_listener(int listen_fd) {
  listener.store(listen_fd);
}

int lifecycle_start_exit_helper(void) {
  if (helper_started || wake_read.load() < 0) return -1;
  sigset_t signals = termination_signals();
  pthread_sigmask(SIG_BLOCK, &signals, &main_mask);
  if (pthread_create(&exit_th, nullptr, exit_helper_thread, nullptr) != 0) {
    pthread_sigmask(SIG_SETMASK, &main_mask, nullptr);
    return -1;
  }
  helper_started = true;
  return 0;
}

void lifecycle_finish_exit_helper(void) {
  if (!helper_started) return;
  // Never 0, which means "still in the loop".
  loop_left_at.store(std::max(clock_now_ms(), int64_t{1}));
  wake_helper();
  pthread_join(exit_th, nullptr);
  helper_started = false;
  pthread_sigmask(SIG_SETMASK, &main_mask, nullptr);
}
