// SPDX-License-Identifier: BSD-2-Clause
// The log: lines reach the sink in order through the log thread, and a sink that stops draining
// holds no caller.
#include "service/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

std::atomic<bool> sink_open{false};
std::atomic<bool> sink_entered{false};
std::vector<std::string> written;  // by the log thread only, read once it has ended

// A sink that holds the log thread until the test opens it, as a full pipe would.
void held_sink(int, const char *line) {
  sink_entered.store(true);
  while (!sink_open.load()) std::this_thread::yield();
  written.push_back(line);
}

TEST(LogTest, AStalledSinkDropsAndCountsLinesThenSaysHowManyWhenItDrains) {
  log_set_sink(held_sink);
  log_open_foreground();
  // The first line holds the thread; the ring takes LOG_RING_LINES more; three are dropped.
  const int sent = 1 + LOG_RING_LINES + 3;
  for (int i = 0; i < sent; ++i) {
    if (i == 1) {
      ASSERT_TRUE(harness_wait_for([] { return sink_entered.load(); }, 10 * 1000));
    }
    log_message(LOG_INFO, "line %d", i);
  }
  EXPECT_EQ(log_dropped(), 3u);
  // Still held: the close gives up and leaves the thread to its sink.
  EXPECT_FALSE(log_close(100));
  sink_open.store(true);
  EXPECT_TRUE(log_close(5000));
  ASSERT_EQ(written.size(), 2u + LOG_RING_LINES);
  EXPECT_EQ(written[0], "line 0");
  EXPECT_EQ(written[1], "log: 3 lines dropped while the log did not drain");
  for (int i = 1; i <= LOG_RING_LINES; ++i) {
    EXPECT_EQ(written[1 + i], "line " + std::to_string(i));
  }
  EXPECT_EQ(log_dropped(), 3u);
}

}  // namespace
