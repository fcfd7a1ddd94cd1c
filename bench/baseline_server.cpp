// SPDX-License-Identifier: BSD-2-Clause
// The limit vrell is measured against: what one request per connection over a Unix-domain
// socket costs on this machine with no cache and no threads. One thread accepts, receives one
// request in one receive, sends a fixed reply with its NUL and closes, with vrell's framing.
//
// Usage: baseline_server SOCKET_PATH
// Serves until SIGTERM or SIGINT, then removes the socket node and exits 0. Exits 1 when the
// socket cannot be made; prints only then.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

namespace {

// The reply of a query that finds a clean entry: the most common answer vrell gives.
constexpr char kReply[] = "205-File is marked clean in cache\r\n";
// The most vrell reads for one request.
constexpr size_t kRequestMax = 1034;
// vrell's backlog.
constexpr int kBacklog = SOMAXCONN;

std::atomic<bool> stopping{false};
std::atomic<int> listener{-1};

// shutdown is async-signal-safe and makes a blocked accept, or the next one, fail at once, so a
// signal that comes between the test of the flag and the accept is not lost.
void on_signal(int) {
  stopping.store(true);
  shutdown(listener.load(), SHUT_RDWR);
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 2 || strlen(argv[1]) >= sizeof(sockaddr_un::sun_path)) {
    fprintf(stderr, "usage: %s SOCKET_PATH (at most 107 characters)\n", argv[0]);
    return 1;
  }
  const char *path = argv[1];
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path, strlen(path));

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(fd, kBacklog) != 0) {
    perror("baseline_server");
    return 1;
  }

  listener.store(fd);
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char buffer[kRequestMax];
  while (!stopping.load()) {
    int connection = accept(fd, nullptr, nullptr);
    if (connection < 0) continue;
    if (recv(connection, buffer, sizeof buffer, 0) >= 0) {
      send(connection, kReply, sizeof kReply, MSG_NOSIGNAL);
    }
    close(connection);
  }
  close(fd);
  unlink(path);
  return 0;
}
