// SPDX-License-Identifier: BSD-2-Clause
// vrell-bench's command line: every row of its option table is listed in the usage text,
// parses into its field, and refuses a value out of its bounds.

#include "tools/bench_options.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Parses "vrell-bench -s /s WORDS..." from a fresh start of getopt. The options point into
// words, so words must outlive them.
int parse(std::vector<std::string> &words, bench_options *options) {
  words.insert(words.begin(), {"vrell-bench", "-s", "/s"});
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  optind = 0;
  testing::internal::CaptureStderr();
  int result = bench_options_parse(static_cast<int>(words.size()), argv.data(), options);
  testing::internal::GetCapturedStderr();
  return result;
}

struct accepted {
  std::vector<std::string> words;
  std::function<bool(const bench_options &)> holds;
};

TEST(BenchOptionsTest, EveryOptionIsListedParsesAndKeepsItsBounds) {
  const accepted cases[] = {
      {{"--socket", "/x"}, [](auto &o) { return std::string(o.socket_path) == "/x"; }},
      {{"-c", "1024"}, [](auto &o) { return o.concurrency == 1024; }},
      {{"--count=9000000000"}, [](auto &o) { return o.count == 9000000000u; }},
      {{"-d", "0.5"}, [](auto &o) { return o.duration == 0.5; }},
      {{"-t", "1"}, [](auto &o) { return o.timeout_ms == 1; }},
      {{"-m", "0,0,1"}, [](auto &o) { return o.mix[0] == 0 && o.mix[1] == 0 && o.mix[2] == 1; }},
      {{"-p", "7"}, [](auto &o) { return o.paths == 7; }},
      {{"--prefix", "/p"}, [](auto &o) { return o.prefix == "/p"; }},
      {{"--preload"}, [](auto &o) { return o.preload; }},
      {{"--seed", "4294967295"}, [](auto &o) { return o.seed == 4294967295u; }},
      {{"--redis"}, [](auto &o) { return o.speaks == bench_protocol::redis; }},
      {{"--memcached"}, [](auto &o) { return o.speaks == bench_protocol::memcached; }},
      {{"--scan"}, [](auto &o) { return o.scan; }},
      {{"--files", "3"}, [](auto &o) { return o.files == 3; }},
      {{"--once", "100"}, [](auto &o) { return o.once_percent == 100; }},
      {{"--server-pid", "42"}, [](auto &o) { return o.server_pid == 42; }},
      {{"--vanish", "2"}, [](auto &o) { return o.vanish == 2; }},
      {{"--silent", "3"}, [](auto &o) { return o.silent == 3; }},
      {{"--idle", "100000"}, [](auto &o) { return o.idle == 100000; }},
      {{"--interval", "10"}, [](auto &o) { return o.interval_ms == 10; }},
      {{"--json"}, [](auto &o) { return o.json; }},
  };
  for (const auto &c : cases) {
    bench_options options;
    std::vector<std::string> words = c.words;
    EXPECT_EQ(parse(words, &options), 0) << c.words[0];
    EXPECT_TRUE(c.holds(options)) << c.words[0];
  }
  const std::string &usage = bench_options_usage();
  for (const bench_option_row &row : bench_options_rows()) {
    const std::string name = std::string("--") + row.name;
    EXPECT_NE(usage.find(" " + name + (row.value ? " " : "")), std::string::npos) << name;
    if (row.letter != 0) {
      EXPECT_NE(usage.find(std::string("  -") + row.letter + ", " + name), std::string::npos);
    }
    bool tested = row.set == nullptr;  // --help
    for (const auto &c : cases)
      tested |= c.words[0].rfind(name, 0) == 0 ||
                (row.letter != 0 && c.words[0] == std::string("-") + row.letter);
    EXPECT_TRUE(tested) << name << " has no case here";
  }
  bench_options options;
  std::vector<std::string> help = {"--help"};
  EXPECT_EQ(parse(help, &options), 1);
  for (const auto &refused :
       std::vector<std::vector<std::string>>{{"-c", "0"},
                                             {"-c", "1025"},
                                             {"-n", "-1"},
                                             {"-d", "-1"},
                                             {"-d", "1s"},
                                             {"-t", "0"},
                                             {"-m", "1,2"},
                                             {"-m", "0,0,0"},
                                             {"-p", "0"},
                                             {"--seed", "4294967296"},
                                             {"--once", "101"},
                                             {"--server-pid", "0"},
                                             {"--vanish", "1025"},
                                             {"--idle", "-1"},
                                             {"--interval", "3600001"},
                                             {"--bogus"},
                                             {"--redis", "--scan"},
                                             {"--interval", "10", "-d", "0"}}) {
    std::vector<std::string> words = refused;
    EXPECT_EQ(parse(words, &options), 2) << refused[0] << " " << refused.back();
  }
}

}  // namespace
