// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_reply.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace {

// The length of the first line with its "\r\n", or 0 when there is no whole line yet.
size_t line_length(std::string_view data) {
  size_t end = data.find("\r\n");
  return end == std::string_view::npos ? 0 : end + 2;
}

// The decimal value at the start of text; false when it does not start with a digit or
// overflows what any reply could hold.
bool leading_number(std::string_view text, size_t *value) {
  size_t v = 0, i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
    if (v > (SIZE_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<size_t>(text[i] - '0');
  }
  *value = v;
  return i > 0;
}

}  // namespace

size_t bench_reply_resp_length(const char *data, size_t have) {
  std::string_view reply(data, have);
  size_t line = line_length(reply);
  if (line == 0 || reply[0] != '$') return line;
  // "$-1" is nil, with no value after its line.
  size_t bytes;
  if (!leading_number(reply.substr(1, line - 3), &bytes)) return line;
  if (bytes > SIZE_MAX - line - 2) return 0;
  size_t whole = line + bytes + 2;
  return have >= whole ? whole : 0;
}

std::string bench_reply_resp_kind(const char *data, size_t length) {
  std::string_view line(data, length);
  line = line.substr(0, line.find("\r\n"));
  if (line.empty()) return "unknown";
  switch (line[0]) {
    case '+':
    case ':':
      return std::string(line);
    case '-':
      return std::string(line.substr(0, line.find(' ')));
    case '$':
      return line.size() > 1 && line[1] == '-' ? "nil" : "value";
    default:
      return "unknown";
  }
}

size_t bench_reply_memcached_length(const char *data, size_t have) {
  static constexpr std::string_view kValue = "VALUE ", kEnd = "END\r\n";
  std::string_view reply(data, have);
  size_t line = line_length(reply);
  if (line == 0 || !reply.starts_with(kValue)) return line;
  // The byte count is the fourth word: VALUE key flags bytes [cas].
  std::string_view words = reply.substr(0, line - 2);
  size_t at = 0;
  for (int word = 0; word < 3 && at != std::string_view::npos; word++) {
    at = words.find(' ', at);
    if (at != std::string_view::npos) at++;
  }
  size_t bytes;
  if (at == std::string_view::npos || !leading_number(words.substr(at), &bytes)) return line;
  if (bytes > SIZE_MAX - line - 2 - kEnd.size()) return 0;
  size_t whole = line + bytes + 2 + kEnd.size();
  return have >= whole ? whole : 0;
}

std::string bench_reply_memcached_kind(const char *data, size_t length) {
  std::string_view line(data, length);
  if (line.starts_with("VALUE ")) return "value";
  return std::string(line.substr(0, line.find("\r\n")));
}

double bench_reply_percentile_us(const std::vector<uint64_t> &sorted, double q) {
  if (sorted.empty()) return 0;
  // The small step down keeps q * n that rounding put just above a whole rank on that rank.
  double exact = std::ceil(q * static_cast<double>(sorted.size()) - 1e-9);
  size_t rank = std::clamp<size_t>(exact < 1 ? 1 : static_cast<size_t>(exact), 1, sorted.size());
  return sorted[rank - 1] / 1000.0;
}
