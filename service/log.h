/* SPDX-License-Identifier: BSD-2-Clause */
// The daemon's log: one line per event that an operator needs once the daemon serves. Lines go
// to syslog (ident "vrell", with the pid, facility daemon) once it has detached, or to standard
// error with the priority in front when it stays in the foreground under a service manager that
// reads them with their levels. Nothing on the request path logs, apart from the rate-limited
// warning of a full table, after its reply.
//
// No caller ever waits for a sink: once the log is open, log_message puts the line in a ring of
// LOG_RING_LINES lines that a log thread of its own writes out. A line that finds the ring full
// (the sink has stopped draining: a full pipe, a journal or syslog that reads nothing) is
// dropped and counted; once the sink takes lines again, the log thread writes LOG_MSG_DROPPED
// with the count before the next line.
//
// Thread safety: log_message and log_dropped may be called from any thread, never from a signal
// handler; the ring has a lock of its own, held only to copy a line in or out. log_open,
// log_close and log_set_sink belong to the main thread (or a test) and are called only while no
// other thread logs. The log thread blocks every signal.
#ifndef VRELL_SERVICE_LOG_H_
#define VRELL_SERVICE_LOG_H_

#include <stdint.h>
#include <syslog.h>

// The longest line, without its end; a longer one is cut.
constexpr int LOG_LINE_MAX = 1024;
// Lines the ring holds for the log thread.
constexpr int LOG_RING_LINES = 64;
// How long log_close lets the log thread write what is queued.
constexpr int LOG_CLOSE_WAIT_MS = 2000;
// The line that counts what was dropped, as a warning.
constexpr char LOG_MSG_DROPPED[] = "log: %llu lines dropped while the log did not drain";

// When this environment variable names a file, log_open and log_open_foreground append the
// lines there instead of sending them to syslog or standard error, one "PRIORITY: text" line
// each (PRIORITY is err, warning or info).
// The process tests read the log that way; a container without a syslog daemon can too.
constexpr char LOG_FILE_VARIABLE[] = "VRELL_LOG_FILE";

// For tests: replaces where every line goes, with its syslog priority; the text carries no line
// end. Until log_open the lines are dropped, so that unit tests of code that logs write nowhere;
// log_message calls the sink given here directly while the log is not open. Null restores
// dropping. Call it while the log is not open.
void log_set_sink(void (*sink)(int priority, const char *line));

// Opens the log for the detached daemon: syslog with ident "vrell", LOG_PID and LOG_DAEMON, or
// the file that LOG_FILE_VARIABLE names, and starts the log thread (without it, lines go to the
// sink directly). A file that cannot be opened leaves the log on syslog. Leaves a sink that a
// test has put in place alone.
void log_open(void);

// Opens the log for a daemon that stays in the foreground: each line goes to standard error as
// "<N>text\n", N being the number of its syslog priority ("<3>" err, "<4>" warning, "<6>" info),
// in one write, or to the file that LOG_FILE_VARIABLE names as log_open does. A line that cannot
// be written is dropped. Leaves a sink that a test has put in place alone.
void log_open_foreground(void);

// Lets the log thread write the lines queued, waiting at most wait_ms, ends it and closes what
// log_open or log_open_foreground opened (never standard error itself); later lines are
// dropped again. Returns true; false when the sink still held the log thread at the bound: the
// thread and the sink are then left as they are, and the caller should end the process.
bool log_close(int wait_ms = LOG_CLOSE_WAIT_MS);

// Returns how many lines were dropped because the ring was full, since the process started.
uint64_t log_dropped(void);

// Formats one line with printf conventions and queues it for the log thread, or drops and
// counts it when the ring is full; hands it to the sink directly while the log is not open.
// Never waits for the sink; never fails.
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif  // VRELL_SERVICE_LOG_H_
