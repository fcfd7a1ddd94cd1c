/* SPDX-License-Identifier: BSD-2-Clause */
// The verdict cache: an in-memory table from a file path to the scanner's last verdict on it,
// with the file's mtime as the client reported it and the moment the entry was written.
// Entries answer only while younger than the life time and while the mtime still matches.
// A valid entry is never evicted: a new path beyond the capacity is refused. Entries that can
// no longer answer (expired, or stamped later than now after the clock was set back) are
// removed when a new path finds the table full, before it is refused: a table of dead entries
// keeps taking new paths. That sweep runs inside the add, with no timer or thread, and only
// once the earliest moment an entry can expire has come, so adds into a table full of valid
// entries do not walk it.
//
// Thread safety: every operation takes the cache's mutex for its whole read-decide-write
// sequence, so any number of threads may call add, delete, query, clear and foreach at once.
// cache_create, cache_init and cache_destroy must not race with anything else.
#ifndef VRELL_CACHE_CACHE_H_
#define VRELL_CACHE_CACHE_H_

#include <glib.h>
#include <pthread.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

// Result codes, one numbering for every operation.
constexpr int CACHE_ERROR = -1;
constexpr int CACHE_OK = 0;
constexpr int VERDICT_CLEAN = 0;
constexpr int VERDICT_INFECTED = 1;
constexpr int CACHE_STALE = 2;
constexpr int CACHE_NOT_FOUND = 3;
constexpr int CACHE_ADDED = 4;
constexpr int CACHE_MODIFIED = 5;
constexpr int CACHE_FULL = 6;

// Size of the path field with its terminator: paths hold at most 1023 characters.
constexpr int CACHE_PATH_MAX = 1024;

struct cache_entry {
  char path[CACHE_PATH_MAX];  // the hash key; NUL-terminated
  int64_t mtime;    // only ever compared for equality; 64 bits, so times past 2038 stay apart
  time_t stamp;     // wall-clock time of the last add or modify
  uint8_t verdict;  // VERDICT_CLEAN or VERDICT_INFECTED
};

struct verdict_cache {
  pthread_mutex_t mutex;  // guards table and every entry in it
  GHashTable *table;      // key and value are the same cache_entry; null while no table exists
  uint32_t max_entries;
  int32_t life_time;  // seconds
  bool from_create;   // set by cache_create: cache_destroy then frees the object too
  // When a full table needs a sweep. Both are bounds, exact after each sweep: no entry expires
  // before next_sweep (stamp + life_time; INT64_MAX for none) and none is stamped later than
  // latest_stamp (INT64_MIN for none). Guarded by mutex, like the counters below.
  int64_t next_sweep;
  int64_t latest_stamp;
  uint64_t swept;   // entries removed by sweeps since the cache was made usable
  uint64_t sweeps;  // sweep passes run, removing entries or not
  // Entries dropped from the table, kept for the next adds and linked through their path
  // field; freed by cache_destroy. Guarded by mutex.
  cache_entry *spares;
};

// Returns a new cache with an empty table, or null when memory is exhausted. The values are
// stored as given, without range checks. Release it with cache_destroy.
verdict_cache *cache_create(uint32_t max_entries, int32_t life_time);

// Makes a caller-provided object usable; the caller zeroes it first. Returns CACHE_ERROR for
// max_entries outside 0..1024, life_time above 86400, a null cache or one that already has a
// table; CACHE_OK otherwise. A zero max_entries or life_time leaves the object without a table
// (and without an initialised mutex), so every later operation on it answers CACHE_ERROR.
int cache_init(verdict_cache *cache, int32_t max_entries, int32_t life_time);

// Frees every entry and the table, destroys the mutex, and frees the object itself when it
// came from cache_create (an object made usable by cache_init stays with its owner). Returns
// CACHE_OK, or CACHE_ERROR for a null cache or one without a table (left as is).
int cache_destroy(verdict_cache *cache);

// Returns CACHE_ADDED, CACHE_MODIFIED (the path was present; mtime, verdict and stamp
// replaced, also in a full table), CACHE_FULL (every entry of the full table can still
// answer; nothing changed) or CACHE_ERROR (bad argument, a verdict other than 0 or 1, a path
// of 1024 bytes or more, no memory; nothing changed). A new path that finds the table full
// first removes every entry that can no longer answer, when there may be one.
int cache_add_entry(verdict_cache *cache, const char *path, int64_t mtime, uint8_t verdict);

// Returns CACHE_OK, CACHE_NOT_FOUND, or CACHE_ERROR for a bad argument or an empty table.
int cache_delete_entry(verdict_cache *cache, const char *path);

// Returns the stored verdict while the entry is valid; CACHE_STALE after removing an entry
// that has expired (now >= stamp + life_time), is stamped in the future or whose mtime
// differs; CACHE_NOT_FOUND; CACHE_ERROR for a bad argument. A query never refreshes the stamp.
int cache_query_entry(verdict_cache *cache, const char *path, int64_t mtime);

// Removes every entry, keeping them for the next adds. Returns CACHE_OK, or CACHE_ERROR without a
// table.
int cache_clear(verdict_cache *cache);

// Returns the number of entries now; 0 for a null cache or one without a table.
uint32_t cache_count(verdict_cache *cache);

// Returns the number of entries removed by sweeps of a full table since the cache was made
// usable; 0 for a null cache or one without a table.
uint64_t cache_swept(verdict_cache *cache);

// Hands a private copy of every entry to visitor, which owns it and releases it with free.
// The copies are collected under the mutex and visited after it is released, so the visitor
// may call cache operations. Does nothing for a null cache, table or visitor.
void cache_foreach(verdict_cache *cache, void (*visitor)(cache_entry *copy));

// Returns one uninitialised entry from malloc, or null. Entries are released with free.
cache_entry *cache_entry_new(void);

// The predicate of cache_destroy: frees the entry and returns TRUE; FALSE for a null key or
// value.
gboolean free_entry(gpointer key, gpointer value, gpointer user_data);

// The GHFunc of a walk: under the mutex, copies one entry and appends the copy to the
// GPtrArray in user_data. Does nothing while no walk is in progress (call_backProcesser null)
// or for a null entry or array; an entry whose copy cannot be allocated is skipped.
void process_each_entry(gpointer key, gpointer value, gpointer user_data);

// The visitor of the most recent walk; null until the first walk. Written under the mutex.
extern std::atomic<void (*)(cache_entry *copy)> call_backProcesser;

// For tests: replaces the wall clock (time) that stamps and expiry read, in every cache.
// Null restores time. Must not be changed while other threads use a cache.
void cache_set_clock(time_t (*clock)(void));

#endif  // VRELL_CACHE_CACHE_H_
