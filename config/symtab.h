/* SPDX-License-Identifier: BSD-2-Clause */
// A small hashed dictionary from names to text values, which holds a loaded INI file (a key K
// of section S is named "S:K").
//
// Conventions: all memory comes from the tagged allocator's main list; a source file name may be
// null, with line 0. Pointers return null for failure. Nothing prints.
//
// Thread safety: none. A table is used by one thread at a time.
#ifndef VRELL_CONFIG_SYMTAB_H_
#define VRELL_CONFIG_SYMTAB_H_

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

constexpr int SYMTAB_BUCKETS = 256;

// A symbol and its name text, which follows the fixed fields in the same block.
struct symbol {
  symbol *next;  // list of all symbols; null at the end
  symbol *prev;  // null for the first
  symbol *bucket_next;
  symbol *bucket_prev;  // null for the chain's head
  char *name;           // the inline name, never changed
  char *value;          // owned tagged copy; null only when made so
  void *data;           // free for the caller; the table never reads it
  uint8_t hash;         // symtab_hash of the name: the chain index
};

struct symbol_table {
  symbol *symbols;  // null when empty
  symbol *buckets[SYMTAB_BUCKETS];
  int32_t count;
};

// Returns a new empty table tagged with file and line, or null when memory is exhausted.
// The caller frees it with symtab_free.
symbol_table *symtab_new(const char *file, int line);

// Frees every symbol, its value and the table. Does nothing for null.
void symtab_free(symbol_table *table);

// Frees every symbol and value and leaves the table empty. Does nothing for null.
void symtab_clear(symbol_table *table);

// Returns the byte sum of name modulo 256.
uint8_t symtab_hash(const char *name);

// Returns the first symbol of the name's chain whose name equals name exactly, or null.
symbol *symtab_find(symbol_table *table, const char *name);

// Adds a symbol at the head of the list and of its chain, without looking for an equal name.
// Returns it, or null when memory is exhausted. When only the copy of value cannot be made, the
// symbol is added without a value.
symbol *symtab_add(symbol_table *table, const char *name, const char *value, const char *file,
                   int line);

// Replaces the symbol's value with a copy of value (null for null). Returns the new value
// pointer, null when value is null or its copy cannot be made.
char *symtab_set_value(symbol *sym, const char *value);

// Returns the symbol named name after giving it value: an equal value is left in place, a
// different or missing one is replaced. A missing symbol is added; null when it cannot be made.
symbol *symtab_put(symbol_table *table, const char *name, const char *value, const char *file,
                   int line);

// Returns the value of the symbol named name with white space stripped from both its ends (null
// for a symbol without a value), or default_text when there is none, also when memory for the
// stripped copy is exhausted. The value belongs to the table and stays valid until the symbol
// changes.
const char *symtab_get_text(symbol_table *table, const char *name, const char *default_text);

// Returns the value read as a decimal number clamped to 32 bits (no digits read as 0), or
// default_value for a missing symbol or one without a value.
int32_t symtab_get_int(symbol_table *table, const char *name, int32_t default_value);

// Returns the value read as yes/no by its first character, either case: y, t or 1 true; n, f or
// 0 false; any other value false. A missing symbol or value gives default_value.
bool symtab_get_flag(symbol_table *table, const char *name, bool default_value);

// Relinks the list in the order of compare (qsort convention on symbol pointers), or of
// symtab_compare_names for null. The chains are untouched; without memory for the sort the
// order stays as it was.
void symtab_sort(symbol_table *table, int (*compare)(const void *a, const void *b));

// Compares the names of two symbols (a and b point at symbol pointers) as strcmp does, except
// that ':' ranks below every other character. Returns negative, zero or positive.
int symtab_compare_names(const void *a, const void *b);

// Returns a new tagged copy of text with every "$(name)" reference replaced by the value of the
// symbol name (nothing when there is none). Values are not scanned again and references do not
// nest. A null text counts as empty. Returns null when memory is exhausted.
// The caller frees the result with tagmem_free.
char *symtab_expand_refs(const char *text, symbol_table *table);

// Returns true when text holds a "$(name)" reference that symtab_expand_refs would replace with
// nothing, and copies the first such name into name (size bytes, cut and terminated) when name
// is not null. Returns false when every reference has a value. Never allocates.
bool symtab_unset_ref(const char *text, symbol_table *table, char *name, size_t size);

// Removes the symbol from the table and frees it with its value. Returns the next symbol further
// down the same chain with the same name, or null.
symbol *symtab_remove(symbol_table *table, symbol *sym);

// Calls walker with each symbol in list order and a fresh copy of the walk's extra arguments,
// until it returns false. Returns the number of symbols it returned true for, negated when the
// walk stopped early. The walker may remove the symbol it is given.
using symtab_walker = bool (*)(symbol *sym, va_list args);
int32_t symtab_walk(symbol_table *table, symtab_walker walker, ...);

// Puts every symbol of source into table, in source's list order. Returns the number copied, or
// minus the number copied before a put failed.
int32_t symtab_merge(symbol_table *table, symbol_table *source);

// Returns a null-terminated array of tagged "name=value" strings in list order (a symbol without
// a value gives "name="), or null when memory is exhausted. The caller frees each string and the
// array with tagmem_free.
char **symtab_to_strings(symbol_table *table);

// Returns a new table with each string split at its first '=' and put; strings without '=' are
// skipped, a null array gives an empty table. Null when memory is exhausted.
// The caller frees it with symtab_free.
symbol_table *symtab_from_strings(char **strings);

// Returns one tagged block of NUL-terminated "name=value" strings in list order, ended by an
// empty string, or null when memory is exhausted. The caller frees it with tagmem_free.
char *symtab_to_block(symbol_table *table);

// Returns a new table from such a block (null counts as empty), as symtab_from_strings does.
symbol_table *symtab_from_block(const char *block);

#endif  // VRELL_CONFIG_SYMTAB_H_
