// SPDX-License-Identifier: BSD-2-Clause
#include "config/temp_file.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/tagmem.h"
#include "fixtures.h"

namespace {

class TempFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrell_temp_file_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = std::filesystem::canonical(pattern).string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

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

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir_)) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }

  std::string dir_;
};

// True for directory, "/", eight upper-case hexadecimal digits and ".tmp".
bool is_temp_name(const std::string &name, const std::string &directory) {
  std::string prefix = directory + "/";
  if (name.size() != prefix.size() + 12 || name.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  std::string digits = name.substr(prefix.size(), 8);
  return digits.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
         name.substr(prefix.size() + 8) == ".tmp";
}

TEST_F(TempFileTest, TemporaryFilesAreNamedSkippedAndRemoved) {
  saved_env tmpdir("TMPDIR");
  setenv("TMPDIR", dir_.c_str(), 1);
  char name[FILE_NAME_MAX + 1];
  FILE *f = temp_file_open(name);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(is_temp_name(name, dir_)) << name;
  // The layer's own blocks name the line that made them, so that a leak listing points there.
  char *listing = nullptr;
  size_t listing_size = 0;
  FILE *report = open_memstream(&listing, &listing_size);
  tagmem_report(report);
  fclose(report);
  EXPECT_NE(std::string(listing).find("temp_file.cpp ("), std::string::npos) << listing;
  free(listing);
  // The file can be read back, as the INI writer does with its prologue.
  EXPECT_NE(file_write_line(f, "kept"), nullptr);
  rewind(f);
  char line[FILE_LINE_MAX + 1];
  ASSERT_TRUE(file_read_line(f, line));
  EXPECT_STREQ(line, "kept");
  temp_file_close(f);
  EXPECT_FALSE(file_exists(name));

  // An existing file and a dangling link under the next names are both passed over.
  temp_file_counter = 0x1234;
  write("00001234.tmp", "old");
  ASSERT_EQ(symlink(path("target").c_str(), path("00001235.tmp").c_str()), 0);
  f = temp_file_open(name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(std::string(name), path("00001236.tmp"));
  EXPECT_EQ(read(path("00001234.tmp")), "old");
  EXPECT_FALSE(file_exists(path("target").c_str()));
  EXPECT_EQ(temp_file_counter, 0x1237);
  temp_file_close(f);

  // A stream that was not opened as a temporary file is only closed.
  FILE *plain = fopen(path("00001234.tmp").c_str(), "rb");
  temp_file_close(plain);
  EXPECT_EQ(read(path("00001234.tmp")), "old");
  temp_file_close(nullptr);

  // An empty TMPDIR means the default directory.
  setenv("TMPDIR", "", 1);
  f = temp_file_open(name);
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(is_temp_name(name, TEMP_FILE_DIR)) << name;
  temp_file_close(f);
  EXPECT_FALSE(file_exists(name));
  unsetenv("TMPDIR");
  f = temp_file_open(nullptr);
  ASSERT_NE(f, nullptr);
  temp_file_close(f);

  long counter = 0xABCDEF;
  char *relative = temp_file_name(nullptr, &counter, "x");
  EXPECT_STREQ(relative, "00ABCDEF.x");
  EXPECT_EQ(counter, 0xABCDF0);
  tagmem_free(relative, nullptr, 0);

  // A name that does not fit the caller's buffer leaves nothing behind.
  char small[8];
  EXPECT_EQ(temp_file_open_in(path("in").c_str(), small, sizeof small), nullptr);
  std::filesystem::create_directories(path("in"));
  EXPECT_EQ(temp_file_open_in(path("in").c_str(), small, sizeof small), nullptr);
  EXPECT_TRUE(std::filesystem::is_empty(path("in")));

  // Only its owner may read what a temporary file holds, whatever the umask allows.
  f = temp_file_open_in(dir_.c_str(), name, sizeof name);
  ASSERT_NE(f, nullptr);
  struct stat status;
  ASSERT_EQ(stat(name, &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  temp_file_close(f);
}

int allowed_allocations;
void *limited_alloc(size_t size) {
  return allowed_allocations-- > 0 ? malloc(size) : nullptr;
}

TEST_F(TempFileTest, UnregisteredTemporaryFileIsDeleted) {
  std::filesystem::create_directories(path("in"));
  // The name is allocated; the registry node is not.
  long allocations = tagmem_alloc_count(), releases = tagmem_free_count();
  allowed_allocations = 1;
  tagmem_set_heap(limited_alloc, nullptr);
  FILE *f = temp_file_open_in(path("in").c_str(), nullptr, 0);
  tagmem_set_heap(nullptr, nullptr);
  EXPECT_EQ(f, nullptr);
  EXPECT_EQ(tagmem_alloc_count(), allocations + 1);
  EXPECT_EQ(tagmem_free_count(), releases + 1);
  EXPECT_TRUE(std::filesystem::is_empty(path("in")));
}

TEST_F(TempFileTest, CommitReplacesTargetAtomically) {
  write("conf.ini", "old\n");
  ASSERT_EQ(chmod(path("conf.ini").c_str(), 0640), 0);
  char name[FILE_NAME_MAX + 1];
  FILE *f = temp_file_open_in(dir_.c_str(), name, sizeof name);
  ASSERT_NE(f, nullptr);
  file_write_line(f, "new");
  EXPECT_EQ(temp_file_commit(f, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read(path("conf.ini")), "new\n");
  struct stat status;
  ASSERT_EQ(stat(path("conf.ini").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_FALSE(file_exists(name));

  // A rename that fails leaves the target as it was and no temporary file.
  std::filesystem::create_directories(path("dir/sub"));
  f = temp_file_open_in(dir_.c_str(), name, sizeof name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(temp_file_commit(f, path("dir").c_str()), -1);
  EXPECT_FALSE(file_exists(name));
  EXPECT_TRUE(file_is_directory(path("dir/sub").c_str()));

  // A rename refused for a target that is a mount point or on another mount tells the caller
  // to rewrite the target in place; without a target there is nothing to rewrite.
  temp_file_set_rename([](const char *, const char *) {
    errno = EXDEV;
    return -1;
  });
  f = temp_file_open_in(dir_.c_str(), name, sizeof name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(temp_file_commit(f, path("conf.ini").c_str()), TEMP_COMMIT_IN_PLACE);
  EXPECT_FALSE(file_exists(name));
  f = temp_file_open_in(dir_.c_str(), name, sizeof name);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(temp_file_commit(f, path("absent").c_str()), TEMP_COMMIT_FAILED);
  temp_file_set_rename(nullptr);
  EXPECT_FALSE(file_exists(name));
  EXPECT_EQ(read(path("conf.ini")), "new\n");

  FILE *plain = fopen(path("conf.ini").c_str(), "rb");
  EXPECT_EQ(temp_file_commit(plain, path("other").c_str()), -1);
  EXPECT_FALSE(file_exists(path("other").c_str()));
  EXPECT_EQ(entries().size(), 2u);
}

}  // namespace
