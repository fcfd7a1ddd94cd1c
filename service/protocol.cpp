// SPDX-License-Identifier: BSD-2-Clause
#include "service/protocol.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <limits>
#include <span>
#include <string_view>

static_assert(CACHE_PATH_MAX == REQUEST_PATH_MAX + 1);

namespace {

constexpr char STATUS_FORMAT[] = "%s;%02d-%02d-%d;%02d:%02d:%02d;%ld\r\n";

void set_reply(char *reply, const char *text) {
  snprintf(reply, REPLY_MAX, "%s", text);
}

// Skips the white space and the sign that may open a decimal field, as atol and atoi do.
// Returns the offset of the first digit; negative tells the sign.
size_t digits_start(std::string_view field, bool *negative) {
  size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
  *negative = false;
  if (i < field.size() && (field[i] == '+' || field[i] == '-')) *negative = field[i++] == '-';
  return i;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Reads the verdict field as atoi does on the production platform: digits up to the first
// other character, and a value that saturates at the 32-bit limits as strtol does there.
// Accumulating in 64 bits and stopping at the limit keeps it free of overflow, and makes
// 32-bit and 64-bit builds read the same value.
int32_t verdict_value(std::string_view field) {
  bool negative;
  size_t i = digits_start(field, &negative);
  constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t value = 0;
  for (; i < field.size() && is_digit(field[i]); ++i) {
    value = value * 10 + (field[i] - '0');
    if (value > limit) value = limit;
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(value == limit ? limit - 1 : value);
}

// Reads the mtime field in 64 bits on every build, as a 64-bit atol does: digits up to the
// first other character, none giving 0. Returns false for a value outside int64_t, which has
// no faithful value: saturated or cut, it would match some other modification time, and the
// verdict on another version of the file would be handed out.
bool mtime_value(std::string_view field, int64_t *value) {
  bool negative;
  size_t i = digits_start(field, &negative);
  const uint64_t limit = uint64_t{std::numeric_limits<int64_t>::max()} + (negative ? 1 : 0);
  uint64_t magnitude = 0;
  for (; i < field.size() && is_digit(field[i]); ++i) {
    const auto digit = static_cast<uint64_t>(field[i] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  // Two's complement, so the negation of 2^63 is INT64_MIN.
  *value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
  return true;
}

// Splits off the field that ends at the next space. Returns false when there is none.
bool next_field(std::string_view &rest, std::string_view &field) {
  size_t space = rest.find(' ');
  if (space == std::string_view::npos) return false;
  field = rest.substr(0, space);
  rest.remove_prefix(space + 1);
  return true;
}

}  // namespace

cache_request *request_new(void) {
  auto *request = static_cast<cache_request *>(calloc(1, sizeof(cache_request)));
  if (request == nullptr) return nullptr;
  request->body = static_cast<cache_entry *>(calloc(1, sizeof(cache_entry)));
  if (request->body == nullptr) {
    free(request);
    return nullptr;
  }
  return request;
}

void request_free(cache_request *request) {
  if (request == nullptr) return;
  free(request->body);
  free(request);
}

size_t strip_line_end(char *text, size_t length) {
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
    text[--length] = '\0';
  }
  return length;
}

int request_parse(const char *data, size_t n, cache_request *request) {
  // Of more than one receive can hold, only what the receive would take counts.
  bool unterminated = n > static_cast<size_t>(REQUEST_MAX);
  if (unterminated) n = REQUEST_MAX;
  // The last byte is dropped as the terminator. Anything but a NUL or a line-end byte there
  // means the client was not done: a message cut by the receive limit, or the first piece of
  // one written in several. Its text ends inside the path, so the path would name another
  // file. A full receive must end in the NUL, since the message may go on beyond it.
  if (n > 0) {
    char last = data[n - 1];
    bool full = n == static_cast<size_t>(REQUEST_MAX);
    if (last != '\0' && (full || (last != '\n' && last != '\r'))) unterminated = true;
  }

  char text[REQUEST_MAX];
  size_t length = n > 0 ? n - 1 : 0;
  if (length > 0) memcpy(text, data, length);
  text[length] = '\0';
  // The text is a string: whatever follows a NUL inside it was never part of the request.
  length = strip_line_end(text, strnlen(text, length));

  std::string_view rest(text, length);
  request->command = static_cast<int32_t>(static_cast<signed char>(text[0]));
  cache_entry *body = request->body;
  // Whatever stands between the first byte and the first space is part of the command word.
  size_t space = rest.find(' ');
  if (space != std::string_view::npos) rest.remove_prefix(space + 1);

  // The fields go into the body only once the whole request is accepted: a refused request
  // leaves the body as it was.
  std::string_view mtime_field;
  std::string_view verdict_field;
  bool valid = true;
  switch (request->command) {
    case 'A':
      valid = space != std::string_view::npos && next_field(rest, mtime_field) &&
              next_field(rest, verdict_field);
      break;
    case 'Q':
      valid = space != std::string_view::npos && next_field(rest, mtime_field);
      break;
    case 'D':
      valid = space != std::string_view::npos;
      break;
    case 'C':
    case 'K':
    case 'S':
      return static_cast<int>(n);
    default:
      valid = false;
  }
  int64_t mtime = 0;
  if (valid && request->command != 'D') valid = mtime_value(mtime_field, &mtime);
  if (!valid || unterminated || rest.size() >= static_cast<size_t>(CACHE_PATH_MAX)) {
    request->command = REQUEST_INVALID;
    return -1;
  }
  if (request->command != 'D') body->mtime = mtime;
  // Only the low 8 bits of the verdict count; the cache refuses all but 0 and 1.
  if (request->command == 'A')
    body->verdict = static_cast<uint8_t>(static_cast<uint32_t>(verdict_value(verdict_field)));
  memcpy(body->path, rest.data(), rest.size());
  body->path[rest.size()] = '\0';
  return static_cast<int>(n);
}

namespace {

// Which reply each cache result of a command gets, and the counter it counts under; any other
// result is a cache error.
struct reply_for_result {
  int result;
  const char *reply;
  stats_counter counter;
};
constexpr reply_for_result ADD_REPLIES[] = {{CACHE_ADDED, REPLY_ADDED, STATS_ADDED},
                                            {CACHE_MODIFIED, REPLY_MODIFIED, STATS_MODIFIED},
                                            {CACHE_FULL, REPLY_FULL, STATS_REFUSED_FULL}};
constexpr reply_for_result DELETE_REPLIES[] = {{CACHE_OK, REPLY_DELETED, STATS_DELETED},
                                               {CACHE_NOT_FOUND, REPLY_NOT_FOUND, STATS_MISSES}};
constexpr reply_for_result QUERY_REPLIES[] = {{VERDICT_CLEAN, REPLY_CLEAN, STATS_HITS},
                                              {VERDICT_INFECTED, REPLY_INFECTED, STATS_HITS},
                                              {CACHE_STALE, REPLY_STALE, STATS_STALE},
                                              {CACHE_NOT_FOUND, REPLY_NOT_FOUND, STATS_MISSES}};
constexpr reply_for_result CLEAR_REPLIES[] = {{CACHE_OK, REPLY_CLEARED, STATS_CLEARED}};

int answer(int result, std::span<const reply_for_result> replies, char *reply,
           stats_counter *counter) {
  reply_for_result chosen = {result, REPLY_CACHE_ERROR, STATS_ERRORS};
  for (const reply_for_result &r : replies) {
    if (r.result == result) chosen = r;
  }
  set_reply(reply, chosen.reply);
  if (counter != nullptr) *counter = chosen.counter;
  return result;
}

}  // namespace

int handle_add(verdict_cache *cache, const cache_entry *body, char *reply, stats_counter *counter) {
  if (cache == nullptr) return answer(CACHE_ERROR, {}, reply, counter);
  return answer(cache_add_entry(cache, body->path, body->mtime, body->verdict), ADD_REPLIES, reply,
                counter);
}

int handle_delete(verdict_cache *cache, const cache_entry *body, char *reply,
                  stats_counter *counter) {
  if (cache == nullptr) return answer(CACHE_ERROR, {}, reply, counter);
  return answer(cache_delete_entry(cache, body->path), DELETE_REPLIES, reply, counter);
}

int handle_query(verdict_cache *cache, const cache_entry *body, char *reply,
                 stats_counter *counter) {
  if (cache == nullptr) return answer(CACHE_ERROR, {}, reply, counter);
  return answer(cache_query_entry(cache, body->path, body->mtime), QUERY_REPLIES, reply, counter);
}

int handle_clear(verdict_cache *cache, char *reply, stats_counter *counter) {
  return answer(cache == nullptr ? CACHE_ERROR : cache_clear(cache), CLEAR_REPLIES, reply, counter);
}

void status_reply(char *reply, stats_counter *counter) {
  time_t now = time(nullptr);
  struct tm local = {};
  // Workers format status lines at the same time, so each keeps its own broken-down time.
  localtime_r(&now, &local);
  int length = snprintf(reply, REPLY_MAX, STATUS_FORMAT, STATUS_TEXT, local.tm_mday,
                        local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                        local.tm_sec, static_cast<long>(getpid()));
  // Only an absurd clock could overflow the buffer; a line cut before its "\r\n" would leave
  // the client without a complete reply.
  bool cut = length < 0 || length >= REPLY_MAX;
  if (cut) set_reply(reply, REPLY_CACHE_ERROR);
  if (counter != nullptr) *counter = cut ? STATS_ERRORS : STATS_UNCOUNTED;
}
