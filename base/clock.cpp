// SPDX-License-Identifier: BSD-2-Clause
#include "base/clock.h"

#include <limits.h>

struct timespec clock_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

int64_t clock_now_ms(void) {
  struct timespec now = clock_now();
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int64_t clock_seconds(void) {
  return clock_now().tv_sec;
}

int64_t clock_realtime_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t clock_coarse_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return now.tv_sec;
}

struct timespec clock_add_ms(struct timespec time, int64_t ms) {
  time.tv_sec += static_cast<time_t>(ms / 1000);
  time.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
  if (time.tv_nsec >= 1000000000L) {
    time.tv_sec += 1;
    time.tv_nsec -= 1000000000L;
  }
  return time;
}

int clock_ms_until(const struct timespec *deadline) {
  if (deadline == nullptr) return -1;
  struct timespec now = clock_now();
  int64_t left = (int64_t{deadline->tv_sec} - now.tv_sec) * 1000 +
                 (int64_t{deadline->tv_nsec} - now.tv_nsec) / 1000000;
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}
