// SPDX-License-Identifier: BSD-2-Clause
#include "service/queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

bool Before(const timespec &a, const timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

timespec Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t;
}

TEST(ConnectionQueue, MissingAndEmptyQueue) {
  EXPECT_EQ(-1, connection_queue_create(nullptr));
  connection_queue *none = nullptr;
  EXPECT_EQ(-1, connection_queue_push(&none, 7));
  EXPECT_EQ(-1, connection_queue_push(nullptr, 7));
  EXPECT_EQ(-1, connection_queue_pop(&none));
  EXPECT_EQ(0, connection_queue_length(&none));
  EXPECT_EQ(-1, connection_queue_take(&none, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, connection_queue_length_max(&none));
  connection_queue_close(&none);
  connection_queue_free(&none);
  connection_queue_free(nullptr);

  connection_queue *q = nullptr;
  ASSERT_EQ(0, connection_queue_create(&q));
  ASSERT_NE(nullptr, q);
  EXPECT_EQ(0, connection_queue_length(&q));
  timespec untouched = {12, 34};
  EXPECT_EQ(-1, connection_queue_pop(&q, &untouched));
  EXPECT_EQ(12, untouched.tv_sec);
  connection_queue_free(&q);
  EXPECT_EQ(nullptr, q);
}

TEST(ConnectionQueue, FifoWithPushTimes) {
  connection_queue *q = nullptr;
  ASSERT_EQ(0, connection_queue_create(&q));
  timespec start = Now();
  for (int32_t fd : {5, 9, 0, 3, 9}) ASSERT_EQ(0, connection_queue_push(&q, fd));
  timespec end = Now();
  EXPECT_EQ(5, connection_queue_length(&q));

  timespec previous = start;
  for (int32_t expected : {5, 9, 0, 3, 9}) {
    timespec accepted;
    ASSERT_EQ(expected, connection_queue_pop(&q, &accepted));
    EXPECT_TRUE(Before(previous, accepted));
    EXPECT_TRUE(Before(accepted, end));
    previous = accepted;
  }
  EXPECT_EQ(0, connection_queue_length(&q));
  EXPECT_EQ(-1, connection_queue_pop(&q));

  // An accept time given to the push is the one the taker gets.
  const timespec stamped = {42, 7};
  ASSERT_EQ(0, connection_queue_push(&q, 11, &stamped));
  timespec accepted;
  ASSERT_EQ(11, connection_queue_pop(&q, &accepted));
  EXPECT_EQ(42, accepted.tv_sec);
  EXPECT_EQ(7, accepted.tv_nsec);
  connection_queue_free(&q);
}

TEST(ConnectionQueue, FreeLeavesDescriptorsOpen) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  connection_queue *q = nullptr;
  ASSERT_EQ(0, connection_queue_create(&q));
  ASSERT_EQ(0, connection_queue_push(&q, fds[0]));
  ASSERT_EQ(0, connection_queue_push(&q, fds[1]));
  connection_queue_free(&q);
  EXPECT_EQ(nullptr, q);
  EXPECT_NE(-1, fcntl(fds[0], F_GETFD));
  EXPECT_NE(-1, fcntl(fds[1], F_GETFD));
  EXPECT_EQ(1, write(fds[1], "x", 1));
  close(fds[0]);
  close(fds[1]);
}

int Count() {
  static int n = 0;
  return ++n;
}

// A take waits for a push, draws in queue order under the lock, and ends for good once the
// queue is closed and empty; the high-water mark stays. The bounds are far beyond any
// scheduling delay, so only a missing wake-up makes them run out.
TEST(ConnectionQueue, TakeWaitsForAPushAndEndsOnClose) {
  connection_queue *q = nullptr;
  ASSERT_EQ(0, connection_queue_create(&q));
  auto bounded = [](auto call) {
    auto start = std::chrono::steady_clock::now();
    int32_t result = call();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    return result;
  };
  int32_t drawn = 0;
  std::thread pusher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    connection_queue_push(&q, 4);
  });
  EXPECT_EQ(4, bounded([&] { return connection_queue_take(&q, nullptr, Count, &drawn); }));
  pusher.join();
  EXPECT_EQ(1, drawn);

  for (int32_t fd : {7, 8, 9}) ASSERT_EQ(0, connection_queue_push(&q, fd));
  EXPECT_EQ(3, connection_queue_length_max(&q));
  EXPECT_EQ(7, connection_queue_take(&q, nullptr, Count, &drawn));
  EXPECT_EQ(2, drawn);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    connection_queue_close(&q);
  });
  // Closed, the queue is still emptied before takes end.
  EXPECT_EQ(8, connection_queue_take(&q, nullptr, nullptr, nullptr));
  EXPECT_EQ(9, connection_queue_take(&q, nullptr, Count, &drawn));
  EXPECT_EQ(3, drawn);
  EXPECT_EQ(-1, bounded([&] { return connection_queue_take(&q, nullptr, Count, &drawn); }));
  closer.join();
  EXPECT_EQ(3, drawn);
  EXPECT_EQ(-1, connection_queue_take(&q, nullptr, nullptr, nullptr));
  EXPECT_EQ(3, connection_queue_length_max(&q));
  connection_queue_free(&q);
}

// Several producers and consumers at once: every value comes out exactly once, and the values
// of one producer come out in the order it pushed them, to waiting takers as to pops.
TEST(ConnectionQueue, ConcurrentPushAndPop) {
  unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  constexpr int kProducers = 4, kPerProducer = 2000, kConsumers = 3;
  connection_queue *q = nullptr;
  ASSERT_EQ(0, connection_queue_create(&q));

  std::vector<std::vector<int32_t>> seen(kConsumers);
  std::atomic<bool> closed{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; p++) {
    threads.emplace_back([&, p] {
      std::minstd_rand pause(seed + p);
      for (int i = 0; i < kPerProducer; i++) {
        ASSERT_EQ(0, connection_queue_push(&q, p * kPerProducer + i));
        if (pause() % 64 == 0) std::this_thread::yield();
      }
    });
  }
  for (int c = 0; c < kConsumers; c++) {
    // One consumer polls with pop; the others wait in take until the close.
    threads.emplace_back([&, c] {
      for (;;) {
        int32_t fd = c == 0 ? connection_queue_pop(&q)
                            : connection_queue_take(&q, nullptr, nullptr, nullptr);
        if (fd >= 0) {
          seen[c].push_back(fd);
        } else if (c != 0 || (closed.load() && connection_queue_length(&q) == 0)) {
          break;
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (int p = 0; p < kProducers; p++) threads[p].join();
  closed = true;
  connection_queue_close(&q);
  for (size_t t = kProducers; t < threads.size(); t++) threads[t].join();

  std::vector<int> count(kProducers * kPerProducer, 0);
  for (const auto &values : seen) {
    std::vector<int32_t> last(kProducers, -1);
    for (int32_t v : values) {
      ASSERT_GE(v, 0);
      ASSERT_LT(v, kProducers * kPerProducer);
      count[v]++;
      EXPECT_LT(last[v / kPerProducer], v);
      last[v / kPerProducer] = v;
    }
  }
  for (int n : count) ASSERT_EQ(1, n);
  EXPECT_EQ(0, connection_queue_length(&q));
  connection_queue_free(&q);
}

}  // namespace
