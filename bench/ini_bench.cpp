// SPDX-License-Identifier: BSD-2-Clause
// Cost of reading the example configuration into a symbol table, as the daemon's start does.
#include <benchmark/benchmark.h>

#include "config/ini.h"
#include "config/symtab.h"

namespace {

void BM_ini_load(benchmark::State &state) {
  const char *name = VRELL_SOURCE_DIR "/etc/vrell.ini";
  for (auto _ : state) {
    symbol_table *table = ini_load(nullptr, name);
    if (table == nullptr) {
      state.SkipWithError("ini_load returned null");
      break;
    }
    symtab_free(table);
  }
}

BENCHMARK(BM_ini_load);

}  // namespace
