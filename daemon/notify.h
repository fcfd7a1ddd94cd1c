/* SPDX-License-Identifier: BSD-2-Clause */
// Readiness and stop notices to the service manager (systemd with Type=notify), through its
// datagram protocol: one datagram of "NAME=value" lines to the Unix socket that NOTIFY_SOCKET
// names, a path or "@" and a name in the abstract namespace. Without NOTIFY_SOCKET nothing is
// sent. No library is needed, so the 32-bit build links nothing more.
//
// Thread safety: main thread only, never a signal handler (getenv, snprintf, the log). The first
// failure of notify_ready or notify_stopping is logged, once per process.
#ifndef VRELL_DAEMON_NOTIFY_H_
#define VRELL_DAEMON_NOTIFY_H_

// The environment variable that names the manager's socket.
constexpr char NOTIFY_SOCKET_VARIABLE[] = "NOTIFY_SOCKET";
// The longest datagram sent.
constexpr int NOTIFY_STATE_MAX = 512;

// Results of the notify_ calls.
constexpr int NOTIFY_SENT = 0;
constexpr int NOTIFY_UNSET = 1;    // NOTIFY_SOCKET is not set or empty: nothing to do
constexpr int NOTIFY_FAILED = -1;  // errno tells why

// Sends state as one datagram to the socket of NOTIFY_SOCKET, without waiting: a manager whose
// queue is full counts as a failure rather than holding the daemon. Returns NOTIFY_SENT,
// NOTIFY_UNSET, or NOTIFY_FAILED with errno set (EINVAL for a name that is neither absolute nor
// abstract, or too long for the address; else the socket's or the send's own error). Never
// prints; never raises SIGPIPE.
int notify_send(const char *state);

// Sends "READY=1", "MAINPID=" pid (the manager takes the sender for the main process, also when
// it started the parent of the detaching fork) and, when status is given, "STATUS=" status.
// Returns as notify_send; a failure is logged as a warning when it is the first.
int notify_ready(long pid, const char *status);

// Sends "STOPPING=1". Returns as notify_send; a failure is logged as a warning when it is the
// first.
int notify_stopping(void);

#endif  // VRELL_DAEMON_NOTIFY_H_
