// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "base/unix_socket.h"
#include "service/log.h"

namespace {

constexpr char MSG_LOG_NOTIFY_FAILED[] = "cannot notify the service manager at %s: %s";

bool failure_logged = false;

// The address of a path, or of "@name" with the '@' turned into the NUL that marks the abstract
// namespace. Returns false for anything else and for a name the address cannot hold.
bool notify_address(const char *name, sockaddr_un *address, socklen_t *length) {
  size_t size = strlen(name);
  if ((name[0] != '/' && name[0] != '@') || size < 2 || size >= sizeof address->sun_path) {
    return false;
  }
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, name, size);
  if (name[0] == '@') address->sun_path[0] = '\0';
  // Without a terminator: an abstract name counts every byte of the length.
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
  return true;
}

int log_first_failure(int result) {
  if (result == NOTIFY_FAILED && !failure_logged) {
    failure_logged = true;
    log_message(LOG_WARNING, MSG_LOG_NOTIFY_FAILED, getenv(NOTIFY_SOCKET_VARIABLE),
                strerror(errno));
  }
  return result;
}

}  // namespace

int notify_send(const char *state) {
  const char *name = getenv(NOTIFY_SOCKET_VARIABLE);
  if (name == nullptr || name[0] == '\0') return NOTIFY_UNSET;
  sockaddr_un address;
  socklen_t length;
  if (!notify_address(name, &address, &length)) {
    errno = EINVAL;
    return NOTIFY_FAILED;
  }
  unix_socket_guard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.fd < 0) return NOTIFY_FAILED;
  size_t size = strlen(state);
  ssize_t sent = sendto(fd.fd, state, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&address), length);
  if (sent < 0) return NOTIFY_FAILED;
  return NOTIFY_SENT;
}

int notify_ready(long pid, const char *status) {
  char state[NOTIFY_STATE_MAX];
  if (status != nullptr) {
    snprintf(state, sizeof state, "READY=1\nMAINPID=%ld\nSTATUS=%s", pid, status);
  } else {
    snprintf(state, sizeof state, "READY=1\nMAINPID=%ld", pid);
  }
  return log_first_failure(notify_send(state));
}

int notify_stopping(void) {
  return log_first_failure(notify_send("STOPPING=1"));
}
