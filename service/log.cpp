// SPDX-License-Identifier: BSD-2-Clause
#include "service/log.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "base/clock.h"

namespace {

constexpr char LOG_IDENT[] = "vrell";

void discard(int, const char *) {}

// Where every line goes; a test may put its own here (log_set_sink).
void (*sink)(int priority, const char *line) = discard;

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
  sink = to_file;
  return true;
}

// The lines waiting for the log thread. Plain pthread objects: a log thread that a stalled sink
// keeps may still use them while the process exits, so they must have no destructor.
struct ring_line {
  int priority;
  char text[LOG_LINE_MAX];
};
pthread_mutex_t ring_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t ring_ready = PTHREAD_COND_INITIALIZER;
ring_line ring[LOG_RING_LINES];  // guarded by ring_lock, like the three below
int ring_head = 0;
int ring_count = 0;
bool ring_closing = false;
// The log thread runs from log_open to log_close; ended is set as its last act.
pthread_t log_thread;
std::atomic<bool> thread_running{false};
std::atomic<bool> thread_ended{false};
std::atomic<uint64_t> dropped_total{0};
std::atomic<uint64_t> dropped_unreported{0};

void say_dropped() {
  uint64_t dropped = dropped_unreported.exchange(0);
  if (dropped == 0) return;
  char line[LOG_LINE_MAX];
  snprintf(line, sizeof line, LOG_MSG_DROPPED, static_cast<unsigned long long>(dropped));
  sink(LOG_WARNING, line);
}

// Writes the lines in order; only this thread ever waits for the sink.
void *log_thread_main(void *) {
  ring_line line;
  pthread_mutex_lock(&ring_lock);
  for (;;) {
    while (ring_count == 0 && !ring_closing) pthread_cond_wait(&ring_ready, &ring_lock);
    if (ring_count == 0) break;
    line = ring[ring_head];
    ring_head = (ring_head + 1) % LOG_RING_LINES;
    ring_count--;
    pthread_mutex_unlock(&ring_lock);
    say_dropped();
    sink(line.priority, line.text);
    pthread_mutex_lock(&ring_lock);
  }
  pthread_mutex_unlock(&ring_lock);
  say_dropped();
  thread_ended.store(true);
  return nullptr;
}

// Starts the log thread with every signal blocked, so that a termination signal never lands on
// it while it waits for a sink. Without it, lines go to the sink directly.
void start_thread() {
  if (thread_running.load()) return;
  ring_closing = false;
  thread_ended.store(false);
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  if (pthread_create(&log_thread, nullptr, log_thread_main, nullptr) == 0) {
    thread_running.store(true);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Lets the log thread write what is queued, waiting at most wait_ms. Returns false when it is
// still held by its sink: it is then left as it is.
bool stop_thread(int wait_ms) {
  if (!thread_running.load()) return true;
  pthread_mutex_lock(&ring_lock);
  ring_closing = true;
  pthread_cond_signal(&ring_ready);
  pthread_mutex_unlock(&ring_lock);
  const int64_t until = clock_now_ms() + wait_ms;
  while (!thread_ended.load() && clock_now_ms() < until) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (!thread_ended.load()) return false;
  pthread_join(log_thread, nullptr);
  thread_running.store(false);
  return true;
}

}  // namespace

void log_set_sink(void (*line_sink)(int priority, const char *line)) {
  sink = line_sink != nullptr ? line_sink : discard;
}

void log_open(void) {
  if (sink == discard && !open_file()) {
    openlog(LOG_IDENT, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    sink = to_syslog;
  }
  start_thread();
}

void log_open_foreground(void) {
  if (sink == discard && !open_file()) sink = to_stderr;
  start_thread();
}

bool log_close(int wait_ms) {
  // A sink that holds the log thread is left to it; the process is about to end.
  if (!stop_thread(wait_ms)) return false;
  if (sink == to_file) {
    close(log_file);
    log_file = -1;
    sink = discard;
  } else if (sink == to_syslog) {
    closelog();
    sink = discard;
  } else if (sink == to_stderr) {
    sink = discard;
  }
  return true;
}

uint64_t log_dropped(void) {
  return dropped_total.load();
}

void log_message(int priority, const char *format, ...) {
  char line[LOG_LINE_MAX];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (!thread_running.load()) {
    sink(priority, line);
    return;
  }
  pthread_mutex_lock(&ring_lock);
  bool queued = ring_count < LOG_RING_LINES;
  if (queued) {
    ring_line &slot = ring[(ring_head + ring_count) % LOG_RING_LINES];
    slot.priority = priority;
    memcpy(slot.text, line, sizeof line);
    ring_count++;
    pthread_cond_signal(&ring_ready);
  }
  pthread_mutex_unlock(&ring_lock);
  if (!queued) {
    dropped_total.fetch_add(1);
    dropped_unreported.fetch_add(1);
  }
}
