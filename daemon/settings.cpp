// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/settings.h"

#include <ctype.h>
#include <libgen.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

#include "base/unix_socket.h"
#include "config/ini.h"
#include "config/path.h"
#include "config/replace.h"
#include "config/symtab.h"

void settings_clear(daemon_settings *settings) {
  if (settings == nullptr) return;
  memset(settings->socket_path, 0, sizeof settings->socket_path);
  memset(settings->pid_path, 0, sizeof settings->pid_path);
  settings->threads = 0;
  settings->max_entries = 0;
  settings->life_time = 0;
}

void settings_set_defaults(daemon_settings *settings) {
  if (settings == nullptr) return;
  settings_clear(settings);
  strcpy(settings->socket_path, DEFAULT_SOCKET_PATH);
  strcpy(settings->pid_path, DEFAULT_PID_PATH);
  settings->threads = DEFAULT_THREADS;
  settings->max_entries = DEFAULT_MAX_ENTRIES;
  settings->life_time = DEFAULT_LIFE_TIME;
}

void settings_copy_path(char *path, const char *text) {
  size_t length = 0;
  if (text != nullptr) {
    length = strnlen(text, SETTINGS_PATH_MAX - 1);
    memcpy(path, text, length);
  }
  path[length] = '\0';
}

namespace {

// Closes the descriptor that holds the save's lock, which lets the lock go.
struct lock_holder {
  int fd;
  ~lock_holder() {
    if (fd >= 0) close(fd);
  }
};

char last_error[SETTINGS_ERROR_MAX];
int32_t last_status;

// The working copy of the configuration serves one call only.
struct table_free {
  void operator()(symbol_table *table) const { symtab_free(table); }
};
using table_ptr = std::unique_ptr<symbol_table, table_free>;

// Writes a message bounded to its buffer; always terminated.
__attribute__((format(printf, 3, 4))) void put_message(char *buffer, size_t size,
                                                       const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, size, format, args);
  va_end(args);
}

// Replaces the last-error text and the status; returns the status.
__attribute__((format(printf, 2, 3))) int32_t set_error(int32_t status, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(last_error, sizeof last_error, format, args);
  va_end(args);
  last_status = status;
  return status;
}

// A fresh table holding the file's entries; null only when memory is exhausted. A file that
// cannot be located gives a table without them.
table_ptr load_table(const char *conf_path) {
  symbol_table *table = symtab_new(nullptr, 0);
  if (table == nullptr) return nullptr;
  return table_ptr(ini_load(table, conf_path));
}

// Returns true when the number key is present; -1 counts as missing.
bool read_number(symbol_table *table, const char *name, int32_t *value) {
  *value = symtab_get_int(table, name, -1);
  return *value != -1;
}

// Returns true when the directory part of path names an existing directory. dirname works on
// a copy because it may write into its argument.
bool parent_is_directory(const char *path) {
  char copy[SETTINGS_PATH_MAX];
  settings_copy_path(copy, path);
  return path_file_type(dirname(copy)) == PATH_TYPE_DIRECTORY;
}

// Returns 0 when the socket path may be bound, else -1 with the refusal in message.
int check_socket_path(const char *path, char *message) {
  if (path[0] != '/') {
    put_message(message, SETTINGS_MESSAGE_MAX, "%s", SETTINGS_MSG_SOCKET_NOT_ABSOLUTE);
  } else if (access(path, F_OK) == 0) {
    bool socket = path_file_type(path) == PATH_TYPE_SOCKET;
    put_message(message, SETTINGS_MESSAGE_MAX,
                socket ? SETTINGS_MSG_SOCKET_EXISTS : SETTINGS_MSG_NON_SOCKET_EXISTS, path);
  } else if (!parent_is_directory(path)) {
    put_message(message, SETTINGS_MESSAGE_MAX, SETTINGS_MSG_SOCKET_INVALID, path);
  } else {
    return 0;
  }
  return -1;
}

// Returns 0 when the pid file may be created, else -1 with the refusal in message.
int check_pid_path(const char *path, char *message) {
  if (path[0] != '/') {
    put_message(message, SETTINGS_MESSAGE_MAX, SETTINGS_MSG_PID_INVALID, path);
  } else if (access(path, F_OK) == 0) {
    put_message(message, SETTINGS_MESSAGE_MAX, SETTINGS_MSG_PID_EXISTS, path);
  } else if (!parent_is_directory(path)) {
    put_message(message, SETTINGS_MESSAGE_MAX, SETTINGS_MSG_PID_INVALID, path);
  } else {
    return 0;
  }
  return -1;
}

// Returns 0 when value lies in min..max, else -1 with the refusal in message.
int check_range(uint32_t value, int min, int max, const char *format, char *message) {
  if (value >= static_cast<uint32_t>(min) && value <= static_cast<uint32_t>(max)) return 0;
  put_message(message, SETTINGS_MESSAGE_MAX, format, value, min, max);
  return -1;
}

// The five values as the check sees them: what the command line would test of each.
enum class check_kind { socket_path, pid_path, number };
struct check_row {
  const char *name;
  int32_t option;  // the OPT_ bit of the command-line option that sets the same value
  check_kind kind;
  const char *fallback;  // the default of a path; numbers' defaults always pass
  int min;
  int max;
  bool low_byte;  // only the low 8 bits count, as for the thread count
};
constexpr check_row check_rows[] = {
    {SETTINGS_KEY_SOCKET, OPT_SOCK_PATH, check_kind::socket_path, DEFAULT_SOCKET_PATH, 0, 0, false},
    {SETTINGS_KEY_PID, OPT_PID_FILE, check_kind::pid_path, DEFAULT_PID_PATH, 0, 0, false},
    {SETTINGS_KEY_THREADS, OPT_THREADS, check_kind::number, nullptr, SETTINGS_THREADS_MIN,
     SETTINGS_THREADS_MAX, true},
    {SETTINGS_KEY_MAX_ENTRIES, OPT_MAX_ENTRY, check_kind::number, nullptr, SETTINGS_MAX_ENTRIES_MIN,
     SETTINGS_MAX_ENTRIES_MAX, false},
    {SETTINGS_KEY_LIFE_TIME, OPT_LIFE, check_kind::number, nullptr, SETTINGS_LIFE_TIME_MIN,
     SETTINGS_LIFE_TIME_MAX, false},
};

// Writes why the number text would be refused into reason; returns false when it passes. The
// value is the one settings_load takes, so -1 passes as missing.
bool number_problem(const check_row &row, const char *text, char *reason, size_t size) {
  const char *digits = text;
  while (isspace(static_cast<unsigned char>(*digits))) ++digits;
  if (*digits == '+' || *digits == '-') ++digits;
  char *end = nullptr;
  long wide = strtol(text, &end, 10);
  while (isspace(static_cast<unsigned char>(*end))) ++end;
  if (!isdigit(static_cast<unsigned char>(*digits)) || *end != '\0') {
    put_message(reason, size, "%s", SETTINGS_MSG_CHECK_NUMBER);
    return true;
  }
  // Clamped to 32 bits as the load reads it.
  int32_t value = wide > INT32_MAX   ? INT32_MAX
                  : wide < INT32_MIN ? INT32_MIN
                                     : static_cast<int32_t>(wide);
  if (value == -1) return false;
  uint32_t tested = row.low_byte ? static_cast<uint8_t>(value) : static_cast<uint32_t>(value);
  if (tested >= static_cast<uint32_t>(row.min) && tested <= static_cast<uint32_t>(row.max))
    return false;
  put_message(reason, size, SETTINGS_MSG_CHECK_RANGE, row.min, row.max);
  return true;
}

// Writes why the path would be refused into reason; returns false when it passes.
bool path_problem(const check_row &row, const char *path, char *reason, size_t size) {
  size_t limit = row.kind == check_kind::socket_path ? UNIX_SOCKET_PATH_MAX : SETTINGS_PATH_MAX - 1;
  char directory[SETTINGS_PATH_MAX];
  settings_copy_path(directory, path);
  dirname(directory);
  if (path[0] != '/') {
    put_message(reason, size, "%s", SETTINGS_MSG_CHECK_ABSOLUTE);
  } else if (strlen(path) > limit) {
    put_message(reason, size, SETTINGS_MSG_CHECK_LONG, limit);
  } else if (path_file_type(directory) != PATH_TYPE_DIRECTORY) {
    put_message(reason, size, SETTINGS_MSG_CHECK_NO_DIRECTORY, directory);
  } else if (access(directory, W_OK | X_OK) != 0) {
    put_message(reason, size, SETTINGS_MSG_CHECK_UNWRITABLE, directory);
  } else {
    return false;
  }
  return true;
}

}  // namespace

int settings_check(const char *conf_path, int32_t flags, settings_report *report, void *context) {
  last_error[0] = '\0';
  if (conf_path == nullptr) return set_error(-1, "%s", SETTINGS_MSG_NULL_PARAMETERS);
  if (access(conf_path, R_OK) != 0) return set_error(-1, SETTINGS_MSG_CANNOT_READ, conf_path);
  table_ptr table = load_table(conf_path);
  if (table == nullptr) return set_error(-1, SETTINGS_MSG_CANNOT_LOAD, conf_path);
  int problems = 0;
  for (const check_row &row : check_rows) {
    if ((flags & row.option) != 0) continue;
    const char *text = symtab_get_text(table.get(), row.name, nullptr);
    char reason[SETTINGS_ERROR_MAX];
    char ref[SETTINGS_MESSAGE_MAX];
    bool found;
    if (text != nullptr && ini_unset_ref(conf_path, row.name, ref, sizeof ref)) {
      put_message(reason, sizeof reason, SETTINGS_MSG_CHECK_UNSET, ref);
      found = true;
    } else if (row.kind == check_kind::number) {
      found = text != nullptr && number_problem(row, text, reason, sizeof reason);
    } else {
      // The daemon keeps the first 255 characters; the length test sees them all.
      found = path_problem(row, text != nullptr ? text : row.fallback, reason, sizeof reason);
      if (found && text == nullptr) {
        char inner[SETTINGS_ERROR_MAX];
        put_message(inner, sizeof inner, "%s", reason);
        put_message(reason, sizeof reason, SETTINGS_MSG_CHECK_DEFAULT, inner);
      }
    }
    if (!found) continue;
    ++problems;
    // The key as the file writes it, after the section's name and colon.
    const char *key = strchr(row.name, ':') + 1;
    if (report != nullptr) report(key, text != nullptr ? text : row.fallback, reason, context);
  }
  return problems;
}

int settings_validate(const daemon_settings *command_line, daemon_settings *effective,
                      int32_t flags, char *message) {
  if (message == nullptr) return -1;
  if (command_line == nullptr || effective == nullptr) {
    put_message(message, SETTINGS_MESSAGE_MAX, "%s", SETTINGS_MSG_NULL_ARGUMENTS);
    return -1;
  }
  message[0] = '\0';
  // Local copies bound the paths even if the record was filled without a terminator.
  char path[SETTINGS_PATH_MAX];
  if (flags & OPT_SOCK_PATH) {
    settings_copy_path(path, command_line->socket_path);
    if (check_socket_path(path, message) != 0) return -1;
    settings_copy_path(effective->socket_path, path);
  }
  if (flags & OPT_PID_FILE) {
    settings_copy_path(path, command_line->pid_path);
    if (check_pid_path(path, message) != 0) return -1;
    settings_copy_path(effective->pid_path, path);
  }
  if (flags & OPT_THREADS) {
    if (check_range(command_line->threads, SETTINGS_THREADS_MIN, SETTINGS_THREADS_MAX,
                    SETTINGS_MSG_THREADS, message) != 0) {
      return -1;
    }
    effective->threads = command_line->threads;
  }
  if (flags & OPT_MAX_ENTRY) {
    if (check_range(command_line->max_entries, SETTINGS_MAX_ENTRIES_MIN, SETTINGS_MAX_ENTRIES_MAX,
                    SETTINGS_MSG_MAX_ENTRIES, message) != 0) {
      return -1;
    }
    effective->max_entries = command_line->max_entries;
  }
  if (flags & OPT_LIFE) {
    if (check_range(command_line->life_time, SETTINGS_LIFE_TIME_MIN, SETTINGS_LIFE_TIME_MAX,
                    SETTINGS_MSG_LIFE_TIME, message) != 0) {
      return -1;
    }
    effective->life_time = command_line->life_time;
  }
  return 0;
}

int settings_load(const char *conf_path, daemon_settings *settings) {
  last_error[0] = '\0';
  if (conf_path == nullptr || settings == nullptr) {
    return set_error(-1, "%s", SETTINGS_MSG_NULL_PARAMETERS);
  }
  settings_set_defaults(settings);
  if (access(conf_path, R_OK) != 0) return set_error(-1, SETTINGS_MSG_CANNOT_READ, conf_path);
  table_ptr table = load_table(conf_path);
  if (table == nullptr) return set_error(-1, SETTINGS_MSG_CANNOT_LOAD, conf_path);

  int result = 0;
  auto missing = [&result](const char *name) {
    result = set_error(1, SETTINGS_MSG_KEY_MISSING, name);
  };
  const char *text = symtab_get_text(table.get(), SETTINGS_KEY_SOCKET, nullptr);
  if (text != nullptr) {
    settings_copy_path(settings->socket_path, text);
  } else {
    missing(SETTINGS_KEY_SOCKET);
  }
  text = symtab_get_text(table.get(), SETTINGS_KEY_PID, nullptr);
  if (text != nullptr) {
    settings_copy_path(settings->pid_path, text);
  } else {
    missing(SETTINGS_KEY_PID);
  }
  int32_t value;
  if (read_number(table.get(), SETTINGS_KEY_THREADS, &value)) {
    settings->threads = static_cast<uint8_t>(value);
  } else {
    missing(SETTINGS_KEY_THREADS);
  }
  if (read_number(table.get(), SETTINGS_KEY_MAX_ENTRIES, &value)) {
    settings->max_entries = static_cast<uint32_t>(value);
  } else {
    missing(SETTINGS_KEY_MAX_ENTRIES);
  }
  if (read_number(table.get(), SETTINGS_KEY_LIFE_TIME, &value)) {
    settings->life_time = static_cast<uint32_t>(value);
  } else {
    missing(SETTINGS_KEY_LIFE_TIME);
  }
  return result;
}

int settings_save(const char *conf_path, const daemon_settings *settings) {
  last_error[0] = '\0';
  if (conf_path == nullptr || settings == nullptr) {
    return set_error(-1, "%s", SETTINGS_MSG_NULL_PARAMETERS);
  }
  if (access(conf_path, W_OK) != 0) return set_error(-1, SETTINGS_MSG_CANNOT_WRITE, conf_path);
  // Held from the read to the end of the commit: a second save at the same time would
  // otherwise interleave its rewrite with this one and could leave a file cut mid-line.
  lock_holder lock{replace_lock(conf_path)};
  if (lock.fd < 0) return set_error(-1, SETTINGS_MSG_CANNOT_LOCK, conf_path);
  table_ptr table(symtab_new(nullptr, 0));
  if (table == nullptr) return set_error(-1, SETTINGS_MSG_CANNOT_LOAD, conf_path);
  // The save rewrites exactly this file, so it reads exactly this file, without the search
  // along PATH; a file it could not read whole would lose what it holds.
  if (!ini_merge_checked(table.get(), conf_path)) {
    return set_error(-1, SETTINGS_MSG_CANNOT_READ, conf_path);
  }

  char number[SETTINGS_MESSAGE_MAX];
  auto put = [&table](const char *name, const char *value) {
    return symtab_put(table.get(), name, value, nullptr, 0) != nullptr;
  };
  auto put_number = [&](const char *name, uint32_t value) {
    snprintf(number, sizeof number, "%u", value);
    return put(name, number);
  };
  // A key that could not be stored would silently vanish from the file, so it fails the save.
  char path[SETTINGS_PATH_MAX];
  bool stored = true;
  settings_copy_path(path, settings->socket_path);
  stored = stored && put(SETTINGS_KEY_SOCKET, path);
  settings_copy_path(path, settings->pid_path);
  stored = stored && put(SETTINGS_KEY_PID, path);
  stored = stored && put_number(SETTINGS_KEY_THREADS, settings->threads);
  stored = stored && put_number(SETTINGS_KEY_MAX_ENTRIES, settings->max_entries);
  stored = stored && put_number(SETTINGS_KEY_LIFE_TIME, settings->life_time);
  if (!stored || ini_save(table.get(), conf_path) < 0) {
    return set_error(-1, SETTINGS_MSG_CANNOT_SAVE, conf_path);
  }
  last_status = 0;
  return 0;
}

const char *settings_last_error(void) {
  return last_error;
}

int32_t settings_last_status(void) {
  return last_status;
}
