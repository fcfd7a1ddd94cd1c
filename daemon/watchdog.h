/* SPDX-License-Identifier: BSD-2-Clause */
// The service manager's watchdog: while the manager asks for it (WATCHDOG_USEC), a thread of
// its own sends "WATCHDOG=1" every half interval, but only while the service makes progress: the
// head of the connection queue has moved since the last look, or the queue is empty. A daemon
// whose workers all hang so stops pinging and is restarted, though its process lives on.
//
// Thread safety: watchdog_start and watchdog_stop belong to the main thread. The watchdog
// thread calls the reader it is given and notify_send, neither of which waits.
#ifndef VRELL_DAEMON_WATCHDOG_H_
#define VRELL_DAEMON_WATCHDOG_H_

#include <stdint.h>

// The environment variables of the manager's watchdog: its interval in microseconds, and the
// process it is meant for (when set, another process's watchdog is not ours).
constexpr char WATCHDOG_USEC_VARIABLE[] = "WATCHDOG_USEC";
constexpr char WATCHDOG_PID_VARIABLE[] = "WATCHDOG_PID";

// What the watchdog looks at: how many connections have been taken off the queue since it was
// made, and how many wait in it now.
struct watchdog_sample {
  uint64_t taken;
  int32_t queued;
};
// Fills sample from source. Must not wait.
using watchdog_reader = void (*)(const void *source, watchdog_sample *sample);

// Returns the watchdog interval in milliseconds that the manager asks of this process; 0 when it
// asks for none (WATCHDOG_USEC unset, not a positive number, or WATCHDOG_PID another process).
int64_t watchdog_interval_ms(void);

// Starts the watchdog thread when the manager asks for one: it looks every half interval and
// pings when the sample shows progress. Returns 0 (also when no watchdog is asked for), -1 when
// the thread cannot be started.
int watchdog_start(watchdog_reader read, const void *source);

// Ends and joins the watchdog thread; does nothing when none runs.
void watchdog_stop(void);

#endif  // VRELL_DAEMON_WATCHDOG_H_
