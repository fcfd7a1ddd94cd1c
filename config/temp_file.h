/* SPDX-License-Identifier: BSD-2-Clause */
// Temporary files that are deleted when they are closed, or committed: renamed over the file
// they replace after they took its extended attributes and mode. Each open file is registered,
// so that closing its stream finds its name again.
//
// Conventions: failure is a null result or a negative one; nothing here prints. Newly allocated
// names are tagged blocks; the caller frees them with tagmem_free.
//
// Thread safety: none. The registry and temp_file_counter are shared without locks; one thread
// at a time may use this module.
#ifndef VRELL_CONFIG_TEMP_FILE_H_
#define VRELL_CONFIG_TEMP_FILE_H_

#include <stddef.h>
#include <stdio.h>

#include "config/file.h"

// Extension and default directory of temporary files.
constexpr char TEMP_FILE_EXT[] = "tmp";
constexpr char TEMP_FILE_DIR[] = "/tmp";
// Names temp_file_name tries before it gives up on a directory.
constexpr int TEMP_NAME_TRIES = 100000;

// Numbers temporary file names; 0 at start, seeded at random by the first temp_file_open.
extern long temp_file_counter;

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

// For tests: replaces the rename behind temp_file_commit, to make it fail as a mount point or a
// bind-mounted file does. Null restores rename(2). Call it before any other thread saves.
void temp_file_set_rename(int (*rename_call)(const char *from, const char *to));

#endif  // VRELL_CONFIG_TEMP_FILE_H_
