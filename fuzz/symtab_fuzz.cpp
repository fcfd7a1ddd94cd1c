// SPDX-License-Identifier: BSD-2-Clause
// Fuzzes symtab_expand_refs, wordlist_split and wordlist_split_quoted. The input is NUL-separated
// parts: the set of quote characters, the text, then "name=value" entries for the table the
// references are resolved from. Each result must equal a plain model of the call, stay within
// its bound (an expansion grows by at most the longest value per reference; a text makes at
// most one word per byte), and every tagged block must be released again.
#include <ctype.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "config/symtab.h"
#include "config/tagmem.h"
#include "config/wordlist.h"
#include "fuzz/check.h"

namespace {

using words = std::vector<std::string>;

std::string model_expand(const std::string &text, const std::map<std::string, std::string> &table,
                         size_t *references) {
  std::string out;
  size_t copy = 0;
  size_t at = 0;
  *references = 0;
  for (;;) {
    size_t dollar = text.find('$', at);
    if (dollar == std::string::npos || dollar + 1 >= text.size()) break;
    size_t close = text[dollar + 1] == '(' ? text.find(')', dollar + 2) : std::string::npos;
    if (close == std::string::npos) {
      // The character after a lone "$" never starts a reference.
      at = dollar + 2;
      continue;
    }
    ++*references;
    out.append(text, copy, dollar - copy);
    auto found = table.find(text.substr(dollar + 2, close - dollar - 2));
    if (found != table.end()) out += found->second;
    copy = at = close + 1;
  }
  out.append(text, copy, std::string::npos);
  return out;
}

bool is_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

words model_split(const std::string &text, const std::string &quotes) {
  words result;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    // White space separates words even when it is also listed as a quote.
    if (!is_space(c) && quotes.find(c) != std::string::npos) {
      size_t end = text.find(c, i + 1);
      size_t stop = end == std::string::npos ? text.size() : end;
      result.push_back(word + text.substr(i + 1, stop - i - 1));
      word.clear();
      in_word = false;
      i = end == std::string::npos ? text.size() : end + 1;
      while (i < text.size() && is_space(text[i])) ++i;
    } else if (is_space(c)) {
      if (in_word) result.push_back(word);
      word.clear();
      in_word = false;
      ++i;
    } else {
      word += c;
      in_word = true;
      ++i;
    }
  }
  if (in_word) result.push_back(word);
  return result;
}

// Checks one word list against the model and frees it.
void check_list(char **list, const std::string &text, const words &expected) {
  FUZZ_CHECK(list != nullptr);
  size_t count = 0;
  size_t text_size = 0;
  for (; list[count] != nullptr; ++count) {
    FUZZ_CHECK(count < expected.size());
    FUZZ_CHECK(expected[count] == list[count]);
    text_size += strlen(list[count]) + 1;
  }
  FUZZ_CHECK(count == expected.size());
  FUZZ_CHECK(count <= text.size());
  FUZZ_CHECK(wordlist_count(list) == count);
  FUZZ_CHECK(wordlist_text_size(list) == text_size);
  wordlist_free(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> parts;
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  while (p <= end) {
    const char *stop = static_cast<const char *>(memchr(p, '\0', size_t(end - p)));
    if (stop == nullptr) stop = end;
    parts.emplace_back(p, size_t(stop - p));
    p = stop + 1;
  }
  const std::string quotes = parts[0];
  const std::string text = parts.size() > 1 ? parts[1] : "";
  size_t in_use = tagmem_bytes_in_use();

  symbol_table *table = symtab_new(nullptr, 0);
  FUZZ_CHECK(table != nullptr);
  std::map<std::string, std::string> model;
  size_t longest = 0;
  for (size_t i = 2; i < parts.size(); ++i) {
    size_t equals = parts[i].find('=');
    std::string name = parts[i].substr(0, equals);
    std::string value = equals == std::string::npos ? "" : parts[i].substr(equals + 1);
    FUZZ_CHECK(symtab_put(table, name.c_str(), value.c_str(), nullptr, 0) != nullptr);
    model[name] = value;
    if (value.size() > longest) longest = value.size();
  }

  char *expanded = symtab_expand_refs(text.c_str(), table);
  FUZZ_CHECK(expanded != nullptr);
  size_t references = 0;
  std::string expected = model_expand(text, model, &references);
  FUZZ_CHECK(expected == expanded);
  FUZZ_CHECK(strlen(expanded) <= text.size() + references * longest);
  tagmem_free(expanded, nullptr, 0);
  symtab_free(table);

  check_list(wordlist_split(text.c_str()), text, model_split(text, ""));
  check_list(wordlist_split_quoted(text.c_str(), quotes.c_str()), text, model_split(text, quotes));
  FUZZ_CHECK(tagmem_bytes_in_use() == in_use);
  return 0;
}
