// SPDX-License-Identifier: BSD-2-Clause
// Cost of one cache operation on a full table, from one thread and from two threads sharing
// the cache (and so its mutex); of an add of a new path into a table with room beside one into
// a table full of valid entries; and of the sweep that empties a table of expired entries.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cache/cache.h"

namespace {

constexpr int64_t kMtime = 1700000000;
constexpr int32_t kLifeTime = 3600;

// Paths as a scanner sends them: a few directory levels and a file name.
std::vector<std::string> Paths(int count) {
  std::vector<std::string> paths;
  char path[128];
  for (int i = 0; i < count; i++) {
    snprintf(path, sizeof path, "/srv/share/projects/p%03d/build/objects/file%05d.o", i % 97, i);
    paths.emplace_back(path);
  }
  return paths;
}

// Shared by the threads of one run: the first thread fills it before the timed loop starts
// (every thread waits there for the others) and frees it after the loop has ended.
verdict_cache *cache = nullptr;
std::vector<std::string> paths;

void FillCache(const benchmark::State &state) {
  if (state.thread_index() != 0) return;
  int entries = static_cast<int>(state.range(0));
  cache = cache_create(static_cast<uint32_t>(entries), kLifeTime);
  paths = Paths(entries);
  for (const auto &path : paths) cache_add_entry(cache, path.c_str(), kMtime, VERDICT_CLEAN);
}

void FreeCache(benchmark::State &state) {
  if (state.thread_index() != 0) return;
  cache_destroy(cache);
  cache = nullptr;
  state.SetItemsProcessed(state.iterations() * state.threads());
}

// Updates entries already present, as the steady state of a full cache does.
void BM_cache_add_entry(benchmark::State &state) {
  FillCache(state);
  size_t i = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    const std::string &path = paths[i++ % paths.size()];
    benchmark::DoNotOptimize(
        cache_add_entry(cache, path.c_str(), kMtime, static_cast<uint8_t>(i & 1)));
  }
  FreeCache(state);
}

// Queries that find a valid entry.
void BM_cache_query_entry(benchmark::State &state) {
  FillCache(state);
  size_t i = static_cast<size_t>(state.thread_index()) * 7919;
  for (auto _ : state) {
    const std::string &path = paths[i++ % paths.size()];
    benchmark::DoNotOptimize(cache_query_entry(cache, path.c_str(), kMtime));
  }
  FreeCache(state);
}

// Adds of new paths come in batches of this many, so that the untimed work between batches
// (removing what a batch added, refilling a swept table) costs little per add.
constexpr int kBatch = 1024;

// A batch of new paths into a table that has room: the table holds entries as a full one
// does, and has room for the whole batch, which is removed again untimed.
void BM_cache_add_new_with_room(benchmark::State &state) {
  const int entries = static_cast<int>(state.range(0));
  verdict_cache *table = cache_create(static_cast<uint32_t>(entries + kBatch), kLifeTime);
  const std::vector<std::string> all = Paths(entries + kBatch);
  for (int i = 0; i < entries; i++) cache_add_entry(table, all[i].c_str(), kMtime, VERDICT_CLEAN);
  for (auto _ : state) {
    for (int i = entries; i < entries + kBatch; i++) {
      benchmark::DoNotOptimize(cache_add_entry(table, all[i].c_str(), kMtime, VERDICT_CLEAN));
    }
    state.PauseTiming();
    for (int i = entries; i < entries + kBatch; i++) cache_delete_entry(table, all[i].c_str());
    state.ResumeTiming();
  }
  cache_destroy(table);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The same batch into a table full of valid entries: every add is refused, and none may walk
// the table.
void BM_cache_add_new_full_valid(benchmark::State &state) {
  const int entries = static_cast<int>(state.range(0));
  verdict_cache *table = cache_create(static_cast<uint32_t>(entries), kLifeTime);
  const std::vector<std::string> all = Paths(entries + kBatch);
  for (int i = 0; i < entries; i++) cache_add_entry(table, all[i].c_str(), kMtime, VERDICT_CLEAN);
  for (auto _ : state) {
    for (int i = entries; i < entries + kBatch; i++) {
      benchmark::DoNotOptimize(cache_add_entry(table, all[i].c_str(), kMtime, VERDICT_CLEAN));
    }
  }
  if (cache_count(table) != static_cast<uint32_t>(entries) || cache_swept(table) != 0) {
    state.SkipWithError("the full table changed");
  }
  cache_destroy(table);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

time_t bench_now = 1700000000;
time_t bench_clock(void) {
  return bench_now;
}

// One add that finds the table full of expired entries: the sweep frees them all, then the
// path is added. The table is refilled untimed.
void BM_cache_sweep_expired(benchmark::State &state) {
  const int entries = static_cast<int>(state.range(0));
  cache_set_clock(bench_clock);
  verdict_cache *table = cache_create(static_cast<uint32_t>(entries), kLifeTime);
  const std::vector<std::string> all = Paths(entries + 1);
  for (auto _ : state) {
    state.PauseTiming();
    cache_clear(table);
    for (int i = 0; i < entries; i++) cache_add_entry(table, all[i].c_str(), kMtime, 0);
    bench_now += kLifeTime;
    state.ResumeTiming();
    benchmark::DoNotOptimize(cache_add_entry(table, all[entries].c_str(), kMtime, 0));
  }
  if (cache_swept(table) != static_cast<uint64_t>(state.iterations()) * entries) {
    state.SkipWithError("a sweep left entries behind");
  }
  cache_destroy(table);
  cache_set_clock(nullptr);
  state.counters["entries_swept"] = entries;
}

BENCHMARK(BM_cache_add_entry)->ArgName("entries")->Arg(100)->Arg(1024)->Threads(1)->Threads(2);
BENCHMARK(BM_cache_add_new_with_room)->ArgName("entries")->Arg(100)->Arg(1024);
BENCHMARK(BM_cache_add_new_full_valid)->ArgName("entries")->Arg(100)->Arg(1024);
BENCHMARK(BM_cache_sweep_expired)->ArgName("entries")->Arg(1024);
BENCHMARK(BM_cache_query_entry)->ArgName("entries")->Arg(100)->Arg(1024)->Threads(1)->Threads(2);

}  // namespace
