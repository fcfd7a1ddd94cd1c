/* SPDX-License-Identifier: BSD-2-Clause */
// The INI reader and writer: turns a text file of "[section]" headers and "key = value" lines
// into a symbol table whose names are "section:key", and writes such a table back below the
// end marker line of the file, keeping the lines above the marker.
//
// Conventions: the calls never print (trace_message writes only while trace_state is on).
// Texts handed out by ini_read_entry point into the module's static buffers and stay valid
// only until the next call into this module. Tables and symbols are those of config/symtab.h,
// word lists those of config/wordlist.h; their memory is tagged.
//
// Thread safety: none. The four static buffers of FILE_LINE_MAX + 1 bytes (line, section, key
// and value), trace_state, trace_file and file_crlf are shared by every call of the reader and
// the writer; one thread at a time may use this module.
#ifndef VRELL_CONFIG_INI_H_
#define VRELL_CONFIG_INI_H_

#include <stdint.h>
#include <stdio.h>

#include "config/symtab.h"
#include "config/wordlist.h"

// The line that ends the hand-written prologue of a file; ini_save generates what follows it.
constexpr char INI_END_MARKER[] = "#*END";
// Names of the entries ini_load adds about the file itself.
constexpr char INI_FILE_NAME[] = "filename";
constexpr char INI_FILE_DATE[] = "filedate";
constexpr char INI_FILE_TIME[] = "filetime";
// The search list along which ini_load locates its file.
constexpr char INI_SEARCH_LIST[] = "PATH";
// Local date and time in front of every trace line: year, month, day, hour, minute, second.
constexpr char TRACE_TIME_FORMAT[] = "%2d/%02d/%02d %2d:%02d:%02d";

// Non-zero while lines beginning with "!" in a file are written as trace lines; 0 at start.
extern int16_t trace_state;
// Where trace lines go; null (the start value) means standard output.
extern FILE *trace_file;

// Locates name as given (absolute, or in the working directory) or, when it is not found so,
// along PATH (the literal list "PATH" when the variable is not set), and
// puts every entry of the file into table under "section:key", each section header under its
// name with the empty value, and "filename" (name as given), "filedate" (YYYYMMDD) and
// "filetime" (HHMMSSCC) of the file under name (0 when it has no status there). Values are
// unquoted, unescaped and have their $(NAME) references replaced from the environment, whose
// names count in upper case. The last occurrence of a name wins; the table is then sorted in
// symtab_sort's default order.
// Returns table when it was given, whether or not the file was found (a table that was given
// gets no file entries when the file is not found). Without a table, returns a new one (holding
// at least the file entries) that the caller frees with symtab_free, or null when it cannot be
// created. Entries whose composed name exceeds FILE_LINE_MAX characters, or whose value cannot
// be expanded for lack of memory, are skipped.
symbol_table *ini_load(symbol_table *table, const char *name);

// Returns null when name cannot be located as ini_load would locate it (also when a table was
// given); otherwise returns ini_load(table, name).
symbol_table *ini_load_if_found(symbol_table *table, const char *name);

// Puts the entries of the file at path (opened as it is, without search) into table as
// ini_load does, without file entries. Returns table, unchanged when the file cannot be opened.
// table must not be null.
symbol_table *ini_merge(symbol_table *table, const char *path);

// As ini_merge, and tells whether the file was read: returns true when it was opened and read
// to its end without a read error; false when it could not be opened, reading it failed (a
// directory, for one), a line beginning with 0x1A ended the reading before the end of the file,
// or memory for the environment table was exhausted. The table then holds whatever was read
// before. table must not be null.
bool ini_merge_checked(symbol_table *table, const char *path);

// Reads the file at path (opened as it is, without search) and tells whether the value of the
// entry name ("section:key"; its last occurrence) holds a $(NAME) reference that the
// environment does not set, which a load replaces with nothing. Returns true with the first
// such NAME in ref (size bytes, cut and terminated); false, with ref empty, when every
// reference is set, the entry is absent or the file cannot be read.
bool ini_unset_ref(const char *path, const char *name, char *ref, size_t size);

// Reads lines from stream up to the next entry. For a key/value line returns true with *name
// the key and *value the raw value (still quoted and escaped). For a section header returns
// false with *name the section name, which the module keeps as its current section, and
// *value null. At end of input returns false with *name and *value null. Both texts point into
// static buffers. Blank, comment and malformed lines are skipped; "!" lines go to
// trace_message.
bool ini_read_entry(FILE *stream, char **name, char **value);

// Reads lines from stream (from its start when from_start is true) up to a header whose name
// equals section when both are compared in lower case. Returns true when such a header was read,
// the stream standing after it and its name being the current section; false at end of input.
bool ini_find_section(FILE *stream, const char *section, bool from_start);

// Returns true when the file named by the table's "filename" entry exists and was modified
// later than the table's "filedate" and "filetime"; false otherwise, also without "filename".
bool ini_changed(symbol_table *table);

// When ini_changed(table), empties the table and loads the file again into it. Returns true
// when the table was reloaded, false when the file had not changed (or memory for the name's
// copy is exhausted; the table is then untouched).
bool ini_refresh(symbol_table *table);

// The look-ups below use the name "section:key" (section alone when key is null or empty),
// converted to lower case, so they find only sections and keys written in lower case. A name
// longer than FILE_LINE_MAX characters is never found.

// Returns the value of the name in table (surrounding white space of the name ignored), or
// default_text when there is no such entry. The value belongs to the table.
const char *ini_get(symbol_table *table, const char *section, const char *key,
                    const char *default_text);

// Returns a new word list of the value (or of default_text when there is none) split at white
// space and commas; an empty list when there is neither. Returns null when memory is exhausted.
// The caller frees the result with wordlist_free.
char **ini_get_list(symbol_table *table, const char *section, const char *key,
                    const char *default_text);

// As ini_get, but first puts the name with default_text into the table when no entry of
// exactly that name exists (nothing is put for a null default_text).
const char *ini_get_or_add(symbol_table *table, const char *section, const char *key,
                           const char *default_text);

// Returns a new table holding one entry per NAME=VALUE string of the environment, the name in
// upper case (a later name that upper-cases the same replaces the value); strings without "="
// are left out. Returns null when the table cannot be created. The caller frees the result with
// symtab_free.
symbol_table *env_to_symtab(void);

// While trace_state is on, writes the local time, ": ", text and a newline to trace_file (or
// standard output) and flushes it. text is written literally, never used as a format.
void trace_message(const char *text);

// Writes table into the file name (used as given; no search): the lines above the end marker of
// the old file when it has one, the marker, then per section an empty line and "[section]" and
// per entry '    key = "value"' with newline, double quote, backslash and "(" escaped, in
// symtab_sort's default order (the table is left so sorted). Names without ":" are left out.
// Lines end in CR LF from the first prologue line that did in the old file, else in LF.
// The whole content is composed in memory first, then replaces the file (of the file a
// symbolic link points to, the link staying) as replace_commit (config/replace.h) does: by a
// rename, or in place where no new file can take its place. Owner, mode, attributes and links
// stay in both ways.
// Returns 0 when the file was written; -1 when the existing file is not a regular file, is not
// writable or cannot be read (also when a line beginning with 0x1A hides the marker), or any
// step fails; the old file is then exactly as it was (an in-place rewrite that fails after its
// first byte puts the old content back) and no temporary file is left.
int ini_save(symbol_table *table, const char *name);

#endif  // VRELL_CONFIG_INI_H_
