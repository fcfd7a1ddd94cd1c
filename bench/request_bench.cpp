// SPDX-License-Identifier: BSD-2-Clause
// Cost of parsing one received request, for the three commands that carry fields.
#include <benchmark/benchmark.h>

#include <string>

#include "service/protocol.h"

namespace {

const std::string kRequests[] = {
    std::string("Q 1700000000 /srv/share/projects/p042/build/objects/file00042.o\r\n"),
    std::string("A 1700000000 0 /srv/share/projects/p042/build/objects/file00042.o\r\n"),
    std::string("D /srv/share/projects/p042/build/objects/file00042.o\r\n"),
};

void BM_request_parse(benchmark::State &state) {
  // The NUL that ends the request on the wire is part of what one receive returns.
  const std::string &text = kRequests[state.range(0)];
  const size_t n = text.size() + 1;
  cache_request *request = request_new();
  for (auto _ : state) {
    benchmark::DoNotOptimize(request_parse(text.c_str(), n, request));
    benchmark::ClobberMemory();
  }
  request_free(request);
  state.SetLabel(text.substr(0, 1));
}

BENCHMARK(BM_request_parse)->ArgName("command")->DenseRange(0, 2);

}  // namespace
