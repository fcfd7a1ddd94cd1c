/* SPDX-License-Identifier: BSD-2-Clause */
// The monotonic clock that every deadline, time-out and uptime of the project is measured on.
// CLOCK_MONOTONIC never jumps when the wall clock is set, so a deadline stays a fixed span away.
// The wall clock serves one purpose only: comparing a scan's start with a file's stamp.
//
// Thread safety: every call is independent; any number of threads, and a signal handler, may
// call at once.
#ifndef VRELL_BASE_CLOCK_H_
#define VRELL_BASE_CLOCK_H_

#include <stdint.h>
#include <time.h>

// Returns the CLOCK_MONOTONIC time now.
[[gnu::visibility("hidden")]] struct timespec clock_now(void);

// Returns the CLOCK_MONOTONIC time now in milliseconds; 64 bits, since a 32-bit count of
// milliseconds overflows after 24.8 days of uptime.
[[gnu::visibility("hidden")]] int64_t clock_now_ms(void);

// Returns the whole CLOCK_MONOTONIC seconds now. The coarse form reads the clock without a
// system call and may lag by a tick; it suits what is timed in seconds or minutes.
[[gnu::visibility("hidden")]] int64_t clock_seconds(void);
[[gnu::visibility("hidden")]] int64_t clock_coarse_seconds(void);

// Returns time plus ms milliseconds (0 or more), its nanoseconds below one second.
[[gnu::visibility("hidden")]] struct timespec clock_add_ms(struct timespec time, int64_t ms);

// Returns the milliseconds from now until deadline, as poll takes them: at least 0, at most
// INT_MAX; -1 (no bound) for a null deadline.
[[gnu::visibility("hidden")]] int clock_ms_until(const struct timespec *deadline);

// Returns CLOCK_REALTIME now in nanoseconds since the epoch: the clock the kernel sets a file's
// st_ctim from, so a scan's start and a file's stamp compare.
[[gnu::visibility("hidden")]] int64_t clock_realtime_ns(void);

#endif  // VRELL_BASE_CLOCK_H_
