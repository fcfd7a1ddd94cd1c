// SPDX-License-Identifier: BSD-2-Clause
// Finds the daemon's socket path: named by the caller, or read from a configuration file with
// the daemon's own reader, or the built-in path.

#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "base/wire.h"
#include "client/client.h"
#include "config/ini.h"
#include "config/symtab.h"

#ifndef VRELL_INSTALLED_CONFIG
#define VRELL_INSTALLED_CONFIG "/etc/vrell/vrell.ini"
#endif

namespace {

// The configuration layer keeps process-wide state (its line buffers and the tagged allocator's
// lists), while the client library promises that any number of threads may call it.
pthread_mutex_t config_lock = PTHREAD_MUTEX_INITIALIZER;

struct lock_guard {
  lock_guard() { pthread_mutex_lock(&config_lock); }
  ~lock_guard() { pthread_mutex_unlock(&config_lock); }
};

struct table_free {
  void operator()(symbol_table *table) const { symtab_free(table); }
};

// Copies text into out when it fits with its terminator; else leaves out empty.
int copy_out(const char *text, char *out, size_t out_size) {
  size_t length = strlen(text);
  if (length >= out_size) {
    out[0] = '\0';
    return VRELL_CLIENT_EARG;
  }
  memcpy(out, text, length + 1);
  return 0;
}

}  // namespace

extern "C" const char *vrell_client_installed_config(void) {
  return VRELL_INSTALLED_CONFIG;
}

extern "C" int vrell_client_socket_from_config(const char *conf_path, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return VRELL_CLIENT_EARG;
  out[0] = '\0';
  if (conf_path == nullptr || conf_path[0] == '\0') return VRELL_CLIENT_EARG;
  // The daemon refuses a file it cannot read before it loads it; so does the client. Only a
  // regular file is read: a directory reads as an empty file, which would send the caller to
  // the built-in socket, and a FIFO or /dev/zero would keep it waiting for ever. The type is
  // tested without opening, since opening a FIFO to read blocks until a writer comes.
  struct stat status;
  if (access(conf_path, R_OK) != 0 || stat(conf_path, &status) != 0 || !S_ISREG(status.st_mode))
    return VRELL_CLIENT_ECONFIG;

  lock_guard held;
  std::unique_ptr<symbol_table, table_free> table(symtab_new(nullptr, 0));
  if (table == nullptr || ini_load(table.get(), conf_path) == nullptr) return VRELL_CLIENT_ECONFIG;
  const char *text = symtab_get_text(table.get(), SETTINGS_KEY_SOCKET, DEFAULT_SOCKET_PATH);
  // An unset reference becomes an empty text, which would send the caller to another socket.
  char name[SETTINGS_PATH_MAX];
  if (ini_unset_ref(conf_path, SETTINGS_KEY_SOCKET, name, sizeof name)) {
    copy_out(name, out, out_size);
    return VRELL_CLIENT_EUNSET;
  }
  // The daemon keeps the value's first SETTINGS_PATH_MAX - 1 characters.
  char path[SETTINGS_PATH_MAX];
  size_t length = strnlen(text, sizeof path - 1);
  memcpy(path, text, length);
  path[length] = '\0';
  return copy_out(path, out, out_size);
}

extern "C" int vrell_client_find_socket(const char *socket_path, const char *conf_path, char *out,
                                        size_t out_size) {
  if (out == nullptr || out_size == 0) return VRELL_CLIENT_EARG;
  out[0] = '\0';
  if (socket_path != nullptr) return copy_out(socket_path, out, out_size);
  if (conf_path != nullptr) return vrell_client_socket_from_config(conf_path, out, out_size);
  const char *installed = vrell_client_installed_config();
  if (access(installed, R_OK) == 0)
    return vrell_client_socket_from_config(installed, out, out_size);
  return copy_out(DEFAULT_SOCKET_PATH, out, out_size);
}
