/* SPDX-License-Identifier: BSD-2-Clause */
// Unix-domain sockets as the client library, the daemon and the tools use them: the address of
// a socket path with its length check, a connect bounded by a deadline, and a guard that closes
// a descriptor at the end of its scope. Internal to the project: it is linked into the client
// library but not installed, and its calls are hidden in the shared library.
//
// Thread safety: every call is independent; any number of threads may call at once.
#ifndef VRELL_BASE_UNIX_SOCKET_H_
#define VRELL_BASE_UNIX_SOCKET_H_

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The longest socket path: the address holds it with its terminator.
constexpr size_t UNIX_SOCKET_PATH_MAX = sizeof(sockaddr_un::sun_path) - 1;

// Fills address (zeroed first) with path and stores its length, the family and the path's
// characters, at length. Returns 0; -1 when path is null, empty or longer than
// UNIX_SOCKET_PATH_MAX, which would otherwise be cut to name another node.
[[gnu::visibility("hidden")]] int unix_socket_address(const char *path, sockaddr_un *address,
                                                      socklen_t *length);

// Connects a new stream socket (close-on-exec, blocking) to the socket at path. A connect waits
// while the listener's backlog is full; with deadline_ms (a clock_now_ms time; negative
// for no bound) it gives up then, and the same bound stays on the socket's sends. Returns the
// descriptor, which the caller owns; -1 with errno set otherwise: EINVAL for a path that
// unix_socket_address refuses, EAGAIN when the deadline passed, else the connect's own error.
[[gnu::visibility("hidden")]] int unix_socket_connect(const char *path, int64_t deadline_ms);

// Closes fd, when it is 0 or more, at the end of the scope.
struct unix_socket_guard {
  int fd = -1;
  unix_socket_guard() = default;
  explicit unix_socket_guard(int descriptor) : fd(descriptor) {}
  unix_socket_guard(const unix_socket_guard &) = delete;
  unix_socket_guard &operator=(const unix_socket_guard &) = delete;
  // Keeps errno, so that a failure's reason survives the cleanup on its way out.
  ~unix_socket_guard() {
    if (fd < 0) return;
    int saved = errno;
    close(fd);
    errno = saved;
  }
};

#endif  // VRELL_BASE_UNIX_SOCKET_H_
