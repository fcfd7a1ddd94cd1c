/* SPDX-License-Identifier: BSD-2-Clause */
// File operations under the INI reader and writer: opening by a one-letter mode, text lines
// with tab expansion and a remembered line-ending style, status tests, and the search along a
// colon-separated list such as PATH (with config/path.h). Temporary files are in
// config/temp_file.h.
//
// Conventions: failure is a null result, false or -1; nothing here prints. Texts that are not
// said to be newly allocated live in static buffers valid until the next call of the same
// operation. Newly allocated texts are tagged blocks; the caller frees them with tagmem_free.
//
// Thread safety: none. file_crlf and the static buffers are shared without locks; one thread
// at a time may use this module.
#ifndef VRELL_CONFIG_FILE_H_
#define VRELL_CONFIG_FILE_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

// Longest text line; line buffers are FILE_LINE_MAX + 1 bytes.
constexpr int FILE_LINE_MAX = 1024;
// Longest file name or path this module builds or hands out; buffers are FILE_NAME_MAX + 1.
constexpr int FILE_NAME_MAX = 1024;
// The character that ends a text file read as lines, as well as its end.
constexpr int FILE_EOF_CHAR = 0x1A;

// Non-zero while lines are written with CR LF. file_open switches it off; reading a carriage
// return switches it on.
extern int16_t file_crlf;

// Returns a stream opened untranslated: 'r' as "rb", 'w' as "wb", 'a' as "ab"; null for any
// other letter, a null name or a failed open. Switches file_crlf off first, in every case.
FILE *file_open(const char *name, char mode);

// Returns the result of fclose, or 0 for a null stream.
int file_close(FILE *stream);

// Reads one line into buffer (FILE_LINE_MAX + 1 bytes) without its line end. Tabs expand
// with spaces to the next multiple of 8; carriage returns are dropped and switch file_crlf
// on. A line longer than FILE_LINE_MAX is cut there and its rest comes back as the next line.
// Returns true when a line was read; false at end of input or at 0x1A at the start of a line
// (a last line without LF is still returned), and for a null stream or buffer.
bool file_read_line(FILE *stream, char *buffer);

// As file_read_line with limit in place of FILE_LINE_MAX; buffer holds limit + 1 bytes.
// Returns false for a limit below 1.
bool file_read_line_limited(FILE *stream, char *buffer, int limit);

// Writes text and a line end: CR LF while file_crlf is on, else LF. Returns text, or null
// when a write fails or an argument is null.
char *file_write_line(FILE *stream, const char *text);

// Returns the result of removing the file: 0, or -1 (also for a null name).
int file_delete(const char *name);

// Returns the 16-bit mode bits of the path's status (links followed); 0 for a null or empty
// path or a path without status.
uint16_t file_mode(const char *path);

// Returns true when file_mode is non-zero: directories and special files count.
bool file_exists(const char *path);

// Returns true when the path, one trailing "/" removed, names a directory (links followed).
bool file_is_directory(const char *path);

// Returns the modification time in seconds since the epoch; 0 without status or when negative.
time_t file_mtime(const char *path);

// Returns true when the file exists and its modification time, in local time, is later than
// date (YYYYMMDD) and time (HHMMSSCC).
bool file_has_changed(const char *name, long date, long time);

// Returns the local date of t as YYYYMMDD; 0 for 0 or a time that cannot be converted.
long date_from_time(time_t t);

// Returns the local time of day of t as HHMMSSCC with the hundredths 0; 0 for 0 or a time
// that cannot be converted.
long time_from_time(time_t t);

// Builds the full name from name and ext (an ext beginning with "." replaces the extension,
// another one is added when the name has none), then, by mode:
//   'w': returns the full name;
//   's': returns where the file would be stored: the name itself when absolute, else joined
//        with the list's first element when the whole list names a directory, else "./";
//   other modes ('r' in practice): returns the first existing file among the full name
//        (absolute, or prefixed with the working directory), always tried first, and the
//        list's elements joined with it; none found gives null for 'r' and the last name tried
//        for other modes.
// list_name is looked up in the environment; when no such variable exists the text itself is
// the list. A null or empty list_name means no list.
// An empty list element stands for the working directory, which names the result only
// relatively. A working directory that cannot be read makes the direct try count as not
// found. Returns a static buffer or null. A full name longer than FILE_NAME_MAX gives null;
// a joined name that would be longer counts as not found.
char *file_where(char mode, const char *list_name, const char *name, const char *ext);

// Returns file_open(file_where('r', ...), 'r'), or null when nothing is found.
FILE *file_locate(const char *list_name, const char *name, const char *ext);

// Returns the working directory ending in "/", newly allocated; null when it cannot be read
// or memory is exhausted. The caller frees the result with tagmem_free.
char *current_directory(void);

// Returns the value of the environment variable named by name in upper case, or
// default_text when it is not set (also for a null name). The value belongs to the
// environment.
const char *env_get_text(const char *name, const char *default_text);

#endif  // VRELL_CONFIG_FILE_H_
