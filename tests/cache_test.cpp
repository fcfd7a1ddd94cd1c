// SPDX-License-Identifier: BSD-2-Clause
#include "cache/cache.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// The clock the cache reads during these tests, so expiry is checked to the second without
// sleeping.
std::atomic<time_t> fake_now{1700000000};
time_t fake_clock() {
  return fake_now.load();
}

class CacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_now = 1700000000;
    cache_set_clock(fake_clock);
  }
  void TearDown() override {
    if (cache_ != nullptr) {
      EXPECT_EQ(CACHE_OK, cache_destroy(cache_));
    }
    cache_set_clock(nullptr);
  }

  void Make(uint32_t max_entries, int32_t life_time) {
    cache_ = cache_create(max_entries, life_time);
    ASSERT_NE(nullptr, cache_);
  }
  int Add(const std::string &path, int64_t mtime, uint8_t verdict) {
    return cache_add_entry(cache_, path.c_str(), mtime, verdict);
  }
  int Query(const std::string &path, int64_t mtime) {
    return cache_query_entry(cache_, path.c_str(), mtime);
  }
  int Delete(const std::string &path) { return cache_delete_entry(cache_, path.c_str()); }
  guint Count() {
    pthread_mutex_lock(&cache_->mutex);
    guint n = g_hash_table_size(cache_->table);
    pthread_mutex_unlock(&cache_->mutex);
    return n;
  }

  verdict_cache *cache_ = nullptr;
};

TEST_F(CacheTest, AddModifyAndCapacity) {
  Make(2, 10);
  EXPECT_EQ(CACHE_ADDED, Add("/a", 1000, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_MODIFIED, Add("/a", 2000, VERDICT_INFECTED));
  EXPECT_EQ(1u, Count());
  EXPECT_EQ(VERDICT_INFECTED, Query("/a", 2000));
  EXPECT_EQ(CACHE_ADDED, Add("/b", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_FULL, Add("/c", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/c", 1));
  // A present path is refreshed in a full table.
  EXPECT_EQ(CACHE_MODIFIED, Add("/b", 3, VERDICT_INFECTED));
  EXPECT_EQ(VERDICT_INFECTED, Query("/b", 3));
  EXPECT_EQ(2u, Count());
  // Paths are keys byte for byte: case and doubled slashes make new paths.
  EXPECT_EQ(CACHE_OK, cache_clear(cache_));
  EXPECT_EQ(CACHE_ADDED, Add("/tmp/F", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_ADDED, Add("/tmp//F", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/tmp/f", 1));
}

TEST_F(CacheTest, ZeroCapacityRefusesEveryNewPath) {
  Make(0, 10);
  EXPECT_EQ(CACHE_FULL, Add("/a", 1, VERDICT_CLEAN));
  EXPECT_EQ(0u, Count());
}

TEST_F(CacheTest, RefusesBadArgumentsWithoutChange) {
  Make(10, 10);
  for (int verdict : {2, 255}) {
    EXPECT_EQ(CACHE_ERROR, Add("/a", 1, static_cast<uint8_t>(verdict))) << verdict;
  }
  EXPECT_EQ(0u, Count());
  EXPECT_EQ(CACHE_ERROR, cache_add_entry(cache_, nullptr, 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_ERROR, cache_query_entry(cache_, nullptr, 1));
  EXPECT_EQ(CACHE_ERROR, cache_delete_entry(cache_, nullptr));
  EXPECT_EQ(CACHE_ERROR, cache_add_entry(nullptr, "/a", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_ERROR, cache_query_entry(nullptr, "/a", 1));
  EXPECT_EQ(CACHE_ERROR, cache_delete_entry(nullptr, "/a"));
  EXPECT_EQ(CACHE_ERROR, cache_clear(nullptr));
  EXPECT_EQ(CACHE_ERROR, cache_destroy(nullptr));

  // The longest path that fits is kept whole; one byte more is refused, not cut.
  std::string longest(CACHE_PATH_MAX - 1, 'p');
  EXPECT_EQ(CACHE_ADDED, Add(longest, 1, VERDICT_INFECTED));
  EXPECT_EQ(VERDICT_INFECTED, Query(longest, 1));
  EXPECT_EQ(CACHE_ERROR, Add(longest + "q", 1, VERDICT_CLEAN));
  EXPECT_EQ(1u, Count());
}

TEST_F(CacheTest, ExpiresAtExactlyStampPlusLifeTime) {
  Make(10, 10);
  const time_t start = fake_now;
  ASSERT_EQ(CACHE_ADDED, Add("/a", 7, VERDICT_CLEAN));
  fake_now = start + 9;
  EXPECT_EQ(VERDICT_CLEAN, Query("/a", 7));  // a query does not refresh the stamp
  fake_now = start + 10;
  EXPECT_EQ(CACHE_STALE, Query("/a", 7));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/a", 7));

  // A modify renews the stamp.
  fake_now = start;
  ASSERT_EQ(CACHE_ADDED, Add("/b", 7, VERDICT_CLEAN));
  fake_now = start + 5;
  ASSERT_EQ(CACHE_MODIFIED, Add("/b", 7, VERDICT_INFECTED));
  fake_now = start + 14;
  EXPECT_EQ(VERDICT_INFECTED, Query("/b", 7));
  fake_now = start + 15;
  EXPECT_EQ(CACHE_STALE, Query("/b", 7));
  EXPECT_EQ(0u, Count());

  // At the end of time_t's range the stamp plus the life time would overflow; the age cannot.
  fake_now = std::numeric_limits<time_t>::max() - 5;
  ASSERT_EQ(CACHE_ADDED, Add("/c", 7, VERDICT_CLEAN));
  EXPECT_EQ(VERDICT_CLEAN, Query("/c", 7));
}

TEST_F(CacheTest, ClockSetBackMakesEntryStale) {
  Make(10, 10);
  ASSERT_EQ(CACHE_ADDED, Add("/a", 7, VERDICT_CLEAN));
  fake_now -= 1;
  EXPECT_EQ(CACHE_STALE, Query("/a", 7));
  EXPECT_EQ(0u, Count());
}

TEST_F(CacheTest, ZeroLifeTimeIsStaleAtFirstQuery) {
  Make(10, 0);
  ASSERT_EQ(CACHE_ADDED, Add("/a", 7, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_STALE, Query("/a", 7));
}

// A full table first drops the entries that can no longer answer, and only those, and walks
// the table only once the earliest moment an entry can expire has come.
TEST_F(CacheTest, FullTableSweepsOnlyEntriesThatCannotAnswer) {
  Make(4, 10);
  const time_t start = fake_now;
  auto passes = [this] { return cache_->sweeps; };
  for (const char *path : {"/a", "/b"}) ASSERT_EQ(CACHE_ADDED, Add(path, 1, VERDICT_CLEAN));
  fake_now = start + 3;
  for (const char *path : {"/c", "/d"}) ASSERT_EQ(CACHE_ADDED, Add(path, 1, VERDICT_CLEAN));

  // Full of valid entries: refused, and no sweep however often it is tried.
  fake_now = start + 5;
  EXPECT_EQ(CACHE_MODIFIED, Add("/a", 1, VERDICT_INFECTED));  // /a now expires at start + 15
  for (int second = 5; second < 10; ++second) {
    fake_now = start + second;
    for (int i = 0; i < 50; ++i) EXPECT_EQ(CACHE_FULL, Add("/new" + std::to_string(i), 1, 1));
  }
  EXPECT_EQ(0u, passes());
  EXPECT_EQ(0u, cache_swept(cache_));

  // /b expires at start + 10: one sweep removes it alone, then the table is full again.
  fake_now = start + 10;
  EXPECT_EQ(CACHE_ADDED, Add("/e", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_FULL, Add("/f", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_FULL, Add("/g", 1, VERDICT_CLEAN));
  EXPECT_EQ(1u, passes());
  EXPECT_EQ(1u, cache_swept(cache_));
  EXPECT_EQ(4u, cache_count(cache_));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/b", 1));  // swept entries are simply gone
  EXPECT_EQ(VERDICT_INFECTED, Query("/a", 1));

  // The sweep due at start + 13 removes /c and /d only.
  fake_now = start + 13;
  EXPECT_EQ(CACHE_ADDED, Add("/f", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_ADDED, Add("/g", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_FULL, Add("/h", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_MODIFIED, Add("/a", 1, VERDICT_CLEAN));
  EXPECT_EQ(2u, passes());
  EXPECT_EQ(3u, cache_swept(cache_));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/d", 1));
  // The refresh left /a's old expiry as the moment to look again: one pass that finds
  // nothing, and the moment is exact again.
  fake_now = start + 15;
  for (int i = 0; i < 50; ++i) EXPECT_EQ(CACHE_FULL, Add("/h", 1, VERDICT_CLEAN));
  EXPECT_EQ(3u, passes());
  EXPECT_EQ(3u, cache_swept(cache_));

  // The clock set back: every entry stamped later than now goes, at the first add that finds
  // the table full.
  fake_now = start;
  EXPECT_EQ(CACHE_ADDED, Add("/back", 1, VERDICT_INFECTED));
  EXPECT_EQ(4u, passes());
  EXPECT_EQ(7u, cache_swept(cache_));
  EXPECT_EQ(1u, cache_count(cache_));
  EXPECT_EQ(VERDICT_INFECTED, Query("/back", 1));

  // A table full of expired entries takes a new path.
  for (const char *path : {"/x", "/y", "/z"}) ASSERT_EQ(CACHE_ADDED, Add(path, 1, VERDICT_CLEAN));
  fake_now = start + 100;
  EXPECT_EQ(CACHE_ADDED, Add("/late", 1, VERDICT_CLEAN));
  EXPECT_EQ(5u, passes());
  EXPECT_EQ(11u, cache_swept(cache_));
  EXPECT_EQ(1u, cache_count(cache_));
  EXPECT_EQ(CACHE_OK, cache_clear(cache_));
  EXPECT_EQ(0u, cache_count(cache_));
  EXPECT_EQ(11u, cache_swept(cache_));
  EXPECT_EQ(0u, cache_count(nullptr));
  EXPECT_EQ(0u, cache_swept(nullptr));
}

TEST_F(CacheTest, MtimeChangeRemovesEntry) {
  Make(10, 10);
  ASSERT_EQ(CACHE_ADDED, Add("/a", 1000, VERDICT_CLEAN));
  ASSERT_EQ(CACHE_ADDED, Add("/b", 1000, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_STALE, Query("/a", 1001));
  EXPECT_EQ(1u, Count());
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/a", 1000));
  EXPECT_EQ(VERDICT_CLEAN, Query("/b", 1000));

  // All 64 bits count: mtimes that agree in their low 32 bits, or that a 32-bit field would
  // saturate to the same value (a file dated 2040, then 2045), are different mtimes.
  const struct {
    int64_t stored, asked;
  } differ[] = {
      {2208988800LL, 2366755200LL}, {0, int64_t{1} << 32},  {INT32_MAX, int64_t{INT32_MAX} + 1},
      {INT64_MAX, INT64_MIN},       {INT64_MIN, INT64_MAX}, {-1, INT64_MAX},
  };
  for (const auto &d : differ) {
    SCOPED_TRACE(std::to_string(d.stored) + " then " + std::to_string(d.asked));
    ASSERT_EQ(CACHE_ADDED, Add("/c", d.stored, VERDICT_INFECTED));
    EXPECT_EQ(VERDICT_INFECTED, Query("/c", d.stored));
    EXPECT_EQ(CACHE_STALE, Query("/c", d.asked));
    EXPECT_EQ(CACHE_NOT_FOUND, Query("/c", d.stored));
  }
}

TEST_F(CacheTest, DeleteAndClear) {
  Make(10, 10);
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/a", 1));
  EXPECT_EQ(CACHE_ERROR, Delete("/a"));  // empty table
  EXPECT_EQ(CACHE_OK, cache_clear(cache_));
  ASSERT_EQ(CACHE_ADDED, Add("/a b", 1, VERDICT_CLEAN));
  ASSERT_EQ(CACHE_ADDED, Add("/c", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_NOT_FOUND, Delete("/a"));
  auto entry_of = [this](const char *path) { return g_hash_table_lookup(cache_->table, path); };
  const gpointer dropped = entry_of("/a b");
  EXPECT_EQ(CACHE_OK, Delete("/a b"));
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/a b", 1));
  // A dropped entry's memory serves the next add, with nothing of the old entry left in it.
  ASSERT_EQ(CACHE_ADDED, Add("/d", 2, VERDICT_INFECTED));
  EXPECT_EQ(dropped, entry_of("/d"));
  EXPECT_EQ(VERDICT_INFECTED, Query("/d", 2));
  const gpointer c = entry_of("/c");
  const gpointer d = entry_of("/d");
  EXPECT_EQ(CACHE_OK, cache_clear(cache_));
  EXPECT_EQ(0u, Count());
  EXPECT_EQ(CACHE_NOT_FOUND, Query("/c", 1));
  EXPECT_EQ(CACHE_ADDED, Add("/c", 1, VERDICT_CLEAN));
  EXPECT_TRUE(entry_of("/c") == c || entry_of("/c") == d);
  EXPECT_EQ(VERDICT_CLEAN, Query("/c", 1));
}

TEST(CacheInit, ChecksRangesAndLeavesZeroWithoutTable) {
  verdict_cache cache{};
  EXPECT_EQ(CACHE_ERROR, cache_init(nullptr, 10, 10));
  EXPECT_EQ(CACHE_ERROR, cache_init(&cache, -1, 10));
  EXPECT_EQ(CACHE_ERROR, cache_init(&cache, 1025, 10));
  EXPECT_EQ(CACHE_ERROR, cache_init(&cache, 10, 86401));

  EXPECT_EQ(CACHE_OK, cache_init(&cache, 0, 10));
  EXPECT_EQ(nullptr, cache.table);
  EXPECT_EQ(CACHE_ERROR, cache_add_entry(&cache, "/a", 1, VERDICT_CLEAN));
  EXPECT_EQ(CACHE_ERROR, cache_query_entry(&cache, "/a", 1));
  EXPECT_EQ(CACHE_ERROR, cache_clear(&cache));
  EXPECT_EQ(CACHE_ERROR, cache_destroy(&cache));

  ASSERT_EQ(CACHE_OK, cache_init(&cache, 1024, 86400));
  EXPECT_EQ(CACHE_ERROR, cache_init(&cache, 10, 10));  // already has a table
  EXPECT_EQ(CACHE_ADDED, cache_add_entry(&cache, "/a", 1, VERDICT_INFECTED));
  EXPECT_EQ(VERDICT_INFECTED, cache_query_entry(&cache, "/a", 1));
  // The object is the caller's: destroying it releases the entries and the table only.
  EXPECT_EQ(CACHE_OK, cache_destroy(&cache));
  EXPECT_EQ(nullptr, cache.table);
}

std::vector<std::string> visited;
verdict_cache *visited_cache = nullptr;

void collect_and_delete(cache_entry *copy) {
  visited.push_back(copy->path);
  // Calling back into the cache from the visitor must not deadlock.
  EXPECT_EQ(CACHE_OK, cache_delete_entry(visited_cache, copy->path));
  free(copy);
}

TEST_F(CacheTest, ForeachHandsCopiesToAVisitorThatMayUseTheCache) {
  Make(10, 10);
  cache_foreach(cache_, collect_and_delete);  // empty: nothing visited
  EXPECT_TRUE(visited.empty());
  for (const char *path : {"/x", "/y", "/z"}) ASSERT_EQ(CACHE_ADDED, Add(path, 1, VERDICT_CLEAN));
  visited_cache = cache_;
  cache_foreach(cache_, collect_and_delete);
  std::sort(visited.begin(), visited.end());
  EXPECT_EQ((std::vector<std::string>{"/x", "/y", "/z"}), visited);
  EXPECT_EQ(0u, Count());
  cache_foreach(cache_, nullptr);
  cache_foreach(nullptr, collect_and_delete);
}

TEST(CacheConcurrency, CountNeverPassesCapacity) {
  // Time runs fast, so full tables are swept while other threads work on them.
  fake_now = 1700000000;
  cache_set_clock(fake_clock);
  constexpr uint32_t kMax = 8;
  verdict_cache *cache = cache_create(kMax, 2);
  ASSERT_NE(nullptr, cache);
  const unsigned seed = std::random_device{}();
  printf("CacheConcurrency seed %u\n", seed);

  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(seed + t);
      for (int i = 0; i < 20000; ++i) {
        if (i % 50 == 0) ++fake_now;
        std::string path = "/f" + std::to_string(random() % 16);
        int32_t mtime = static_cast<int32_t>(random() % 2);
        switch (random() % 4) {
          case 0:
          case 1: {
            int r = cache_add_entry(cache, path.c_str(), mtime, VERDICT_INFECTED);
            if (r != CACHE_ADDED && r != CACHE_MODIFIED && r != CACHE_FULL) wrong = true;
            break;
          }
          case 2: {
            int r = cache_query_entry(cache, path.c_str(), mtime);
            if (r != VERDICT_INFECTED && r != CACHE_STALE && r != CACHE_NOT_FOUND) wrong = true;
            break;
          }
          default:
            cache_delete_entry(cache, path.c_str());
        }
        pthread_mutex_lock(&cache->mutex);
        if (g_hash_table_size(cache->table) > kMax) wrong = true;
        pthread_mutex_unlock(&cache->mutex);
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_FALSE(wrong.load()) << "seed " << seed;
  EXPECT_GT(cache_swept(cache), 0u);  // over hundreds of fake seconds, full tables were swept
  EXPECT_EQ(CACHE_OK, cache_destroy(cache));
  cache_set_clock(nullptr);
}

}  // namespace
