// SPDX-License-Identifier: BSD-2-Clause
#include "service/pool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/queue.h"

namespace {

using namespace std::chrono_literals;

const std::string kStatus = "101-OK: Cache running;";

// What the workers took, in the order they reported it: connection and request id.
std::mutex taken_lock;
std::vector<std::pair<int32_t, int32_t>> taken;
std::atomic<int> fail_worker{0};  // the worker start that fails, counted from 1; 0 for none
std::atomic<int> workers_started{0};
std::atomic<int> workers_ended{0};
std::atomic<int> stop_requests{0};

void RecordTake(const worker_job *job) {
  std::lock_guard<std::mutex> guard(taken_lock);
  taken.emplace_back(job->connection, job->request_id);
}

void CountStopRequest() {
  stop_requests++;
}

// A worker runs through this, so that the test sees it end.
struct counted_start {
  void *(*start)(void *);
  void *arg;
};

void *CountedWorker(void *counted) {
  auto *c = static_cast<counted_start *>(counted);
  c->start(c->arg);
  delete c;
  workers_ended++;
  return nullptr;
}

int CountingCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                   void *arg) {
  if (workers_started.load() + 1 == fail_worker.load()) return EAGAIN;
  auto *counted = new counted_start{start, arg};
  int created = pthread_create(thread, attr, CountedWorker, counted);
  if (created != 0) {
    delete counted;
    return created;
  }
  workers_started++;
  return 0;
}

// Polls the condition for up to 20 seconds.
template <typename F>
bool Eventually(F condition) {
  for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(1ms)) {
    if (condition()) return true;
  }
  return condition();
}

void Send(int client, const std::string &text) {
  ASSERT_EQ(static_cast<ssize_t>(text.size() + 1),
            send(client, text.c_str(), text.size() + 1, MSG_NOSIGNAL));
}

// Everything the pool sends until it closes, without the reply's NUL; bounded by 20 seconds.
std::string Reply(int client) {
  std::string got;
  for (auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
    pollfd p = {client, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[128];
    ssize_t n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  if (!got.empty() && got.back() == '\0') got.pop_back();
  return got;
}

bool HasData(int client) {
  pollfd p = {client, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pool_set_thread_create(CountingCreate);
    pool_set_on_take(RecordTake);
    fail_worker = 0;
    workers_started = 0;
    workers_ended = 0;
    stop_requests = 0;
    taken.clear();
    cache_ = cache_create(1000, 600);
    ASSERT_NE(nullptr, cache_);
    ASSERT_EQ(0, connection_queue_create(&queue_));
  }

  void TearDown() override {
    for (int client : clients_) shutdown(client, SHUT_RDWR);
    pool_stop(pool_, nullptr);
    for (int client : clients_) close(client);
    for (int32_t fd; (fd = connection_queue_pop(&queue_)) >= 0;) close(fd);
    connection_queue_free(&queue_);
    cache_destroy(cache_);
    pool_set_thread_create(nullptr);
    pool_set_on_take(nullptr);
  }

  pool_config Config(int32_t threads) {
    return {threads, cache_, &queue_, CountStopRequest, nullptr};
  }

  void Start(int32_t threads) {
    pool_config config = Config(threads);
    pool_ = pool_start(&config);
    ASSERT_NE(nullptr, pool_);
  }

  void Stop() {
    pool_stop(pool_, nullptr);
    pool_ = nullptr;
  }

  pool_counters Counts() {
    pool_counters c = {-1, -1, -1, -1, -1};
    EXPECT_EQ(0, pool_counts(pool_, &c));
    return c;
  }

  // A new connection whose client first sends the text, when there is one; its server end goes
  // onto the queue as the accept loop would put it there.
  int Connect(const std::string &text = "") {
    int pair[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    clients_.push_back(pair[0]);
    if (!text.empty()) Send(pair[0], text);
    pushed_.push_back(pair[1]);
    EXPECT_EQ(0, connection_queue_push(&queue_, pair[1]));
    return pair[0];
  }

  verdict_cache *cache_ = nullptr;
  connection_queue *queue_ = nullptr;
  worker_pool *pool_ = nullptr;
  std::vector<int> clients_;
  std::vector<int32_t> pushed_;
};

TEST_F(PoolTest, ServesAtMostNAtOnceInAcceptOrderWithSeededIds) {
  // Queued before the pool starts, so that every descriptor is a different one.
  std::vector<int> clients;
  for (int i = 0; i < 40; i++) clients.push_back(Connect(i % 2 ? "K\r\n" : "Q 1 /nothing\r\n"));
  Start(5);
  for (int i = 0; i < 40; i++) {
    std::string reply = Reply(clients[i]);
    if (i % 2) {
      EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
    } else {
      EXPECT_EQ("209-File not found in Cache\r\n", reply);
    }
  }
  // Each connection got the id of its place in the accept order.
  srand(REQUEST_ID_SEED);
  srand(static_cast<unsigned>(rand()));
  std::vector<int32_t> ids;
  for (size_t i = 0; i < pushed_.size(); i++) ids.push_back(rand());
  {
    std::lock_guard<std::mutex> guard(taken_lock);
    ASSERT_EQ(pushed_.size(), taken.size());
    for (const auto &[connection, id] : taken) {
      size_t place = std::find(pushed_.begin(), pushed_.end(), connection) - pushed_.begin();
      ASSERT_LT(place, pushed_.size());
      EXPECT_EQ(ids[place], id) << "connection " << place;
    }
  }
  ASSERT_TRUE(Eventually([this] { return Counts().busy == 0; }));
  pool_counters c = Counts();
  EXPECT_EQ(5, c.threads);
  EXPECT_EQ(0, c.queued);
  EXPECT_EQ(40, c.queued_max);

  // Five silent clients hold every worker; the sixth waits in the queue until one is served.
  std::vector<int> silent;
  for (int i = 0; i < 5; i++) silent.push_back(Connect());
  ASSERT_TRUE(Eventually([this] { return Counts().busy == 5; }));
  int sixth = Connect("K\r\n");
  EXPECT_EQ(1, Counts().queued);
  EXPECT_FALSE(HasData(sixth));
  Send(silent[2], "A 1 0 /served\r\n");
  EXPECT_EQ("201-File added successfully\r\n", Reply(silent[2]));
  std::string reply = Reply(sixth);
  EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
  for (int i : {0, 1, 3, 4}) {
    Send(silent[i], "Q 1 /served\r\n");
    EXPECT_EQ("205-File is marked clean in cache\r\n", Reply(silent[i]));
  }
  EXPECT_TRUE(Eventually([this] { return Counts().busy == 0; }));
  Stop();
  EXPECT_EQ(5, workers_started.load());
  EXPECT_EQ(5, workers_ended.load());
}

// A set-up that cannot start ends the workers already started, serves nothing and asks for
// the stop.
TEST_F(PoolTest, ASetUpThatCannotStartAsksForTheStop) {
  connection_queue *no_queue = nullptr;
  struct {
    const char *name;
    int32_t threads;
    connection_queue **queue;
    int failing;
  } cases[] = {
      {"first worker", 5, &queue_, 1},        {"third worker", 5, &queue_, 3},
      {"last worker", 5, &queue_, 5},         {"no workers", 0, &queue_, 0},
      {"negative count", -1, &queue_, 0},     {"no queue address", 5, nullptr, 0},
      {"queue not created", 5, &no_queue, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    workers_started = 0;
    workers_ended = 0;
    stop_requests = 0;
    fail_worker = c.failing;
    pool_config config = Config(c.threads);
    config.queue = c.queue;
    EXPECT_EQ(nullptr, pool_start(&config));
    EXPECT_EQ(1, stop_requests.load());
    EXPECT_EQ(std::max(c.failing - 1, 0), workers_started.load());
    EXPECT_EQ(workers_started.load(), workers_ended.load());
    // The failed start closed the queue to end its workers; the next case gets a fresh one.
    connection_queue_free(&queue_);
    ASSERT_EQ(0, connection_queue_create(&queue_));
  }
  EXPECT_EQ(nullptr, pool_start(nullptr));
  EXPECT_TRUE(taken.empty());
  pool_counters counters;
  EXPECT_EQ(-1, pool_counts(nullptr, &counters));
}

// A client that never speaks holds its worker only until its receive deadline; the stop serves
// what waits behind it before the workers end.
TEST_F(PoolTest, ASilentClientIsLetGoAtItsDeadlineAndTheStopServesTheQueue) {
  Start(1);
  int silent = Connect();
  int behind = Connect("K\r\n");
  ASSERT_TRUE(Eventually([this] { return Counts().busy == 1; }));
  Stop();
  EXPECT_EQ("208-Cache error\r\n", Reply(silent));
  std::string reply = Reply(behind);
  EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
  EXPECT_EQ(0, connection_queue_length(&queue_));
  EXPECT_EQ(1, workers_ended.load());
  EXPECT_EQ(0, stop_requests.load());
}

}  // namespace
