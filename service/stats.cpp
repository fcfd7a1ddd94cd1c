// SPDX-License-Identifier: BSD-2-Clause
#include "service/stats.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "base/clock.h"
#include "base/wire.h"
#include "service/log.h"

namespace {

constexpr char MSG_FULL_FIRST[] = "cache full (%u entries): new paths are refused";
constexpr char MSG_FULL_AGAIN[] =
    "cache full (%u entries): %llu new paths refused since the last warning";

// A counter word per cache line: the workers increment different counters at once.
constexpr size_t LINE = 64;
struct alignas(LINE) counter_word {
  std::atomic<uint64_t> value{0};
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

counter_word counters[STATS_COUNTERS];
alignas(LINE) std::atomic<int64_t> started_at{0};
// The full-table warning: when the next one may be written, and the refusals counted at the
// last one.
std::atomic<int64_t> warning_due{0};
std::atomic<uint64_t> refused_at_warning{0};

// Written only while no worker runs (stats_set_gauges), read by the workers.
stats_gauge_reader gauge_reader = nullptr;
const void *gauge_source = nullptr;

// Read without a system call; a second's error does not matter to a warning a minute.
int64_t (*warning_clock)(void) = clock_coarse_seconds;

void relaxed_add(stats_counter counter) {
  counters[counter].value.fetch_add(1, std::memory_order_relaxed);
}

void warn_full(const verdict_cache *cache) {
  uint64_t refused = counters[STATS_REFUSED_FULL].value.load(std::memory_order_relaxed);
  int64_t now = warning_clock();
  int64_t due = warning_due.load(std::memory_order_relaxed);
  if (now < due) return;
  // Of the workers that find the warning due, one writes it.
  if (!warning_due.compare_exchange_strong(due, now + STATS_FULL_WARNING_EVERY_S)) return;
  uint64_t before = refused_at_warning.exchange(refused);
  unsigned capacity = cache != nullptr ? cache->max_entries : 0;
  if (due == 0) {
    log_message(LOG_WARNING, MSG_FULL_FIRST, capacity);
  } else {
    log_message(LOG_WARNING, MSG_FULL_AGAIN, capacity,
                static_cast<unsigned long long>(refused - before));
  }
}

}  // namespace

void stats_start(void) {
  started_at.store(clock_seconds());
}

void stats_count(stats_counter counter) {
  relaxed_add(counter);
}

void stats_count_reply(stats_counter counter) {
  if (counter < 0 || counter >= STATS_COUNTERS) return;
  relaxed_add(counter);
}

void stats_after_reply(stats_counter counter, const verdict_cache *cache) {
  if (counter == STATS_REFUSED_FULL) warn_full(cache);
}

uint64_t stats_get(stats_counter counter) {
  return counters[counter].value.load(std::memory_order_relaxed);
}

size_t stats_fields(char *out, size_t size, verdict_cache *cache, const stats_gauges *gauges) {
  const stats_gauges none = {};
  if (gauges == nullptr) gauges = &none;
  int64_t start = started_at.load();
  struct {
    const char *name;
    uint64_t value;
  } const fields[] = {
      {"uptime", start == 0 ? 0 : static_cast<uint64_t>(clock_seconds() - start)},
      {"entries", cache_count(cache)},
      {"capacity", cache != nullptr ? cache->max_entries : 0},
      {"hits", stats_get(STATS_HITS)},
      {"misses", stats_get(STATS_MISSES)},
      {"stale", stats_get(STATS_STALE)},
      {"added", stats_get(STATS_ADDED)},
      {"modified", stats_get(STATS_MODIFIED)},
      {"refused_full", stats_get(STATS_REFUSED_FULL)},
      {"deleted", stats_get(STATS_DELETED)},
      {"cleared", stats_get(STATS_CLEARED)},
      {"invalid", stats_get(STATS_INVALID)},
      {"errors", stats_get(STATS_ERRORS)},
      {"timeouts", stats_get(STATS_TIMEOUTS)},
      {"swept", cache_swept(cache)},
      {"connections", stats_get(STATS_CONNECTIONS)},
      {"busy", static_cast<uint64_t>(gauges->busy)},
      {"threads", static_cast<uint64_t>(gauges->threads)},
      {"queued", static_cast<uint64_t>(gauges->queued)},
      {"queued_max", static_cast<uint64_t>(gauges->queued_max)},
      {"waiting", static_cast<uint64_t>(gauges->waiting)},
      {"log_dropped", log_dropped()},
  };
  size_t length = 0;
  if (size == 0) return 0;
  out[0] = '\0';
  for (const auto &field : fields) {
    int n = snprintf(out + length, size - length, "%s%s=%llu", length == 0 ? "" : ";", field.name,
                     static_cast<unsigned long long>(field.value));
    if (n < 0) break;
    length += static_cast<size_t>(n);
    if (length >= size) return size - 1;
  }
  return length;
}

void stats_set_clock(int64_t (*seconds)(void)) {
  warning_clock = seconds != nullptr ? seconds : clock_coarse_seconds;
}

void stats_set_gauges(stats_gauge_reader read, const void *source) {
  gauge_reader = read;
  gauge_source = source;
}

void stats_reply(char *reply, verdict_cache *cache) {
  stats_gauges counts = {};
  if (gauge_reader != nullptr) gauge_reader(gauge_source, &counts);
  constexpr size_t head = sizeof STATS_TEXT - 1;
  constexpr char line_end[] = "\r\n";
  memcpy(reply, STATS_TEXT, head);
  // Room is kept for the line end, so the reply always ends as every reply does.
  size_t length = head + stats_fields(reply + head, STATS_REPLY_MAX - head - 2, cache, &counts);
  memcpy(reply + length, line_end, sizeof line_end);
}
