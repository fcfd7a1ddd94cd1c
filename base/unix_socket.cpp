// SPDX-License-Identifier: BSD-2-Clause
#include "base/unix_socket.h"

#include <errno.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "base/clock.h"

int unix_socket_address(const char *path, sockaddr_un *address, socklen_t *length) {
  if (path == nullptr || path[0] == '\0') return -1;
  size_t n = strnlen(path, UNIX_SOCKET_PATH_MAX + 1);
  if (n > UNIX_SOCKET_PATH_MAX) return -1;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, path, n);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
  return 0;
}

int unix_socket_connect(const char *path, int64_t deadline_ms) {
  sockaddr_un address;
  socklen_t length;
  if (unix_socket_address(path, &address, &length) < 0) {
    errno = EINVAL;
    return -1;
  }
  unix_socket_guard socket_fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket_fd.fd < 0) return -1;
  for (;;) {
    if (deadline_ms >= 0) {
      // A connect to a full backlog waits as long as a send may.
      int64_t left = deadline_ms - clock_now_ms();
      if (left <= 0) {
        errno = EAGAIN;
        return -1;
      }
      struct timeval bound = {static_cast<time_t>(left / 1000),
                              static_cast<suseconds_t>((left % 1000) * 1000)};
      setsockopt(socket_fd.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    }
    if (connect(socket_fd.fd, reinterpret_cast<const sockaddr *>(&address), length) == 0) break;
    // An interrupted wait for the backlog leaves no connection behind; trying again is safe.
    if (errno != EINTR) {
      if (errno == EINPROGRESS) errno = EAGAIN;
      return -1;
    }
  }
  int fd = socket_fd.fd;
  socket_fd.fd = -1;
  return fd;
}
