// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/server.h"

#include <assert.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "daemon/run_state.h"
#include "service/stats.h"

static_assert(SERVER_PATH_MAX == UNIX_SOCKET_PATH_MAX);

namespace {

std::atomic<uint64_t> accept_retries{0};

// Only these mean that the listening descriptor no longer is a listening socket; accepting
// again could never succeed. Everything else (EMFILE, ENFILE, ENOBUFS, ENOMEM, ECONNABORTED,
// EPROTO, EINTR, EAGAIN) passes, so that a burst of idle connections that exhausts the
// descriptors slows the daemon down instead of stopping it.
bool accept_error_ends_loop(int error) {
  switch (error) {
    case EBADF:
    case EINVAL:
    case ENOTSOCK:
    case EOPNOTSUPP:
    case EFAULT:
      return true;
    default:
      return false;
  }
}

void retry_pause() {
  struct timespec delay = {0, SERVER_RETRY_DELAY_MS * 1000000L};
  nanosleep(&delay, nullptr);
}

}  // namespace

int open_server_socket(const daemon_settings *settings, int backlog) {
  if (settings == nullptr || settings->socket_path[0] == '\0') return SERVER_NO_PATH;
  const char *path = settings->socket_path;
  if (path[0] != '/') return SERVER_RELATIVE_PATH;
  size_t length = strnlen(path, sizeof settings->socket_path);
  if (length > static_cast<size_t>(SERVER_PATH_MAX)) return SERVER_PATH_TOO_LONG;
  if (backlog < SERVER_BACKLOG_MIN || backlog > SERVER_BACKLOG_MAX) return SERVER_BAD_BACKLOG;
  if (access(path, F_OK) == 0) return SERVER_PATH_EXISTS;

  struct sockaddr_un address;
  socklen_t address_length;
  if (unix_socket_address(path, &address, &address_length) < 0) return SERVER_PATH_TOO_LONG;

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return SERVER_SOCKET_FAILED;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&address), address_length) != 0) {
    close(fd);
    return SERVER_SOCKET_FAILED;
  }
  // The umask would otherwise keep scanners running as other users out.
  chmod(path, 0777);
  // Not the thread count: a burst beyond it then waits queued instead of in connect, and the
  // accept loop finds it ready.
  if (listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return SERVER_SOCKET_FAILED;
  }
  return fd;
}

void close_server_socket(int fd, const daemon_settings *settings) {
  if (fd >= 0) close(fd);
  if (settings != nullptr && settings->socket_path[0] != '\0') unlink(settings->socket_path);
}

int server_accept_loop(int listen_fd, server_hand_over hand_over, void *arg, server_wait wait) {
  assert(hand_over != nullptr);
  while (accept_loop_running.load() != 0) {
    // The wait counts as part of the accept: a stop that comes during it is claimed, and its
    // exit request wakes the wait as it would wake the accept.
    accept_in_progress.store(1);
    int ready = wait != nullptr ? wait(listen_fd, arg) : 1;
    if (ready <= 0) {
      accept_in_progress.store(0);
      if (ready == 0) continue;
      accept_loop_running.store(0);
      return SERVER_LOOP_HAND_OVER_FAILED;
    }
    int connection = accept(listen_fd, nullptr, nullptr);
    int error = errno;
    accept_in_progress.store(0);
    if (connection < 0) {
      if (accept_error_ends_loop(error)) {
        accept_loop_running.store(0);
        return SERVER_LOOP_ACCEPT_FAILED;
      }
      accept_retries.fetch_add(1);
      retry_pause();
      continue;
    }
    stats_count(STATS_CONNECTIONS);
    const struct timespec accepted = clock_now();
    if (hand_over(connection, &accepted, arg) < 0) {
      close(connection);
      accept_loop_running.store(0);
      return SERVER_LOOP_HAND_OVER_FAILED;
    }
  }
  return SERVER_LOOP_STOPPED;
}

uint64_t server_accept_retries(void) {
  return accept_retries.load();
}
