// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_soak.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/clock.h"
#include "base/unix_socket.h"

namespace {

// A connect bounded by timeout_ms; counts a failure in the tally under who's name. Returns the
// descriptor or -1.
int connect_counted(const char *socket_path, int timeout_ms, const char *who,
                    bench_soak_tally *tally) {
  int fd = unix_socket_connect(socket_path, clock_now_ms() + timeout_ms);
  if (fd < 0) tally->errors[std::string(who) + (errno == EAGAIN ? " timeout" : " connect")]++;
  return fd;
}

// Receives what the daemon sends until it closes, at most size - 1 bytes, until deadline_ms.
// Returns the byte count, or -1 when the deadline passed first or the receive failed.
ssize_t receive_until_close(int fd, char *buffer, size_t size, int64_t deadline_ms) {
  size_t have = 0;
  for (;;) {
    int64_t left = deadline_ms - clock_now_ms();
    if (left <= 0) return -1;
    pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    ssize_t got = recv(fd, buffer + have, size - 1 - have, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    have += static_cast<size_t>(got);
    if (got == 0 || have == size - 1) break;
  }
  buffer[have] = '\0';
  return static_cast<ssize_t>(have);
}

}  // namespace

void bench_soak_vanish(const char *socket_path, const std::string &request, int timeout_ms,
                       const std::atomic<bool> *stop, bench_soak_tally *tally) {
  for (bool half = true; !stop->load(std::memory_order_relaxed); half = !half) {
    unix_socket_guard guard(connect_counted(socket_path, timeout_ms, "vanish", tally));
    if (guard.fd >= 0) {
      size_t length = half ? request.size() / 2 : 0;
      if (length == 0 ||
          send(guard.fd, request.data(), length, MSG_NOSIGNAL) == static_cast<ssize_t>(length))
        tally->vanished++;
      else
        tally->errors["vanish send"]++;
    }
    usleep(BENCH_SOAK_VANISH_PAUSE_MS * 1000);
  }
}

void bench_soak_silent(const char *socket_path, int wait_ms, const std::atomic<bool> *stop,
                       bench_soak_tally *tally) {
  while (!stop->load(std::memory_order_relaxed)) {
    unix_socket_guard guard(connect_counted(socket_path, wait_ms, "silent", tally));
    if (guard.fd < 0) {
      usleep(BENCH_SOAK_VANISH_PAUSE_MS * 1000);
      continue;
    }
    char reply[256];
    ssize_t n = receive_until_close(guard.fd, reply, sizeof reply, clock_now_ms() + wait_ms);
    if (n < 0)
      tally->errors["silent timeout"]++;
    else if (n < 3)
      tally->errors["silent receive"]++;
    else
      tally->silent_replies[std::string(reply, 3)]++;
  }
}

int bench_soak_idle_open(const char *socket_path, int count, int timeout_ms,
                         bench_soak_idle_set *set) {
  int opened = 0;
  for (int i = 0; i < count; i++) {
    int fd = unix_socket_connect(socket_path, clock_now_ms() + timeout_ms);
    if (fd < 0) {
      set->failed++;
      continue;
    }
    set->fds.push_back(fd);
    opened++;
  }
  return opened;
}

void bench_soak_idle(const char *socket_path, int timeout_ms, const std::atomic<bool> *stop,
                     bench_soak_idle_set *set) {
  std::vector<pollfd> watched;
  // Wakes now and then to see the stop; a server's end of a connection wakes it at once.
  constexpr int kLookMs = 50;
  while (!stop->load(std::memory_order_relaxed)) {
    watched.clear();
    for (int fd : set->fds) watched.push_back({fd, POLLIN, 0});
    int n = poll(watched.data(), watched.size(), kLookMs);
    if (n <= 0) continue;
    for (size_t i = 0; i < watched.size(); i++) {
      if (watched[i].revents == 0) continue;
      char reply[64];
      ssize_t got = recv(watched[i].fd, reply, sizeof reply, MSG_DONTWAIT);
      if (got < 0 && errno == EAGAIN) continue;
      if (got >= 3) set->replies[std::string(reply, 3)]++;
      close(watched[i].fd);
      int fd = -1;
      while (fd < 0 && !stop->load(std::memory_order_relaxed)) {
        fd = unix_socket_connect(socket_path, clock_now_ms() + timeout_ms);
        if (fd < 0) set->failed++;
      }
      set->fds[i] = fd;
      if (fd >= 0) set->reopened++;
    }
  }
  for (int fd : set->fds) {
    if (fd >= 0) close(fd);
  }
  set->fds.clear();
}
