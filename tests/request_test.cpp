// SPDX-License-Identifier: BSD-2-Clause
#include "service/request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "service/log.h"
#include "service/stats.h"

namespace {

using namespace std::string_literals;

std::string repeat(size_t n, char c) {
  return std::string(n, c);
}

// Serves one connection over a socketpair: the client side sends bytes first (and may shut down
// its writing side), the handler runs on its own thread, and the client reads until the close.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = cache_create(2, 10);
    ASSERT_NE(nullptr, cache_);
  }
  void TearDown() override { cache_destroy(cache_); }

  struct served {
    std::string reply;  // every byte received, the NUL included
  };

  served Serve(const std::string &bytes, bool shut_down = false, int32_t request_id = 1,
               timespec accepted = {0, 0}, bool with_cache = true) {
    int ends[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
    if (!bytes.empty()) {
      EXPECT_EQ(static_cast<ssize_t>(bytes.size()), send(ends[0], bytes.data(), bytes.size(), 0));
    }
    if (shut_down) shutdown(ends[0], SHUT_WR);
    worker_job job{request_id, ends[1], with_cache ? cache_ : nullptr, accepted};
    std::thread worker(request_handler_thread, &job);
    std::string reply;
    char buffer[256];
    for (;;) {
      pollfd readable = {ends[0], POLLIN, 0};
      if (poll(&readable, 1, 20000) != 1) break;  // a generous bound against a hang
      ssize_t n = recv(ends[0], buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, static_cast<size_t>(n));
    }
    // A worker still waiting for its request is woken by the end of the stream, so a missing
    // time-out shows as a wrong reply instead of a hang.
    shutdown(ends[0], SHUT_WR);
    worker.join();
    close(ends[0]);
    return {reply};
  }
  std::string Reply(const std::string &text) { return Serve(text + "\r\n" + '\0').reply; }

  verdict_cache *cache_ = nullptr;
};

std::string wire(const char *reply) {
  return std::string(reply) + '\0';
}

TEST_F(HandlerTest, AnswersEveryCommand) {
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Reply("D /tmp/f"));  // delete on an empty cache
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 1000 /tmp/f"));
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 1000 0 /tmp/f"));
  EXPECT_EQ(wire(REPLY_MODIFIED), Reply("A 1000 0 /tmp/f"));
  EXPECT_EQ(wire(REPLY_CLEAN), Reply("Q 1000 /tmp/f"));
  EXPECT_EQ(wire(REPLY_STALE), Reply("Q 1001 /tmp/f"));
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 1000 /tmp/f"));
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 7 1 /tmp/a b"));
  EXPECT_EQ(wire(REPLY_INFECTED), Reply("Q 7 /tmp/a b"));
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Reply("A 7 2 /tmp/g"));
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 7 256 /tmp/g"));
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 7 0 /tmp/h"));
  EXPECT_EQ(wire(REPLY_MODIFIED), Reply("A 7 257 /tmp/g"));
  std::string stats = Reply("S");  // longer than REPLY_MAX, and whole
  EXPECT_EQ(0u, stats.rfind(STATS_TEXT + "uptime="s, 0)) << stats;
  EXPECT_NE(std::string::npos, stats.find(";entries=2;capacity=2;")) << stats;
  EXPECT_EQ("\r\n"s + '\0', stats.substr(stats.size() - 3)) << stats;
  EXPECT_EQ(wire(REPLY_INFECTED), Serve("Q 7 /tmp/g"s + '\0').reply);
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("D /tmp/a"));
  EXPECT_EQ(wire(REPLY_DELETED), Reply("D /tmp/a b"));
  EXPECT_EQ(wire(REPLY_CLEARED), Reply("C"));
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 7 /tmp/g"));
  EXPECT_EQ(wire(REPLY_CLEARED), Reply("C"));
  for (const char *text : {"A 1 0", "A", "Q 1", "k", "X", "Z 1 0 /x"}) {
    EXPECT_EQ(wire(REPLY_INVALID), Reply(text)) << text;
  }
  EXPECT_EQ(wire(REPLY_INVALID), Serve("K").reply);  // the terminator is required
  // The first piece of a request written in several is refused, and names no other path.
  EXPECT_EQ(wire(REPLY_INVALID), Serve("A 7 1 /tmp/sp").reply);
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 7 /tmp/s"));
  EXPECT_EQ(wire(REPLY_INVALID), Serve("D " + repeat(CACHE_PATH_MAX, 'p') + '\0').reply);
  served last = Serve("A 10000 0 " + repeat(CACHE_PATH_MAX - 1, 'p') + "\n");
  EXPECT_EQ(wire(REPLY_INVALID), last.reply);  // cut by the receive limit
}

// Checks text against a pattern in which 'd' stands for one decimal digit.
bool has_shape(const std::string &text, const std::string &pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

TEST_F(HandlerTest, StatusLineHasItsExactShape) {
  const std::string head = std::string(STATUS_TEXT) + ";";
  const std::string tail = std::string(";") + std::to_string(getpid()) + "\r\n" + '\0';
  for (const std::string &request : {"K\r\n\0"s, "K\0"s, "K anything\r\n\0"s, "Kx\0"s}) {
    SCOPED_TRACE(testing::PrintToString(request));
    time_t before = time(nullptr);
    std::string reply = Serve(request).reply;
    time_t after = time(nullptr);
    ASSERT_EQ(head.size() + 19 + tail.size(), reply.size()) << reply;
    EXPECT_EQ(head, reply.substr(0, head.size()));
    EXPECT_EQ(tail, reply.substr(head.size() + 19));
    std::string stamp = reply.substr(head.size(), 19);
    EXPECT_TRUE(has_shape(stamp, "dd-dd-dddd;dd:dd:dd")) << stamp;
    // The date is today's, on either side of a midnight that passes during the request.
    bool today = false;
    for (time_t t : {before, after}) {
      tm local;
      localtime_r(&t, &local);
      char date[16];
      strftime(date, sizeof date, "%d-%m-%Y", &local);
      today = today || stamp.substr(0, 10) == date;
    }
    EXPECT_TRUE(today) << reply;
  }
}

TEST_F(HandlerTest, ClientsThatSendNothingOrNoFitAreAnswered) {
  // Nothing sent and the writing side shut down: an empty request.
  EXPECT_EQ(wire(REPLY_INVALID), Serve("", true).reply);
  // Nothing sent within the time-out, counted from an accept long ago: a cache error, at once.
  timespec accepted;
  clock_gettime(CLOCK_MONOTONIC, &accepted);
  accepted.tv_sec -= REQUEST_RECEIVE_TIMEOUT_MS / 1000 + 1;
  const uint64_t timeouts = stats_get(STATS_TIMEOUTS);
  served timed_out = Serve("", false, 1, accepted);
  EXPECT_EQ(timeouts + 1, stats_get(STATS_TIMEOUTS));
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), timed_out.reply);
  // A request that is already there is served even after the time-out.
  EXPECT_EQ(wire(REPLY_ADDED), Serve("A 1 0 /late"s + '\0', false, 1, accepted).reply);
  {
    // One that comes after the time-out is not waited for, however late the worker started.
    // The answer is due at once; only when none came within 3 s is the request sent, and a
    // worker that counts its own 5 s from its start would then take it.
    int ends[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
    worker_job job{1, ends[1], cache_, accepted};
    std::thread worker(request_handler_thread, &job);
    pollfd readable = {ends[0], POLLIN, 0};
    const std::string later = "A 1 0 /later"s + '\0';
    if (poll(&readable, 1, 3000) != 1) send(ends[0], later.data(), later.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[256];
    for (ssize_t n; poll(&readable, 1, 20000) == 1 && (n = recv(ends[0], buffer, 256, 0)) > 0;) {
      reply.append(buffer, static_cast<size_t>(n));
    }
    worker.join();
    close(ends[0]);
    EXPECT_EQ(wire(REPLY_CACHE_ERROR), reply);
  }
  // A job that is not a valid hand-over, or has no cache, leaves the cache alone.
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Serve("A 1 0 /x"s + '\0', false, 0).reply);
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Serve("A 1 0 /x"s + '\0', false, -3).reply);
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Serve("A 1 0 /x"s + '\0', false, 1, {}, false).reply);
  EXPECT_EQ(wire(REPLY_CACHE_ERROR), Serve("C"s + '\0', false, 1, {}, false).reply);
  EXPECT_EQ(0, Serve("K"s + '\0', false, 1, {}, false).reply.rfind("101-", 0));
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 1 /x"));
}

// An mtime matches only itself, all 64 bits of it: 4294967296 must not pass for 0, nor
// 2147483648 for -2147483648, nor a file dated 2045 for the same file dated 2040. One beyond
// 64 bits is refused with 210 and touches nothing.
TEST_F(HandlerTest, MatchesMtimesIn64Bits) {
  const struct {
    const char *added;
    const char *queried;
    bool matches;
  } cases[] = {
      {"2147483647", "2147483647", true},
      {"-2147483648", "-2147483648", true},
      {"2147483648", "2147483647", false},
      {"4294967296", "2147483648", false},
      {"-2147483649", "-2147483648", false},
      {"4294967296", "0", false},
      {"2147483648", "-2147483648", false},
      {"-2147483648", "2147483648", false},
      {"2147483647", "-2147483648", false},
      {"2208988800", "2208988800", true},
      {"2208988800", "2366755200", false},
      {"9223372036854775807", "9223372036854775807", true},
      {"-9223372036854775808", "-9223372036854775808", true},
      {"9223372036854775807", "-9223372036854775808", false},
  };
  // Room for every case's path.
  cache_destroy(cache_);
  cache_ = cache_create(100, 60);
  ASSERT_NE(nullptr, cache_);
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.added) + " then " + c.queried);
    const std::string path = "/b/" + std::to_string(n++);
    EXPECT_EQ(wire(REPLY_ADDED), Reply("A "s + c.added + " 0 " + path));
    EXPECT_EQ(wire(REPLY_MODIFIED), Reply("A "s + c.added + " 1 " + path));
    EXPECT_EQ(wire(c.matches ? REPLY_INFECTED : REPLY_STALE),
              Reply("Q "s + c.queried + " " + path));
    // A mismatch removed the entry; a match left it in place.
    EXPECT_EQ(wire(c.matches ? REPLY_INFECTED : REPLY_NOT_FOUND),
              Reply("Q "s + c.added + " " + path));
  }
  // Refused before the cache is reached: nothing added, modified or removed.
  const uint32_t count = cache_count(cache_);
  EXPECT_EQ(wire(REPLY_INVALID), Reply("A 9223372036854775808 0 /b/new"));
  EXPECT_EQ(wire(REPLY_INVALID), Reply("A -9223372036854775809 0 /b/0"));
  EXPECT_EQ(wire(REPLY_INVALID), Reply("Q 18446744073709551615 /b/0"));
  EXPECT_EQ(count, cache_count(cache_));
  EXPECT_EQ(wire(REPLY_INFECTED), Reply("Q 2147483647 /b/0"));
  EXPECT_EQ(wire(REPLY_NOT_FOUND), Reply("Q 9223372036854775807 /b/new"));
}

// Reads the status line's fields. Returns false unless the whole line has its shape.
struct status_fields {
  int day, month, year, hour, minute, second;
  long long pid;
};
bool read_status(const std::string &line, status_fields *f) {
  const std::string head = std::string(STATUS_TEXT) + ";";
  if (line.compare(0, head.size(), head) != 0 || line.back() != '\0') return false;
  char end[3] = {};
  int used = 0;
  int got = sscanf(line.c_str() + head.size(), "%2d-%2d-%d;%2d:%2d:%2d;%lld%2c%n", &f->day,
                   &f->month, &f->year, &f->hour, &f->minute, &f->second, &f->pid, end, &used);
  return got == 8 && std::string(end) == "\r\n" && head.size() + used + 1 == line.size();
}

// The daemon runs where long and time_t have 32 bits: the pid and the time in the status line
// must come out as on a 64-bit build.
TEST_F(HandlerTest, StatusLineCarriesThePidAndATimeInRange) {
  std::string direct(REPLY_MAX, '\0');
  status_reply(direct.data());
  direct.resize(strlen(direct.c_str()) + 1);
  for (const std::string &line : {direct, Serve("K\r\n"s + '\0', false, 1, {}, false).reply}) {
    SCOPED_TRACE(line);
    status_fields f;
    ASSERT_TRUE(read_status(line, &f));
    EXPECT_EQ(static_cast<long long>(getpid()), f.pid);
    EXPECT_TRUE(f.day >= 1 && f.day <= 31) << f.day;
    EXPECT_TRUE(f.month >= 1 && f.month <= 12) << f.month;
    EXPECT_TRUE(f.year >= 1970 && f.year <= 2038) << "a year a 32-bit time_t holds";
    EXPECT_TRUE(f.hour >= 0 && f.hour <= 23) << f.hour;
    EXPECT_TRUE(f.minute >= 0 && f.minute <= 59) << f.minute;
    EXPECT_TRUE(f.second >= 0 && f.second <= 60) << f.second;
    EXPECT_LE(line.size() - 1, static_cast<size_t>(REPLY_MAX - 1));
  }
  // The widest line, with a pid of ten digits, still fits the reply buffer whole.
  const size_t widest = strlen(STATUS_TEXT) + strlen(";dd-mm-yyyy;hh:mm:ss;") +
                        std::to_string(INT32_MAX).size() + strlen("\r\n");
  EXPECT_LE(widest, static_cast<size_t>(REPLY_MAX - 1));
}

// Each reply counts under the one counter its row names, and "K" and "S" under none.
TEST_F(HandlerTest, EachReplyCountsUnderItsOwnCounter) {
  const struct {
    const char *text;
    const char *reply;  // null: the status or the counters line
    stats_counter counter;
  } cases[] = {
      {"D /c", REPLY_CACHE_ERROR, STATS_ERRORS},  // an empty table
      {"Q 1 /c", REPLY_NOT_FOUND, STATS_MISSES},
      {"A 1 0 /c", REPLY_ADDED, STATS_ADDED},
      {"A 1 1 /c", REPLY_MODIFIED, STATS_MODIFIED},
      {"Q 1 /c", REPLY_INFECTED, STATS_HITS},
      {"A 1 0 /c", REPLY_MODIFIED, STATS_MODIFIED},
      {"Q 1 /c", REPLY_CLEAN, STATS_HITS},
      {"Q 2 /c", REPLY_STALE, STATS_STALE},
      {"A 1 0 /c", REPLY_ADDED, STATS_ADDED},
      {"A 1 0 /d", REPLY_ADDED, STATS_ADDED},
      {"A 1 0 /e", REPLY_FULL, STATS_REFUSED_FULL},
      {"A 1 2 /e", REPLY_CACHE_ERROR, STATS_ERRORS},
      {"D /e", REPLY_NOT_FOUND, STATS_MISSES},
      {"D /d", REPLY_DELETED, STATS_DELETED},
      {"C", REPLY_CLEARED, STATS_CLEARED},
      {"Z /c", REPLY_INVALID, STATS_INVALID},
      {"K", nullptr, STATS_UNCOUNTED},
      {"S", nullptr, STATS_UNCOUNTED},
  };
  log_set_sink([](int, const char *) {});
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t before[STATS_COUNTERS];
    for (int i = 0; i < STATS_COUNTERS; ++i) before[i] = stats_get(stats_counter(i));
    const std::string reply = Reply(c.text);
    if (c.reply != nullptr) {
      EXPECT_EQ(wire(c.reply), reply);
    }
    for (int i = 0; i < STATS_COUNTERS; ++i) {
      EXPECT_EQ(before[i] + (i == c.counter ? 1 : 0), stats_get(stats_counter(i))) << i;
    }
  }
  log_set_sink(nullptr);
}

std::vector<std::string> warnings;
int64_t fake_seconds;

TEST_F(HandlerTest, AFullTableIsLoggedOnceAMinuteWithTheRefusalsSinceTheLastLine) {
  log_set_sink([](int priority, const char *line) {
    if (priority == LOG_WARNING) warnings.push_back(line);
  });
  // Far beyond any warning an earlier test may have timed with the real clock.
  fake_seconds = int64_t{1} << 40;
  stats_set_clock([] { return fake_seconds; });
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 1 0 /a"));
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 1 0 /b"));
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /c"));
  EXPECT_EQ(1u, warnings.size());
  fake_seconds += STATS_FULL_WARNING_EVERY_S - 1;
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /d"));
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /e"));
  EXPECT_EQ(wire(REPLY_MODIFIED), Reply("A 1 0 /a"));
  EXPECT_EQ(1u, warnings.size());
  fake_seconds += 1;
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /f"));
  ASSERT_EQ(2u, warnings.size());
  EXPECT_EQ("cache full (2 entries): 3 new paths refused since the last warning", warnings[1]);
  stats_set_clock(nullptr);
  log_set_sink(nullptr);
}

TEST_F(HandlerTest, ClientGoneBeforeTheReplyIsStillServed) {
  int ends[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
  const std::string request = "A 1 0 /gone"s + '\0';
  ASSERT_EQ(static_cast<ssize_t>(request.size()), send(ends[0], request.data(), request.size(), 0));
  close(ends[0]);
  worker_job job{1, ends[1], cache_, {0, 0}};
  std::thread worker(request_handler_thread, &job);
  worker.join();  // a SIGPIPE would have ended the test process here
  EXPECT_EQ(VERDICT_CLEAN, cache_query_entry(cache_, "/gone", 1));
  EXPECT_EQ(-1, fcntl(ends[1], F_GETFD));  // the worker closed its connection
}

}  // namespace
