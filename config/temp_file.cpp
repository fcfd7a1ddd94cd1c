// SPDX-License-Identifier: BSD-2-Clause
#include "config/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "config/file.h"
#include "config/list.h"
#include "config/tagmem.h"

long temp_file_counter = 0;

namespace {

// The rename behind temp_file_commit; tests replace it (temp_file_set_rename).
int (*temp_file_rename)(const char *, const char *) = rename;

// One registered temporary file.
struct temp_node {
  list_node link;
  FILE *stream;
  char *name;  // tagged, owned by the node
};

list_node temp_registry = {&temp_registry, &temp_registry};

// Creating a name that turns out to exist (a race with another process, or a dangling link
// that the existence test cannot see) moves on to the next name, this many times.
constexpr int TEMP_OPEN_TRIES = 100;

temp_node *temp_find(FILE *stream) {
  list_node *link;
  LIST_FOREACH(link, &temp_registry) {
    temp_node *node = LIST_ENTRY(link, temp_node, link);
    if (node->stream == stream) return node;
  }
  return nullptr;
}

void temp_unregister(temp_node *node) {
  list_remove(&node->link);
  tagmem_free(node->name, __FILE__, __LINE__);
  tagmem_free(node, __FILE__, __LINE__);
}

// Makes a rename durable. Failing here loses nothing already renamed, so it is not reported.
void sync_parent_directory(const char *path) {
  char directory[FILE_NAME_MAX + 1];
  const char *slash = strrchr(path, '/');
  if (slash == nullptr) {
    strcpy(directory, ".");
  } else {
    size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length > FILE_NAME_MAX) return;
    memcpy(directory, path, length);
    directory[length] = '\0';
  }
  int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// A block of the plain heap, freed with its scope. Attribute names and values are the kernel's
// bytes, not texts, so they do not go through the tagged allocator.
struct heap_block {
  char *data = nullptr;
  ~heap_block() { free(data); }
};

// Reads into block what fetch gives for a buffer of the size it first reports, again when that
// size has grown in between. Returns the length, or -1 with errno from fetch.
template <typename Fetch>
ssize_t fetch_block(Fetch fetch, heap_block *block) {
  for (int tries = 0; tries < 8; ++tries) {
    ssize_t size = fetch(nullptr, 0);
    if (size <= 0) return size;
    free(block->data);
    block->data = static_cast<char *>(malloc(size_t(size)));
    if (block->data == nullptr) return -1;
    ssize_t got = fetch(block->data, size_t(size));
    if (got >= 0 || errno != ERANGE) return got;
  }
  return -1;
}

// The names of the extended attributes of path (links followed), or of fd when path is null.
// A file system without them has none. Returns the length of the list, or -1.
ssize_t attribute_names(const char *path, int fd, heap_block *names) {
  ssize_t length = fetch_block(
      [&](char *list, size_t size) {
        return path != nullptr ? listxattr(path, list, size) : flistxattr(fd, list, size);
      },
      names);
  return length < 0 && errno == ENOTSUP ? 0 : length;
}

ssize_t attribute_value(const char *path, const char *name, heap_block *value) {
  return fetch_block([&](char *data, size_t size) { return getxattr(path, name, data, size); },
                     value);
}

bool has_name(const heap_block &names, ssize_t length, const char *name) {
  for (const char *at = names.data; at != nullptr && at < names.data + length;
       at += strlen(at) + 1) {
    if (strcmp(at, name) == 0) return true;
  }
  return false;
}

// Gives the file fd exactly the extended attributes of target that this process can read, and
// then target's mode. Returns false when any of them cannot be given.
bool copy_attributes(int fd, const char *target, mode_t mode) {
  heap_block old_names, new_names;
  ssize_t old_length = attribute_names(target, -1, &old_names);
  ssize_t new_length = attribute_names(nullptr, fd, &new_names);
  if (old_length < 0 || new_length < 0) return false;
  // A new file may come with attributes of its own, an ACL from the directory's default ACL
  // for one.
  for (const char *name = new_names.data; name != nullptr && name < new_names.data + new_length;
       name += strlen(name) + 1) {
    if (!has_name(old_names, old_length, name) && fremovexattr(fd, name) != 0) return false;
  }
  for (const char *name = old_names.data; name != nullptr && name < old_names.data + old_length;
       name += strlen(name) + 1) {
    heap_block value;
    ssize_t size = attribute_value(target, name, &value);
    if (size < 0 || fsetxattr(fd, name, size > 0 ? value.data : "", size_t(size), 0) != 0)
      return false;
  }
  // Setting an ACL sets the group bits from its mask, so the mode comes after it; chmod sets
  // the mask from the group bits in turn, which the old file kept equal to its mask. The
  // process may lack the right to some bits (set-group-ID outside its groups), which chmod then
  // drops without an error.
  struct stat now;
  return fchmod(fd, mode & 07777) == 0 && fstat(fd, &now) == 0 &&
         (now.st_mode & 07777) == (mode & 07777);
}

}  // namespace

char *temp_file_name(const char *directory, long *counter, const char *extension) {
  if (counter == nullptr) return nullptr;
  if (extension == nullptr) extension = "";
  for (int tries = 0; tries < TEMP_NAME_TRIES; ++tries) {
    // Eight digits on every platform: the counter is shown modulo 2^32.
    char digits[16];
    snprintf(digits, sizeof digits, "%08lX", static_cast<unsigned long>(*counter) & 0xFFFFFFFFul);
    *counter = static_cast<long>(static_cast<unsigned long>(*counter) + 1);
    xstrcpy_file = __FILE__;
    xstrcpy_line = __LINE__;
    char *candidate =
        directory != nullptr
            ? tagmem_concat(nullptr, directory, "/", digits, ".", extension, (const char *)nullptr)
            : tagmem_concat(nullptr, digits, ".", extension, (const char *)nullptr);
    if (candidate == nullptr) return nullptr;
    if (!file_exists(candidate)) return candidate;
    tagmem_free(candidate, __FILE__, __LINE__);
  }
  return nullptr;
}

FILE *temp_file_open(char *out_name) {
  return temp_file_open_in(nullptr, out_name, out_name != nullptr ? FILE_NAME_MAX + 1 : 0);
}

FILE *temp_file_open_in(const char *directory, char *out_name, size_t out_size) {
  if (directory == nullptr || *directory == '\0') {
    // An empty TMPDIR would put the files into the root directory.
    directory = env_get_text("TMPDIR", nullptr);
    if (directory == nullptr || *directory == '\0') directory = TEMP_FILE_DIR;
  }
  if (temp_file_counter == 0) {
    srand(static_cast<unsigned>(time(nullptr)));
    temp_file_counter = rand() % 0x7fff;
  }
  for (int attempt = 0; attempt < TEMP_OPEN_TRIES; ++attempt) {
    char *name = temp_file_name(directory, &temp_file_counter, TEMP_FILE_EXT);
    if (name == nullptr) return nullptr;
    size_t length = strlen(name);
    if (out_name != nullptr && length >= out_size) {
      tagmem_free(name, __FILE__, __LINE__);
      return nullptr;
    }
    // O_EXCL closes the gap between the existence test and the creation, and never follows
    // a link planted under the chosen name in a shared directory.
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      int error = errno;
      tagmem_free(name, __FILE__, __LINE__);
      if (error == EEXIST) continue;
      // The caller tells a directory that refuses new files from other failures by errno.
      errno = error;
      return nullptr;
    }
    // Read and write, so that a writer can rewind the file and read back what it stored.
    FILE *stream = fdopen(fd, "w+b");
    auto *node =
        stream != nullptr
            ? static_cast<temp_node *>(tagmem_alloc(nullptr, sizeof(temp_node), __FILE__, __LINE__))
            : nullptr;
    if (node == nullptr) {
      if (stream != nullptr) {
        fclose(stream);
      } else {
        close(fd);
      }
      unlink(name);
      tagmem_free(name, __FILE__, __LINE__);
      return nullptr;
    }
    node->stream = stream;
    node->name = name;
    list_insert_tail(&temp_registry, &node->link);
    if (out_name != nullptr) memcpy(out_name, name, length + 1);
    return stream;
  }
  return nullptr;
}

void temp_file_close(FILE *stream) {
  if (stream == nullptr) return;
  temp_node *node = temp_find(stream);
  fclose(stream);
  if (node == nullptr) return;
  unlink(node->name);
  temp_unregister(node);
}

int temp_file_commit(FILE *stream, const char *target) {
  if (stream == nullptr) return TEMP_COMMIT_FAILED;
  temp_node *node = temp_find(stream);
  if (node == nullptr) {
    fclose(stream);
    return TEMP_COMMIT_FAILED;
  }
  int result = target != nullptr && fflush(stream) == 0 ? 0 : TEMP_COMMIT_FAILED;
  bool target_exists = false;
  struct stat status;
  if (result == 0) {
    if (stat(target, &status) == 0) {
      target_exists = true;
      // After the content: a write takes file capabilities and set-user-ID bits away.
      if (!copy_attributes(fileno(stream), target, status.st_mode)) result = TEMP_COMMIT_IN_PLACE;
    } else if (errno != ENOENT) {
      result = TEMP_COMMIT_FAILED;
    }
  }
  if (result == 0 && fsync(fileno(stream)) != 0) result = TEMP_COMMIT_FAILED;
  if (fclose(stream) != 0 && result == 0) result = TEMP_COMMIT_FAILED;
  if (result == 0 && temp_file_rename(node->name, target) != 0) {
    // A file bind-mounted on its own, as containers are given theirs, cannot be renamed over.
    bool mounted = errno == EBUSY || errno == EXDEV;
    result = mounted && target_exists ? TEMP_COMMIT_IN_PLACE : TEMP_COMMIT_FAILED;
  }
  if (result == 0) {
    sync_parent_directory(target);
  } else {
    unlink(node->name);
  }
  temp_unregister(node);
  return result;
}

void temp_file_set_rename(int (*rename_call)(const char *from, const char *to)) {
  temp_file_rename = rename_call != nullptr ? rename_call : rename;
}
