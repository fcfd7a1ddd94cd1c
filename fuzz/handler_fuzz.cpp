// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes request_handler_thread against a real cache: the input is a sequence of requests, each
// ending at its NUL, served one connection each over a socketpair. Every reply must be whole,
// NUL-terminated, and the one a model of the cache predicts; the cache's clock is a counter
// that advances one second per request, so that entries also expire and full tables are swept.
#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>

#include "fuzz/check.h"
#include "service/request.h"
#include "service/stats.h"

namespace {

constexpr uint32_t FUZZ_CAPACITY = 4;
constexpr int32_t FUZZ_LIFE_TIME = 8;
// Bounds that keep one input fast: requests per input, bytes per request.
constexpr size_t FUZZ_REQUESTS_MAX = 32;
constexpr size_t FUZZ_REQUEST_BYTES_MAX = 2 * REQUEST_MAX;

time_t fake_now = 1000000;
time_t fake_clock(void) {
  return fake_now;
}

struct model_entry {
  int64_t mtime;
  uint8_t verdict;
  time_t stamp;
};
using cache_model = std::map<std::string, model_entry>;

// The reply the model predicts for one request; the status and stats lines are checked apart.
const char *predict(cache_model &model, const char *data, size_t size) {
  cache_request *request = request_new();
  FUZZ_CHECK(request != nullptr);
  int parsed = request_parse(data, size, request);
  int32_t command = request->command;
  std::string path = request->body->path;
  int64_t mtime = request->body->mtime;
  uint8_t verdict = request->body->verdict;
  request_free(request);
  if (parsed < 0) return REPLY_INVALID;
  switch (command) {
    case 'A': {
      if (verdict > VERDICT_INFECTED) return REPLY_CACHE_ERROR;
      auto found = model.find(path);
      if (found != model.end()) {
        found->second = {mtime, verdict, fake_now};
        return REPLY_MODIFIED;
      }
      if (model.size() >= FUZZ_CAPACITY) {
        // A full table first drops every entry that can no longer answer.
        std::erase_if(model, [](const auto &item) {
          const model_entry &e = item.second;
          return e.stamp > fake_now || fake_now - e.stamp >= FUZZ_LIFE_TIME;
        });
      }
      if (model.size() >= FUZZ_CAPACITY) return REPLY_FULL;
      model[path] = {mtime, verdict, fake_now};
      return REPLY_ADDED;
    }
    case 'D':
      if (model.empty()) return REPLY_CACHE_ERROR;
      return model.erase(path) == 1 ? REPLY_DELETED : REPLY_NOT_FOUND;
    case 'Q': {
      auto found = model.find(path);
      if (found == model.end()) return REPLY_NOT_FOUND;
      const model_entry &e = found->second;
      if (e.stamp > fake_now || fake_now - e.stamp >= FUZZ_LIFE_TIME || e.mtime != mtime) {
        model.erase(found);
        return REPLY_STALE;
      }
      return e.verdict == VERDICT_INFECTED ? REPLY_INFECTED : REPLY_CLEAN;
    }
    case 'C':
      model.clear();
      return REPLY_CLEARED;
    case 'S':
      return STATS_TEXT;
    default:
      return STATUS_TEXT;
  }
}

// Skips at least min and at most max digits. Returns false when fewer than min are there.
bool skip_digits(const char *&p, size_t min, size_t max) {
  size_t n = 0;
  while (n < max && isdigit(static_cast<unsigned char>(p[n]))) ++n;
  p += n;
  return n >= min;
}

bool skip_char(const char *&p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

// Checks "101-OK: Cache running;DD-MM-YYYY;HH:MM:SS;PID\r\n" with this process's id.
bool is_status_line(const std::string &reply) {
  std::string head = std::string(STATUS_TEXT) + ";";
  if (reply.compare(0, head.size(), head) != 0) return false;
  const char *p = reply.c_str() + head.size();
  bool shaped = skip_digits(p, 2, 2) && skip_char(p, '-') && skip_digits(p, 2, 2) &&
                skip_char(p, '-') && skip_digits(p, 4, 9) && skip_char(p, ';') &&
                skip_digits(p, 2, 2) && skip_char(p, ':') && skip_digits(p, 2, 2) &&
                skip_char(p, ':') && skip_digits(p, 2, 2) && skip_char(p, ';');
  return shaped && std::string(p) == std::to_string(getpid()) + "\r\n";
}

// Checks "102-Stats: uptime=N;entries=N;...\r\n" with the entries the model holds.
bool is_stats_line(const std::string &reply, size_t entries) {
  const std::string count = ";entries=" + std::to_string(entries) + ";";
  return reply.size() < size_t(STATS_REPLY_MAX) && reply.rfind(STATS_TEXT, 0) == 0 &&
         reply.find(count) != std::string::npos && reply.ends_with("\r\n");
}

// Serves one request on a fresh connection. Returns every byte the client received.
std::string serve(verdict_cache *cache, const char *data, size_t size, int32_t request_id) {
  int ends[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  if (size > 0) FUZZ_CHECK(send(ends[0], data, size, 0) == static_cast<ssize_t>(size));
  // The end of the stream stands for a client that sent all it had, so nothing waits.
  shutdown(ends[0], SHUT_WR);
  worker_job job{request_id, ends[1], cache, {}};
  clock_gettime(CLOCK_MONOTONIC, &job.accepted);
  request_handler_thread(&job);
  std::string received;
  char buffer[256];
  for (;;) {
    // The handler has closed its end, but a loaded machine may deliver the hang-up a moment
    // later: wait for it (bounded) rather than read a spurious EAGAIN as a fault.
    struct pollfd ready = {ends[0], POLLIN, 0};
    FUZZ_CHECK(poll(&ready, 1, 5000) == 1);
    ssize_t n = recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT);
    // Unread request bytes make the close a reset, which comes after the reply.
    if (n == 0 || (n < 0 && errno == ECONNRESET)) break;
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) fprintf(stderr, "recv: %s\n", strerror(errno));
    FUZZ_CHECK(n > 0);
    received.append(buffer, static_cast<size_t>(n));
  }
  close(ends[0]);
  return received;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  const char *data = reinterpret_cast<const char *>(bytes);
  cache_set_clock(fake_clock);
  verdict_cache *cache = cache_create(FUZZ_CAPACITY, FUZZ_LIFE_TIME);
  FUZZ_CHECK(cache != nullptr);
  cache_model model;
  size_t at = 0;
  for (size_t served = 0; served < FUZZ_REQUESTS_MAX && at < size; ++served) {
    const char *end = static_cast<const char *>(memchr(data + at, '\0', size - at));
    size_t length = end != nullptr ? size_t(end - (data + at)) + 1 : size - at;
    size_t sent = length < FUZZ_REQUEST_BYTES_MAX ? length : FUZZ_REQUEST_BYTES_MAX;
    ++fake_now;
    std::string reply = serve(cache, data + at, sent, static_cast<int32_t>(served + 1));
    const char *expected = predict(model, data + at, sent);
    // One reply, whole, with its NUL, and nothing after it.
    FUZZ_CHECK(!reply.empty() && reply.back() == '\0');
    reply.pop_back();
    FUZZ_CHECK(reply.find('\0') == std::string::npos);
    if (strcmp(expected, STATS_TEXT) == 0) {
      FUZZ_CHECK(is_stats_line(reply, model.size()));
    } else if (strcmp(expected, STATUS_TEXT) == 0) {
      FUZZ_CHECK(reply.size() < size_t(REPLY_MAX));
      FUZZ_CHECK(is_status_line(reply));
    } else {
      FUZZ_CHECK(reply.size() < size_t(REPLY_MAX));
      FUZZ_CHECK(reply == expected);
    }
    at += length;
  }
  FUZZ_CHECK(g_hash_table_size(cache->table) == model.size());
  FUZZ_CHECK(cache_destroy(cache) == CACHE_OK);
  cache_set_clock(nullptr);
  return 0;
}
