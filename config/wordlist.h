/* SPDX-License-Identifier: BSD-2-Clause */
// Word lists: the words of one text, split at white space, as a null-terminated array of
// pointers. The words lie back to back in one text block, whose pointer sits in a hidden slot
// just before the first element, so that the array pointer alone frees the list.
//
// Conventions: array and text block come from the tagged allocator's main list, without a
// source file name. Pointers return null for failure. Nothing prints.
//
// Thread safety: none. A word list is used by one thread at a time.
#ifndef VRELL_CONFIG_WORDLIST_H_
#define VRELL_CONFIG_WORDLIST_H_

#include <stddef.h>

// Returns the words of text (null counts as empty), split at white space, as a null-terminated
// array; null when memory is exhausted. The caller frees it with wordlist_free.
char **wordlist_split(const char *text);

// As wordlist_split, and a character of quotes starts a part that runs to the same character
// again (or the end) and is kept with its white space but without the quotes. The part ends the
// current word, joined to what came before it, and always makes a word, even when empty.
char **wordlist_split_quoted(const char *text, const char *quotes);

// Frees the words and the array of a word list. Does nothing for null.
void wordlist_free(char **list);

// Returns the sum over all words of their length plus one; 0 for null.
size_t wordlist_text_size(char **list);

// Returns the number of words; 0 for null.
size_t wordlist_count(char **list);

// Returns a new word list with word first, followed by the words of list (null counts as
// empty), and frees list. Returns null for a null word or when memory is exhausted, with list
// left as it was.
// The caller frees the result with wordlist_free.
char **wordlist_prepend(char **list, const char *word);

#endif  // VRELL_CONFIG_WORDLIST_H_
