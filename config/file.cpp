#include "config/file.h"

#include <sys/stat.h>

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
