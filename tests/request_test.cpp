#include "service/request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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

// One parser case: the bytes of one receive and what the request must hold afterwards.
struct parse_case {
  std::string bytes;
  int command;  // REQUEST_INVALID for a refused request
  int64_t mtime;
  int verdict;
  std::string path;
};

std::string repeat(size_t n, char c) {
  return std::string(n, c);
}

TEST(RequestParse, ReadsCommandsAndFields) {
  const parse_case cases[] = {
      {"A 1000 0 /tmp/f\r\n\0"s, 'A', 1000, 0, "/tmp/f"},
      {"A 1000 1 /tmp/f\0"s, 'A', 1000, 1, "/tmp/f"},  // the line end is never part of the key
      {"Add 1000 1 /tmp/f\r\n\0"s, 'A', 1000, 1, "/tmp/f"},
      {"A 5 256 /x\0"s, 'A', 5, 0, "/x"},
      {"A 5 257 /x\0"s, 'A', 5, 1, "/x"},
      {"A 5 2 /x\0"s, 'A', 5, 2, "/x"},  // the cache refuses it, not the parser
      {"A  0 /x\0"s, 'A', 0, 0, "/x"},   // two spaces make an empty field, value 0
      {"A 5 0 /tmp/a b\0"s, 'A', 5, 0, "/tmp/a b"},
      {"A 5 0 \0"s, 'A', 5, 0, ""},
      {"Q 1000 /tmp/f\r\n\0"s, 'Q', 1000, 0, "/tmp/f"},
      {"Q /tmp/my file\0"s, 'Q', 0, 0, "file"},
      {"D /tmp/a b\r\n\0"s, 'D', 0, 0, "/tmp/a b"},
      {"D /x\n\r\n\r\0"s, 'D', 0, 0, "/x"},
      {"D /x\0junk\0"s, 'D', 0, 0, "/x"},  // a NUL ends the text
      {"K\r\n\0"s, 'K', 0, 0, ""},
      {"K anything\0"s, 'K', 0, 0, ""},
      {"Kanything\r\n\0"s, 'K', 0, 0, ""},
      {"C\r\n\0"s, 'C', 0, 0, ""},
      {"C 1 2 3\0"s, 'C', 0, 0, ""},
      // Ended by a line end without the NUL: terminated all the same.
      {"A 1000 0 /tmp/ab\r\n"s, 'A', 1000, 0, "/tmp/ab"},
      {"Q 1000 /tmp/ab\n"s, 'Q', 1000, 0, "/tmp/ab"},
      {"D /tmp/ab\r"s, 'D', 0, 0, "/tmp/ab"},
      {"K anything"s, 'K', 0, 0, ""},  // K and C ignore their rest, the terminator included
      {"C 1"s, 'C', 0, 0, ""},
      {"S\r\n\0"s, 'S', 0, 0, ""},
      // Refused.
      {"A 1000 0\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"A\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"A 1000\0"s, REQUEST_INVALID, 0, 0, ""},
      {"Q 1000\0"s, REQUEST_INVALID, 0, 0, ""},
      {"Q\0"s, REQUEST_INVALID, 0, 0, ""},
      {"D\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"K"s, REQUEST_INVALID, 0, 0, ""},  // the only byte is the terminator
      {""s, REQUEST_INVALID, 0, 0, ""},
      {"k\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"X\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"\r\n\0"s, REQUEST_INVALID, 0, 0, ""},
      {"\xC1 1 0 /x\0"s, REQUEST_INVALID, 0, 0, ""},
      // Not terminated: the dropped byte would have been the path's last character.
      {"A 1000 0 /tmp/ab"s, REQUEST_INVALID, 0, 0, ""},
      {"A 2000 1 /tmp/sp"s, REQUEST_INVALID, 0, 0, ""},  // the first of several pieces
      {"A 2000 1 "s, REQUEST_INVALID, 0, 0, ""},
      {"Q 1000 /tmp/a"s, REQUEST_INVALID, 0, 0, ""},
      {"D /tmp/m"s, REQUEST_INVALID, 0, 0, ""},
      {"D /tmp/m\r\nx"s, REQUEST_INVALID, 0, 0, ""},
  };
  for (const parse_case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    cache_request *request = request_new();
    ASSERT_NE(nullptr, request);
    int n = request_parse(c.bytes.data(), c.bytes.size(), request);
    EXPECT_EQ(c.command, request->command);
    if (c.command == REQUEST_INVALID) {
      EXPECT_EQ(-1, n);
    } else {
      EXPECT_EQ(static_cast<int>(c.bytes.size()), n);
      EXPECT_EQ(c.mtime, request->body->mtime);
      EXPECT_EQ(c.verdict, request->body->verdict);
      EXPECT_EQ(c.path, request->body->path);
    }
    request_free(request);
  }
}

// A refused request leaves the body exactly as it was, also when its first fields were read
// before the refusal.
TEST(RequestParse, RefusalLeavesTheBodyAlone) {
  const std::string cases[] = {
      "A 1000 0\r\n\0"s,
      "A 1000\0"s,
      "Q 1000\0"s,
      "A 1000 0 /tmp/ab"s,
      "Q 7 " + repeat(CACHE_PATH_MAX, 'p') + '\0',
      "A 7 1 " + repeat(CACHE_PATH_MAX, 'p') + '\0',
      "A 7 1 " + repeat(REQUEST_MAX, 'p'),
      "A 9223372036854775808 1 /p\r\n\0"s,
      "Q -9223372036854775809 /p\0"s,
  };
  for (const std::string &bytes : cases) {
    SCOPED_TRACE(bytes.substr(0, 16));
    cache_request *request = request_new();
    ASSERT_NE(nullptr, request);
    memset(request->body, 0x5A, sizeof(cache_entry));
    cache_entry before = *request->body;
    EXPECT_EQ(-1, request_parse(bytes.data(), bytes.size(), request));
    EXPECT_EQ(REQUEST_INVALID, request->command);
    EXPECT_EQ(0, memcmp(&before, request->body, sizeof before));
    request_free(request);
  }
}

// The mtime is read in 64 bits, as a 64-bit atol reads it, and a value beyond them is refused;
// the verdict is read as atoi reads it on a 32-bit int, saturating instead of overflowing.
TEST(RequestParse, ReadsMtimesIn64BitsAndVerdictsLikeAtoiOn32Bits) {
  const struct {
    std::string field;
    bool mtime_fits;
    int64_t mtime;
    int verdict;  // the low 8 bits of the saturated 32-bit value
  } cases[] = {
      {"0", true, 0, 0},
      {"-5", true, -5, 251},
      {"+3", true, 3, 3},
      {"\t7", true, 7, 7},
      {"12abc", true, 12, 12},
      {"abc", true, 0, 0},
      {"-", true, 0, 0},
      {"2147483647", true, INT32_MAX, 255},
      {"2147483648", true, 2147483648LL, 255},
      {"4294967297", true, 4294967297LL, 255},
      {"2208988800", true, 2208988800LL, 255},  // 2040
      {"2366755200", true, 2366755200LL, 255},  // 2045
      {"-2147483648", true, INT32_MIN, 0},
      {"-99999999999", true, -99999999999LL, 0},
      {"-255", true, -255, 1},
      {"9223372036854775807", true, INT64_MAX, 255},
      {"-9223372036854775808", true, INT64_MIN, 0},
      {"00000000000000000000009223372036854775807", true, INT64_MAX, 255},
      {"9223372036854775808", false, 0, 255},
      {"-9223372036854775809", false, 0, 0},
      {"99999999999999999999999", false, 0, 255},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.field);
    for (const std::string &bytes :
         {"A " + c.field + " 1 /p\r\n" + '\0', "Q " + c.field + " /p" + '\0'}) {
      cache_request *request = request_new();
      int n = request_parse(bytes.data(), bytes.size(), request);
      if (c.mtime_fits) {
        EXPECT_EQ(static_cast<int>(bytes.size()), n);
        EXPECT_EQ(c.mtime, request->body->mtime);
      } else {
        EXPECT_EQ(-1, n);
        EXPECT_EQ(REQUEST_INVALID, request->command);
      }
      request_free(request);
    }
    std::string bytes = "A 0 " + c.field + " /p\r\n" + '\0';
    cache_request *request = request_new();
    ASSERT_EQ(static_cast<int>(bytes.size()), request_parse(bytes.data(), bytes.size(), request));
    EXPECT_EQ(c.verdict, request->body->verdict);
    request_free(request);
  }
}

TEST(RequestParse, RefusesPathsThatDoNotFitOrWereCut) {
  const std::string longest = repeat(CACHE_PATH_MAX - 1, 'p');
  const std::string head = "A 10000 0 ";  // with the longest path: a text of 1033 bytes
  ASSERT_EQ(static_cast<size_t>(REQUEST_MAX - 1), head.size() + longest.size());
  const struct {
    std::string bytes;
    bool accepted;
  } cases[] = {
      {"D " + longest + '\0', true},
      {"D " + longest + "p" + '\0', false},
      {"Q 1 " + longest + "pp\r\n" + '\0', false},
      {head + longest + '\0', true},                            // all 1034 bytes, ended by the NUL
      {head + longest + "\n", false},                           // all 1034 bytes, and more followed
      {std::string("K") + repeat(REQUEST_MAX - 1, 'x'), true},  // K and C ignore their rest
      {std::string("C") + repeat(REQUEST_MAX + 100, 'x'), true},
      {std::string("D /x") + repeat(REQUEST_MAX, '\r'), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.bytes.size());
    cache_request *request = request_new();
    int n = request_parse(c.bytes.data(), c.bytes.size(), request);
    if (c.accepted) {
      EXPECT_EQ(static_cast<int>(std::min<size_t>(c.bytes.size(), REQUEST_MAX)), n);
      EXPECT_NE(REQUEST_INVALID, request->command);
    } else {
      EXPECT_EQ(-1, n);
      EXPECT_EQ(REQUEST_INVALID, request->command);
    }
    if (c.accepted && request->command == 'A') {
      EXPECT_EQ(longest, request->body->path);
    }
    request_free(request);
  }
}

TEST(RequestParse, StripsEveryTrailingLineEnd) {
  const struct {
    std::string text;
    std::string stripped;
  } cases[] = {{"", ""}, {"\r\n", ""}, {"a\n\r\n\r", "a"}, {"a\rb\n", "a\rb"}, {"ab", "ab"}};
  for (const auto &c : cases) {
    std::string text = c.text;
    text.resize(strip_line_end(text.data(), text.size()));
    EXPECT_EQ(c.stripped, text);
  }
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

std::vector<std::string> warnings;
int64_t clock_now;

TEST_F(HandlerTest, AFullTableIsLoggedOnceAMinuteWithTheRefusalsSinceTheLastLine) {
  auto *const quiet = log_sink;
  log_sink = [](int priority, const char *line) {
    if (priority == LOG_WARNING) warnings.push_back(line);
  };
  // Far beyond any warning an earlier test may have timed with the real clock.
  clock_now = int64_t{1} << 40;
  stats_set_clock([] { return clock_now; });
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 1 0 /a"));
  EXPECT_EQ(wire(REPLY_ADDED), Reply("A 1 0 /b"));
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /c"));
  EXPECT_EQ(1u, warnings.size());
  clock_now += STATS_FULL_WARNING_EVERY_S - 1;
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /d"));
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /e"));
  EXPECT_EQ(wire(REPLY_MODIFIED), Reply("A 1 0 /a"));
  EXPECT_EQ(1u, warnings.size());
  clock_now += 1;
  EXPECT_EQ(wire(REPLY_FULL), Reply("A 1 0 /f"));
  ASSERT_EQ(2u, warnings.size());
  EXPECT_EQ("cache full (2 entries): 3 new paths refused since the last warning", warnings[1]);
  stats_set_clock(nullptr);
  log_sink = quiet;
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
