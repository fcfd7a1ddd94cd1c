// SPDX-License-Identifier: BSD-2-Clause
#include "client/client.h"

#include <errno.h>
#include <inttypes.h>
#include <poll.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

#include <span>
#include <string_view>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "base/wire.h"

// The installed header stands alone, so it repeats the protocol's numbers; these keep the two
// in step.
static_assert(VRELL_CLIENT_REQUEST_MAX == REQUEST_MAX);
static_assert(VRELL_CLIENT_PATH_MAX <= REQUEST_PATH_MAX);
static_assert(VRELL_CLIENT_REPLY_MAX > REPLY_MAX);
static_assert(VRELL_CLIENT_STATUS == REPLY_CODE_STATUS);
static_assert(VRELL_CLIENT_ADDED == REPLY_CODE_ADDED);
static_assert(VRELL_CLIENT_MODIFIED == REPLY_CODE_MODIFIED);
static_assert(VRELL_CLIENT_FULL == REPLY_CODE_FULL);
static_assert(VRELL_CLIENT_DELETED == REPLY_CODE_DELETED);
static_assert(VRELL_CLIENT_CLEAN == REPLY_CODE_CLEAN);
static_assert(VRELL_CLIENT_INFECTED == REPLY_CODE_INFECTED);
static_assert(VRELL_CLIENT_STALE == REPLY_CODE_STALE);
static_assert(VRELL_CLIENT_CACHE_ERROR == REPLY_CODE_CACHE_ERROR);
static_assert(VRELL_CLIENT_NOT_FOUND == REPLY_CODE_NOT_FOUND);
static_assert(VRELL_CLIENT_INVALID == REPLY_CODE_INVALID);
static_assert(VRELL_CLIENT_CLEARED == REPLY_CODE_CLEARED);

#define VRELL_CLIENT_TEXT(x) #x
#define VRELL_CLIENT_VERSION_TEXT(major, minor, patch) \
  VRELL_CLIENT_TEXT(major) "." VRELL_CLIENT_TEXT(minor) "." VRELL_CLIENT_TEXT(patch)
// The header's numbers are the project's, which the build passes in.
static_assert(std::string_view(VRELL_CLIENT_VERSION_TEXT(VRELL_CLIENT_VERSION_MAJOR,
                                                         VRELL_CLIENT_VERSION_MINOR,
                                                         VRELL_CLIENT_VERSION_PATCH)) ==
              VRELL_VERSION);

namespace {

// Milliseconds left until deadline (never below 0), or -1 for no deadline, as poll takes them.
int remaining_ms(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - clock_now_ms();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Every reply of the daemon opens with three digits and a hyphen. Anything else, such as
// "0205-" or "205000", comes from another server and has no code.
int leading_code(const char *text) {
  if (!is_digit(text[0]) || !is_digit(text[1]) || !is_digit(text[2]) || text[3] != '-') return 0;
  return (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
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
  int code = leading_code(buffer);
  size_t text = strlen(buffer);
  if (text > reply_size - 1) text = reply_size - 1;
  memcpy(reply, buffer, text);
  reply[text] = '\0';
  return code;
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
  int64_t deadline = timeout_ms > 0 ? clock_now_ms() + timeout_ms : -1;

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

bool is_line_end(char c) {
  return c == '\r' || c == '\n';
}

// The daemon drops every CR and LF at the end of a request. Of an "A", "D" or "Q" request, whose
// path runs to the end, one line end is taken as the caller's; any more would be cut from the
// path, which would then name another file than the one the text names.
bool line_end_cuts_path(const char *request, size_t length) {
  if (length == 0 || (request[0] != 'A' && request[0] != 'D' && request[0] != 'Q')) return false;
  if (length >= 2 && request[length - 2] == '\r' && request[length - 1] == '\n') {
    length -= 2;
  } else if (is_line_end(request[length - 1])) {
    length -= 1;
  }
  return length > 0 && is_line_end(request[length - 1]);
}

// Returns 0 when path can be the last field of a request; else the code to refuse it with. A
// path that ends in CR or LF is refused here: a request too long for its own CR LF goes out
// without one, and the path's line end would then pass for the request's.
int check_path(const char *path) {
  if (path == nullptr) return VRELL_CLIENT_EARG;
  size_t length = strnlen(path, VRELL_CLIENT_PATH_MAX + 1);
  if (length == 0 || length > VRELL_CLIENT_PATH_MAX || is_line_end(path[length - 1]))
    return VRELL_CLIENT_EPATH;
  return 0;
}

// The daemon reads a verdict's low 8 bits: 256 would store clean, 257 infected.
bool valid_verdict(int verdict) {
  return verdict == VRELL_CLIENT_VERDICT_CLEAN || verdict == VRELL_CLIENT_VERDICT_INFECTED;
}

// The codes that answer each typed request; 208 and 210 can answer any request.
constexpr int ADD_ANSWERS[] = {VRELL_CLIENT_ADDED, VRELL_CLIENT_MODIFIED, VRELL_CLIENT_FULL};
constexpr int QUERY_ANSWERS[] = {VRELL_CLIENT_CLEAN, VRELL_CLIENT_INFECTED, VRELL_CLIENT_STALE,
                                 VRELL_CLIENT_NOT_FOUND};
constexpr int DELETE_ANSWERS[] = {VRELL_CLIENT_DELETED, VRELL_CLIENT_NOT_FOUND};
constexpr int CLEAR_ANSWERS[] = {VRELL_CLIENT_CLEARED};
constexpr int STATUS_ANSWERS[] = {VRELL_CLIENT_STATUS};

// A typed request is composed into the most the daemon reads with the NUL. The longest, an add
// of a 20-character mtime and the longest path, fits without its line end; the daemon takes the
// NUL alone as the terminator.
using request_buffer = char[VRELL_CLIENT_REQUEST_MAX];
constexpr size_t LONGEST_ADD = sizeof "A -9223372036854775808 0 " - 1 + VRELL_CLIENT_PATH_MAX;
static_assert(LONGEST_ADD + 1 == sizeof(request_buffer));

// Appends the CR LF that ends a request of n characters when it still fits with the NUL.
void end_line(request_buffer request, int n) {
  if (static_cast<size_t>(n) + 3 <= sizeof(request_buffer)) memcpy(request + n, "\r\n", 3);
}

int typed_call(const char *socket_path, const char *request, std::span<const int> answers,
               int timeout_ms, uid_t expected_uid, char *reply, size_t reply_size,
               const char *head = nullptr) {
  char own[VRELL_CLIENT_REPLY_MAX];
  if (reply == nullptr) {
    reply = own;
    reply_size = sizeof own;
  }
  int code = vrell_client_request_checked(socket_path, request, reply, reply_size, timeout_ms,
                                          expected_uid);
  if (code < 0 || code == VRELL_CLIENT_CACHE_ERROR || code == VRELL_CLIENT_INVALID) return code;
  if (head != nullptr && strncmp(reply, head, strlen(head)) != 0) return VRELL_CLIENT_EREPLY;
  for (int answer : answers) {
    if (code == answer) return code;
  }
  return VRELL_CLIENT_EREPLY;
}

// A file whose stamp is younger than this when its scan begins is still being written, or its
// file system keeps times too coarse to tell a later write from the one scanned.
constexpr int64_t SETTLED_NS = 2000000000;

void clear_reply(char *reply, size_t reply_size) {
  if (reply != nullptr && reply_size > 0) reply[0] = '\0';
}

}  // namespace

extern "C" int vrell_client_request_checked(const char *socket_path, const char *request,
                                            char *reply, size_t reply_size, int timeout_ms,
                                            uid_t expected_uid) {
  if (request == nullptr) {
    clear_reply(reply, reply_size);
    return VRELL_CLIENT_EARG;
  }
  // The daemon reads one message of at most VRELL_CLIENT_REQUEST_MAX bytes; a longer one would
  // be cut and refused, so it is refused here with a clearer reason.
  size_t length = strnlen(request, VRELL_CLIENT_REQUEST_MAX);
  if (length + 1 > VRELL_CLIENT_REQUEST_MAX) {
    clear_reply(reply, reply_size);
    return VRELL_CLIENT_EARG;
  }
  if (line_end_cuts_path(request, length)) {
    clear_reply(reply, reply_size);
    return VRELL_CLIENT_EPATH;
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

extern "C" int vrell_client_add_checked(const char *socket_path, const char *path, int64_t mtime,
                                        int verdict, int timeout_ms, uid_t expected_uid,
                                        char *reply, size_t reply_size) {
  clear_reply(reply, reply_size);
  int refused = check_path(path);
  if (refused != 0) return refused;
  if (!valid_verdict(verdict)) return VRELL_CLIENT_EARG;
  request_buffer request;
  end_line(request, snprintf(request, sizeof request, "A %" PRId64 " %d %s", mtime, verdict, path));
  return typed_call(socket_path, request, ADD_ANSWERS, timeout_ms, expected_uid, reply, reply_size);
}

extern "C" int vrell_client_query_checked(const char *socket_path, const char *path, int64_t mtime,
                                          int timeout_ms, uid_t expected_uid, char *reply,
                                          size_t reply_size) {
  clear_reply(reply, reply_size);
  int refused = check_path(path);
  if (refused != 0) return refused;
  request_buffer request;
  end_line(request, snprintf(request, sizeof request, "Q %" PRId64 " %s", mtime, path));
  return typed_call(socket_path, request, QUERY_ANSWERS, timeout_ms, expected_uid, reply,
                    reply_size);
}

extern "C" int vrell_client_delete_checked(const char *socket_path, const char *path,
                                           int timeout_ms, uid_t expected_uid, char *reply,
                                           size_t reply_size) {
  clear_reply(reply, reply_size);
  int refused = check_path(path);
  if (refused != 0) return refused;
  request_buffer request;
  end_line(request, snprintf(request, sizeof request, "D %s", path));
  return typed_call(socket_path, request, DELETE_ANSWERS, timeout_ms, expected_uid, reply,
                    reply_size);
}

extern "C" int vrell_client_clear_checked(const char *socket_path, int timeout_ms,
                                          uid_t expected_uid, char *reply, size_t reply_size) {
  return typed_call(socket_path, "C\r\n", CLEAR_ANSWERS, timeout_ms, expected_uid, reply,
                    reply_size);
}

extern "C" int vrell_client_status_checked(const char *socket_path, char *line, size_t line_size,
                                           int timeout_ms, uid_t expected_uid) {
  if (line == nullptr || line_size == 0) return VRELL_CLIENT_EARG;
  return typed_call(socket_path, REQUEST_STATUS, STATUS_ANSWERS, timeout_ms, expected_uid, line,
                    line_size, STATUS_TEXT);
}

extern "C" int64_t vrell_client_file_stamp(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return VRELL_CLIENT_EFILE;
  // Negative stamps would read as failure codes, and seconds beyond this would overflow.
  const int64_t seconds = status.st_ctim.tv_sec;
  if (seconds < 0 || seconds >= INT64_MAX / 1000000000) return VRELL_CLIENT_EFILE;
  return seconds * 1000000000 + status.st_ctim.tv_nsec;
}

extern "C" int vrell_client_query_fd_checked(const char *socket_path, const char *path, int fd,
                                             int timeout_ms, uid_t expected_uid, char *reply,
                                             size_t reply_size) {
  clear_reply(reply, reply_size);
  int refused = check_path(path);
  if (refused != 0) return refused;
  int64_t stamp = vrell_client_file_stamp(fd);
  if (stamp < 0) return static_cast<int>(stamp);
  return vrell_client_query_checked(socket_path, path, stamp, timeout_ms, expected_uid, reply,
                                    reply_size);
}

extern "C" int vrell_client_add_fd_checked(const char *socket_path, const char *path, int fd,
                                           int64_t scan_started_ns, int verdict, int timeout_ms,
                                           uid_t expected_uid, char *reply, size_t reply_size) {
  clear_reply(reply, reply_size);
  int refused = check_path(path);
  if (refused != 0) return refused;
  if (!valid_verdict(verdict)) return VRELL_CLIENT_EARG;
  // A scan that began in the future would let any stamp pass the check below.
  if (scan_started_ns < 0 || scan_started_ns > clock_realtime_ns()) return VRELL_CLIENT_EARG;
  int64_t stamp = vrell_client_file_stamp(fd);
  if (stamp < 0) return static_cast<int>(stamp);
  // A write during the scan, or just before it, leaves a stamp within this bound, even on a
  // file system that keeps times in coarse steps: what was scanned may not be what is stamped.
  if (stamp > scan_started_ns - SETTLED_NS) return VRELL_CLIENT_EUNSETTLED;
  return vrell_client_add_checked(socket_path, path, stamp, verdict, timeout_ms, expected_uid,
                                  reply, reply_size);
}

extern "C" int vrell_client_add(const char *socket_path, const char *path, int64_t mtime,
                                int verdict, int timeout_ms) {
  return vrell_client_add_checked(socket_path, path, mtime, verdict, timeout_ms,
                                  VRELL_CLIENT_ANY_UID, nullptr, 0);
}

extern "C" int vrell_client_query(const char *socket_path, const char *path, int64_t mtime,
                                  int timeout_ms) {
  return vrell_client_query_checked(socket_path, path, mtime, timeout_ms, VRELL_CLIENT_ANY_UID,
                                    nullptr, 0);
}

extern "C" int vrell_client_query_fd(const char *socket_path, const char *path, int fd,
                                     int timeout_ms) {
  return vrell_client_query_fd_checked(socket_path, path, fd, timeout_ms, VRELL_CLIENT_ANY_UID,
                                       nullptr, 0);
}

extern "C" int vrell_client_add_fd(const char *socket_path, const char *path, int fd,
                                   int64_t scan_started_ns, int verdict, int timeout_ms) {
  return vrell_client_add_fd_checked(socket_path, path, fd, scan_started_ns, verdict, timeout_ms,
                                     VRELL_CLIENT_ANY_UID, nullptr, 0);
}

extern "C" int vrell_client_delete(const char *socket_path, const char *path, int timeout_ms) {
  return vrell_client_delete_checked(socket_path, path, timeout_ms, VRELL_CLIENT_ANY_UID, nullptr,
                                     0);
}

extern "C" int vrell_client_clear(const char *socket_path, int timeout_ms) {
  return vrell_client_clear_checked(socket_path, timeout_ms, VRELL_CLIENT_ANY_UID, nullptr, 0);
}

extern "C" int vrell_client_status(const char *socket_path, char *line, size_t line_size,
                                   int timeout_ms) {
  return vrell_client_status_checked(socket_path, line, line_size, timeout_ms,
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
      return "cannot read the configuration file, or it is not a regular file";
    case VRELL_CLIENT_EPATH:
      return "the path cannot be sent: empty, ending in CR or LF, or too long";
    case VRELL_CLIENT_EREPLY:
      return "the daemon's reply does not answer the request";
    case VRELL_CLIENT_EFILE:
      return "not an open regular file";
    case VRELL_CLIENT_EUNSETTLED:
      return "not stored: the file changed less than 2 s before its scan began, or since";
    case VRELL_CLIENT_EUNSET:
      return "the configuration's socket path names an environment variable that is not set";
    default:
      return code >= 0 ? "no error" : "unknown error";
  }
}

extern "C" const char *vrell_client_version(int *major, int *minor, int *patch) {
  if (major != nullptr) *major = VRELL_CLIENT_VERSION_MAJOR;
  if (minor != nullptr) *minor = VRELL_CLIENT_VERSION_MINOR;
  if (patch != nullptr) *patch = VRELL_CLIENT_VERSION_PATCH;
  return VRELL_CLIENT_VERSION_TEXT(VRELL_CLIENT_VERSION_MAJOR, VRELL_CLIENT_VERSION_MINOR,
                                   VRELL_CLIENT_VERSION_PATCH);
}
