#include "service/dispatcher.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/flags.h"
#include "service/queue.h"

namespace {

using namespace std::chrono_literals;

const std::string kStatus = "101-OK: Cache running;";

// What the pool handed over, in order: the connection and request id of every hand-over.
std::mutex started_lock;
std::vector<std::pair<int32_t, int32_t>> started;
std::atomic<int> fail_workers{0};  // the worker start that fails, counted from 1; 0 for none
std::atomic<int> fail_monitor{0};
std::atomic<int> stop_requests{0};
std::atomic<int> workers_started{0};
std::atomic<int> workers_ended{0};

void RecordHandOver(const worker_job *job) {
  std::lock_guard<std::mutex> guard(started_lock);
  started.emplace_back(job->connection, job->request_id);
}

// A slot worker runs through this, so that the test sees it end.
struct CountedStart {
  void *(*start)(void *);
  void *arg;
};

void *CountedWorker(void *counted) {
  auto *c = static_cast<CountedStart *>(counted);
  c->start(c->arg);
  delete c;
  workers_ended++;
  return nullptr;
}

int RecordingCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                    void *arg) {
  if (start == thread_queue_handler) {
    if (fail_monitor.load()) return EAGAIN;
    return pthread_create(thread, attr, start, arg);
  }
  if (workers_started.load() + 1 == fail_workers.load()) return EAGAIN;
  auto *counted = new CountedStart{start, arg};
  int created = pthread_create(thread, attr, CountedWorker, counted);
  if (created != 0) {
    delete counted;
    return created;
  }
  workers_started++;
  return 0;
}

size_t StartedCount() {
  std::lock_guard<std::mutex> guard(started_lock);
  return started.size();
}

void CountStopRequest() {
  stop_requests++;
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

// Everything the daemon sends until it closes, without the reply's NUL; bounded by 20 seconds.
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

dispatcher_stats Stats() {
  dispatcher_stats s = {-1, -1, -1, -1};
  EXPECT_EQ(0, dispatcher_get_stats(&s));
  return s;
}

bool AllSlotsFree(int32_t slots) {
  dispatcher_stats s;
  return dispatcher_get_stats(&s) == 0 && s.free_slots == slots && s.busy_slots == 0 &&
         s.busy_count == 0;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_thread_create = RecordingCreate;
    dispatcher_on_hand_over = RecordHandOver;
    dispatcher_on_stop_request = CountStopRequest;
    fail_workers = 0;
    workers_started = 0;
    workers_ended = 0;
    fail_monitor = 0;
    stop_requests = 0;
    started.clear();
    cache_ = cache_create(1000, 600);
    ASSERT_NE(nullptr, cache_);
    active_cache = cache_;
    accept_loop_running = 1;
    thread_queue_running = 0;
    request_queue_running = 1;
    ASSERT_EQ(0, connection_queue_create(&queue_));
  }

  void TearDown() override {
    if (running_) {
      for (int client : clients_) shutdown(client, SHUT_RDWR);
      Stop();
    }
    for (int client : clients_) close(client);
    for (int32_t fd; (fd = connection_queue_pop(&queue_)) >= 0;) close(fd);
    connection_queue_free(&queue_);
    cache_destroy(cache_);
    active_cache = nullptr;
    dispatcher_thread_create = pthread_create;
    dispatcher_on_hand_over = nullptr;
    dispatcher_on_stop_request = nullptr;
  }

  void Start(int32_t threads, void *arg) {
    service_thread_count = threads;
    ASSERT_EQ(0, pthread_create(&dispatcher_, nullptr, request_queue_handler, arg));
    running_ = true;
  }

  void StartServing(int32_t threads) {
    Start(threads, &queue_);
    ASSERT_TRUE(Eventually([] {
      dispatcher_stats s;
      return dispatcher_get_stats(&s) == 0;
    }));
  }

  void Join() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 30;
    ASSERT_EQ(0, pthread_timedjoin_np(dispatcher_, nullptr, &deadline));
    running_ = false;
  }

  void Stop() {
    request_queue_running = 0;
    dispatcher_wake();
    Join();
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
  pthread_t dispatcher_;
  bool running_ = false;
  std::vector<int> clients_;
  std::vector<int32_t> pushed_;
};

TEST_F(DispatcherTest, HandsOverInAcceptOrderWithSeededIds) {
  StartServing(5);
  std::vector<int> clients;
  for (int i = 0; i < 40; i++) clients.push_back(Connect(i % 2 ? "K\r\n" : "Q 1 /nothing\r\n"));
  for (int i = 0; i < 40; i++) {
    std::string reply = Reply(clients[i]);
    if (i % 2) {
      EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
    } else {
      EXPECT_EQ("209-File not found in Cache\r\n", reply);
    }
  }
  Stop();
  // One long-lived worker per slot served all 40 connections, and the stop ended each.
  EXPECT_EQ(5, workers_started.load());
  EXPECT_EQ(5, workers_ended.load());

  srand(REQUEST_ID_SEED);
  srand(static_cast<unsigned>(rand()));
  ASSERT_EQ(pushed_.size(), started.size());
  for (size_t i = 0; i < started.size(); i++) {
    EXPECT_EQ(pushed_[i], started[i].first) << "hand-over " << i;
    EXPECT_EQ(rand(), started[i].second) << "hand-over " << i;
  }
}

TEST_F(DispatcherTest, SixthClientWaitsForAFreeSlot) {
  StartServing(5);
  std::vector<int> silent;
  for (int i = 0; i < 5; i++) silent.push_back(Connect());
  ASSERT_TRUE(Eventually([] { return StartedCount() == 5; }));

  int sixth = Connect("K\r\n");
  ASSERT_TRUE(Eventually([this] { return connection_queue_length(&queue_) == 0; }));
  EXPECT_EQ(5u, StartedCount());
  EXPECT_FALSE(HasData(sixth));
  dispatcher_stats s = Stats();
  EXPECT_EQ(5, s.busy_count);
  EXPECT_EQ(0, s.free_slots);

  Send(silent[2], "A 1 0 /served\r\n");
  EXPECT_EQ("201-File added successfully\r\n", Reply(silent[2]));
  std::string reply = Reply(sixth);
  EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
  EXPECT_EQ(6u, StartedCount());

  for (int i : {0, 1, 3, 4}) {
    Send(silent[i], "Q 1 /served\r\n");
    EXPECT_EQ("205-File is marked clean in cache\r\n", Reply(silent[i]));
  }
  EXPECT_TRUE(Eventually([] { return AllSlotsFree(5); }));
}

// Many clients at once, more than there are slots: every request is answered and afterwards
// every slot is back in free_slots.
TEST_F(DispatcherTest, BurstReturnsEverySlot) {
  unsigned seed = std::random_device{}();
  std::printf("seed %u\n", seed);
  StartServing(5);
  constexpr int kClients = 16, kRequests = 25;
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int c = 0; c < kClients; c++) {
    clients.emplace_back([&, c] {
      std::minstd_rand pick(seed + c);
      for (int r = 0; r < kRequests; r++) {
        std::string path = "/burst/" + std::to_string(pick() % 8);
        const std::string texts[] = {"A 7 " + std::to_string(pick() % 2) + " " + path,
                                     "Q 7 " + path, "D " + path, "K"};
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        Send(pair[0], texts[pick() % 4] + "\r\n");
        ASSERT_EQ(0, connection_queue_push(&queue_, pair[1]));
        std::string reply = Reply(pair[0]);
        close(pair[0]);
        ASSERT_GE(reply.size(), 5u);
        int code = std::atoi(reply.c_str());
        EXPECT_TRUE(code == 101 || (code >= 201 && code <= 211)) << reply;
        EXPECT_EQ("\r\n", reply.substr(reply.size() - 2));
        answered++;
      }
    });
  }
  for (auto &t : clients) t.join();
  EXPECT_EQ(kClients * kRequests, answered.load());
  EXPECT_EQ(static_cast<size_t>(kClients * kRequests), StartedCount());
  EXPECT_TRUE(Eventually([] { return AllSlotsFree(5); }));
}

TEST_F(DispatcherTest, FailedSetUpStopsTheAcceptLoop) {
  connection_queue *no_queue = nullptr;
  struct {
    const char *name;
    int32_t threads;
    void *arg;
    bool monitor_fails;
  } cases[] = {
      {"negative thread count", -1, &queue_, false}, {"no slots", 0, &queue_, false},
      {"no queue address", 5, nullptr, false},       {"queue not created", 5, &no_queue, false},
      {"monitor cannot start", 5, &queue_, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    accept_loop_running = 1;
    stop_requests = 0;
    fail_monitor = c.monitor_fails;
    Start(c.threads, c.arg);
    Join();
    EXPECT_EQ(0, accept_loop_running.load());
    EXPECT_EQ(1, stop_requests.load());
    EXPECT_EQ(0, thread_queue_running.load());
    EXPECT_EQ(workers_started.load(), workers_ended.load());
    dispatcher_stats s;
    EXPECT_EQ(-1, dispatcher_get_stats(&s));
  }

  thread_queue_args incomplete[] = {{nullptr, nullptr, nullptr}};
  for (void *arg : {static_cast<void *>(nullptr), static_cast<void *>(&incomplete[0])}) {
    accept_loop_running = 1;
    stop_requests = 0;
    EXPECT_EQ(nullptr, thread_queue_handler(arg));
    EXPECT_EQ(0, accept_loop_running.load());
    EXPECT_EQ(1, stop_requests.load());
  }
}

// A worker that cannot be started fails the set-up: the workers already started are ended and
// joined, nothing is served and the accept loop is told to stop.
TEST_F(DispatcherTest, WorkerThatCannotStartFailsTheSetUp) {
  for (int failing : {1, 3, 5}) {
    SCOPED_TRACE(failing);
    accept_loop_running = 1;
    stop_requests = 0;
    workers_started = 0;
    workers_ended = 0;
    fail_workers = failing;
    Start(5, &queue_);
    Join();
    EXPECT_EQ(failing - 1, workers_started.load());
    EXPECT_EQ(failing - 1, workers_ended.load());
    EXPECT_EQ(0, accept_loop_running.load());
    EXPECT_EQ(1, stop_requests.load());
    EXPECT_EQ(0, thread_queue_running.load());
    EXPECT_EQ(0u, StartedCount());
    dispatcher_stats s;
    EXPECT_EQ(-1, dispatcher_get_stats(&s));
  }
}

TEST_F(DispatcherTest, OrderlyStopWithEmptyQueue) {
  StartServing(5);
  EXPECT_EQ(1, thread_queue_running.load());
  Stop();
  EXPECT_EQ(0, thread_queue_running.load());
  EXPECT_EQ(1, accept_loop_running.load());
  EXPECT_EQ(0, stop_requests.load());
  dispatcher_stats s;
  EXPECT_EQ(-1, dispatcher_get_stats(&s));
}

// A worker already serving finishes its connection after the stop was asked for; a connection
// popped after the stop gets no reply but is closed; one still queued stays in the queue.
TEST_F(DispatcherTest, OrderlyStopFinishesStartedWorkersOnly) {
  StartServing(5);
  std::vector<int> silent;
  for (int i = 0; i < 5; i++) silent.push_back(Connect());
  ASSERT_TRUE(Eventually([] { return StartedCount() == 5; }));
  int popped = Connect("K\r\n");
  ASSERT_TRUE(Eventually([this] { return connection_queue_length(&queue_) == 0; }));
  Connect("K\r\n");

  request_queue_running = 0;
  dispatcher_wake();
  EXPECT_EQ("", Reply(popped));
  for (int client : silent) {
    Send(client, "K\r\n");
    std::string reply = Reply(client);
    EXPECT_EQ(kStatus, reply.substr(0, kStatus.size()));
  }
  Join();
  EXPECT_EQ(5u, StartedCount());
  EXPECT_EQ(5, workers_ended.load());
  EXPECT_EQ(1, connection_queue_length(&queue_));
  EXPECT_EQ(0, thread_queue_running.load());
  EXPECT_EQ(0, stop_requests.load());
}

}  // namespace
