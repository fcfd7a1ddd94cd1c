/* SPDX-License-Identifier: BSD-2-Clause */
// Replacing a file with new content so that a failure at any step leaves the old file as it was:
// by a temporary file renamed over it, which keeps the file's owner, extended attributes and
// exact mode (temp_file_commit), or, where no new file can take its place, by a rewrite through
// its own inode that reserves the space first. Links to the file stay links, hard links stay
// hard links.
//
// Conventions: failure is -1; nothing here prints.
//
// Thread safety: none; it uses the temporary-file registry of config/temp_file.h and reads the
// umask by setting it. One thread at a time may use this module.
#ifndef VRELL_CONFIG_REPLACE_H_
#define VRELL_CONFIG_REPLACE_H_

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>

// Symbolic links replace_prepare follows from the name it is given before it gives up.
constexpr int REPLACE_LINK_HOPS_MAX = 40;
// How long replace_lock waits for a lock another process holds.
constexpr int REPLACE_LOCK_WAIT_MS = 3000;

// The file to be replaced, as replace_prepare found it.
struct replace_target {
  char path[PATH_MAX + 1];  // the file the links end at, which need not exist
  bool exists;
  struct stat old;  // its status, when it exists
};

// Follows the symbolic links from name to the file they end at and reads its status into
// target. Returns 0; -1 for a null argument, a chain of more than REPLACE_LINK_HOPS_MAX links,
// a path that does not fit, or an existing file that is not a regular file or that this process
// may not write.
int replace_prepare(const char *name, replace_target *target);

// Replaces the file of target with the size bytes of data. The content goes to a temporary file
// in the file's directory, which gets its owner, extended attributes and exact mode (a new file
// the mode the umask gives), is synced and renamed over it. Where that directory refuses the
// temporary file (EACCES, EPERM, EROFS), the file has more than one hard link, its owner, an
// attribute or its mode cannot be given to the temporary file, or the rename is refused with
// EBUSY or EXDEV (a file bind-mounted on its own), the file is rewritten in place instead: the
// space for the new content is reserved first (a file system that cannot reserve space fails,
// and so does content beyond the file-size limit), then the content is written over the old,
// cut to its length and synced. Returns 0; -1 when any step fails, the old file then exactly
// as it was (an in-place rewrite that fails after its first byte puts the old content back)
// and no temporary file left.
int replace_commit(const replace_target *target, const char *data, size_t size);

// Takes an exclusive flock on the file that name names (links followed), so that two processes
// that each read, check and replace the file one after the other never interleave: the lock is
// held from before the read until the commit has ended. A lock taken on a file that another
// process meanwhile replaced by rename is let go and taken again on the file the name names now.
// Waits at most timeout_ms. Returns a descriptor holding the lock, which the caller closes to
// let the lock go (replace_commit's own opens and closes keep it); -1 when the file cannot be
// opened, or the lock not taken within timeout_ms (errno EWOULDBLOCK).
int replace_lock(const char *name, int timeout_ms = REPLACE_LOCK_WAIT_MS);

#endif  // VRELL_CONFIG_REPLACE_H_
