#include "service/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr char LOG_IDENT[] = "vrell";

void discard(int, const char *) {}

void to_syslog(int priority, const char *line) {
  syslog(priority, "%s", line);
}

int log_file = -1;

const char *priority_name(int priority) {
  switch (priority) {
    case LOG_ERR:
      return "err";
    case LOG_WARNING:
      return "warning";
    default:
      return "info";
  }
}

void to_file(int priority, const char *line) {
  char text[LOG_LINE_MAX + 16];
  int length = snprintf(text, sizeof text, "%s: %s\n", priority_name(priority), line);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof text) length = sizeof text - 1;
  // One write per line: with O_APPEND, lines of several threads never interleave.
  if (write(log_file, text, static_cast<size_t>(length)) < 0) {
  }
}

// One write per line, as to_file does; the sd-daemon prefix is the priority's number.
void to_stderr(int priority, const char *line) {
  char text[LOG_LINE_MAX + 16];
  int length = snprintf(text, sizeof text, "<%d>%s\n", priority, line);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof text) length = sizeof text - 1;
  const char *rest = text;
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    ssize_t written = write(STDERR_FILENO, rest, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    rest += written;
    left -= static_cast<size_t>(written);
  }
}

// Puts the file of LOG_FILE_VARIABLE in place. Returns false when none is named or it cannot be
// opened.
bool open_file() {
  // Not taken from the environment of a process that gained privileges on its start.
  const char *path = secure_getenv(LOG_FILE_VARIABLE);
  if (path == nullptr || path[0] == '\0') return false;
  log_file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (log_file < 0) return false;
  log_sink = to_file;
  return true;
}

}  // namespace

void (*log_sink)(int priority, const char *line) = discard;

void log_open(void) {
  if (log_sink != discard || open_file()) return;
  openlog(LOG_IDENT, LOG_PID, LOG_DAEMON);
  log_sink = to_syslog;
}

void log_open_foreground(void) {
  if (log_sink != discard || open_file()) return;
  log_sink = to_stderr;
}

void log_close(void) {
  if (log_sink == to_file) {
    close(log_file);
    log_file = -1;
    log_sink = discard;
  } else if (log_sink == to_syslog) {
    closelog();
    log_sink = discard;
  } else if (log_sink == to_stderr) {
    log_sink = discard;
  }
}

void log_message(int priority, const char *format, ...) {
  char line[LOG_LINE_MAX];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  log_sink(priority, line);
}
