// SPDX-License-Identifier: BSD-2-Clause
#include "cache/cache.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <limits>

std::atomic<void (*)(cache_entry *copy)> call_backProcesser{nullptr};

namespace {

std::atomic<time_t (*)(void)> clock_hook{nullptr};

time_t cache_now() {
  time_t (*clock)(void) = clock_hook.load();
  return clock != nullptr ? clock() : time(nullptr);
}

// Holds the cache's mutex for one read-decide-write sequence.
class cache_lock {
 public:
  explicit cache_lock(verdict_cache *cache) : mutex_(&cache->mutex) { pthread_mutex_lock(mutex_); }
  ~cache_lock() { pthread_mutex_unlock(mutex_); }
  cache_lock(const cache_lock &) = delete;
  cache_lock &operator=(const cache_lock &) = delete;

 private:
  pthread_mutex_t *mutex_;
};

// A path that does not fit the key field is refused rather than cut: a cut path names
// another file, and its verdict would be handed out for the wrong file.
bool path_fits(const char *path) {
  return strnlen(path, CACHE_PATH_MAX) < CACHE_PATH_MAX;
}

// The table never changes while operations may run (cache_create, cache_init and
// cache_destroy do not race with them), so it can be checked before the mutex is taken. An
// object without a table may have no initialised mutex at all.
bool usable(const verdict_cache *cache) {
  return cache != nullptr && cache->table != nullptr;
}

// An entry stamped later than now means the clock was set back; its age is unknown. The age is
// taken in 64 bits, which neither a 32-bit time_t nor a far stamp can overflow.
bool cannot_answer(const cache_entry *entry, time_t now, int32_t life_time) {
  return entry->stamp > now || int64_t{now} - entry->stamp >= life_time;
}

// The moment an entry stamped at stamp can first no longer answer. Saturated: near the end of
// time_t's range the stamp plus the life time would overflow.
int64_t expiry_of(time_t stamp, int32_t life_time) {
  int64_t at;
  if (!__builtin_add_overflow(int64_t{stamp}, int64_t{life_time}, &at)) return at;
  return life_time > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// No entry yet: nothing can expire, nothing is stamped.
void reset_sweep_bounds(verdict_cache *cache) {
  cache->next_sweep = std::numeric_limits<int64_t>::max();
  cache->latest_stamp = std::numeric_limits<int64_t>::min();
}

// Keeps both bounds true for an entry stamped now. A refreshed entry leaves its old expiry in
// next_sweep, which is early and costs at most one sweep that finds nothing.
void note_stamp(verdict_cache *cache, time_t stamp) {
  cache->next_sweep = std::min(cache->next_sweep, expiry_of(stamp, cache->life_time));
  cache->latest_stamp = std::max(cache->latest_stamp, int64_t{stamp});
}

bool sweep_due(const verdict_cache *cache, time_t now) {
  return int64_t{now} >= cache->next_sweep || int64_t{now} < cache->latest_stamp;
}

// Called with the mutex held. A dropped entry is kept for the next add instead of being freed:
// workers add and drop entries in their own malloc arenas, and a table that kept going back to
// malloc grew the daemon's heap for a quarter of an hour under a steady load. Entries now come
// from malloc only until the table has once been full.
void release_entry(verdict_cache *cache, cache_entry *entry) {
  memcpy(entry->path, &cache->spares, sizeof cache->spares);
  cache->spares = entry;
}

// Called with the mutex held. A kept entry, else a new one; null when memory is short.
cache_entry *reuse_entry(verdict_cache *cache) {
  cache_entry *entry = cache->spares;
  if (entry == nullptr) return cache_entry_new();
  memcpy(&cache->spares, entry->path, sizeof cache->spares);
  return entry;
}

gboolean release_each_entry(gpointer /*key*/, gpointer value, gpointer cache) {
  release_entry(static_cast<verdict_cache *>(cache), static_cast<cache_entry *>(value));
  return TRUE;
}

struct sweep_pass {
  verdict_cache *cache;
  time_t now;
  int32_t life_time;
  int64_t next_sweep;  // recomputed from the entries that stay
  int64_t latest_stamp;
  uint32_t removed;
};

// The predicate of a sweep: frees and drops an entry that can no longer answer, and takes the
// bounds of the ones that stay.
gboolean sweep_entry(gpointer /*key*/, gpointer value, gpointer user_data) {
  auto *pass = static_cast<sweep_pass *>(user_data);
  auto *entry = static_cast<cache_entry *>(value);
  if (cannot_answer(entry, pass->now, pass->life_time)) {
    release_entry(pass->cache, entry);
    ++pass->removed;
    return TRUE;
  }
  pass->next_sweep = std::min(pass->next_sweep, expiry_of(entry->stamp, pass->life_time));
  pass->latest_stamp = std::max(pass->latest_stamp, int64_t{entry->stamp});
  return FALSE;
}

// Called with the mutex held. Removes every entry that can no longer answer and makes both
// bounds exact again.
void sweep(verdict_cache *cache, time_t now) {
  sweep_pass pass = {cache,
                     now,
                     cache->life_time,
                     std::numeric_limits<int64_t>::max(),
                     std::numeric_limits<int64_t>::min(),
                     0};
  g_hash_table_foreach_remove(cache->table, sweep_entry, &pass);
  cache->next_sweep = pass.next_sweep;
  cache->latest_stamp = pass.latest_stamp;
  cache->swept += pass.removed;
  ++cache->sweeps;
}

// Called with the mutex held, so the removal needs no second lock (the mutex is not recursive).
int remove_entry(verdict_cache *cache, cache_entry *entry) {
  if (!g_hash_table_remove(cache->table, entry->path)) return CACHE_ERROR;
  release_entry(cache, entry);
  return CACHE_OK;
}

}  // namespace

void cache_set_clock(time_t (*clock)(void)) {
  clock_hook.store(clock);
}

cache_entry *cache_entry_new(void) {
  return static_cast<cache_entry *>(malloc(sizeof(cache_entry)));
}

verdict_cache *cache_create(uint32_t max_entries, int32_t life_time) {
  auto *cache = static_cast<verdict_cache *>(calloc(1, sizeof(verdict_cache)));
  if (cache == nullptr) return nullptr;
  cache->table = g_hash_table_new(g_str_hash, g_str_equal);
  if (cache->table == nullptr) {
    free(cache);
    return nullptr;
  }
  cache->max_entries = max_entries;
  cache->life_time = life_time;
  cache->from_create = true;
  reset_sweep_bounds(cache);
  pthread_mutex_init(&cache->mutex, nullptr);
  return cache;
}

int cache_init(verdict_cache *cache, int32_t max_entries, int32_t life_time) {
  if (max_entries < 0 || max_entries > 1024 || life_time > 86400) return CACHE_ERROR;
  if (cache == nullptr || cache->table != nullptr) return CACHE_ERROR;
  if (max_entries == 0 || life_time == 0) return CACHE_OK;
  if (pthread_mutex_init(&cache->mutex, nullptr) != 0) return CACHE_ERROR;
  cache_lock lock(cache);
  cache->table = g_hash_table_new(g_str_hash, g_str_equal);
  if (cache->table == nullptr) return CACHE_ERROR;
  cache->max_entries = static_cast<uint32_t>(max_entries);
  cache->life_time = life_time;
  cache->from_create = false;
  reset_sweep_bounds(cache);
  cache->swept = 0;
  cache->sweeps = 0;
  cache->spares = nullptr;
  return CACHE_OK;
}

int cache_destroy(verdict_cache *cache) {
  if (!usable(cache)) return CACHE_ERROR;
  {
    cache_lock lock(cache);
    g_hash_table_foreach_remove(cache->table, free_entry, nullptr);
    g_hash_table_destroy(cache->table);
    cache->table = nullptr;
    while (cache->spares != nullptr) free(reuse_entry(cache));
  }
  pthread_mutex_destroy(&cache->mutex);
  if (cache->from_create) free(cache);
  return CACHE_OK;
}

int cache_add_entry(verdict_cache *cache, const char *path, int64_t mtime, uint8_t verdict) {
  if (!usable(cache) || path == nullptr || !path_fits(path)) return CACHE_ERROR;
  if (verdict != VERDICT_CLEAN && verdict != VERDICT_INFECTED) return CACHE_ERROR;
  cache_lock lock(cache);
  auto *entry = static_cast<cache_entry *>(g_hash_table_lookup(cache->table, path));
  if (entry != nullptr) {
    // Capacity plays no part here, so a present path can be refreshed in a full table.
    entry->mtime = mtime;
    entry->verdict = verdict;
    entry->stamp = cache_now();
    note_stamp(cache, entry->stamp);
    return CACHE_MODIFIED;
  }
  const time_t now = cache_now();
  if (g_hash_table_size(cache->table) >= cache->max_entries) {
    // Dead entries make room; valid ones are never evicted.
    if (sweep_due(cache, now)) sweep(cache, now);
    if (g_hash_table_size(cache->table) >= cache->max_entries) return CACHE_FULL;
  }
  entry = reuse_entry(cache);
  if (entry == nullptr) return CACHE_ERROR;
  memcpy(entry->path, path, strlen(path) + 1);
  entry->mtime = mtime;
  entry->verdict = verdict;
  entry->stamp = now;
  g_hash_table_insert(cache->table, entry->path, entry);
  note_stamp(cache, now);
  return CACHE_ADDED;
}

int cache_delete_entry(verdict_cache *cache, const char *path) {
  if (!usable(cache) || path == nullptr) return CACHE_ERROR;
  cache_lock lock(cache);
  // Unlike a query, a delete on an empty table is an error; clients see it as the 208 reply.
  if (g_hash_table_size(cache->table) == 0) return CACHE_ERROR;
  auto *entry = static_cast<cache_entry *>(g_hash_table_lookup(cache->table, path));
  if (entry == nullptr) return CACHE_NOT_FOUND;
  return remove_entry(cache, entry);
}

int cache_query_entry(verdict_cache *cache, const char *path, int64_t mtime) {
  if (!usable(cache) || path == nullptr) return CACHE_ERROR;
  cache_lock lock(cache);
  auto *entry = static_cast<cache_entry *>(g_hash_table_lookup(cache->table, path));
  if (entry == nullptr) return CACHE_NOT_FOUND;
  bool stale = cannot_answer(entry, cache_now(), cache->life_time) || entry->mtime != mtime;
  if (!stale) return entry->verdict;
  return remove_entry(cache, entry) == CACHE_OK ? CACHE_STALE : CACHE_ERROR;
}

int cache_clear(verdict_cache *cache) {
  if (!usable(cache)) return CACHE_ERROR;
  cache_lock lock(cache);
  g_hash_table_foreach_remove(cache->table, release_each_entry, cache);
  reset_sweep_bounds(cache);
  return CACHE_OK;
}

uint32_t cache_count(verdict_cache *cache) {
  if (!usable(cache)) return 0;
  cache_lock lock(cache);
  return g_hash_table_size(cache->table);
}

uint64_t cache_swept(verdict_cache *cache) {
  if (!usable(cache)) return 0;
  cache_lock lock(cache);
  return cache->swept;
}

gboolean free_entry(gpointer key, gpointer value, gpointer /*user_data*/) {
  if (key == nullptr || value == nullptr) return FALSE;
  free(value);
  return TRUE;
}

void process_each_entry(gpointer /*key*/, gpointer value, gpointer user_data) {
  if (call_backProcesser.load() == nullptr || value == nullptr || user_data == nullptr) return;
  const auto *entry = static_cast<const cache_entry *>(value);
  cache_entry *copy = cache_entry_new();
  if (copy == nullptr) return;
  size_t length = strnlen(entry->path, CACHE_PATH_MAX - 1);
  memcpy(copy->path, entry->path, length);
  copy->path[length] = '\0';
  copy->mtime = entry->mtime;
  copy->stamp = entry->stamp;
  copy->verdict = entry->verdict;
  g_ptr_array_add(static_cast<GPtrArray *>(user_data), copy);
}

void cache_foreach(verdict_cache *cache, void (*visitor)(cache_entry *copy)) {
  if (!usable(cache) || visitor == nullptr) return;
  GPtrArray *copies = nullptr;
  {
    cache_lock lock(cache);
    call_backProcesser.store(visitor);
    copies = g_ptr_array_sized_new(g_hash_table_size(cache->table));
    g_hash_table_foreach(cache->table, process_each_entry, copies);
  }
  // The visitor runs without the mutex, so it may call cache operations itself.
  for (guint i = 0; i < copies->len; ++i) visitor(static_cast<cache_entry *>(copies->pdata[i]));
  g_ptr_array_free(copies, TRUE);
}
