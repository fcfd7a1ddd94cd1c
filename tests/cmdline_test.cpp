// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cmdline.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

// Owns writable copies of the arguments, since getopt_long may permute them.
struct parsed {
  int32_t flags;
  daemon_settings settings;
  char conf_path[SETTINGS_PATH_MAX];
};

parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "vrell");
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  parsed result;
  settings_clear(&result.settings);
  memset(result.conf_path, 0, sizeof result.conf_path);
  testing::internal::CaptureStderr();  // getopt_long's diagnostics for the bad cases
  result.flags = read_command_line(static_cast<int>(args.size()), argv.data(), &result.settings,
                                   result.conf_path);
  testing::internal::GetCapturedStderr();
  return result;
}

TEST(CmdlineTest, UsageIsOneLinePerOptionExactly) {
  testing::internal::CaptureStdout();
  print_usage();
  EXPECT_EQ(
      "-s --sock-path    value\n"
      "-p --pid-file     value\n"
      "-t --threads      value\n"
      "-m --max-entry    value\n"
      "-l --life         value\n"
      "-c --conf-file    value\n"
      "-v --save        \n"
      "-h --help        \n"
      "-f --foreground  \n"
      "--version        \n"
      "--check          \n",
      testing::internal::GetCapturedStdout());
}

TEST(CmdlineTest, MissingConfigNamesTheProgram) {
  testing::internal::CaptureStdout();
  print_missing_config("/usr/sbin/vrell");
  print_missing_config(nullptr);
  EXPECT_EQ(
      "/usr/sbin/vrell: Missing config file argument\n"
      "See /usr/sbin/vrell --help for more details\n"
      "program: Missing config file argument\n"
      "See program --help for more details\n",
      testing::internal::GetCapturedStdout());
}

TEST(CmdlineTest, EveryFormSetsItsFlagAndValue) {
  struct row {
    std::vector<std::string> args;
    int32_t flags;
    const char *socket_path;
    const char *pid_path;
    uint8_t threads;
    uint32_t max_entries;
    uint32_t life_time;
    const char *conf_path;
  };
  const std::vector<row> rows = {
      {{}, 0, "", "", 0, 0, 0, ""},
      {{"-s", "/a", "-p", "/b", "-t", "7", "-m", "60", "-l", "30", "-c", "/c.ini", "-v", "-h"},
       0xff,
       "/a",
       "/b",
       7,
       60,
       30,
       "/c.ini"},
      {{"-s/a", "-p/b", "-t7", "-m60", "-l30", "-c/c.ini", "-hv"},
       0xff,
       "/a",
       "/b",
       7,
       60,
       30,
       "/c.ini"},
      {{"--sock-path=/a", "--pid-file", "/b", "--threads=8", "--max-entry", "70", "--life=0",
        "--conf-file=/c.ini", "--save", "--help"},
       0xff,
       "/a",
       "/b",
       8,
       70,
       0,
       "/c.ini"},
      {{"--sock=/a", "--pid", "/b", "--th=9", "--max=80", "--li", "5", "--conf=/c", "--sa", "--he"},
       0xff,
       "/a",
       "/b",
       9,
       80,
       5,
       "/c"},
      {{"-s", "/first", "--sock-path", "/second"}, OPT_SOCK_PATH, "/second", "", 0, 0, 0, ""},
      {{"-t", "261"}, OPT_THREADS, "", "", 5, 0, 0, ""},
      {{"-t", "words"}, OPT_THREADS, "", "", 0, 0, 0, ""},
      {{"-t", " +12abc"}, OPT_THREADS, "", "", 12, 0, 0, ""},
      {{"-t", "-1"}, OPT_THREADS, "", "", 255, 0, 0, ""},
      {{"-m", "-1"}, OPT_MAX_ENTRY, "", "", 0, 4294967295u, 0, ""},
      {{"-l", "3601"}, OPT_LIFE, "", "", 0, 0, 3601, ""},
      // Beyond 32 bits the number saturates, so it cannot wrap into an admitted range.
      {{"-l", "4294967296", "-t", "99999999999"},
       OPT_LIFE | OPT_THREADS,
       "",
       "",
       255,
       0,
       2147483647u,
       ""},
      {{"-m", "-99999999999"}, OPT_MAX_ENTRY, "", "", 0, 2147483648u, 0, ""},
      {{"stray", "-x", "--bogus", "-h", "-t"}, OPT_HELP, "", "", 0, 0, 0, ""},
      // The version has no letter; its value must not be taken for another long-only option's.
      {{"-f", "--version", "-c/c.ini"},
       OPT_FOREGROUND | OPT_VERSION | OPT_CONF_FILE,
       "",
       "",
       0,
       0,
       0,
       "/c.ini"},
      {{"--fore", "--vers", "-vf"}, OPT_FOREGROUND | OPT_VERSION | OPT_SAVE, "", "", 0, 0, 0, ""},
      // No other long option starts with v, so --v is the version, not the save.
      {{"--v"}, OPT_VERSION, "", "", 0, 0, 0, ""},
      {{"--version=1", "-V"}, 0, "", "", 0, 0, 0, ""},
      {{"--ch", "--version", "--co=/c.ini"},
       OPT_CHECK | OPT_VERSION | OPT_CONF_FILE,
       "",
       "",
       0,
       0,
       0,
       "/c.ini"},
      {{"-c"}, 0, "", "", 0, 0, 0, ""},
      {{"-s", "/a", "-c"}, OPT_SOCK_PATH, "/a", "", 0, 0, 0, ""},
  };
  for (const row &r : rows) {
    std::string label;
    for (const std::string &arg : r.args) label += arg + " ";
    SCOPED_TRACE(label);
    parsed p = parse(r.args);
    EXPECT_EQ(r.flags, p.flags);
    EXPECT_STREQ(r.socket_path, p.settings.socket_path);
    EXPECT_STREQ(r.pid_path, p.settings.pid_path);
    EXPECT_EQ(r.threads, p.settings.threads);
    EXPECT_EQ(r.max_entries, p.settings.max_entries);
    EXPECT_EQ(r.life_time, p.settings.life_time);
    EXPECT_STREQ(r.conf_path, p.conf_path);
  }
}

TEST(CmdlineTest, LongPathsAreCutTo255Characters) {
  const std::string long_path = "/" + std::string(299, 'x');
  parsed p = parse({"-s", long_path, "-p", long_path, "-c", long_path});
  EXPECT_EQ(OPT_SOCK_PATH | OPT_PID_FILE | OPT_CONF_FILE, p.flags);
  EXPECT_EQ(long_path.substr(0, 255), p.settings.socket_path);
  EXPECT_EQ(long_path.substr(0, 255), p.settings.pid_path);
  EXPECT_EQ(long_path.substr(0, 255), p.conf_path);
}

TEST(CmdlineTest, NullRecordOrPathBuffer) {
  std::string a0 = "vrell", a1 = "-t", a2 = "7", a3 = "-c", a4 = "/c.ini";
  char *argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
  char conf_path[SETTINGS_PATH_MAX] = {};
  EXPECT_EQ(OPT_THREADS | OPT_CONF_FILE, read_command_line(5, argv, nullptr, conf_path));
  EXPECT_STREQ("/c.ini", conf_path);

  daemon_settings settings;
  settings_clear(&settings);
  EXPECT_EQ(-1, read_command_line(5, argv, &settings, nullptr));
  EXPECT_EQ(OPT_THREADS, read_command_line(3, argv, &settings, nullptr));
  EXPECT_EQ(7, settings.threads);
}

}  // namespace
