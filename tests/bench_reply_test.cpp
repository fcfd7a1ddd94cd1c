// SPDX-License-Identifier: BSD-2-Clause
// vrell-bench's reply readers on replies captured from Debian 12's redis-server 7.0.15 and
// memcached 1.6.18 over a Unix socket, whole and cut at every byte as a reply arriving in
// pieces is; and its percentiles.

#include "tools/bench_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using reader = size_t (*)(const char *, size_t);

struct captured {
  const char *sent;  // what the capture sent, for the reader of a failure
  std::string reply;
  std::string kind;
};

// redis-server, in answer to the commands vrell-bench sends and to two it never does.
const captured kRedis[] = {
    {"GET of a missing key", "$-1\r\n", "nil"},
    {"SET key \"1700000000 1\" EX 3600", "+OK\r\n", "+OK"},
    {"GET of that key", "$12\r\n1700000000 1\r\n", "value"},
    {"DEL of that key", ":1\r\n", ":1"},
    {"DEL of a missing key", ":0\r\n", ":0"},
    {"SET with a key only", "-ERR wrong number of arguments for 'set' command\r\n", "-ERR"},
    {"GET of an empty value", "$0\r\n\r\n", "value"},
    {"GET of the value a CR LF b", "$4\r\na\r\nb\r\n", "value"},
};

// memcached, likewise.
const captured kMemcached[] = {
    {"get of a missing key", "END\r\n", "END"},
    {"set key 0 3600 12", "STORED\r\n", "STORED"},
    {"get of that key", "VALUE /srv/scan/d001/file000001.bin 0 12\r\n1700000000 1\r\nEND\r\n",
     "value"},
    {"delete of that key", "DELETED\r\n", "DELETED"},
    {"delete of a missing key", "NOT_FOUND\r\n", "NOT_FOUND"},
    {"an unknown command", "ERROR\r\n", "ERROR"},
    {"set with a bad byte count", "CLIENT_ERROR bad command line format\r\n",
     "CLIENT_ERROR bad command line format"},
    {"get of the value END CR LF x", "VALUE k3 0 6\r\nEND\r\nx\r\nEND\r\n", "value"},
};

// The reader is given everything received so far, so each prefix is the buffer after a
// receive that ended there, after one piece or two. It must find nothing whole in any of
// them, and the whole reply once the last byte is there, also with another reply behind it.
void ExpectWholeOnlyAtEnd(reader length, const captured &c) {
  SCOPED_TRACE(c.sent);
  const std::string &reply = c.reply;
  for (size_t cut = 0; cut < reply.size(); cut++)
    EXPECT_EQ(length(reply.data(), cut), 0u) << "cut after " << cut << " bytes";
  EXPECT_EQ(length(reply.data(), reply.size()), reply.size());
  std::string two = reply + reply;
  EXPECT_EQ(length(two.data(), two.size()), reply.size());
}

TEST(BenchReplyTest, RespRepliesAreWholeOnlyAtTheirLastByteAndNamedByKind) {
  for (const captured &c : kRedis) {
    ExpectWholeOnlyAtEnd(bench_reply_resp_length, c);
    EXPECT_EQ(bench_reply_resp_kind(c.reply.data(), c.reply.size()), c.kind) << c.sent;
  }
  EXPECT_EQ(bench_reply_resp_kind("*", 1), "unknown");
}

TEST(BenchReplyTest, MemcachedRepliesAreWholeOnlyAtTheirLastByteAndNamedByKind) {
  for (const captured &c : kMemcached) {
    ExpectWholeOnlyAtEnd(bench_reply_memcached_length, c);
    EXPECT_EQ(bench_reply_memcached_kind(c.reply.data(), c.reply.size()), c.kind) << c.sent;
  }
  // A VALUE line whose byte count cannot be read is taken as the one-line reply it is.
  EXPECT_EQ(bench_reply_memcached_length("VALUE k 0\r\n", 11), 11u);
}

TEST(BenchReplyTest, PercentilesTakeTheNearestRankAndAreInMicroseconds) {
  std::vector<uint64_t> hundred;
  for (uint64_t i = 1; i <= 100; i++) hundred.push_back(i * 1000);
  const struct {
    std::vector<uint64_t> sorted;
    double p50, p99, max;
  } cases[] = {
      {{}, 0, 0, 0},
      {{1500}, 1.5, 1.5, 1.5},
      {{10000, 20000}, 10, 20, 20},
      {hundred, 50, 99, 100},
      {{5000000000}, 5000000, 5000000, 5000000},  // a reply that waited 5 s, past 32 bits
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sorted.size());
    EXPECT_DOUBLE_EQ(bench_reply_percentile_us(c.sorted, 0.50), c.p50);
    EXPECT_DOUBLE_EQ(bench_reply_percentile_us(c.sorted, 0.99), c.p99);
    EXPECT_DOUBLE_EQ(bench_reply_percentile_us(c.sorted, 1.0), c.max);
  }
  EXPECT_DOUBLE_EQ(bench_reply_percentile_us(hundred, 0.90), 90);
  EXPECT_DOUBLE_EQ(bench_reply_percentile_us(hundred, 0.999), 100);
}

}  // namespace
