/* SPDX-License-Identifier: BSD-2-Clause */
// File and temporary-file operations under the INI reader and writer: opening by a one-letter
// mode, text lines with tab expansion and a remembered line-ending style, status tests, the
// search along a colon-separated list such as PATH (with config/path.h), and temporary files
// that are deleted when they are closed.
//
// Conventions: failure is a null result, false or -1; nothing here prints. Texts that are not
// said to be newly allocated live in static buffers valid until the next call of the same
// operation. Newly allocated texts are tagged blocks; the caller frees them with tagmem_free.
//
// Thread safety: none. file_crlf, the static buffers, the temporary-file registry and
// temp_file_counter are shared without locks; one thread at a time may use this module.
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
// Extension and default directory of temporary files.
constexpr char TEMP_FILE_EXT[] = "tmp";
constexpr char TEMP_FILE_DIR[] = "/tmp";
// Names temp_file_name tries before it gives up on a directory.
constexpr int TEMP_NAME_TRIES = 100000;

// Non-zero while lines are written with CR LF. file_open switches it off; reading a carriage
// return switches it on.
extern int16_t file_crlf;
// Numbers temporary file names; 0 at start, seeded at random by the first temp_file_open.
extern long temp_file_counter;

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

// Returns a newly allocated name "directory/XXXXXXXX.extension" (without directory just
// "XXXXXXXX.extension"), the digits being *counter in upper-case hexadecimal, for the first
// counter value whose file does not exist; *counter is advanced past every name tried.
// Returns null when memory is exhausted or after TEMP_NAME_TRIES names. The caller frees
// the result with tagmem_free.
char *temp_file_name(const char *directory, long *counter, const char *extension);

// Creates a new temporary file in TMPDIR (or TEMP_FILE_DIR when TMPDIR is unset or empty),
// open for writing and reading back, and registers it for deletion by temp_file_close. When
// out_name is not null it receives the file's name (FILE_NAME_MAX + 1 bytes). Returns the
// stream, or null when no file can be created, the name does not fit or the file cannot be
// registered (nothing is left on disk then).
FILE *temp_file_open(char *out_name);

// As temp_file_open, in directory (null: the temporary directory as above), with the name
// copied into out_name of out_size bytes when out_name is not null. Meant for replacing a
// file atomically: create the temporary file in the target's own directory, write it, then
// call temp_file_commit. Returns the registered stream or null; when the creation itself was
// refused, errno holds the reason (EACCES, EPERM or EROFS for a directory that takes no new
// file).
FILE *temp_file_open_in(const char *directory, char *out_name, size_t out_size);

// Closes stream; when it is a registered temporary file, deletes the file and unregisters it.
// Does nothing for null.
void temp_file_close(FILE *stream);

// Results of temp_file_commit besides 0.
constexpr int TEMP_COMMIT_FAILED = -1;
// target exists but cannot be replaced by another file: one of its extended attributes or its
// mode could not be given to the temporary file, or the rename was refused because target is
// a mount point of its own (EBUSY) or lies on another mount (EXDEV). The caller rewrites
// target through its own inode instead.
constexpr int TEMP_COMMIT_IN_PLACE = -2;

// Flushes the registered temporary file stream; when target exists (links followed), gives it
// every extended attribute of target that this process can read (user, security, system ACLs,
// trusted for root), removes any other it has, then gives it target's exact mode; syncs and
// closes it and renames it over target, then unregisters it. Returns 0, TEMP_COMMIT_IN_PLACE
// (see there) or TEMP_COMMIT_FAILED when any other step fails; the stream is closed and the
// temporary file is gone in every case, and unless 0 target is unchanged. An unregistered
// stream is only closed (TEMP_COMMIT_FAILED).
int temp_file_commit(FILE *stream, const char *target);

// Test hook: the rename behind temp_file_commit; rename(2) at start.
extern int (*temp_file_rename)(const char *from, const char *to);

#endif  // VRELL_CONFIG_FILE_H_
