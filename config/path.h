/* SPDX-License-Identifier: BSD-2-Clause */
// Path texts and what a path names: the elements of a colon-separated search list, extensions,
// a trailing slash, and the class of file a path names (links followed).
//
// Conventions: failure is a null result or false; nothing here prints. A text said to live in
// a static buffer is valid until the next call of the same operation.
//
// Thread safety: none for path_strip_trailing_slash, whose buffer is shared; every other call
// is independent.
#ifndef VRELL_CONFIG_PATH_H_
#define VRELL_CONFIG_PATH_H_

#include <stddef.h>

// Longest path path_strip_trailing_slash and current_directory take; buffers of 4097 bytes.
constexpr int PATH_DIR_MAX = 4096;

// Classes answered by path_file_type. PATH_TYPE_LINK is never answered: the status it reads
// follows symbolic links.
constexpr int PATH_TYPE_REGULAR = 0;
constexpr int PATH_TYPE_DIRECTORY = 1;
constexpr int PATH_TYPE_LINK = 2;
constexpr int PATH_TYPE_SOCKET = 3;
constexpr int PATH_TYPE_DEVICE = 4;  // character or block device, or FIFO
constexpr int PATH_TYPE_OTHER = 5;   // anything else, a null path or a path without status

// Copies text into out (out_size bytes), overlapping allowed. Returns true; false when it does
// not fit, with out left empty, so that a caller never goes on with a cut name.
bool path_copy(char *out, size_t out_size, const char *text);

// Writes into out (out_size bytes) the first element of list joined with name (an element
// that is not empty and does not end in "/" gets one). Returns the rest of the list after
// the element's ":" (the empty text at its end); the caller stops when it is empty. A null
// list puts name alone into out and returns null. A result that does not fit leaves out empty.
const char *path_next_element(char *out, size_t out_size, const char *list, const char *name);

// Returns true when path begins with "/".
bool path_is_absolute(const char *path);

// Writes name into out (out_size bytes; out may be name itself) and appends ext, with a "."
// unless ext has one, when the name has no extension after its last "/" or "\". A null or
// empty ext adds nothing. Returns out, or null when the result does not fit (out left empty).
char *path_default_extension(char *out, size_t out_size, const char *name, const char *ext);

// As path_default_extension, but an extension the name has is replaced. Returns out or null.
char *path_fixed_extension(char *out, size_t out_size, const char *name, const char *ext);

// Cuts name at its last "." when that stands after the last "\" (or, without any, the last
// "/"). Returns name, changed in place; null for null.
char *path_strip_extension(char *name);

// Returns a copy of path in a static buffer of PATH_DIR_MAX + 1 bytes with one final "/"
// removed unless it is the first character ("/" stays, "a//" becomes "a/"); null for a null
// path or one longer than PATH_DIR_MAX.
char *path_strip_trailing_slash(const char *path);

// Returns what path names, links followed: PATH_TYPE_REGULAR, PATH_TYPE_DIRECTORY,
// PATH_TYPE_SOCKET, PATH_TYPE_DEVICE, else PATH_TYPE_OTHER (also for a null path or one
// without status).
int path_file_type(const char *path);

#endif  // VRELL_CONFIG_PATH_H_
