// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/guard.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <limits>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "base/wire.h"
#include "config/path.h"

namespace {

int open_file(const char *path, int flags, mode_t mode) {
  return open(path, flags, mode);
}

bool absolute_path(const char *path) {
  return path != nullptr && path[0] == '/';
}

bool something_at(const char *path) {
  return access(path, F_OK) == 0;
}

void pause_ms(long ms) {
  struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&delay, nullptr);
}

// What guard_set_file_calls puts in place.
int (*guard_open)(const char *, int, mode_t) = open_file;
int (*guard_unlink)(const char *) = unlink;

}  // namespace

void guard_set_file_calls(int (*open_call)(const char *path, int flags, mode_t mode),
                          int (*unlink_call)(const char *path)) {
  guard_open = open_call != nullptr ? open_call : open_file;
  guard_unlink = unlink_call != nullptr ? unlink_call : unlink;
}

int check_single_instance(const char *pid_path, const char *socket_path) {
  int p = check_pid_file(pid_path);
  int s = probe_socket(socket_path);
  if (p == PID_FILE_LIVE && s == PROBE_LIVE) return INSTANCE_RUNNING;
  if (p == PID_FILE_ABSENT && s == PROBE_ABSENT) return INSTANCE_FREE;

  if (p == PID_FILE_STALE) fputs(GUARD_PID_STALE_LINE, stdout);
  if (p == PID_FILE_BAD) fputs(GUARD_PID_BAD_LINE, stdout);
  if (p == PID_FILE_LIVE) fputs(GUARD_PID_LIVE_LINE, stdout);
  if (s == PROBE_FOREIGN || s == PROBE_NO_ACCESS || s == PROBE_NOT_SOCKET) {
    fputs(GUARD_SOCKET_OCCUPIED_LINE, stdout);
  }
  if (s == PROBE_FAILED) fputs(GUARD_SOCKET_BAD_LINE, stdout);
  if (s == PROBE_LIVE) fputs(GUARD_SOCKET_LIVE_LINE, stdout);
  return INSTANCE_REFUSED;
}

int check_pid_file(const char *path) {
  if (!absolute_path(path)) return PID_FILE_BAD;
  if (!something_at(path)) return PID_FILE_ABSENT;
  long pid = read_pid_file(path);
  if (pid < 0) return PID_FILE_BAD;
  // A number that does not fit a process id would be cut down to another one (1, or -1 which
  // addresses every process) and could pass for a live daemon.
  if (pid > std::numeric_limits<pid_t>::max()) return PID_FILE_STALE;
  // Pid 0 probes the caller's own process group, so a file without digits counts as live.
  if (kill(static_cast<pid_t>(pid), 0) != 0) return PID_FILE_STALE;
  return PID_FILE_LIVE;
}

long read_pid_file(const char *path) {
  if (path == nullptr) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[PID_READ_MAX + 1];
  ssize_t n = read(fd, text, PID_READ_MAX);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  // strtol reads what atol reads, and saturates where atol's result would be undefined.
  return strtol(text, nullptr, 10);
}

int probe_socket(const char *path, int timeout_ms) {
  if (!absolute_path(path)) return PROBE_FAILED;
  if (!something_at(path)) return PROBE_ABSENT;
  if (path_file_type(path) != PATH_TYPE_SOCKET) return PROBE_NOT_SOCKET;
  if (access(path, R_OK | W_OK) != 0) return PROBE_NO_ACCESS;

  // A listener whose backlog stays full must not hang the start-up either.
  unix_socket_guard connection(unix_socket_connect(path, clock_now_ms() + timeout_ms));
  if (connection.fd < 0) return PROBE_FAILED;
  struct timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  if (setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return PROBE_FAILED;
  }
  // A peer that hangs up before the send must not end the start-up with SIGPIPE.
  if (send(connection.fd, REQUEST_STATUS, sizeof REQUEST_STATUS, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof REQUEST_STATUS)) {
    return PROBE_FAILED;
  }
  char reply[PROBE_REPLY_MAX + 1];
  ssize_t n;
  do {
    n = recv(connection.fd, reply, PROBE_REPLY_MAX, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return PROBE_FAILED;
  // The last byte is the reply's terminator.
  reply[n > 0 ? n - 1 : 0] = '\0';
  return atoi(reply) == REPLY_CODE_STATUS ? PROBE_LIVE : PROBE_FOREIGN;
}

int write_pid_file(long pid, const char *path) {
  if (path == nullptr || something_at(path)) return -1;
  // O_EXCL keeps a second daemon starting in the same instant from overwriting the file.
  int fd = guard_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  char text[32];
  int length = snprintf(text, sizeof text, "%ld", pid);
  bool written = write(fd, text, length) == length;
  if (close(fd) != 0) written = false;
  // A half-written file would make every later start refuse with "Error validating pid file".
  if (!written) unlink(path);
  return written ? 0 : -1;
}

int remove_pid_file(const char *path, int wait_ms) {
  if (path == nullptr || !something_at(path)) return 0;
  if (path_file_type(path) != PATH_TYPE_REGULAR) return -1;
  if (guard_unlink(path) != 0) return -1;
  constexpr long step_ms = 100;
  for (long waited = 0; something_at(path); waited += step_ms) {
    if (waited >= wait_ms) return -1;
    pause_ms(step_ms);
  }
  return 0;
}
