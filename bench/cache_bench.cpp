// Cost of one cache operation on a full table, from one thread and from two threads sharing
// the cache (and so its mutex).
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "cache/cache.h"

namespace {

constexpr int32_t kMtime = 1700000000;
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

BENCHMARK(BM_cache_add_entry)->ArgName("entries")->Arg(100)->Arg(1024)->Threads(1)->Threads(2);
BENCHMARK(BM_cache_query_entry)->ArgName("entries")->Arg(100)->Arg(1024)->Threads(1)->Threads(2);

}  // namespace
