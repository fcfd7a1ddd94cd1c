/* SPDX-License-Identifier: BSD-2-Clause */
/* Preloaded into the daemon by the start-up tests, so that each failure of the start-up after
 * the socket exists can be reached through the real binary. VRELL_FAIL names the call to fail:
 *   sigaction            installing a handler for SIGTERM fails
 *   fork                 every fork fails
 *   pthread_create:N     every pthread_create from the Nth of the process on fails
 *   send_reply           every send of a reply (text beginning with a digit) never returns, as
 *                        a worker held for good would
 * Without VRELL_FAIL every call goes through unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char *failing(void) {
  const char *name = getenv("VRELL_FAIL");
  return name != NULL ? name : "";
}

int sigaction(int sig, const struct sigaction *action, struct sigaction *old) {
  if (sig == SIGTERM && action != NULL && strcmp(failing(), "sigaction") == 0) {
    errno = EINVAL;
    return -1;
  }
  int (*real)(int, const struct sigaction *, struct sigaction *) =
      (int (*)(int, const struct sigaction *, struct sigaction *))dlsym(RTLD_NEXT, "sigaction");
  return real(sig, action, old);
}

pid_t fork(void) {
  if (strcmp(failing(), "fork") == 0) {
    errno = EAGAIN;
    return -1;
  }
  pid_t (*real)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
  return real();
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
  static int calls;
  int call = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
  const char *name = failing();
  const char prefix[] = "pthread_create:";
  if (strncmp(name, prefix, sizeof prefix - 1) == 0 && call >= atoi(name + sizeof prefix - 1)) {
    return EAGAIN;
  }
  int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
      (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(
          RTLD_NEXT, "pthread_create");
  return real(thread, attr, start, arg);
}

ssize_t send(int fd, const void *data, size_t size, int flags) {
  const char *text = (const char *)data;
  if (size > 0 && text[0] >= '0' && text[0] <= '9' && strcmp(failing(), "send_reply") == 0) {
    for (;;) pause();
  }
  ssize_t (*real)(int, const void *, size_t, int) =
      (ssize_t(*)(int, const void *, size_t, int))dlsym(RTLD_NEXT, "send");
  return real(fd, data, size, flags);
}
