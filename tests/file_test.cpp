// SPDX-License-Identifier: BSD-2-Clause
#include "config/file.h"
#include "config/path.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/tagmem.h"
#include "fixtures.h"

namespace {

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrell_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    // The working directory's own spelling, so that expected names match getcwd.
    dir_ = std::filesystem::canonical(pattern).string();
    old_cwd_ = std::filesystem::current_path().string();
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  void write(const std::string &name, const std::string &bytes) const {
    FILE *f = fopen(path(name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }

  std::string read(const std::string &full) const {
    std::string bytes;
    FILE *f = fopen(full.c_str(), "rb");
    if (f == nullptr) return "<missing>";
    for (int c; (c = getc(f)) != EOF;) bytes += static_cast<char>(c);
    fclose(f);
    return bytes;
  }

  // All lines of bytes as file_read_line_limited returns them.
  std::vector<std::string> lines(const std::string &bytes, int limit = FILE_LINE_MAX) {
    write("lines.txt", bytes);
    FILE *f = file_open(path("lines.txt").c_str(), 'r');
    EXPECT_NE(f, nullptr);
    std::vector<std::string> result;
    std::vector<char> buffer(limit + 1);
    while (file_read_line_limited(f, buffer.data(), limit)) result.emplace_back(buffer.data());
    file_close(f);
    return result;
  }

  std::string dir_;
  std::string old_cwd_;
};

using Lines = std::vector<std::string>;

TEST_F(FileTest, ReadLineExpandsTabsAndSplitsLongLines) {
  const std::string k1016(1016, 'a'), k1024(1024, 'b');
  struct {
    std::string input;
    Lines expected;
  } cases[] = {
      {"a\tb\n", {"a       b"}},
      {"\t\n\n", {"        ", ""}},
      {"x", {"x"}},
      {"", {}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"a\n\x1a"
       "after\n",
       {"a"}},
      {"ab\x1a"
       "cd\n",
       {"ab", "cd"}},
      {k1024 + "\n", {k1024, ""}},
      {k1024 + "c\n", {k1024, "c"}},
      {k1016 + "\tX\n", {k1016 + "        ", "X"}},
      {k1016 + "abcd\tX\n", {k1016 + "abcd    ", "X"}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(lines(c.input), c.expected) << "input of " << c.input.size() << " bytes";
  }

  EXPECT_EQ(lines("abcdef\n", 4), (Lines{"abcd", "ef"}));
  EXPECT_EQ(lines("a\t\tb\n", 10), (Lines{"a         ", "b"}));
  EXPECT_EQ(lines("x\n", 0), Lines{});
  char buffer[FILE_LINE_MAX + 1];
  EXPECT_FALSE(file_read_line(nullptr, buffer));
}

TEST_F(FileTest, LineEndingFlagFollowsOpensAndCarriageReturns) {
  write("crlf.txt", "one\r\ntwo\r\n");
  write("lf.txt", "one\n");
  char buffer[FILE_LINE_MAX + 1];

  FILE *f = file_open(path("crlf.txt").c_str(), 'r');
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(file_crlf, 0);
  ASSERT_TRUE(file_read_line(f, buffer));
  EXPECT_EQ(file_crlf, 1);
  EXPECT_STREQ(buffer, "one");
  file_close(f);

  // Writing keeps the style read last: CR LF until the next open switches it off.
  FILE *out = fopen(path("out.txt").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(file_write_line(out, "crlf"), "crlf");
  EXPECT_EQ(file_open(path("missing").c_str(), 'r'), nullptr);
  EXPECT_EQ(file_crlf, 0);
  EXPECT_STREQ(file_write_line(out, "lf"), "lf");
  fclose(out);
  EXPECT_EQ(read(path("out.txt")), "crlf\r\nlf\n");

  file_crlf = 1;
  EXPECT_EQ(file_open(path("lf.txt").c_str(), 'x'), nullptr);
  EXPECT_EQ(file_crlf, 0);
  f = file_open(path("lf.txt").c_str(), 'r');
  ASSERT_TRUE(file_read_line(f, buffer));
  EXPECT_EQ(file_crlf, 0);
  // A stream that cannot be written reports the failure.
  EXPECT_EQ(file_write_line(f, "no"), nullptr);
  EXPECT_EQ(file_close(f), 0);
  EXPECT_EQ(file_close(nullptr), 0);

  FILE *appended = file_open(path("lf.txt").c_str(), 'a');
  EXPECT_NE(file_write_line(appended, "two"), nullptr);
  file_close(appended);
  EXPECT_EQ(read(path("lf.txt")), "one\ntwo\n");

  // A line whose text went out but whose line end did not has failed too.
  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(file_write_line(full, ""), nullptr);
  fclose(full);
}

TEST_F(FileTest, NextElementWalksColonSeparatedList) {
  char out[64];
  const char *rest = path_next_element(out, sizeof out, "/usr/bin::/opt", "name");
  EXPECT_STREQ(out, "/usr/bin/name");
  rest = path_next_element(out, sizeof out, rest, "name");
  EXPECT_STREQ(out, "name");
  rest = path_next_element(out, sizeof out, rest, "name");
  EXPECT_STREQ(out, "/opt/name");
  EXPECT_STREQ(rest, "");

  EXPECT_EQ(path_next_element(out, sizeof out, nullptr, "name"), nullptr);
  EXPECT_STREQ(out, "name");
  rest = path_next_element(out, sizeof out, "/etc/:x", "name");
  EXPECT_STREQ(out, "/etc/name");
  EXPECT_STREQ(rest, "x");
  // A joined name that does not fit is refused, not cut.
  char small[8];
  EXPECT_STREQ(path_next_element(small, sizeof small, "/usr/bin:x", "name"), "x");
  EXPECT_STREQ(small, "");
}

TEST_F(FileTest, WhereSearchesWorkingDirectoryThenList) {
  saved_env path_env("PATH");
  std::filesystem::create_directories(path("a"));
  std::filesystem::create_directories(path("b"));
  std::filesystem::create_directories(path("PATH"));
  write("conf.ini", "");
  write("b/only.ini", "");
  write("PATH/conf.ini", "");
  std::filesystem::current_path(dir_);
  setenv("PATH", (path("a") + ":" + path("b")).c_str(), 1);

  const char *found = file_where('r', "PATH", "conf", "ini");
  EXPECT_STREQ(found, path("conf.ini").c_str());
  EXPECT_STREQ(file_where('r', "PATH", "only.x", ".ini"), path("b/only.ini").c_str());
  EXPECT_STREQ(file_where('r', "PATH", path("conf.ini").c_str(), nullptr),
               path("conf.ini").c_str());
  EXPECT_EQ(file_where('r', "PATH", "missing", "ini"), nullptr);
  // Modes other than 'r' answer the last name tried.
  EXPECT_STREQ(file_where('x', "PATH", "missing", "ini"), path("b/missing.ini").c_str());
  EXPECT_EQ(file_where('r', nullptr, "missing", nullptr), nullptr);

  // Without the variable the name as given still comes first, absolute or relative; the
  // literal directory PATH is searched after it, and relatively.
  unsetenv("PATH");
  EXPECT_STREQ(file_where('r', "PATH", "conf", "ini"), path("conf.ini").c_str());
  EXPECT_STREQ(file_where('r', "PATH", path("conf.ini").c_str(), nullptr),
               path("conf.ini").c_str());
  EXPECT_STREQ(file_where('r', "PATH", "only.ini", nullptr), nullptr);
  EXPECT_STREQ(file_where('r', "etc:PATH", "b/only.ini", nullptr), path("b/only.ini").c_str());
  std::filesystem::remove(path("conf.ini"));
  EXPECT_STREQ(file_where('r', "PATH", "conf", "ini"), "PATH/conf.ini");

  EXPECT_STREQ(file_where('w', "PATH", "conf.x", ".ini"), "conf.ini");
  EXPECT_STREQ(file_where('s', "PATH", "/abs/conf", nullptr), "/abs/conf");
  EXPECT_STREQ(file_where('s', path("b").c_str(), "new", "ini"), path("b/new.ini").c_str());
  EXPECT_STREQ(file_where('s', "no-dir", "new", "ini"), "./new.ini");

  FILE *f = file_locate(path("b").c_str(), "only", "ini");
  EXPECT_NE(f, nullptr);
  file_close(f);
  EXPECT_EQ(file_locate(path("b").c_str(), "none", "ini"), nullptr);

  std::string too_long(FILE_NAME_MAX + 1, 'n');
  EXPECT_EQ(file_where('w', nullptr, too_long.c_str(), nullptr), nullptr);
}

TEST_F(FileTest, WhereTreatsUnreadableWorkingDirectoryAsNotFound) {
  std::filesystem::create_directories(path("gone"));
  std::filesystem::current_path(path("gone"));
  std::filesystem::remove(path("gone"));
  EXPECT_EQ(current_directory(), nullptr);
  EXPECT_TRUE(file_exists("."));
  EXPECT_EQ(file_where('r', nullptr, ".", nullptr), nullptr);
  // An empty list element stands for the working directory, which names the result relatively.
  EXPECT_STREQ(file_where('r', "vrell-none::elsewhere", ".", nullptr), ".");

  std::filesystem::current_path(dir_);
  char *cwd = current_directory();
  ASSERT_NE(cwd, nullptr);
  EXPECT_EQ(cwd, dir_ + "/");
  tagmem_free(cwd, nullptr, 0);
}

TEST_F(FileTest, ExtensionHelpers) {
  struct {
    const char *name, *ext, *with_default, *with_fixed;
  } cases[] = {
      {"conf", "ini", "conf.ini", "conf.ini"},  {"a.b/conf", "ini", "a.b/conf.ini", "a.b/conf.ini"},
      {"conf.x", "ini", "conf.x", "conf.ini"},  {"conf.x", ".ini", "conf.x", "conf.ini"},
      {"conf", ".ini", "conf.ini", "conf.ini"}, {"a\\b", "ini", "a\\b.ini", "a\\b.ini"},
      {"conf.x", "", "conf.x", "conf"},         {"conf.x", nullptr, "conf.x", "conf"},
  };
  for (const auto &c : cases) {
    char out[64];
    EXPECT_STREQ(path_default_extension(out, sizeof out, c.name, c.ext), c.with_default) << c.name;
    EXPECT_STREQ(path_fixed_extension(out, sizeof out, c.name, c.ext), c.with_fixed) << c.name;
  }

  char same[16] = "conf";
  EXPECT_STREQ(path_default_extension(same, sizeof same, same, "ini"), "conf.ini");
  EXPECT_STREQ(path_fixed_extension(same, sizeof same, same, "cfg"), "conf.cfg");
  char small[8];
  EXPECT_EQ(path_default_extension(small, sizeof small, "conf", "ini"), nullptr);
  EXPECT_STREQ(small, "");

  char strip[][16] = {"x.tar.gz", "a.b/c", "noext"};
  EXPECT_STREQ(path_strip_extension(strip[0]), "x.tar");
  EXPECT_STREQ(path_strip_extension(strip[1]), "a.b/c");
  EXPECT_STREQ(path_strip_extension(strip[2]), "noext");

  EXPECT_STREQ(path_strip_trailing_slash("/"), "/");
  EXPECT_STREQ(path_strip_trailing_slash("a//"), "a/");
  EXPECT_STREQ(path_strip_trailing_slash("a/"), "a");
  EXPECT_STREQ(path_strip_trailing_slash(""), "");
  EXPECT_NE(path_strip_trailing_slash(std::string(PATH_DIR_MAX, 'd').c_str()), nullptr);
  EXPECT_EQ(path_strip_trailing_slash(std::string(PATH_DIR_MAX + 1, 'd').c_str()), nullptr);

  EXPECT_TRUE(path_is_absolute("/x"));
  EXPECT_FALSE(path_is_absolute("x/"));
  EXPECT_FALSE(path_is_absolute(nullptr));
}

TEST_F(FileTest, StatusTimesAndEnvironment) {
  saved_env tz("TZ");
  setenv("TZ", "UTC", 1);
  tzset();
  write("f", "x");
  // 2023-11-14 22:13:20 UTC.
  struct timeval times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimes(path("f").c_str(), times), 0);

  EXPECT_EQ(date_from_time(1700000000), 20231114);
  EXPECT_EQ(time_from_time(1700000000), 22132000);
  EXPECT_EQ(date_from_time(0), 0);
  EXPECT_EQ(time_from_time(0), 0);
  EXPECT_EQ(file_mtime(path("f").c_str()), 1700000000);
  EXPECT_EQ(file_mtime(path("missing").c_str()), 0);

  std::string name = path("f");
  EXPECT_TRUE(file_has_changed(name.c_str(), 20231114, 22131900));
  EXPECT_TRUE(file_has_changed(name.c_str(), 20231113, 23595900));
  EXPECT_FALSE(file_has_changed(name.c_str(), 20231114, 22132000));
  EXPECT_FALSE(file_has_changed(name.c_str(), 20231115, 0));
  EXPECT_FALSE(file_has_changed(path("missing").c_str(), 0, 0));

  EXPECT_TRUE(file_exists(name.c_str()));
  EXPECT_TRUE(file_exists(dir_.c_str()));
  EXPECT_FALSE(file_exists(""));
  EXPECT_EQ(file_mode(nullptr), 0);
  EXPECT_TRUE(S_ISREG(file_mode(name.c_str())));
  EXPECT_TRUE(file_is_directory((dir_ + "/").c_str()));
  EXPECT_FALSE(file_is_directory(name.c_str()));
  EXPECT_EQ(file_delete(name.c_str()), 0);
  EXPECT_EQ(file_delete(name.c_str()), -1);
  EXPECT_EQ(file_delete(nullptr), -1);

  saved_env var("VRELL_FILE_TEST_VAR");
  setenv("VRELL_FILE_TEST_VAR", "value", 1);
  EXPECT_STREQ(env_get_text("vrell_file_test_var", "default"), "value");
  unsetenv("VRELL_FILE_TEST_VAR");
  EXPECT_STREQ(env_get_text("vrell_file_test_var", "default"), "default");
  EXPECT_STREQ(env_get_text(nullptr, "default"), "default");
}

TEST_F(FileTest, PathFileTypeClassifiesEachKind) {
  write("regular", "");
  std::filesystem::create_directories(path("dir"));
  ASSERT_EQ(symlink(path("dir").c_str(), path("link").c_str()), 0);
  ASSERT_EQ(symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socket_path = path("sock");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  close(fd);

  EXPECT_EQ(path_file_type(path("regular").c_str()), PATH_TYPE_REGULAR);
  EXPECT_EQ(path_file_type(path("dir").c_str()), PATH_TYPE_DIRECTORY);
  EXPECT_EQ(path_file_type(path("link").c_str()), PATH_TYPE_DIRECTORY);
  EXPECT_EQ(path_file_type(socket_path.c_str()), PATH_TYPE_SOCKET);
  EXPECT_EQ(path_file_type("/dev/null"), PATH_TYPE_DEVICE);
  EXPECT_EQ(path_file_type(path("fifo").c_str()), PATH_TYPE_DEVICE);
  EXPECT_EQ(path_file_type(path("dangling").c_str()), PATH_TYPE_OTHER);
  EXPECT_EQ(path_file_type(path("missing").c_str()), PATH_TYPE_OTHER);
  EXPECT_EQ(path_file_type(nullptr), PATH_TYPE_OTHER);

  // The directory test looks at the whole file type, not at one bit that sockets share.
  EXPECT_TRUE(file_exists(socket_path.c_str()));
  EXPECT_FALSE(file_is_directory(socket_path.c_str()));
  EXPECT_TRUE(file_is_directory(path("link/").c_str()));
}

}  // namespace
