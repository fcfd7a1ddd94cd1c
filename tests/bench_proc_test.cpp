// SPDX-License-Identifier: BSD-2-Clause
// vrell-bench's reading of a server's usage from /proc: the fields of captured texts, and this
// test's own process, whose threads' context switches must all be counted.

#include "tools/bench_proc.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

TEST(BenchProcTest, ParsesTheTimesAndTheSwitchesOfCapturedTexts) {
  uint64_t ticks = 0, switches = 0;
  // Fields 14 and 15, utime and stime, are 7 and 5; a name may hold spaces and ") (".
  EXPECT_EQ(bench_proc_parse_stat("4242 (vrell) S 1 4242 4242 0 -1 4194368 120 0 0 0 7 5 0 0 20 "
                                  "0 12 0 99118 3133440 366",
                                  &ticks),
            0);
  EXPECT_EQ(ticks, 12u);
  EXPECT_EQ(
      bench_proc_parse_stat("4242 (a) (b c) S 1 4242 4242 0 -1 4194368 120 0 0 0 30 12 0", &ticks),
      0);
  EXPECT_EQ(ticks, 42u);
  EXPECT_EQ(bench_proc_parse_stat("4242 vrell S 1", &ticks), -1);
  EXPECT_EQ(bench_proc_parse_stat("4242 (vrell) S 1 4242", &ticks), -1);

  EXPECT_EQ(bench_proc_parse_switches("Name:\tvrell\nThreads:\t12\nvoluntary_ctxt_switches:\t"
                                      "1500\nnonvoluntary_ctxt_switches:\t27\n",
                                      &switches),
            0);
  EXPECT_EQ(switches, 1527u);
  EXPECT_EQ(bench_proc_parse_switches("voluntary_ctxt_switches:\t3\n", &switches), -1);
}

TEST(BenchProcTest, SumsTheSwitchesOfEveryThreadAndFailsForNoProcess) {
  std::atomic<bool> slept{false}, done{false};
  // A second thread that switches out 50 times, and stays alive until read.
  std::thread sleeper([&] {
    for (int i = 0; i < 50; i++) {
      struct timespec pause = {0, 100000};
      nanosleep(&pause, nullptr);
    }
    slept = true;
    while (!done) {
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
    }
  });
  while (!slept) std::this_thread::yield();
  // The main thread's own count alone, read first: the sum, read after, has every thread's.
  std::ifstream status("/proc/self/status");
  std::stringstream text;
  text << status.rdbuf();
  uint64_t main_only = 0;
  ASSERT_EQ(bench_proc_parse_switches(text.str().c_str(), &main_only), 0);
  bench_proc_usage usage = {};
  ASSERT_EQ(bench_proc_read(getpid(), &usage), 0);
  done = true;
  sleeper.join();
  EXPECT_GE(usage.context_switches, main_only + 50);

  EXPECT_EQ(bench_proc_read(-1, &usage), -1);
  EXPECT_GT(bench_proc_ticks_per_second(), 0);
}

}  // namespace
