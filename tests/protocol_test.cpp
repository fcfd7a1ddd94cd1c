// SPDX-License-Identifier: BSD-2-Clause
#include "service/protocol.h"

#include <gtest/gtest.h>
#include <string.h>

#include <climits>
#include <string>

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
      {"-2147483649", true, -2147483649LL, 0},
      {"-4294967296", true, -4294967296LL, 0},
      {"9223372036854775807", true, INT64_MAX, 255},
      {"-9223372036854775808", true, INT64_MIN, 0},
      {"00000000000000000000009223372036854775807", true, INT64_MAX, 255},
      {"9223372036854775808", false, 0, 255},
      {"-9223372036854775809", false, 0, 0},
      {"99999999999999999999999", false, 0, 255},
      {"18446744073709551616", false, 0, 255},  // 2^64, whose low 64 bits are 0
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.field);
    for (const std::string &bytes :
         {"A " + c.field + " 1 /p\r\n" + '\0', "Q " + c.field + " /p" + '\0'}) {
      cache_request *request = request_new();
      int n = request_parse(bytes.data(), bytes.size(), request);
      if (c.mtime_fits) {
        EXPECT_EQ(static_cast<int>(bytes.size()), n);
        EXPECT_EQ(bytes[0], request->command);
        EXPECT_EQ(c.mtime, request->body->mtime);
        EXPECT_STREQ("/p", request->body->path);
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

}  // namespace
