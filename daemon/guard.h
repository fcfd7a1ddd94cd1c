/* SPDX-License-Identifier: BSD-2-Clause */
// The single-instance guard and the pid file. Before it takes any resource the daemon makes sure
// that no other instance runs and that its pid file and socket node are both free; it never
// removes a leftover at start-up, it refuses with a line that says which one is in the way.
//
// Thread safety: none needed; every call here runs on the main thread, before any other
// thread exists (write_pid_file in the detached child, remove_pid_file at the orderly stop).
#ifndef VRELL_DAEMON_GUARD_H_
#define VRELL_DAEMON_GUARD_H_

#include <sys/types.h>

// Only the first bytes of a pid file count.
constexpr int PID_READ_MAX = 16;
// The probe (REQUEST_STATUS) receives once, up to this many bytes; a live daemon's status line
// starts with REPLY_CODE_STATUS.
constexpr int PROBE_REPLY_MAX = 256;
// A peer that accepts the probe and never answers must not hang the start-up.
constexpr int PROBE_TIMEOUT_MS = 5000;
// remove_pid_file waits this long for the file to vanish after its unlink.
constexpr int PID_REMOVE_WAIT_MS = 5000;

// Results of check_single_instance.
constexpr int INSTANCE_RUNNING = 1;   // a live pid file and a live socket: another daemon runs
constexpr int INSTANCE_FREE = 0;      // neither a pid file nor a socket node
constexpr int INSTANCE_REFUSED = -1;  // anything else; the reasons have been printed

// Results of check_pid_file.
constexpr int PID_FILE_ABSENT = 1;  // nothing at the path
constexpr int PID_FILE_LIVE = 0;    // the recorded process answers signal 0
constexpr int PID_FILE_BAD = -1;    // a bad path, an unreadable or empty file
constexpr int PID_FILE_STALE = -2;  // the recorded process does not exist or cannot be signalled

// Results of probe_socket.
constexpr int PROBE_ABSENT = 1;       // nothing at the path
constexpr int PROBE_LIVE = 0;         // a daemon answered with its status line
constexpr int PROBE_FAILED = -1;      // a bad path, or socket, connect, send or receive failed
constexpr int PROBE_FOREIGN = -2;     // an answer that does not begin with 101
constexpr int PROBE_NO_ACCESS = -3;   // a socket node that is not readable and writable
constexpr int PROBE_NOT_SOCKET = -4;  // something at the path that is not a socket

// The lines check_single_instance prints on standard output.
constexpr char GUARD_PID_STALE_LINE[] =
    "Pid file exists but pid is not valid. Process locked or invalid\n";
constexpr char GUARD_PID_BAD_LINE[] = "Error validating pid file\n";
constexpr char GUARD_PID_LIVE_LINE[] = "Pid file exists and contains valid pid\n";
constexpr char GUARD_SOCKET_OCCUPIED_LINE[] = "Invalid socket path. Path is already occupied\n";
constexpr char GUARD_SOCKET_BAD_LINE[] = "Error validating socket path\n";
constexpr char GUARD_SOCKET_LIVE_LINE[] = "Socket is already active at path\n";

// Runs check_pid_file and then probe_socket, always both. Returns INSTANCE_RUNNING when both
// found a live daemon, INSTANCE_FREE when both found nothing, else INSTANCE_REFUSED after
// printing at most one line for the pid file and then at most one for the socket. Prints
// nothing for the other two results; the caller prints the running-instance message.
int check_single_instance(const char *pid_path, const char *socket_path);

// Returns one of the PID_FILE_ results. A null, empty or relative path is PID_FILE_BAD; a
// recorded number that is negative is PID_FILE_BAD, one beyond the range of a process id is
// PID_FILE_STALE. Never prints.
int check_pid_file(const char *path);

// Returns the number at the start of the file's first PID_READ_MAX bytes, read as atol reads
// (leading white space, an optional sign, digits; no digits give 0, and a number beyond the
// range of long saturates), or -1 when the file cannot be opened or nothing could be read.
// Never prints.
long read_pid_file(const char *path);

// Sends the status request to the socket at path and reads one answer, waiting at most
// timeout_ms for it. Returns one of the PROBE_ results. Never prints.
int probe_socket(const char *path, int timeout_ms = PROBE_TIMEOUT_MS);

// Creates the pid file new (never overwriting one, not even one created in the same instant)
// with the permissions the umask gives, and writes pid as "%ld" without a line end. Returns 0,
// or -1 when there is no path, something exists at it, or creating or writing failed (a file
// this call created is removed again then). Never prints.
int write_pid_file(long pid, const char *path);

// Removes the regular file at path and waits up to wait_ms for it to vanish.
// Returns 0 when it was removed or nothing was there (or no path is given), -1 when something
// other than a regular file is there (nothing is removed), the unlink failed, or the file is
// still present at the end of the wait. Never prints.
int remove_pid_file(const char *path, int wait_ms = PID_REMOVE_WAIT_MS);

// For tests: replaces the calls that create and remove the pid file, open and unlink, to put a
// file at the path between the existence test and the create, or to keep a removed file from
// going away. Null restores the real call. Call it before any other thread runs.
void guard_set_file_calls(int (*open_call)(const char *path, int flags, mode_t mode),
                          int (*unlink_call)(const char *path));

#endif  // VRELL_DAEMON_GUARD_H_
