// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/watchdog.h"

#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "daemon/notify.h"

namespace {

constexpr char WATCHDOG_PING[] = "WATCHDOG=1";

std::mutex lock;  // guards stopping
std::condition_variable woken;
bool stopping = false;
bool running = false;  // main thread only
pthread_t thread;
watchdog_reader reader;
const void *reader_source;
int64_t look_every_ms;

void *watchdog_main(void *) {
  watchdog_sample last = {};
  reader(reader_source, &last);
  std::unique_lock<std::mutex> guard(lock);
  for (;;) {
    woken.wait_for(guard, std::chrono::milliseconds(look_every_ms), [] { return stopping; });
    if (stopping) break;
    watchdog_sample now = {};
    reader(reader_source, &now);
    // A queue whose head stands still while connections wait is a service that serves nothing.
    if (now.queued == 0 || now.taken != last.taken) notify_send(WATCHDOG_PING);
    last = now;
  }
  return nullptr;
}

}  // namespace

int64_t watchdog_interval_ms(void) {
  const char *usec = getenv(WATCHDOG_USEC_VARIABLE);
  if (usec == nullptr) return 0;
  const char *pid = getenv(WATCHDOG_PID_VARIABLE);
  if (pid != nullptr && pid[0] != '\0' && strtoll(pid, nullptr, 10) != getpid()) return 0;
  char *end;
  long long value = strtoll(usec, &end, 10);
  if (end == usec || *end != '\0' || value <= 0) return 0;
  return value < 1000 ? 1 : value / 1000;
}

int watchdog_start(watchdog_reader read, const void *source) {
  int64_t interval = watchdog_interval_ms();
  if (running || interval == 0 || read == nullptr) return 0;
  reader = read;
  reader_source = source;
  look_every_ms = interval / 2 > 0 ? interval / 2 : 1;
  stopping = false;
  if (pthread_create(&thread, nullptr, watchdog_main, nullptr) != 0) return -1;
  running = true;
  return 0;
}

void watchdog_stop(void) {
  if (!running) return;
  {
    std::lock_guard<std::mutex> guard(lock);
    stopping = true;
  }
  woken.notify_all();
  pthread_join(thread, nullptr);
  running = false;
}
