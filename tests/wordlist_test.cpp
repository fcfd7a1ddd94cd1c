// SPDX-License-Identifier: BSD-2-Clause
#include "config/wordlist.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "config/tagmem.h"
#include "fixtures.h"

namespace {

using Words = std::vector<std::string>;

Words words(char **list) {
  Words result;
  for (char **w = list; w && *w; w++) result.emplace_back(*w);
  return result;
}

class WordlistTest : public ::testing::Test {
 protected:
  void TearDown() override {
    tagmem_set_heap(nullptr, nullptr);
    flaky_skip = flaky_refuse = 0;
    EXPECT_EQ(0u, tagmem_bytes_in_use());
  }
  void FailHeap(int let_through, int refusals) {
    tagmem_set_heap(flaky_alloc, nullptr);
    flaky_skip = let_through;
    flaky_refuse = refusals;
  }
};

TEST_F(WordlistTest, WordListsSplit) {
  struct {
    const char *text;
    const char *quotes;  // null: plain split
    Words expected;
  } cases[] = {
      {"  alpha beta\tgamma  ", nullptr, {"alpha", "beta", "gamma"}},
      {"one t\xe9t\xe9", nullptr, {"one", "t\xe9t\xe9"}},
      {"", nullptr, {}},
      {" \t\n", nullptr, {}},
      {nullptr, nullptr, {}},
      {"a ~b c~ d", "~", {"a", "b c", "d"}},
      {"x~~", "~", {"x"}},
      {"~~", "~", {""}},
      {"a~b~c", "~", {"ab", "c"}},
      {"'it ~s' \"two words\" ~open end", "'\"~", {"it ~s", "two words", "open end"}},
      {"a ~b c~ d", "", {"a", "~b", "c~", "d"}},
  };
  for (const auto &c : cases) {
    char **list = c.quotes ? wordlist_split_quoted(c.text, c.quotes) : wordlist_split(c.text);
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(c.expected, words(list)) << (c.text ? c.text : "(null)");
    size_t size = 0;
    for (const auto &w : c.expected) size += w.size() + 1;
    EXPECT_EQ(size, wordlist_text_size(list));
    EXPECT_EQ(c.expected.size(), wordlist_count(list));
    // The words live back to back in the block of the hidden slot.
    if (!c.expected.empty()) {
      EXPECT_EQ(list[-1], list[0]);
    }
    wordlist_free(list);
  }
  wordlist_free(nullptr);
  EXPECT_EQ(0u, wordlist_count(nullptr));
}

TEST_F(WordlistTest, WordListPrepend) {
  char **list = wordlist_split("beta gamma");
  char **longer = wordlist_prepend(list, "alpha");
  ASSERT_NE(nullptr, longer);
  EXPECT_EQ((Words{"alpha", "beta", "gamma"}), words(longer));
  EXPECT_EQ(longer[-1], longer[0]);

  FailHeap(1, 2);
  EXPECT_EQ(nullptr, wordlist_prepend(longer, "zero"));
  EXPECT_EQ((Words{"alpha", "beta", "gamma"}), words(longer));
  wordlist_free(longer);

  tagmem_set_heap(nullptr, nullptr);
  char **single = wordlist_prepend(nullptr, "only");
  EXPECT_EQ((Words{"only"}), words(single));
  wordlist_free(single);

  FailHeap(0, 2);
  EXPECT_EQ(nullptr, wordlist_split("a b"));
}

}  // namespace
