// The 32-bit boundaries: the daemon runs where long and time_t have 32 bits, so every number
// that crosses 2^31 on its way in or out must come out the same on a 32-bit and a 64-bit build.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "cache/cache.h"
#include "daemon/guard.h"
#include "service/request.h"

namespace {

using namespace std::string_literals;

// The mtime is carried in 64 bits on every build, never saturated or cut to its low 32 bits;
// one beyond the signed 64-bit range is refused.
TEST(Boundary, ParserCarriesMtimesIn64BitsInAddAndQuery) {
  const struct {
    const char *field;
    bool fits;
    int64_t value;
  } cases[] = {
      {"2147483647", true, 2147483647LL},
      {"-2147483648", true, -2147483648LL},
      {"2147483648", true, 2147483648LL},
      {"4294967296", true, 4294967296LL},
      {"-2147483649", true, -2147483649LL},
      {"-4294967296", true, -4294967296LL},
      {"9223372036854775807", true, INT64_MAX},
      {"-9223372036854775808", true, INT64_MIN},
      {"9223372036854775808", false, 0},
      {"18446744073709551616", false, 0},  // 2^64, whose low 64 bits are 0
      {"-9223372036854775809", false, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.field);
    for (const std::string &bytes :
         {"A "s + c.field + " 1 /b\r\n" + '\0', "Q "s + c.field + " /b\r\n" + '\0'}) {
      cache_request *request = request_new();
      ASSERT_NE(nullptr, request);
      int n = request_parse(bytes.data(), bytes.size(), request);
      if (c.fits) {
        ASSERT_EQ(static_cast<int>(bytes.size()), n);
        EXPECT_EQ(bytes[0], request->command);
        EXPECT_EQ(c.value, request->body->mtime);
        EXPECT_STREQ("/b", request->body->path);
      } else {
        EXPECT_EQ(-1, n);
        EXPECT_EQ(REQUEST_INVALID, request->command);
      }
      request_free(request);
    }
  }
}

// Serves one request over a socketpair on a worker thread, as the pool does, and returns
// every byte of the reply, its NUL included.
std::string serve(verdict_cache *cache, const std::string &text) {
  int ends[2];
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
  std::string bytes = text + "\r\n" + '\0';
  EXPECT_EQ(static_cast<ssize_t>(bytes.size()), send(ends[0], bytes.data(), bytes.size(), 0));
  worker_job job{1, ends[1], cache, {0, 0}};
  std::thread worker(request_handler_thread, &job);
  std::string reply;
  char buffer[128];
  for (;;) {
    pollfd readable = {ends[0], POLLIN, 0};
    if (poll(&readable, 1, 20000) != 1) break;  // a generous bound against a hang
    ssize_t n = recv(ends[0], buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
  }
  worker.join();
  close(ends[0]);
  return reply;
}

std::string wire(const char *reply) {
  return std::string(reply) + '\0';
}

// An mtime matches only itself, all 64 bits of it: 4294967296 must not pass for 0, nor
// 2147483648 for -2147483648, nor a file dated 2045 for the same file dated 2040. One beyond
// 64 bits is refused with 210 and touches nothing.
TEST(Boundary, HandlerMatchesMtimesIn64Bits) {
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
  verdict_cache *cache = cache_create(100, 60);
  ASSERT_NE(nullptr, cache);
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.added) + " then " + c.queried);
    const std::string path = "/b/" + std::to_string(n++);
    EXPECT_EQ(wire(REPLY_ADDED), serve(cache, "A "s + c.added + " 0 " + path));
    EXPECT_EQ(wire(REPLY_MODIFIED), serve(cache, "A "s + c.added + " 1 " + path));
    EXPECT_EQ(wire(c.matches ? REPLY_INFECTED : REPLY_STALE),
              serve(cache, "Q "s + c.queried + " " + path));
    // A mismatch removed the entry; a match left it in place.
    EXPECT_EQ(wire(c.matches ? REPLY_INFECTED : REPLY_NOT_FOUND),
              serve(cache, "Q "s + c.added + " " + path));
  }
  // Refused before the cache is reached: nothing added, modified or removed.
  const uint32_t count = cache_count(cache);
  EXPECT_EQ(wire(REPLY_INVALID), serve(cache, "A 9223372036854775808 0 /b/new"));
  EXPECT_EQ(wire(REPLY_INVALID), serve(cache, "A -9223372036854775809 0 /b/0"));
  EXPECT_EQ(wire(REPLY_INVALID), serve(cache, "Q 18446744073709551615 /b/0"));
  EXPECT_EQ(count, cache_count(cache));
  EXPECT_EQ(wire(REPLY_INFECTED), serve(cache, "Q 2147483647 /b/0"));
  EXPECT_EQ(wire(REPLY_NOT_FOUND), serve(cache, "Q 9223372036854775807 /b/new"));
  cache_destroy(cache);
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

TEST(Boundary, StatusLineCarriesThePidAndATimeInRange) {
  std::string direct(REPLY_MAX, '\0');
  status_reply(direct.data());
  direct.resize(strlen(direct.c_str()) + 1);
  for (const std::string &line : {direct, serve(nullptr, "K")}) {
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

class BoundaryPidFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vrell-boundary-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
    path_ = dir_ + "/vrell.pid";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Content() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string dir_, path_;
};

// A pid is written with "%ld" and read back like atol; the largest process id Linux hands
// out (2^22) and the largest a pid_t holds both survive the round trip unchanged.
TEST_F(BoundaryPidFile, LargePidsMakeTheRoundTrip) {
  for (long pid : {1L, 4194304L, 2147483646L, 2147483647L}) {
    SCOPED_TRACE(pid);
    ASSERT_EQ(0, write_pid_file(pid, path_.c_str()));
    EXPECT_EQ(std::to_string(pid), Content());
    EXPECT_EQ(pid, read_pid_file(path_.c_str()));
    // No process has such a number, and none beyond 2^22 ever does.
    if (pid > 4194304L) {
      EXPECT_EQ(PID_FILE_STALE, check_pid_file(path_.c_str()));
    }
    ASSERT_EQ(0, remove_pid_file(path_.c_str()));
  }
}

// Numbers past the range of a 32-bit pid never pass for a live process, whether long cuts
// them (32-bit) or not (64-bit).
TEST_F(BoundaryPidFile, NumbersBeyondAPidAreStaleOrBad) {
  const struct {
    const char *text;
    int result;
  } cases[] = {
      {"2147483648", PID_FILE_STALE}, {"4294967296", PID_FILE_STALE},
      {"4294967297", PID_FILE_STALE}, {"9999999999999999", PID_FILE_STALE},
      {"-2147483648", PID_FILE_BAD},  {"-4294967295", PID_FILE_BAD},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << c.text;
    EXPECT_EQ(c.result, check_pid_file(path_.c_str()));
  }
}

}  // namespace
