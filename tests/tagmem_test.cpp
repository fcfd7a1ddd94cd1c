// SPDX-License-Identifier: BSD-2-Clause
#include "config/tagmem.h"
#include "fixtures.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string report_text() {
  char *text = nullptr;
  size_t size = 0;
  FILE *stream = open_memstream(&text, &size);
  tagmem_report(stream);
  fclose(stream);
  std::string result(text, size);
  free(text);
  return result;
}

std::string format(const char *pattern, const void *a = nullptr, const void *b = nullptr) {
  char buffer[512];
  snprintf(buffer, sizeof buffer, pattern, a, b);
  return buffer;
}

std::string read_file(const std::filesystem::path &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Replaces every printed pointer with "P", for listings made in a child process.
std::string mask_pointers(const std::string &text) {
  std::string masked;
  for (size_t i = 0; i < text.size(); i++) {
    if (text.compare(i, 2, "0x") == 0) {
      masked += 'P';
      for (i += 2; i < text.size() && isxdigit(static_cast<unsigned char>(text[i])); i++) {
      }
      i--;
    } else {
      masked += text[i];
    }
  }
  return masked;
}

const tagmem_block *header(const void *block) {
  return static_cast<const tagmem_block *>(block) - 1;
}

class TagmemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(0u, tagmem_bytes_in_use());
    allocs_ = tagmem_alloc_count();
    frees_ = tagmem_free_count();
    // A death test's child runs the test again in a new process and must find the same
    // directory, so the parent hands it down in the environment.
    if (const char *inherited = getenv(kDirVariable)) {
      dir_ = inherited;
    } else {
      char pattern[] = "/tmp/tagmem_test.XXXXXX";
      ASSERT_NE(nullptr, mkdtemp(pattern));
      dir_ = pattern;
      owner_ = true;
      setenv(kDirVariable, pattern, 1);
    }
  }
  void TearDown() override {
    tagmem_set_heap(nullptr, nullptr);
    flaky_skip = flaky_refuse = 0;
    if (owner_) {
      std::filesystem::remove_all(dir_);
      unsetenv(kDirVariable);
    }
    EXPECT_EQ(0u, tagmem_bytes_in_use());
  }
  long allocs() const { return tagmem_alloc_count() - allocs_; }
  long frees() const { return tagmem_free_count() - frees_; }

  long allocs_ = 0;
  long frees_ = 0;
  std::filesystem::path dir_;
  bool owner_ = false;
  static constexpr char kDirVariable[] = "VRELL_TAGMEM_TEST_DIR";
};

TEST_F(TagmemTest, CountersFollowAllocateReleaseAndResize) {
  tagmem_free(nullptr, nullptr, 0);
  EXPECT_EQ(0, allocs());
  EXPECT_EQ(0, frees());

  void *a = tagmem_alloc(nullptr, 10, "a.cpp", 1);
  void *b = tagmem_alloc(nullptr, 20, "b.cpp", 2);
  ASSERT_TRUE(a && b);
  tagmem_free(a, nullptr, 0);
  EXPECT_EQ(20u, tagmem_bytes_in_use());
  EXPECT_EQ(2, allocs());
  EXPECT_EQ(1, frees());

  memcpy(b, "0123456789", 11);
  b = tagmem_resize(b, 50, "r.cpp", 3);
  ASSERT_NE(nullptr, b);
  EXPECT_STREQ("0123456789", static_cast<char *>(b));
  EXPECT_EQ(50u, tagmem_size(b, nullptr, 0));
  EXPECT_STREQ("r.cpp", header(b)->file);
  EXPECT_EQ(50u, tagmem_bytes_in_use());
  EXPECT_EQ(3, allocs());
  EXPECT_EQ(2, frees());

  tagmem_free_and_clear(&b, nullptr, 0);
  EXPECT_EQ(nullptr, b);
  EXPECT_EQ(3, frees());
  EXPECT_EQ(0u, tagmem_size(nullptr, nullptr, 0));
}

TEST_F(TagmemTest, ResizeKeepsThePlaceInTheList) {
  char *a = tagmem_strdup(nullptr, "a", "a.cpp", 1);
  char *b = tagmem_strdup(nullptr, "b", "b.cpp", 2);
  char *c = tagmem_strdup(nullptr, "c", "c.cpp", 3);
  // Large enough that the heap moves the block.
  b = static_cast<char *>(tagmem_resize(b, 100000, "b.cpp", 4));
  ASSERT_NE(nullptr, b);
  std::string text = report_text();
  EXPECT_LT(text.find("a.cpp (1)"), text.find("b.cpp (4)"));
  EXPECT_LT(text.find("b.cpp (4)"), text.find("c.cpp (3)"));
  for (char *block : {a, b, c}) tagmem_free(block, nullptr, 0);
}

TEST_F(TagmemTest, StrdupAndConcat) {
  EXPECT_EQ(nullptr, tagmem_strdup(nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(0, allocs());
  char *empty = tagmem_strdup(nullptr, "", nullptr, 0);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(1u, tagmem_size(empty, nullptr, 0));
  tagmem_free(empty, nullptr, 0);

  char room[16];
  EXPECT_EQ(room, tagmem_concat(room, "x", "", "yz", nullptr));
  EXPECT_STREQ("xyz", room);

  xstrcpy_file = "c.cpp";
  xstrcpy_line = 12;
  char *joined = tagmem_concat(nullptr, "ab", "cd", nullptr);
  ASSERT_NE(nullptr, joined);
  EXPECT_STREQ("abcd", joined);
  EXPECT_EQ(5u, tagmem_size(joined, nullptr, 0));
  EXPECT_STREQ("c.cpp", header(joined)->file);
  EXPECT_EQ(12, header(joined)->line);
  EXPECT_STREQ("", xstrcpy_file);
  EXPECT_EQ(0, xstrcpy_line);
  tagmem_free(joined, nullptr, 0);

  // The position is reset also when the allocation fails.
  tagmem_set_heap(flaky_alloc, flaky_resize);
  flaky_refuse = 2;
  xstrcpy_file = "d.cpp";
  xstrcpy_line = 7;
  EXPECT_EQ(nullptr, tagmem_concat(nullptr, "ab", nullptr));
  EXPECT_STREQ("", xstrcpy_file);
  EXPECT_EQ(0, xstrcpy_line);

  char *copy = plain_strdup("plain");
  EXPECT_STREQ("plain", copy);
  plain_free_and_clear(&copy);
  EXPECT_EQ(nullptr, copy);
  EXPECT_EQ(nullptr, plain_strdup(nullptr));
}

TEST_F(TagmemTest, RollbackReleasesAndCommitKeeps) {
  tagmem_txn *dropped = tagmem_txn_begin("drop.cpp", 1);
  ASSERT_NE(nullptr, dropped);
  ASSERT_NE(nullptr, tagmem_alloc(dropped, 5, nullptr, 0));
  ASSERT_NE(nullptr, tagmem_alloc(dropped, 7, nullptr, 0));
  EXPECT_EQ(12u, tagmem_bytes_in_use());
  tagmem_txn_rollback(dropped);
  EXPECT_EQ(0u, tagmem_bytes_in_use());
  EXPECT_EQ(2, allocs());
  EXPECT_EQ(2, frees());

  void *first = tagmem_alloc(nullptr, 1, "main.cpp", 1);
  tagmem_txn *kept = tagmem_txn_begin("keep.cpp", 2);
  void *second = tagmem_alloc(kept, 2, "in.cpp", 3);
  void *third = tagmem_alloc(kept, 3, "in.cpp", 4);
  EXPECT_EQ(format("Index   Size  File(Line) - total size 6\n"
                   "0          1  main.cpp (1) [%p]\n",
                   first) +
                "* Transaction keep.cpp (2)\n" +
                format("0          2  in.cpp (3) [%p]\n"
                       "1          3  in.cpp (4) [%p]\n",
                       second, third),
            report_text());
  tagmem_txn_commit(kept);
  EXPECT_EQ(6u, tagmem_bytes_in_use());
  EXPECT_EQ(format("Index   Size  File(Line) - total size 6\n"
                   "0          1  main.cpp (1) [%p]\n",
                   first) +
                format("1          2  in.cpp (3) [%p]\n"
                       "2          3  in.cpp (4) [%p]\n",
                       second, third),
            report_text());
  for (void *block : {first, second, third}) tagmem_free(block, nullptr, 0);
  tagmem_assert_clean(nullptr, 0);
}

TEST_F(TagmemTest, BlocksKeepMaxAlignment) {
  tagmem_txn *txn = tagmem_txn_begin(nullptr, 0);
  for (size_t size = 0; size < 40; size++) {
    void *block = tagmem_alloc(size % 2 ? txn : nullptr, size, nullptr, 0);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % alignof(max_align_t)) << size;
    block = tagmem_resize(block, size * 3 + 1, nullptr, 0);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block) % alignof(max_align_t)) << size;
  }
  tagmem_txn_rollback(txn);
  tagmem_free_all();
}

TEST_F(TagmemTest, DescriptorHoldsItsBytes) {
  tagmem_desc *desc = tagmem_descriptor(nullptr, "abc", 4, "d.cpp", 1);
  ASSERT_NE(nullptr, desc);
  EXPECT_EQ(4, desc->size);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(desc + 1), desc->data);
  EXPECT_STREQ("abc", reinterpret_cast<char *>(desc->data));
  EXPECT_EQ(sizeof(tagmem_desc) + 4, tagmem_size(desc, nullptr, 0));
  tagmem_free(desc, nullptr, 0);
}

int handler_calls = 0;
void count_call(void *arg) {
  handler_calls++;
  *static_cast<int *>(arg) += 1;
}

TEST_F(TagmemTest, LowMemoryHandlersRunBeforeTheOneRetry) {
  int seen = 0;
  handler_calls = 0;
  ASSERT_EQ(0, tagmem_on_low_memory(count_call, &seen));
  ASSERT_EQ(0, tagmem_on_low_memory(count_call, &seen));
  tagmem_set_heap(flaky_alloc, flaky_resize);

  flaky_refuse = 1;
  void *block = tagmem_alloc(nullptr, 8, nullptr, 0);
  EXPECT_NE(nullptr, block);
  EXPECT_EQ(2, seen);

  long before = tagmem_alloc_count();
  size_t bytes = tagmem_bytes_in_use();
  flaky_refuse = 2;
  EXPECT_EQ(nullptr, tagmem_alloc(nullptr, 8, nullptr, 0));
  EXPECT_EQ(4, seen);
  EXPECT_EQ(before, tagmem_alloc_count());
  EXPECT_EQ(bytes, tagmem_bytes_in_use());

  flaky_refuse = 2;
  EXPECT_EQ(nullptr, tagmem_resize(block, 64, nullptr, 0));
  EXPECT_EQ(6, seen);
  EXPECT_EQ(8u, tagmem_size(block, nullptr, 0));
  EXPECT_EQ(before, tagmem_alloc_count());

  flaky_refuse = 1;
  EXPECT_EQ(nullptr, tagmem_txn_begin(nullptr, 0));
  EXPECT_EQ(nullptr, tagmem_alloc(nullptr, TAGMEM_SIZE_MAX + 1, nullptr, 0));

  // Releasing everything takes the handler records with it.
  tagmem_free_all();
  flaky_refuse = 2;
  EXPECT_EQ(nullptr, tagmem_alloc(nullptr, 8, nullptr, 0));
  EXPECT_EQ(6, seen);
}

TEST_F(TagmemTest, FreeAllReleasesMainListAndTransactions) {
  tagmem_alloc(nullptr, 3, nullptr, 0);
  tagmem_txn *txn = tagmem_txn_begin("t.cpp", 1);
  tagmem_alloc(txn, 4, nullptr, 0);
  tagmem_alloc(txn, 0, nullptr, 0);
  tagmem_free_all();
  EXPECT_EQ(3, frees());
  EXPECT_EQ("Index   Size  File(Line) - total size 0\n", report_text());
  tagmem_check_all(nullptr, 0);
}

TEST_F(TagmemTest, TagErrorAbortsWithItsLine) {
  std::filesystem::path dir = dir_;
  auto release_damaged = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    ASSERT_NE(nullptr, freopen("stdout.txt", "w", stdout));
    void *block = tagmem_alloc(nullptr, 16, nullptr, 0);
    tagmem_block *h = static_cast<tagmem_block *>(block) - 1;
    FILE *where = fopen("header.txt", "w");
    fprintf(where, "%p", static_cast<void *>(h));
    fclose(where);
    h->tag = 0;
    tagmem_free(block, "user.cpp", 42);
  };
  EXPECT_DEATH(release_damaged(), "");
  std::string where = read_file(dir_ / "header.txt");
  ASSERT_FALSE(where.empty());
  EXPECT_EQ("Memory tag error - " + where + " - user.cpp (42)\n", read_file(dir_ / "stdout.txt"));
}

// AddressSanitizer reports the read of the freed header itself and ends the process first.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

TEST_F(TagmemTest, BlockReleasedTwiceIsATagError) {
  std::filesystem::path dir = dir_;
  auto release_twice = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    ASSERT_NE(nullptr, freopen("stdout.txt", "w", stdout));
    void *block = tagmem_alloc(nullptr, 16, nullptr, 0);
    FILE *where = fopen("header.txt", "w");
    fprintf(where, "%p", static_cast<void *>(static_cast<tagmem_block *>(block) - 1));
    fclose(where);
    tagmem_free(block, "first.cpp", 1);
    tagmem_free(block, "second.cpp", 2);
  };
  EXPECT_DEATH(release_twice(), "");
  if (kAddressSanitizer) return;
  std::string where = read_file(dir_ / "header.txt");
  ASSERT_FALSE(where.empty());
  EXPECT_EQ("Memory tag error - " + where + " - second.cpp (2)\n", read_file(dir_ / "stdout.txt"));
}

TEST_F(TagmemTest, ForeignPointerIsATagError) {
  std::filesystem::path dir = dir_;
  auto check_foreign = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    ASSERT_NE(nullptr, freopen("stdout.txt", "w", stdout));
    struct {
      tagmem_block header;
      char bytes[8];
    } fake = {};
    fake.header.tag = TAG_RELEASED;
    tagmem_check(fake.bytes, nullptr, 5);
  };
  EXPECT_DEATH(check_foreign(), "");
  std::string text = read_file(dir_ / "stdout.txt");
  EXPECT_EQ(0u, text.find("Memory tag error - 0x"));
  EXPECT_NE(std::string::npos, text.find(" - <Unknown> (5)\n"));
}

TEST_F(TagmemTest, CheckAllListsAndReportsTheBadBlock) {
  std::filesystem::path dir = dir_;
  auto check = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    ASSERT_NE(nullptr, freopen("stdout.txt", "w", stdout));
    tagmem_alloc(nullptr, 4, "good.cpp", 1);
    tagmem_txn *txn = tagmem_txn_begin("t.cpp", 2);
    char *bad = static_cast<char *>(tagmem_alloc(txn, 6, "bad.cpp", 3));
    (reinterpret_cast<tagmem_block *>(bad) - 1)->tag = TAG_RELEASED;
    tagmem_check_all("chk.cpp", 8);
  };
  EXPECT_DEATH(check(),
               "Index   Size  File\\(Line\\) - total size 10\n"
               "0          4  good.cpp \\(1\\) \\[0x[0-9a-f]+\\]\n"
               "\\* Transaction t.cpp \\(2\\)\n"
               "0          6  bad.cpp \\(3\\) INVALID \\[0x[0-9a-f]+\\]\n");
  std::string text = read_file(dir_ / "stdout.txt");
  EXPECT_EQ(0u, text.find("Memory tag error - 0x"));
  EXPECT_NE(std::string::npos, text.find(" - chk.cpp (8)\n"));
}

TEST_F(TagmemTest, AssertCleanWritesMemtrace) {
  tagmem_assert_clean("clean.cpp", 1);
  void *empty = tagmem_alloc(nullptr, 0, nullptr, 0);
  tagmem_assert_clean("clean.cpp", 2);
  tagmem_free(empty, nullptr, 0);

  std::filesystem::path dir = dir_;
  auto held = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    tagmem_alloc(nullptr, 12, "held.cpp", 5);
    tagmem_txn *txn = tagmem_txn_begin(nullptr, 6);
    tagmem_alloc(txn, 0, nullptr, 7);
    tagmem_assert_clean("end.cpp", 9);
  };
  EXPECT_DEATH(held(),
               "Clean-memory assertion failed - end.cpp \\(9\\)\n"
               "Details are in memtrace.lst\n");
  std::string trace = read_file(dir_ / "memtrace.lst");
  EXPECT_EQ(
      "Index   Size  File(Line) - total size 12\n"
      "0         12  held.cpp (5) [P]\n"
      "* Transaction <Unknown> (6)\n"
      "0          0  <Unknown> (7) [P]\n",
      mask_pointers(trace));
}

TEST_F(TagmemTest, OpenTransactionFailsAssertClean) {
  std::filesystem::path dir = dir_;
  auto open = [&dir] {
    ASSERT_EQ(0, chdir(dir.c_str()));
    tagmem_txn_begin("open.cpp", 1);
    tagmem_assert_clean(nullptr, 3);
  };
  EXPECT_DEATH(open(), "Clean-memory assertion failed - <Unknown> \\(3\\)\n");
  EXPECT_EQ("Index   Size  File(Line) - total size 0\n* Transaction open.cpp (1)\n",
            read_file(dir_ / "memtrace.lst"));
}

}  // namespace
