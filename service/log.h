// The daemon's log: one line per event that an operator needs once the daemon serves. Lines go
// to syslog (ident "vrell", with the pid, facility daemon) once it has detached, or to standard
// error with the priority in front when it stays in the foreground under a service manager that
// reads them with their levels. Nothing on the request path logs, apart from the rate-limited
// warning of a full table.
//
// Thread safety: log_message may be called from any thread, never from a signal handler.
// log_open, log_close and log_sink belong to the main thread (or a test) and are changed only
// while no other thread logs.
#ifndef VRELL_SERVICE_LOG_H_
#define VRELL_SERVICE_LOG_H_

#include <syslog.h>

// The longest line, without its end; a longer one is cut.
constexpr int LOG_LINE_MAX = 1024;

// When this environment variable names a file, log_open and log_open_foreground append the
// lines there instead of sending them to syslog or standard error, one "PRIORITY: text" line
// each (PRIORITY is err, warning or info).
// The process tests read the log that way; a container without a syslog daemon can too.
constexpr char LOG_FILE_VARIABLE[] = "VRELL_LOG_FILE";

// Where every line goes, with its syslog priority; the text carries no line end. Until log_open
// the lines are dropped, so that unit tests of code that logs write nowhere; a test may put
// its own sink here.
extern void (*log_sink)(int priority, const char *line);

// Opens the log for the detached daemon: syslog with ident "vrell", LOG_PID and LOG_DAEMON, or
// the file that LOG_FILE_VARIABLE names. A file that cannot be opened leaves the log on
// syslog. Leaves a sink that a test has put in place alone.
void log_open(void);

// Opens the log for a daemon that stays in the foreground: each line goes to standard error as
// "<N>text\n", N being the number of its syslog priority ("<3>" err, "<4>" warning, "<6>" info),
// in one write, or to the file that LOG_FILE_VARIABLE names as log_open does. A line that cannot
// be written is dropped. Leaves a sink that a test has put in place alone.
void log_open_foreground(void);

// Closes what log_open or log_open_foreground opened (never standard error itself); later lines
// are dropped again.
void log_close(void);

// Formats one line with printf conventions and hands it to the sink. Never fails.
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif  // VRELL_SERVICE_LOG_H_
