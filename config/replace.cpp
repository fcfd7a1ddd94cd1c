// SPDX-License-Identifier: BSD-2-Clause
#include "config/replace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "config/temp_file.h"

namespace {

// Follows symbolic links from name to the file they end at, which need not exist yet, so that
// the save replaces that file and leaves the links in place. Returns false when the chain is
// too long or a path does not fit.
bool resolve_links(const char *name, char *target, size_t size) {
  if (snprintf(target, size, "%s", name) >= int(size)) return false;
  for (int hops = 0; hops < REPLACE_LINK_HOPS_MAX; ++hops) {
    struct stat status;
    if (lstat(target, &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    char link[PATH_MAX + 1];
    ssize_t length = readlink(target, link, PATH_MAX);
    if (length < 0) return false;
    link[length] = '\0';
    const char *slash = strrchr(target, '/');
    if (link[0] == '/' || slash == nullptr) {
      if (size_t(length) >= size) return false;
      memcpy(target, link, size_t(length) + 1);
    } else {
      // A relative link is relative to the directory holding the link.
      size_t directory = size_t(slash - target) + 1;
      if (directory + size_t(length) >= size) return false;
      memcpy(target + directory, link, size_t(length) + 1);
    }
  }
  return false;
}

void directory_of(const char *path, char *directory, size_t size) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(directory, size, ".");
  } else if (slash == path) {
    snprintf(directory, size, "/");
  } else {
    snprintf(directory, size, "%.*s", int(slash - path), path);
  }
}

// A block of the plain heap that open_memstream fills, freed with its scope.
struct memory_block {
  char *data = nullptr;
  size_t size = 0;
  ~memory_block() { free(data); }
};

// A new file gets the bits a plain creation would give it; the temporary file is private
// until then. The layer is single-threaded, so reading the mask by setting it is safe here.
mode_t new_file_mode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

struct fd_closer {
  int fd;
  ~fd_closer() { close(fd); }
};

bool write_at_start(int fd, const char *data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// Reads the whole file from its start into text.
bool read_whole(int fd, memory_block *text) {
  FILE *stream = open_memstream(&text->data, &text->size);
  if (stream == nullptr) return false;
  char block[4096];
  bool ok = true;
  for (off_t at = 0;;) {
    ssize_t n = pread(fd, block, sizeof block, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    if (fwrite(block, 1, size_t(n), stream) != size_t(n)) {
      ok = false;
      break;
    }
    at += n;
  }
  if (fclose(stream) != 0) ok = false;
  return ok;
}

// Rewrites the file through its own inode, which keeps its owner, mode and every hard link,
// where no new file can take its place. Nothing is changed before the space for the whole new
// content is reserved, so a full disk or an exhausted quota fails with the file intact. A file
// system that cannot reserve space gets no rewrite at all: without the reservation a full disk
// (or a copy-on-write file system, where an overwrite needs new blocks as well) could stop the
// rewrite half way. When a later step fails all the same, the old content is written back.
int rewrite_in_place(const char *target, const struct stat &old, const char *data, size_t size) {
  int fd = open(target, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0) return -1;
  fd_closer closer{fd};
  struct stat now;
  // The file whose prologue was read must be the one rewritten.
  if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != old.st_dev ||
      now.st_ino != old.st_ino)
    return -1;
  memory_block before;
  if (!read_whole(fd, &before)) return -1;
  // The size limit would stop the writes half way, with the signal it sends ignored or not.
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur)
    return -1;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) != 0) return -1;
  if (write_at_start(fd, data, size) && ftruncate(fd, off_t(size)) == 0 && fsync(fd) == 0) return 0;
  if (write_at_start(fd, before.data, before.size) && ftruncate(fd, off_t(before.size)) == 0)
    fsync(fd);
  return -1;
}

}  // namespace

int replace_prepare(const char *name, replace_target *target) {
  if (name == nullptr || target == nullptr) return -1;
  if (!resolve_links(name, target->path, sizeof target->path)) return -1;
  target->exists = stat(target->path, &target->old) == 0;
  // Only a regular file is replaced, and only one the process could have written in place.
  if (target->exists &&
      (!S_ISREG(target->old.st_mode) || faccessat(AT_FDCWD, target->path, W_OK, AT_EACCESS) != 0))
    return -1;
  return 0;
}

int replace_commit(const replace_target *target, const char *data, size_t size) {
  const bool exists = target->exists;
  const struct stat &old = target->old;
  const char *path = target->path;
  // A rename would leave the other names of the file with the old content.
  if (exists && old.st_nlink > 1) return rewrite_in_place(path, old, data, size);
  char directory[PATH_MAX + 1];
  directory_of(path, directory, sizeof directory);
  FILE *out = temp_file_open_in(directory, nullptr, 0);
  if (out == nullptr) {
    // A directory that takes no new file may still hold a file the process may write.
    bool refused = errno == EACCES || errno == EPERM || errno == EROFS;
    return exists && refused ? rewrite_in_place(path, old, data, size) : -1;
  }
  if (exists) {
    // Not every process may give a file away; where the old owner cannot be kept, the file
    // is rewritten in place instead.
    if (fchown(fileno(out), old.st_uid, old.st_gid) != 0) {
      temp_file_close(out);
      return rewrite_in_place(path, old, data, size);
    }
  } else if (fchmod(fileno(out), new_file_mode()) != 0) {
    temp_file_close(out);
    return -1;
  }
  if (fwrite(data, 1, size, out) != size) {
    temp_file_close(out);
    return -1;
  }
  int committed = temp_file_commit(out, path);
  if (committed == TEMP_COMMIT_IN_PLACE && exists) return rewrite_in_place(path, old, data, size);
  return committed == 0 ? 0 : -1;
}

int replace_lock(const char *name, int timeout_ms) {
  if (name == nullptr) return -1;
  constexpr long retry_ns = 10 * 1000 * 1000;
  for (int waited_ms = 0;; waited_ms += 10) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    // flock, not fcntl: a record lock would go with the first close of any descriptor of the
    // file, and the in-place rewrite opens and closes its own.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat locked, named;
      if (fstat(fd, &locked) == 0 && stat(name, &named) == 0 && locked.st_dev == named.st_dev &&
          locked.st_ino == named.st_ino)
        return fd;
      // The holder renamed a new file over the name: the lock guards a file no one reads now.
      close(fd);
      errno = EWOULDBLOCK;
    } else {
      int error = errno;
      close(fd);
      errno = error;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (waited_ms >= timeout_ms) {
      errno = EWOULDBLOCK;
      return -1;
    }
    struct timespec pause = {0, retry_ns};
    nanosleep(&pause, nullptr);
  }
}
