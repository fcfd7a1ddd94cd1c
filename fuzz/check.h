/* SPDX-License-Identifier: BSD-2-Clause */
// What the fuzz harnesses share: the entry point libFuzzer calls, and an invariant check that
// stops the run with a message, so that a broken invariant counts as a crash in both builds.
#ifndef VRELL_FUZZ_CHECK_H_
#define VRELL_FUZZ_CHECK_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

// Feeds one input to the harness. Returns 0; a broken invariant ends the process.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Aborts with the failed condition and its place when cond is false. Never returns then.
#define FUZZ_CHECK(cond)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
      abort();                                                                     \
    }                                                                              \
  } while (0)

#endif  // VRELL_FUZZ_CHECK_H_
