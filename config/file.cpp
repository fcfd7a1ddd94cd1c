// SPDX-License-Identifier: BSD-2-Clause
#include "config/file.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/path.h"
#include "config/tagmem.h"

int16_t file_crlf = 0;

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

namespace {

// The two path buffers of file_where: the full name sought and the answer.
char where_full[FILE_NAME_MAX + 1];
char where_result[FILE_NAME_MAX + 1];

// Puts the full name into where_full. Returns false when it does not fit.
bool where_full_name(const char *name, const char *ext) {
  if (ext == nullptr || *ext == '\0') return path_copy(where_full, sizeof where_full, name);
  char *made = *ext == '.' ? path_fixed_extension(where_full, sizeof where_full, name, ext)
                           : path_default_extension(where_full, sizeof where_full, name, ext);
  return made != nullptr;
}

// Returns the search list, or null when there is none.
const char *where_list(const char *list_name) {
  if (list_name == nullptr || *list_name == '\0') return nullptr;
  const char *list = getenv(list_name);
  // No such variable: the name itself is the list, as in file_where('r', "etc:.", ...).
  return list != nullptr ? list : list_name;
}

char *where_copy_full() {
  return path_copy(where_result, sizeof where_result, where_full) ? where_result : nullptr;
}

// Mode 's': where the file would be stored.
char *where_store(const char *list) {
  if (path_is_absolute(where_full)) return where_copy_full();
  path_next_element(where_result, sizeof where_result,
                    list != nullptr && file_is_directory(list) ? list : "./", where_full);
  return where_result[0] != '\0' ? where_result : nullptr;
}

// The full name as given when it exists, made absolute. Without the working directory, or when
// the joined name is too long, it counts as not found.
char *where_direct() {
  if (!file_exists(where_full)) return nullptr;
  if (path_is_absolute(where_full)) return where_copy_full();
  char *directory = current_directory();
  if (directory == nullptr) return nullptr;
  int length = snprintf(where_result, sizeof where_result, "%s%s", directory, where_full);
  tagmem_free(directory, __FILE__, __LINE__);
  return length >= 0 && static_cast<size_t>(length) < sizeof where_result ? where_result : nullptr;
}

// Every mode but 'w' and 's': the first existing file.
char *where_search(char mode, const char *list) {
  // The name as given comes first whatever the list holds: a daemon started without PATH
  // (by cron or an init system) must still read the file it was named.
  if (char *found = where_direct()) return found;
  if (list == nullptr) return nullptr;
  const char *rest = list;
  do {
    rest = path_next_element(where_result, sizeof where_result, rest, where_full);
    if (where_result[0] != '\0' && file_exists(where_result)) return where_result;
  } while (*rest != '\0');
  return mode == 'r' || where_result[0] == '\0' ? nullptr : where_result;
}

}  // namespace

char *file_where(char mode, const char *list_name, const char *name, const char *ext) {
  if (name == nullptr || !where_full_name(name, ext)) return nullptr;
  const char *list = where_list(list_name);
  if (mode == 'w') return where_full;
  if (mode == 's') return where_store(list);
  return where_search(mode, list);
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
