// SPDX-License-Identifier: BSD-2-Clause
#include "config/symtab.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "config/tagmem.h"
#include "fixtures.h"

namespace {

std::vector<std::string> words(char **list) {
  std::vector<std::string> result;
  for (char **w = list; w && *w; w++) result.emplace_back(*w);
  return result;
}

using Words = std::vector<std::string>;

class SymtabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = symtab_new("t.cpp", 1);
    ASSERT_NE(nullptr, table_);
  }
  void TearDown() override {
    tagmem_set_heap(nullptr, nullptr);
    flaky_skip = flaky_refuse = 0;
    symtab_free(table_);
    EXPECT_EQ(0u, tagmem_bytes_in_use());
  }
  symbol *Put(const char *name, const char *value) {
    return symtab_put(table_, name, value, nullptr, 0);
  }
  // The names in list order, checking the back links on the way.
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    symbol *prev = nullptr;
    for (symbol *s = table_->symbols; s; prev = s, s = s->next) {
      EXPECT_EQ(prev, s->prev);
      names.emplace_back(s->name);
    }
    EXPECT_EQ(static_cast<size_t>(table_->count), names.size());
    return names;
  }
  void FailHeap(int let_through, int refusals) {
    tagmem_set_heap(flaky_alloc, nullptr);
    flaky_skip = let_through;
    flaky_refuse = refusals;
  }

  symbol_table *table_ = nullptr;
};

TEST_F(SymtabTest, AnagramsShareAChainAndStayApart) {
  EXPECT_EQ(0, symtab_hash("@@@@"));  // 4 * 64 = 256
  EXPECT_EQ(('a' + 'b') % 256, symtab_hash("ab"));
  symbol *ab = symtab_add(table_, "ab", "1", nullptr, 0);
  symbol *ba = symtab_add(table_, "ba", "2", nullptr, 0);
  symbol *zero = symtab_add(table_, "@@@@", "3", nullptr, 0);
  ASSERT_TRUE(ab && ba && zero);
  EXPECT_EQ(ba, table_->buckets[ab->hash]);
  EXPECT_EQ(ab, ba->bucket_next);
  EXPECT_EQ(ba, ab->bucket_prev);
  EXPECT_EQ(zero, table_->buckets[0]);
  EXPECT_EQ(ab, symtab_find(table_, "ab"));
  EXPECT_EQ(ba, symtab_find(table_, "ba"));
  EXPECT_EQ(nullptr, symtab_find(table_, "AB"));
  EXPECT_EQ(nullptr, symtab_find(table_, "ab "));
  // Reverse order of creation until sorted.
  EXPECT_EQ((Words{"@@@@", "ba", "ab"}), Names());
  EXPECT_STREQ("ab", ab->name);
  EXPECT_EQ(reinterpret_cast<char *>(ab + 1), ab->name);
}

TEST_F(SymtabTest, PutCreatesOrReplaces) {
  symbol *first = Put("vrell:life", "10");
  ASSERT_NE(nullptr, first);
  char *value = first->value;
  long allocs = tagmem_alloc_count();
  EXPECT_EQ(first, Put("vrell:life", "10"));
  EXPECT_EQ(value, first->value);
  EXPECT_EQ(allocs, tagmem_alloc_count());
  EXPECT_EQ(first, Put("vrell:life", "20"));
  EXPECT_STREQ("20", first->value);
  EXPECT_EQ(1, table_->count);

  // A symbol without a value takes the new one.
  symbol *bare = symtab_add(table_, "bare", nullptr, nullptr, 0);
  EXPECT_EQ(nullptr, bare->value);
  EXPECT_EQ(bare, Put("bare", "now"));
  EXPECT_STREQ("now", bare->value);
  EXPECT_EQ(nullptr, symtab_set_value(bare, nullptr));
  EXPECT_EQ(nullptr, bare->value);
}

TEST_F(SymtabTest, ValueCopyFailureLeavesSymbolWithoutValue) {
  // Every request is tried twice, so two refusals make one allocation fail.
  FailHeap(1, 2);
  symbol *sym = symtab_add(table_, "key", "value", nullptr, 0);
  ASSERT_NE(nullptr, sym);
  EXPECT_EQ(nullptr, sym->value);
  EXPECT_EQ(sym, symtab_find(table_, "key"));
  EXPECT_EQ(nullptr, symtab_get_text(table_, "key", "default"));
  EXPECT_EQ(-1, symtab_get_int(table_, "key", -1));

  FailHeap(0, 4);
  EXPECT_EQ(nullptr, Put("other", "x"));
  EXPECT_EQ(1, table_->count);
  EXPECT_EQ(nullptr, symtab_new(nullptr, 0));
}

TEST_F(SymtabTest, GetTextTrimsTheAskedName) {
  Put("vrell:service threads", "10");
  EXPECT_STREQ("10", symtab_get_text(table_, " \tvrell:service threads \n", "d"));
  EXPECT_STREQ("10", symtab_get_text(table_, "vrell:service threads", "d"));
  EXPECT_STREQ("d", symtab_get_text(table_, "VRELL:service threads", "d"));
  EXPECT_STREQ("d", symtab_get_text(table_, "vrell:service  threads", "d"));
  EXPECT_EQ(nullptr, symtab_get_text(table_, "missing", nullptr));
  EXPECT_EQ(symtab_find(table_, "vrell:service threads")->value,
            symtab_get_text(table_, "vrell:service threads", nullptr));
  // Without memory for the trimmed copy the default is the answer.
  FailHeap(0, 2);
  EXPECT_STREQ("d", symtab_get_text(table_, "vrell:service threads", "d"));
}

TEST_F(SymtabTest, GetIntAndGetFlagConvert) {
  struct {
    const char *value;
    int32_t number;
  } numbers[] = {{"42", 42},
                 {" -7", -7},
                 {"12abc", 12},
                 {"", 0},
                 {"abc", 0},
                 {"+5", 5},
                 {"99999999999", INT32_MAX},
                 {"-99999999999", INT32_MIN}};
  for (const auto &c : numbers) {
    Put("n", c.value);
    EXPECT_EQ(c.number, symtab_get_int(table_, "n", -1)) << '"' << c.value << '"';
  }
  EXPECT_EQ(-1, symtab_get_int(table_, "missing", -1));

  struct {
    const char *value;
    bool flag;
  } flags[] = {{"yes", true}, {"True", true}, {"1", true},      {"Y", true}, {"no", false},
               {"F", false},  {"0", false},   {"maybe", false}, {"", false}};
  for (const auto &c : flags) {
    Put("f", c.value);
    EXPECT_EQ(c.flag, symtab_get_flag(table_, "f", !c.flag)) << '"' << c.value << '"';
  }
  EXPECT_TRUE(symtab_get_flag(table_, "missing", true));
  EXPECT_FALSE(symtab_get_flag(table_, "missing", false));
}

TEST_F(SymtabTest, SortPutsSectionsTogether) {
  for (const char *name : {"b", "ab:c", "a-b:c", "a:z", "a", "a:b"}) Put(name, "v");
  symtab_sort(table_, nullptr);
  EXPECT_EQ((Words{"a", "a:b", "a:z", "a-b:c", "ab:c", "b"}), Names());
  // The chains are left as they were.
  EXPECT_NE(nullptr, symtab_find(table_, "a-b:c"));

  symtab_sort(table_, [](const void *a, const void *b) { return -symtab_compare_names(a, b); });
  EXPECT_EQ((Words{"b", "ab:c", "a-b:c", "a:z", "a:b", "a"}), Names());

  // Without memory for the sort array the order stays.
  FailHeap(0, 2);
  symtab_sort(table_, nullptr);
  EXPECT_EQ((Words{"b", "ab:c", "a-b:c", "a:z", "a:b", "a"}), Names());
}

TEST_F(SymtabTest, ExpandRefsReplacesEachReferenceOnce) {
  Put("HOME", "/root");
  Put("LOOP", "$(HOME)");
  Put("a$(b", "A");
  struct {
    const char *text;
    const char *expanded;
  } cases[] = {
      {"$(HOME)/x", "/root/x"},
      {"$(NOPE)/x", "/x"},
      {"cost $5", "cost $5"},
      {"end$", "end$"},
      {"$(", "$("},
      {"$$(HOME)", "$$(HOME)"},
      {"$(LOOP)", "$(HOME)"},
      {"$(a$(b))", "A)"},
      {"", ""},
      {"$(HOME)$(HOME)", "/root/root"},
      {"a $( HOME) b", "a  b"},
      {"$()x", "x"},
      {"x$(HOME", "x$(HOME"},
  };
  for (const auto &c : cases) {
    char *result = symtab_expand_refs(c.text, table_);
    ASSERT_NE(nullptr, result) << c.text;
    EXPECT_STREQ(c.expanded, result) << c.text;
    tagmem_free(result, nullptr, 0);
  }
  FailHeap(0, 2);
  EXPECT_EQ(nullptr, symtab_expand_refs("$(HOME)", table_));
}

TEST_F(SymtabTest, RemoveWalkAndMerge) {
  symbol *older = symtab_add(table_, "dup", "1", nullptr, 0);
  symtab_add(table_, "pud", "x", nullptr, 0);
  symbol *newer = symtab_add(table_, "dup", "2", nullptr, 0);
  EXPECT_EQ(older, symtab_remove(table_, newer));
  EXPECT_EQ(nullptr, symtab_remove(table_, older));
  EXPECT_EQ((Words{"pud"}), Names());
  EXPECT_EQ(nullptr, symtab_find(table_, "dup"));

  symbol_table *other = symtab_new(nullptr, 0);
  symtab_put(other, "pud", "y", nullptr, 0);
  symtab_put(other, "new", "z", nullptr, 0);
  EXPECT_EQ(2, symtab_merge(table_, other));
  EXPECT_STREQ("y", symtab_get_text(table_, "pud", nullptr));
  EXPECT_STREQ("z", symtab_get_text(table_, "new", nullptr));
  symtab_free(other);

  auto count_until = [](symbol *sym, va_list args) {
    const char *stop = va_arg(args, const char *);
    int *seen = va_arg(args, int *);
    if (strcmp(sym->name, stop) == 0) return false;
    ++*seen;
    return true;
  };
  int seen = 0;
  EXPECT_EQ(2, symtab_walk(table_, count_until, "none", &seen));
  EXPECT_EQ(2, seen);
  EXPECT_EQ(-1, symtab_walk(table_, count_until, "pud", &seen));

  auto remove_each = [](symbol *sym, va_list args) {
    symtab_remove(va_arg(args, symbol_table *), sym);
    return true;
  };
  EXPECT_EQ(2, symtab_walk(table_, remove_each, table_));
  EXPECT_EQ(0, table_->count);
  EXPECT_EQ(nullptr, table_->symbols);

  Put("k", "v");
  symtab_clear(table_);
  EXPECT_EQ(0, table_->count);
  EXPECT_EQ(nullptr, symtab_find(table_, "k"));
  symtab_free(nullptr);
}

TEST_F(SymtabTest, StringAndBlockConversionsRoundTrip) {
  Put("b", "2=two");
  Put("a", "");
  symtab_add(table_, "n", nullptr, nullptr, 0);
  char **strings = symtab_to_strings(table_);
  ASSERT_NE(nullptr, strings);
  EXPECT_EQ((Words{"n=", "a=", "b=2=two"}), words(strings));

  char *block = symtab_to_block(table_);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(0, memcmp("n=\0a=\0b=2=two\0", block, 15));

  char plain[] = "plain";
  char *with_plain[] = {strings[2], plain, strings[1], nullptr};
  symbol_table *from_strings = symtab_from_strings(with_plain);
  ASSERT_NE(nullptr, from_strings);
  EXPECT_EQ(2, from_strings->count);
  EXPECT_STREQ("2=two", symtab_get_text(from_strings, "b", nullptr));
  EXPECT_STREQ("", symtab_get_text(from_strings, "a", nullptr));

  symbol_table *from_block = symtab_from_block(block);
  ASSERT_NE(nullptr, from_block);
  EXPECT_EQ(3, from_block->count);
  EXPECT_STREQ("", symtab_get_text(from_block, "n", nullptr));

  for (char **s = strings; *s; s++) tagmem_free(*s, nullptr, 0);
  tagmem_free(strings, nullptr, 0);
  tagmem_free(block, nullptr, 0);
  symtab_free(from_strings);
  symtab_free(from_block);

  symtab_clear(table_);
  block = symtab_to_block(table_);
  EXPECT_EQ('\0', block[0]);
  tagmem_free(block, nullptr, 0);

  Put("x", "1");
  FailHeap(1, 2);
  EXPECT_EQ(nullptr, symtab_to_strings(table_));
}

}  // namespace
