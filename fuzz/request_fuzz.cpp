// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes request_parse: the bytes of one receive in, the parsed request or a refusal out.
// Checks the outcome against a plain model of the request grammar: a refused request leaves
// the body exactly as it was, an "A", "D" or "Q" request that was not terminated or whose mtime
// overflows 64 bits is refused, and an accepted path is exactly the client's bytes after the
// fields, shorter than CACHE_PATH_MAX.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz/check.h"
#include "service/protocol.h"

namespace {

// What the model expects of one receive.
struct expected_request {
  bool accepted;
  int result;
  int32_t command;
  bool has_body;  // A, D and Q fill the body; C and K leave it alone
  int64_t mtime;
  uint8_t verdict;
  size_t path_at;  // offset of the path in the client's bytes
  size_t path_length;
};

// The mtime read as strtoll reads it; false when it does not fit 64 bits.
bool mtime_value(const std::string &field, int64_t *value) {
  errno = 0;
  long long read = strtoll(field.c_str(), nullptr, 10);
  *value = read;
  return errno != ERANGE;
}

// The verdict read as atoi reads it on a 32-bit long, saturated to 32 bits.
int32_t verdict_value(const std::string &field) {
  long long value = strtoll(field.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

expected_request model(const char *data, size_t n) {
  expected_request e{};
  bool cut = n > size_t(REQUEST_MAX);
  if (cut) n = REQUEST_MAX;
  // Terminated: a NUL last, or a line-end byte last in a receive that was not full.
  if (n > 0 && data[n - 1] != '\0') {
    bool line_end = data[n - 1] == '\r' || data[n - 1] == '\n';
    if (n == size_t(REQUEST_MAX) || !line_end) cut = true;
  }
  size_t length = n > 0 ? strnlen(data, n - 1) : 0;
  while (length > 0 && (data[length - 1] == '\r' || data[length - 1] == '\n')) --length;
  std::string text(data, length);
  e.command = length > 0 ? static_cast<signed char>(text[0]) : 0;
  e.result = static_cast<int>(n);
  if (e.command == 'C' || e.command == 'K' || e.command == 'S') {
    e.accepted = true;
    return e;
  }
  size_t at = text.find(' ');
  int fields = e.command == 'A' ? 2 : e.command == 'Q' ? 1 : e.command == 'D' ? 0 : -1;
  bool valid = fields >= 0 && at != std::string::npos;
  if (valid) ++at;
  for (int i = 0; valid && i < fields; ++i) {
    size_t space = text.find(' ', at);
    if (space == std::string::npos) {
      valid = false;
      break;
    }
    const std::string field = text.substr(at, space - at);
    if (i == 0) valid = mtime_value(field, &e.mtime);
    if (i == 1) e.verdict = static_cast<uint8_t>(static_cast<uint32_t>(verdict_value(field)));
    at = space + 1;
  }
  if (!valid || cut || length - at >= size_t(CACHE_PATH_MAX)) {
    e = expected_request{};
    e.command = REQUEST_INVALID;
    e.result = -1;
    return e;
  }
  e.accepted = true;
  e.has_body = true;
  e.path_at = at;
  e.path_length = length - at;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
  const char *data = reinterpret_cast<const char *>(bytes);
  cache_request *request = request_new();
  FUZZ_CHECK(request != nullptr);
  // A body that is not all zeros, so that a stray write to it shows.
  memset(request->body, 0xA5, sizeof(cache_entry));
  request->body->path[CACHE_PATH_MAX - 1] = '\0';
  cache_entry before;
  memcpy(&before, request->body, sizeof before);

  int result = request_parse(data, size, request);
  expected_request e = model(data, size);
  FUZZ_CHECK(result == e.result);
  FUZZ_CHECK(request->command == e.command);
  if (!e.has_body) {
    // Refused, or C and K: nothing but the command may change.
    FUZZ_CHECK(memcmp(&before, request->body, sizeof before) == 0);
  } else {
    cache_entry *body = request->body;
    FUZZ_CHECK(e.path_length < size_t(CACHE_PATH_MAX));
    FUZZ_CHECK(strlen(body->path) == e.path_length);
    FUZZ_CHECK(memcmp(body->path, data + e.path_at, e.path_length) == 0);
    if (e.command != 'D') FUZZ_CHECK(body->mtime == e.mtime);
    if (e.command == 'A') FUZZ_CHECK(body->verdict == e.verdict);
    FUZZ_CHECK(body->stamp == before.stamp);
  }
  request_free(request);
  return 0;
}
