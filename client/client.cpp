#include "client/client.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

// Holds the connection for the length of one exchange, whichever way it ends.
struct socket_guard {
  int fd;
  ~socket_guard() {
    if (fd >= 0) close(fd);
  }
};

int64_t now_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left until deadline (never below 0), or -1 for no deadline, as poll takes them.
int remaining_ms(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

int leading_code(const char *text) {
  int code = 0;
  // Nine digits cannot overflow an int; no reply has a longer code.
  for (int i = 0; i < 9 && text[i] >= '0' && text[i] <= '9'; ++i)
    code = code * 10 + (text[i] - '0');
  return code;
}

int connect_to(const char *socket_path, int64_t deadline, int *fd_out) {
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  size_t length = strlen(socket_path);
  memcpy(address.sun_path, socket_path, length);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return VRELL_CLIENT_ECONNECT;
  *fd_out = fd;
  if (deadline >= 0) {
    // A Unix-domain connect waits while the daemon's backlog is full, bounded by the send
    // time-out; the same bound then covers the send.
    int ms = remaining_ms(deadline);
    struct timeval bound = {ms / 1000, (ms % 1000) * 1000};
    if (ms == 0) bound.tv_usec = 1000;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  }
  socklen_t address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&address), address_length) != 0) {
    return (errno == EAGAIN || errno == EINPROGRESS) ? VRELL_CLIENT_ETIMEOUT
                                                     : VRELL_CLIENT_ECONNECT;
  }
  return 0;
}

// Receives until the reply's NUL, the end of the connection or a full buffer.
int receive_reply(int fd, int64_t deadline, char *reply, size_t reply_size) {
  char buffer[VRELL_CLIENT_STATS_MAX];
  size_t have = 0;
  while (have < sizeof buffer - 1 && memchr(buffer, '\0', have) == nullptr) {
    struct pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return VRELL_CLIENT_ERECV;
    if (n == 0) return VRELL_CLIENT_ETIMEOUT;
    ssize_t got = recv(fd, buffer + have, sizeof buffer - 1 - have, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && have == 0) return VRELL_CLIENT_ERECV;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  if (have == 0) return VRELL_CLIENT_ERECV;
  buffer[have] = '\0';
  size_t text = strlen(buffer);
  if (text > reply_size - 1) text = reply_size - 1;
  memcpy(reply, buffer, text);
  reply[text] = '\0';
  return leading_code(reply);
}

bool valid_socket_path(const char *socket_path) {
  if (socket_path == nullptr || socket_path[0] == '\0') return false;
  return strlen(socket_path) < sizeof(sockaddr_un::sun_path);
}

// The credentials of a connected Unix-domain peer are those of the process that listened, taken
// when it called listen, so they name the server even before it accepts.
bool server_is(int fd, uid_t expected_uid) {
  if (expected_uid == VRELL_CLIENT_ANY_UID) return true;
  struct ucred peer;
  socklen_t size = sizeof peer;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer)
    return false;
  return peer.uid == expected_uid;
}

int exchange(const char *socket_path, const void *data, size_t len, bool shut_down_writing,
             char *reply, size_t reply_size, int timeout_ms, uid_t expected_uid) {
  if (reply == nullptr || reply_size == 0) return VRELL_CLIENT_EARG;
  reply[0] = '\0';
  if (!valid_socket_path(socket_path) || (data == nullptr && len > 0) || timeout_ms < 0)
    return VRELL_CLIENT_EARG;
  int64_t deadline = timeout_ms > 0 ? now_ms() + timeout_ms : -1;

  socket_guard connection{-1};
  int result = connect_to(socket_path, deadline, &connection.fd);
  if (result < 0) return result;
  if (!server_is(connection.fd, expected_uid)) return VRELL_CLIENT_EPEER;
  if (len > 0) {
    ssize_t sent = send(connection.fd, data, len, MSG_NOSIGNAL);
    if (sent < 0 || static_cast<size_t>(sent) != len) {
      return (sent < 0 && errno == EAGAIN) ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ESEND;
    }
  }
  if (shut_down_writing) shutdown(connection.fd, SHUT_WR);
  return receive_reply(connection.fd, deadline, reply, reply_size);
}

}  // namespace

extern "C" int vrell_client_request_checked(const char *socket_path, const char *request,
                                            char *reply, size_t reply_size, int timeout_ms,
                                            uid_t expected_uid) {
  if (request == nullptr) {
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    return VRELL_CLIENT_EARG;
  }
  // The daemon reads one message of at most VRELL_CLIENT_REQUEST_MAX bytes; a longer one would
  // be cut and refused, so it is refused here with a clearer reason.
  size_t length = strnlen(request, VRELL_CLIENT_REQUEST_MAX);
  if (length + 1 > VRELL_CLIENT_REQUEST_MAX) {
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
    return VRELL_CLIENT_EARG;
  }
  return exchange(socket_path, request, length + 1, false, reply, reply_size, timeout_ms,
                  expected_uid);
}

extern "C" int vrell_client_exchange_checked(const char *socket_path, const void *data, size_t len,
                                             char *reply, size_t reply_size, int timeout_ms,
                                             uid_t expected_uid) {
  return exchange(socket_path, data, len, true, reply, reply_size, timeout_ms, expected_uid);
}

extern "C" int vrell_client_request(const char *socket_path, const char *request, char *reply,
                                    size_t reply_size, int timeout_ms) {
  return vrell_client_request_checked(socket_path, request, reply, reply_size, timeout_ms,
                                      VRELL_CLIENT_ANY_UID);
}

extern "C" int vrell_client_exchange(const char *socket_path, const void *data, size_t len,
                                     char *reply, size_t reply_size, int timeout_ms) {
  return vrell_client_exchange_checked(socket_path, data, len, reply, reply_size, timeout_ms,
                                       VRELL_CLIENT_ANY_UID);
}

extern "C" const char *vrell_client_strerror(int code) {
  switch (code) {
    case VRELL_CLIENT_ECONNECT:
      return "cannot connect to the daemon's socket";
    case VRELL_CLIENT_ESEND:
      return "cannot send the request";
    case VRELL_CLIENT_ERECV:
      return "no reply from the daemon";
    case VRELL_CLIENT_ETIMEOUT:
      return "timed out waiting for the daemon";
    case VRELL_CLIENT_EARG:
      return "bad argument";
    case VRELL_CLIENT_EPEER:
      return "the socket is served by another user than expected";
    case VRELL_CLIENT_ECONFIG:
      return "cannot read the configuration file";
    default:
      return code >= 0 ? "no error" : "unknown error";
  }
}
