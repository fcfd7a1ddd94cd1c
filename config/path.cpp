// SPDX-License-Identifier: BSD-2-Clause
#include "config/path.h"

#include <assert.h>
#include <string.h>
#include <sys/stat.h>

bool path_copy(char *out, size_t out_size, const char *text) {
  size_t length = strlen(text);
  if (length >= out_size) {
    if (out_size > 0) out[0] = '\0';
    return false;
  }
  memmove(out, text, length + 1);
  return true;
}

const char *path_next_element(char *out, size_t out_size, const char *list, const char *name) {
  assert(out != nullptr && out_size > 0);
  if (name == nullptr) name = "";
  if (list == nullptr) {
    path_copy(out, out_size, name);
    return nullptr;
  }
  const char *colon = strchr(list, ':');
  size_t element = colon != nullptr ? static_cast<size_t>(colon - list) : strlen(list);
  size_t slash = element > 0 && list[element - 1] != '/' ? 1 : 0;
  size_t name_length = strlen(name);
  if (element + slash + name_length >= out_size) {
    out[0] = '\0';
  } else {
    // The name moves first, so that it may be out itself.
    memmove(out + element + slash, name, name_length + 1);
    memcpy(out, list, element);
    if (slash != 0) out[element] = '/';
  }
  return colon != nullptr ? colon + 1 : list + element;
}

bool path_is_absolute(const char *path) {
  return path != nullptr && path[0] == '/';
}

char *path_default_extension(char *out, size_t out_size, const char *name, const char *ext) {
  if (out == nullptr || out_size == 0 || name == nullptr) return nullptr;
  if (out != name && !path_copy(out, out_size, name)) return nullptr;
  if (ext == nullptr || *ext == '\0') return out;
  size_t length = strlen(out);
  for (size_t i = length; i > 0; --i) {
    char c = out[i - 1];
    if (c == '.') return out;
    if (c == '/' || c == '\\') break;
  }
  size_t dot = ext[0] == '.' ? 0 : 1;
  if (length + dot + strlen(ext) >= out_size) {
    out[0] = '\0';
    return nullptr;
  }
  if (dot != 0) out[length++] = '.';
  strcpy(out + length, ext);
  return out;
}

char *path_fixed_extension(char *out, size_t out_size, const char *name, const char *ext) {
  if (out == nullptr || out_size == 0 || name == nullptr) return nullptr;
  if (out != name && !path_copy(out, out_size, name)) return nullptr;
  path_strip_extension(out);
  return path_default_extension(out, out_size, out, ext);
}

char *path_strip_extension(char *name) {
  if (name == nullptr) return nullptr;
  char *dot = strrchr(name, '.');
  char *separator = strrchr(name, '\\');
  if (separator == nullptr) separator = strrchr(name, '/');
  if (dot != nullptr && (separator == nullptr || dot > separator)) *dot = '\0';
  return name;
}

char *path_strip_trailing_slash(const char *path) {
  static char buffer[PATH_DIR_MAX + 1];
  // A longer path is refused rather than cut, since a cut path names another file.
  if (path == nullptr || !path_copy(buffer, sizeof buffer, path)) return nullptr;
  size_t length = strlen(buffer);
  if (length > 1 && buffer[length - 1] == '/') buffer[length - 1] = '\0';
  return buffer;
}

int path_file_type(const char *path) {
  struct stat status;
  if (path == nullptr || stat(path, &status) != 0) return PATH_TYPE_OTHER;
  if (S_ISREG(status.st_mode)) return PATH_TYPE_REGULAR;
  if (S_ISDIR(status.st_mode)) return PATH_TYPE_DIRECTORY;
  if (S_ISSOCK(status.st_mode)) return PATH_TYPE_SOCKET;
  if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) || S_ISFIFO(status.st_mode)) {
    return PATH_TYPE_DEVICE;
  }
  return PATH_TYPE_OTHER;
}
