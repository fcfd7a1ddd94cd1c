// SPDX-License-Identifier: BSD-2-Clause
#include "config/symtab.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "config/tagmem.h"

namespace {

bool is_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

uint8_t hash_of(std::string_view name) {
  unsigned sum = 0;
  for (char c : name) sum += static_cast<unsigned char>(c);
  return static_cast<uint8_t>(sum);
}

// Looks up a name that need not be terminated, so that references can be found in place.
symbol *find(symbol_table *table, std::string_view name) {
  for (symbol *s = table->buckets[hash_of(name)]; s; s = s->bucket_next) {
    if (name == s->name) return s;
  }
  return nullptr;
}

void free_symbol(symbol *sym) {
  tagmem_free(sym->value, nullptr, 0);
  tagmem_free(sym, nullptr, 0);
}

}  // namespace

symbol_table *symtab_new(const char *file, int line) {
  auto *table =
      static_cast<symbol_table *>(tagmem_alloc(nullptr, sizeof(symbol_table), file, line));
  if (table) *table = {};
  return table;
}

void symtab_free(symbol_table *table) {
  if (!table) return;
  symtab_clear(table);
  tagmem_free(table, nullptr, 0);
}

void symtab_clear(symbol_table *table) {
  if (!table) return;
  for (symbol *s = table->symbols, *next; s; s = next) {
    next = s->next;
    free_symbol(s);
  }
  *table = {};
}

uint8_t symtab_hash(const char *name) {
  return name ? hash_of(name) : 0;
}

symbol *symtab_find(symbol_table *table, const char *name) {
  if (!table || !name) return nullptr;
  return find(table, name);
}

symbol *symtab_add(symbol_table *table, const char *name, const char *value, const char *file,
                   int line) {
  if (!table || !name) return nullptr;
  size_t length = strlen(name);
  if (length > TAGMEM_SIZE_MAX - sizeof(symbol) - 1) return nullptr;
  auto *sym = static_cast<symbol *>(tagmem_alloc(nullptr, sizeof(symbol) + length + 1, file, line));
  if (!sym) return nullptr;
  sym->name = reinterpret_cast<char *>(sym + 1);
  memcpy(sym->name, name, length + 1);
  sym->value = tagmem_strdup(nullptr, value, file, line);
  sym->data = nullptr;
  sym->hash = hash_of(name);

  sym->prev = nullptr;
  sym->next = table->symbols;
  if (sym->next) sym->next->prev = sym;
  table->symbols = sym;

  sym->bucket_prev = nullptr;
  sym->bucket_next = table->buckets[sym->hash];
  if (sym->bucket_next) sym->bucket_next->bucket_prev = sym;
  table->buckets[sym->hash] = sym;

  table->count++;
  return sym;
}

char *symtab_set_value(symbol *sym, const char *value) {
  if (!sym) return nullptr;
  tagmem_free_and_clear(&sym->value, nullptr, 0);
  sym->value = tagmem_strdup(nullptr, value, nullptr, 0);
  return sym->value;
}

symbol *symtab_put(symbol_table *table, const char *name, const char *value, const char *file,
                   int line) {
  symbol *sym = symtab_find(table, name);
  if (!sym) return symtab_add(table, name, value, file, line);
  // A symbol without a value gets the new one; an equal value stays where it is.
  bool equal = sym->value && value ? strcmp(sym->value, value) == 0 : sym->value == value;
  if (!equal) symtab_set_value(sym, value);
  return sym;
}

const char *symtab_get_text(symbol_table *table, const char *name, const char *default_text) {
  if (!table || !name) return default_text;
  const char *start = name;
  while (is_space(*start)) start++;
  char *stripped = tagmem_strdup(nullptr, start, nullptr, 0);
  if (!stripped) return default_text;
  size_t length = strlen(stripped);
  while (length > 0 && is_space(stripped[length - 1])) length--;
  stripped[length] = '\0';
  symbol *sym = find(table, stripped);
  tagmem_free(stripped, nullptr, 0);
  return sym ? sym->value : default_text;
}

int32_t symtab_get_int(symbol_table *table, const char *name, int32_t default_value) {
  const char *text = symtab_get_text(table, name, nullptr);
  if (!text) return default_value;
  long number = strtol(text, nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

bool symtab_get_flag(symbol_table *table, const char *name, bool default_value) {
  const char *text = symtab_get_text(table, name, nullptr);
  if (!text) return default_value;
  switch (tolower(static_cast<unsigned char>(*text))) {
    case 'y':
    case 't':
    case '1':
      return true;
    default:
      return false;
  }
}

void symtab_sort(symbol_table *table, int (*compare)(const void *a, const void *b)) {
  if (!table || table->count <= 0 || !table->symbols) return;
  size_t count = static_cast<size_t>(table->count);
  auto *order = static_cast<symbol **>(tagmem_alloc(nullptr, count * sizeof(symbol *), nullptr, 0));
  if (!order) return;
  size_t filled = 0;
  for (symbol *s = table->symbols; s && filled < count; s = s->next) order[filled++] = s;
  qsort(order, filled, sizeof(symbol *), compare ? compare : symtab_compare_names);
  table->symbols = order[0];
  for (size_t i = 0; i < filled; i++) {
    order[i]->prev = i > 0 ? order[i - 1] : nullptr;
    order[i]->next = i + 1 < filled ? order[i + 1] : nullptr;
  }
  tagmem_free(order, nullptr, 0);
}

int symtab_compare_names(const void *a, const void *b) {
  const auto *left =
      reinterpret_cast<const unsigned char *>((*static_cast<symbol *const *>(a))->name);
  const auto *right =
      reinterpret_cast<const unsigned char *>((*static_cast<symbol *const *>(b))->name);
  // ':' ranks as 0x01, so that a section's keys stay together ahead of longer section names.
  auto rank = [](unsigned char c) { return c == ':' ? 1 : static_cast<int>(c); };
  for (;; left++, right++) {
    int difference = rank(*left) - rank(*right);
    if (difference != 0 || *left == '\0') return difference;
  }
}

namespace {

// One pass of the expansion: returns the length of the result and writes it to out unless out is
// null. Run twice, so that the result is one allocation of the right size. When unset is not
// null it receives the name of the first reference that expands to nothing.
size_t expand(const char *text, symbol_table *table, char *out, std::string_view *unset = nullptr) {
  size_t length = 0;
  auto append = [&](const char *from, size_t count) {
    if (out) memcpy(out + length, from, count);
    length += count;
  };
  const char *copy = text;
  const char *scan = text;
  while (const char *dollar = strchr(scan, '$')) {
    if (dollar[1] == '(') {
      if (const char *close = strchr(dollar + 2, ')')) {
        append(copy, static_cast<size_t>(dollar - copy));
        copy = scan = close + 1;
        std::string_view name(dollar + 2, static_cast<size_t>(close - dollar - 2));
        symbol *sym = table ? find(table, name) : nullptr;
        if (sym && sym->value) {
          append(sym->value, strlen(sym->value));
        } else if (unset != nullptr && unset->data() == nullptr) {
          *unset = name;
        }
        continue;
      }
    }
    if (dollar[1] == '\0') break;
    // The character after a lone '$' is never the start of a reference.
    scan = dollar + 2;
  }
  append(copy, strlen(copy));
  if (out) out[length] = '\0';
  return length;
}

}  // namespace

char *symtab_expand_refs(const char *text, symbol_table *table) {
  if (!text) text = "";
  size_t length = expand(text, table, nullptr);
  auto *result = static_cast<char *>(tagmem_alloc(nullptr, length + 1, nullptr, 0));
  if (result) expand(text, table, result);
  return result;
}

bool symtab_unset_ref(const char *text, symbol_table *table, char *name, size_t size) {
  std::string_view unset;
  expand(text != nullptr ? text : "", table, nullptr, &unset);
  if (unset.data() == nullptr) return false;
  if (name != nullptr && size > 0) {
    size_t length = unset.size() < size - 1 ? unset.size() : size - 1;
    memcpy(name, unset.data(), length);
    name[length] = '\0';
  }
  return true;
}

symbol *symtab_remove(symbol_table *table, symbol *sym) {
  if (!table || !sym) return nullptr;
  symbol *same = sym->bucket_next;
  while (same && strcmp(same->name, sym->name) != 0) same = same->bucket_next;

  if (sym->prev) {
    sym->prev->next = sym->next;
  } else {
    table->symbols = sym->next;
  }
  if (sym->next) sym->next->prev = sym->prev;
  if (sym->bucket_prev) {
    sym->bucket_prev->bucket_next = sym->bucket_next;
  } else {
    table->buckets[sym->hash] = sym->bucket_next;
  }
  if (sym->bucket_next) sym->bucket_next->bucket_prev = sym->bucket_prev;
  table->count--;
  free_symbol(sym);
  return same;
}

int32_t symtab_walk(symbol_table *table, symtab_walker walker, ...) {
  if (!table || !walker) return 0;
  int32_t done = 0;
  va_list args;
  va_start(args, walker);
  for (symbol *s = table->symbols, *next; s; s = next) {
    next = s->next;
    va_list copy;
    va_copy(copy, args);
    bool go_on = walker(s, copy);
    va_end(copy);
    if (!go_on) {
      done = -done;
      break;
    }
    done++;
  }
  va_end(args);
  return done;
}

int32_t symtab_merge(symbol_table *table, symbol_table *source) {
  if (!table || !source) return 0;
  int32_t copied = 0;
  for (symbol *s = source->symbols; s; s = s->next) {
    if (!symtab_put(table, s->name, s->value, nullptr, 0)) return -copied;
    copied++;
  }
  return copied;
}

namespace {

const char *value_or_empty(const symbol *sym) {
  return sym->value ? sym->value : "";
}

// Splits "name=value" at its first '=' and puts it; text without '=' is skipped. Returns false
// when memory is exhausted.
bool put_assignment(symbol_table *table, const char *text) {
  const char *equals = strchr(text, '=');
  if (!equals) return true;
  char *name = tagmem_strdup(nullptr, text, nullptr, 0);
  if (!name) return false;
  name[equals - text] = '\0';
  symbol *sym = symtab_put(table, name, equals + 1, nullptr, 0);
  tagmem_free(name, nullptr, 0);
  return sym != nullptr;
}

}  // namespace

char **symtab_to_strings(symbol_table *table) {
  if (!table) return nullptr;
  size_t count = table->count > 0 ? static_cast<size_t>(table->count) : 0;
  auto *strings =
      static_cast<char **>(tagmem_alloc(nullptr, (count + 1) * sizeof(char *), nullptr, 0));
  if (!strings) return nullptr;
  size_t filled = 0;
  for (symbol *s = table->symbols; s && filled < count; s = s->next) {
    char *text = tagmem_concat(nullptr, s->name, "=", value_or_empty(s), nullptr);
    if (!text) {
      for (size_t i = 0; i < filled; i++) tagmem_free(strings[i], nullptr, 0);
      tagmem_free(strings, nullptr, 0);
      return nullptr;
    }
    strings[filled++] = text;
  }
  strings[filled] = nullptr;
  return strings;
}

symbol_table *symtab_from_strings(char **strings) {
  symbol_table *table = symtab_new(nullptr, 0);
  for (char **s = strings; table && s && *s; s++) {
    if (!put_assignment(table, *s)) {
      symtab_free(table);
      table = nullptr;
    }
  }
  return table;
}

char *symtab_to_block(symbol_table *table) {
  if (!table) return nullptr;
  size_t total = 1;
  for (symbol *s = table->symbols; s; s = s->next) {
    total += strlen(s->name) + 1 + strlen(value_or_empty(s)) + 1;
  }
  auto *block = static_cast<char *>(tagmem_alloc(nullptr, total, nullptr, 0));
  if (!block) return nullptr;
  char *end = block;
  for (symbol *s = table->symbols; s; s = s->next) {
    tagmem_concat(end, s->name, "=", value_or_empty(s), nullptr);
    end += strlen(end) + 1;
  }
  *end = '\0';
  return block;
}

symbol_table *symtab_from_block(const char *block) {
  symbol_table *table = symtab_new(nullptr, 0);
  for (const char *s = block; table && s && *s; s += strlen(s) + 1) {
    if (!put_assignment(table, s)) {
      symtab_free(table);
      table = nullptr;
    }
  }
  return table;
}
