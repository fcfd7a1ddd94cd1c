// SPDX-License-Identifier: BSD-2-Clause
#include "config/file.h"

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "config/path.h"
#include "config/tagmem.h"

int16_t file_crlf = 0;
long temp_file_counter = 0;
int (*temp_file_rename)(const char *, const char *) = rename;

namespace {

// One registered temporary file; the registry is circular with a static sentinel.
struct temp_node {
  temp_node *next;
  temp_node *prev;
  FILE *stream;
  char *name;  // tagged, owned by the node
};

temp_node temp_registry = {&temp_registry, &temp_registry, nullptr, nullptr};

// Creating a name that turns out to exist (a race with another process, or a dangling link
// that the existence test cannot see) moves on to the next name, this many times.
constexpr int TEMP_OPEN_TRIES = 100;

temp_node *temp_find(FILE *stream) {
  for (temp_node *node = temp_registry.next; node != &temp_registry; node = node->next) {
    if (node->stream == stream) return node;
  }
  return nullptr;
}

void temp_unregister(temp_node *node) {
  node->prev->next = node->next;
  node->next->prev = node->prev;
  node->next = node->prev = node;
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

FILE *file_open(const char *name, char mode) {
  file_crlf = 0;
  const char *how = mode == 'r' ? "rb" : mode == 'w' ? "wb" : mode == 'a' ? "ab" : nullptr;
  if (name == nullptr || how == nullptr) return nullptr;
  return fopen(name, how);
}

int file_close(FILE *stream) {
  return stream == nullptr ? 0 : fclose(stream);
}

bool file_read_line(FILE *stream, char *buffer) {
  return file_read_line_limited(stream, buffer, FILE_LINE_MAX);
}

bool file_read_line_limited(FILE *stream, char *buffer, int limit) {
  if (stream == nullptr || buffer == nullptr || limit < 1) return false;
  // Tabs only move the column, so the cells they pass over must already hold spaces.
  memset(buffer, ' ', static_cast<size_t>(limit));
  int column = 0;
  for (;;) {
    int c = getc(stream);
    if (c == '\t') {
      column = (column / 8 + 1) * 8;
      if (column >= limit) {
        buffer[limit] = '\0';
        return true;
      }
    } else if (c == '\r') {
      file_crlf = 1;
    } else if (c == '\n' || c == FILE_EOF_CHAR || c == EOF) {
      buffer[column] = '\0';
      return c == '\n' || column != 0;
    } else {
      buffer[column++] = static_cast<char>(c);
      if (column == limit) {
        buffer[limit] = '\0';
        return true;
      }
    }
  }
}

char *file_write_line(FILE *stream, const char *text) {
  if (stream == nullptr || text == nullptr) return nullptr;
  if (fputs(text, stream) == EOF) return nullptr;
  if (file_crlf && putc('\r', stream) == EOF) return nullptr;
  if (putc('\n', stream) == EOF) return nullptr;
  return const_cast<char *>(text);
}

int file_delete(const char *name) {
  return name == nullptr ? -1 : unlink(name);
}

uint16_t file_mode(const char *path) {
  struct stat status;
  if (path == nullptr || *path == '\0' || stat(path, &status) != 0) return 0;
  return static_cast<uint16_t>(status.st_mode);
}

bool file_exists(const char *path) {
  return file_mode(path) != 0;
}

bool file_is_directory(const char *path) {
  // The mode is tested with S_ISDIR, not by its single 0x4000 bit, which block devices and
  // sockets carry as well.
  return S_ISDIR(file_mode(path_strip_trailing_slash(path)));
}

time_t file_mtime(const char *path) {
  struct stat status;
  if (path == nullptr || *path == '\0' || stat(path, &status) != 0) return 0;
  return status.st_mtime < 0 ? 0 : status.st_mtime;
}

long date_from_time(time_t t) {
  struct tm local;
  if (t == 0 || localtime_r(&t, &local) == nullptr) return 0;
  return (local.tm_year + 1900L) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

long time_from_time(time_t t) {
  struct tm local;
  if (t == 0 || localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_hour * 1000000L + local.tm_min * 10000L + local.tm_sec * 100L;
}

bool file_has_changed(const char *name, long date, long time) {
  if (!file_exists(name)) return false;
  time_t mtime = file_mtime(name);
  long file_date = date_from_time(mtime);
  long file_time = time_from_time(mtime);
  return date < file_date || (date == file_date && time < file_time);
}

char *file_where(char mode, const char *list_name, const char *name, const char *ext) {
  static char full[FILE_NAME_MAX + 1];
  static char result[FILE_NAME_MAX + 1];
  if (name == nullptr) return nullptr;
  if (ext != nullptr && *ext != '\0') {
    char *made = *ext == '.' ? path_fixed_extension(full, sizeof full, name, ext)
                             : path_default_extension(full, sizeof full, name, ext);
    if (made == nullptr) return nullptr;
  } else if (!path_copy(full, sizeof full, name)) {
    return nullptr;
  }

  const char *list = nullptr;
  if (list_name != nullptr && *list_name != '\0') {
    list = getenv(list_name);
    // No such variable: the name itself is the list, as in file_where('r', "etc:.", ...).
    if (list == nullptr) list = list_name;
  }

  if (mode == 'w') return full;
  if (mode == 's') {
    if (path_is_absolute(full)) return path_copy(result, sizeof result, full) ? result : nullptr;
    path_next_element(result, sizeof result,
                      list != nullptr && file_is_directory(list) ? list : "./", full);
    return result[0] != '\0' ? result : nullptr;
  }

  // The name as given comes first whatever the list holds: a daemon started without PATH
  // (by cron or an init system) must still read the file it was named.
  if (file_exists(full)) {
    if (path_is_absolute(full)) return path_copy(result, sizeof result, full) ? result : nullptr;
    // Without the working directory, or when the joined name is too long, the direct try
    // counts as not found and the list is searched.
    char *directory = current_directory();
    if (directory != nullptr) {
      int length = snprintf(result, sizeof result, "%s%s", directory, full);
      tagmem_free(directory, __FILE__, __LINE__);
      if (length >= 0 && static_cast<size_t>(length) < sizeof result) return result;
    }
  }
  if (list == nullptr) return nullptr;
  const char *rest = list;
  do {
    rest = path_next_element(result, sizeof result, rest, full);
    if (result[0] != '\0' && file_exists(result)) return result;
  } while (*rest != '\0');
  if (mode == 'r' || result[0] == '\0') return nullptr;
  return result;
}

FILE *file_locate(const char *list_name, const char *name, const char *ext) {
  const char *found = file_where('r', list_name, name, ext);
  return found == nullptr ? nullptr : file_open(found, 'r');
}

char *current_directory(void) {
  auto *directory =
      static_cast<char *>(tagmem_alloc(nullptr, PATH_DIR_MAX + 1, __FILE__, __LINE__));
  if (directory == nullptr) return nullptr;
  // The limit leaves room for the "/" appended below.
  if (getcwd(directory, PATH_DIR_MAX) == nullptr) {
    tagmem_free(directory, __FILE__, __LINE__);
    return nullptr;
  }
  size_t length = strlen(directory);
  if (length == 0 || directory[length - 1] != '/') strcpy(directory + length, "/");
  return directory;
}

const char *env_get_text(const char *name, const char *default_text) {
  if (name == nullptr) return default_text;
  char *upper = tagmem_strdup(nullptr, name, __FILE__, __LINE__);
  if (upper == nullptr) return default_text;
  for (char *c = upper; *c != '\0'; ++c)
    *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
  const char *value = getenv(upper);
  tagmem_free(upper, __FILE__, __LINE__);
  return value != nullptr ? value : default_text;
}

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
    node->next = &temp_registry;
    node->prev = temp_registry.prev;
    temp_registry.prev->next = node;
    temp_registry.prev = node;
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
