#include "client/client.h"

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "client/unix_socket.h"

namespace {

// Milliseconds left until deadline (never below 0), or -1 for no deadline, as poll takes them.
int remaining_ms(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - unix_socket_now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

int leading_code(const char *text) {
  int code = 0;
  // Nine digits cannot overflow an int; no reply has a longer code.
  for (int i = 0; i < 9 && text[i] >= '0' && text[i] <= '9'; ++i)
    code = code * 10 + (text[i] - '0');
  return code;
}

// Connects, within the deadline when there is one. Returns the descriptor, or a failure code.
int connect_to(const char *socket_path, int64_t deadline) {
  int fd = unix_socket_connect(socket_path, deadline);
  if (fd >= 0) return fd;
  return errno == EAGAIN ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ECONNECT;
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
  sockaddr_un address;
  socklen_t length;
  return unix_socket_address(socket_path, &address, &length) == 0;
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
  int64_t deadline = timeout_ms > 0 ? unix_socket_now_ms() + timeout_ms : -1;

  unix_socket_guard connection(connect_to(socket_path, deadline));
  if (connection.fd < 0) return connection.fd;
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
