// SPDX-License-Identifier: BSD-2-Clause
#include "config/wordlist.h"

#include <ctype.h>
#include <string.h>

#include "config/tagmem.h"

namespace {

bool is_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// One pass of the split: counts the words and their bytes, and when words is not null also
// stores them in block and points words at them.
void split(const char *text, const char *quotes, size_t *count, size_t *size, char **words,
           char *block) {
  auto is_quote = [quotes](char c) { return c != '\0' && strchr(quotes, c) != nullptr; };
  size_t n = 0;
  size_t used = 0;
  auto emit = [&](char c) {
    if (block) block[used] = c;
    used++;
  };
  const char *p = text;
  for (;;) {
    while (is_space(*p)) p++;
    if (*p == '\0') break;
    if (words) words[n] = block + used;
    while (*p != '\0' && !is_space(*p)) {
      if (is_quote(*p)) {
        char quote = *p++;
        while (*p != '\0' && *p != quote) emit(*p++);
        if (*p == quote) p++;
        break;
      }
      emit(*p++);
    }
    emit('\0');
    n++;
  }
  *count = n;
  *size = used;
}

// The array has a hidden slot in front of the first word, which holds the text block.
char **words_alloc(size_t count) {
  if (count > (TAGMEM_SIZE_MAX / sizeof(char *)) - 2) return nullptr;
  auto *slots =
      static_cast<char **>(tagmem_alloc(nullptr, (count + 2) * sizeof(char *), nullptr, 0));
  return slots ? slots + 1 : nullptr;
}

}  // namespace

char **wordlist_split_quoted(const char *text, const char *quotes) {
  if (!text) text = "";
  if (!quotes) quotes = "";
  size_t count = 0;
  size_t size = 0;
  split(text, quotes, &count, &size, nullptr, nullptr);
  char **list = words_alloc(count);
  if (!list) return nullptr;
  char *block = nullptr;
  if (size > 0) {
    block = static_cast<char *>(tagmem_alloc(nullptr, size, nullptr, 0));
    if (!block) {
      tagmem_free(list - 1, nullptr, 0);
      return nullptr;
    }
  }
  list[-1] = block;
  split(text, quotes, &count, &size, list, block);
  list[count] = nullptr;
  return list;
}

char **wordlist_split(const char *text) {
  return wordlist_split_quoted(text, "");
}

void wordlist_free(char **list) {
  if (!list) return;
  tagmem_free(list[-1], nullptr, 0);
  tagmem_free(list - 1, nullptr, 0);
}

size_t wordlist_text_size(char **list) {
  size_t size = 0;
  for (char **w = list; w && *w; w++) size += strlen(*w) + 1;
  return size;
}

size_t wordlist_count(char **list) {
  size_t count = 0;
  for (char **w = list; w && *w; w++) count++;
  return count;
}

char **wordlist_prepend(char **list, const char *word) {
  if (!word) return nullptr;
  size_t count = wordlist_count(list) + 1;
  size_t size = wordlist_text_size(list) + strlen(word) + 1;
  char **result = words_alloc(count);
  if (!result) return nullptr;
  auto *block = static_cast<char *>(tagmem_alloc(nullptr, size, nullptr, 0));
  if (!block) {
    tagmem_free(result - 1, nullptr, 0);
    return nullptr;
  }
  result[-1] = block;
  char *end = block;
  auto store = [&](size_t index, const char *text) {
    size_t length = strlen(text) + 1;
    memcpy(end, text, length);
    result[index] = end;
    end += length;
  };
  store(0, word);
  for (size_t i = 1; i < count; i++) store(i, list[i - 1]);
  result[count] = nullptr;
  wordlist_free(list);
  return result;
}
