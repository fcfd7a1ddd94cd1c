// SPDX-License-Identifier: BSD-2-Clause
// Helpers that the unit tests of several modules share: an environment variable put back when
// a test ends, and a heap for tagmem_set_heap that refuses the requests a test chooses.
#ifndef VRELL_TESTS_FIXTURES_H_
#define VRELL_TESTS_FIXTURES_H_

#include <stddef.h>

#include <optional>
#include <string>

// Saves an environment variable and puts it back, set or unset, when the test ends.
struct saved_env {
  std::string name;
  std::optional<std::string> value;
  explicit saved_env(const char *variable);
  ~saved_env();
};

// The heap behind the allocator: lets flaky_skip requests through, then refuses flaky_refuse of
// them. A test sets both back to 0 when it ends.
extern int flaky_skip;
extern int flaky_refuse;
void *flaky_alloc(size_t size);
void *flaky_resize(void *block, size_t size);

#endif  // VRELL_TESTS_FIXTURES_H_
