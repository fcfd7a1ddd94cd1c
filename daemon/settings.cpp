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

namespace {

// One row per setting drives the defaults, the load, the save, the validation of a command-line
// value and the check of a file value. A row names its field by exactly one member pointer.
struct setting_row {
  const char *key = nullptr;        // the name in the loaded configuration
  settings_id id = SETTINGS_COUNT;  // its bit in the flags: settings_bit(id)
  char (daemon_settings::*path)[SETTINGS_PATH_MAX] = nullptr;
  uint8_t daemon_settings::*byte = nullptr;  // a number that keeps its low 8 bits
  uint32_t daemon_settings::*word = nullptr;
  const char *text_default = nullptr;
  uint32_t number_default = 0;
  // A number: the range the command line admits, bounds included, and the refusal.
  int min = 0;
  int max = 0;
  const char *out_of_range = nullptr;
  // A path: the longest the check passes, and the refusals, in the order of the tests.
  size_t longest = 0;
  const char *relative = nullptr;
  const char *socket_exists = nullptr;
  const char *other_exists = nullptr;
  const char *no_directory = nullptr;
};

// In the order of the ids, which is the order of the validation and of the warnings.
constexpr setting_row setting_rows[] = {
    {.key = SETTINGS_KEY_SOCKET,
     .id = SETTINGS_SOCK_PATH,
     .path = &daemon_settings::socket_path,
     .text_default = DEFAULT_SOCKET_PATH,
     // A longer path does not fit a socket address.
     .longest = UNIX_SOCKET_PATH_MAX,
     .relative = SETTINGS_MSG_SOCKET_NOT_ABSOLUTE,
     .socket_exists = SETTINGS_MSG_SOCKET_EXISTS,
     .other_exists = SETTINGS_MSG_NON_SOCKET_EXISTS,
     .no_directory = SETTINGS_MSG_SOCKET_INVALID},
    {.key = SETTINGS_KEY_PID,
     .id = SETTINGS_PID_FILE,
     .path = &daemon_settings::pid_path,
     .text_default = DEFAULT_PID_PATH,
     .longest = SETTINGS_PATH_MAX - 1,
     .relative = SETTINGS_MSG_PID_INVALID,
     .socket_exists = SETTINGS_MSG_PID_EXISTS,
     .other_exists = SETTINGS_MSG_PID_EXISTS,
     .no_directory = SETTINGS_MSG_PID_INVALID},
    {.key = SETTINGS_KEY_THREADS,
     .id = SETTINGS_THREADS,
     .byte = &daemon_settings::threads,
     .number_default = DEFAULT_THREADS,
     .min = SETTINGS_THREADS_MIN,
     .max = SETTINGS_THREADS_MAX,
     .out_of_range = SETTINGS_MSG_THREADS},
    {.key = SETTINGS_KEY_MAX_ENTRIES,
     .id = SETTINGS_MAX_ENTRY,
     .word = &daemon_settings::max_entries,
     .number_default = DEFAULT_MAX_ENTRIES,
     .min = SETTINGS_MAX_ENTRIES_MIN,
     .max = SETTINGS_MAX_ENTRIES_MAX,
     .out_of_range = SETTINGS_MSG_MAX_ENTRIES},
    {.key = SETTINGS_KEY_LIFE_TIME,
     .id = SETTINGS_LIFE,
     .word = &daemon_settings::life_time,
     .number_default = DEFAULT_LIFE_TIME,
     .min = SETTINGS_LIFE_TIME_MIN,
     .max = SETTINGS_LIFE_TIME_MAX,
     .out_of_range = SETTINGS_MSG_LIFE_TIME},
};

constexpr bool rows_are_whole() {
  int index = 0;
  for (const setting_row &row : setting_rows) {
    int fields = (row.path != nullptr) + (row.byte != nullptr) + (row.word != nullptr);
    if (row.key == nullptr || row.id != index++ || fields != 1) return false;
    bool messages = row.path != nullptr
                        ? row.text_default != nullptr && row.relative != nullptr &&
                              row.socket_exists != nullptr && row.other_exists != nullptr &&
                              row.no_directory != nullptr
                        : row.out_of_range != nullptr;
    if (!messages) return false;
  }
  return index == SETTINGS_COUNT;
}
static_assert(rows_are_whole(), "each setting names one field, its default and its messages");

// The value as the row's field keeps it: the thread count only its low 8 bits.
uint32_t as_kept(const setting_row &row, uint32_t value) {
  return row.byte != nullptr ? static_cast<uint8_t>(value) : value;
}

uint32_t number_of(const daemon_settings &settings, const setting_row &row) {
  return row.byte != nullptr ? settings.*row.byte : settings.*row.word;
}

void set_number(daemon_settings &settings, const setting_row &row, uint32_t value) {
  if (row.byte != nullptr) {
    settings.*row.byte = static_cast<uint8_t>(value);
  } else {
    settings.*row.word = value;
  }
}

}  // namespace

void settings_clear(daemon_settings *settings) {
  if (settings == nullptr) return;
  *settings = daemon_settings{};
}

void settings_set_defaults(daemon_settings *settings) {
  if (settings == nullptr) return;
  settings_clear(settings);
  for (const setting_row &row : setting_rows) {
    if (row.path != nullptr) {
      settings_copy_path(settings->*row.path, row.text_default);
    } else {
      set_number(*settings, row, row.number_default);
    }
  }
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

// Stores the file's value of one setting; returns false when the key is missing. A number
// key whose value is -1 counts as missing.
bool load_value(symbol_table *table, const setting_row &row, daemon_settings *settings) {
  if (row.path != nullptr) {
    const char *text = symtab_get_text(table, row.key, nullptr);
    if (text == nullptr) return false;
    settings_copy_path(settings->*row.path, text);
    return true;
  }
  int32_t value = symtab_get_int(table, row.key, -1);
  if (value == -1) return false;
  set_number(*settings, row, static_cast<uint32_t>(value));
  return true;
}

// Returns true when the directory part of path names an existing directory. dirname works on
// a copy because it may write into its argument.
bool parent_is_directory(const char *path) {
  char copy[SETTINGS_PATH_MAX];
  settings_copy_path(copy, path);
  return path_file_type(dirname(copy)) == PATH_TYPE_DIRECTORY;
}

// Returns 0 when the command line's path may be created, else -1 with the refusal in message.
// Every refusal names the path; the socket's first does not, and its format has no %s.
int check_path(const setting_row &row, const char *path, char *message) {
  if (path[0] != '/') {
    put_message(message, SETTINGS_MESSAGE_MAX, row.relative, path);
  } else if (access(path, F_OK) == 0) {
    bool socket = path_file_type(path) == PATH_TYPE_SOCKET;
    put_message(message, SETTINGS_MESSAGE_MAX, socket ? row.socket_exists : row.other_exists, path);
  } else if (!parent_is_directory(path)) {
    put_message(message, SETTINGS_MESSAGE_MAX, row.no_directory, path);
  } else {
    return 0;
  }
  return -1;
}

// Returns 0 when the command line's number lies in the row's range, else -1 with the refusal in
// message. Unsigned, so that -1 is refused.
int check_range(const setting_row &row, uint32_t value, char *message) {
  if (value >= static_cast<uint32_t>(row.min) && value <= static_cast<uint32_t>(row.max)) return 0;
  put_message(message, SETTINGS_MESSAGE_MAX, row.out_of_range, value, row.min, row.max);
  return -1;
}

// Writes why the number text would be refused into reason; returns false when it passes. The
// value is the one settings_load takes, so -1 passes as missing.
bool number_problem(const setting_row &row, const char *text, char *reason, size_t size) {
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
  uint32_t tested = as_kept(row, static_cast<uint32_t>(value));
  if (tested >= static_cast<uint32_t>(row.min) && tested <= static_cast<uint32_t>(row.max))
    return false;
  put_message(reason, size, SETTINGS_MSG_CHECK_RANGE, row.min, row.max);
  return true;
}

// Writes why the path would be refused into reason; returns false when it passes.
bool path_problem(const setting_row &row, const char *path, char *reason, size_t size) {
  char directory[SETTINGS_PATH_MAX];
  settings_copy_path(directory, path);
  dirname(directory);
  if (path[0] != '/') {
    put_message(reason, size, "%s", SETTINGS_MSG_CHECK_ABSOLUTE);
  } else if (strlen(path) > row.longest) {
    put_message(reason, size, SETTINGS_MSG_CHECK_LONG, row.longest);
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
  for (const setting_row &row : setting_rows) {
    if ((flags & settings_bit(row.id)) != 0) continue;
    const char *text = symtab_get_text(table.get(), row.key, nullptr);
    char reason[SETTINGS_ERROR_MAX];
    char ref[SETTINGS_MESSAGE_MAX];
    bool found;
    if (text != nullptr && ini_unset_ref(conf_path, row.key, ref, sizeof ref)) {
      put_message(reason, sizeof reason, SETTINGS_MSG_CHECK_UNSET, ref);
      found = true;
    } else if (row.path == nullptr) {
      found = text != nullptr && number_problem(row, text, reason, sizeof reason);
    } else {
      // The daemon keeps the first 255 characters; the length test sees them all.
      found = path_problem(row, text != nullptr ? text : row.text_default, reason, sizeof reason);
      if (found && text == nullptr) {
        char inner[SETTINGS_ERROR_MAX];
        put_message(inner, sizeof inner, "%s", reason);
        put_message(reason, sizeof reason, SETTINGS_MSG_CHECK_DEFAULT, inner);
      }
    }
    if (!found) continue;
    ++problems;
    // The key as the file writes it, after the section's name and colon.
    const char *key = strchr(row.key, ':') + 1;
    if (report != nullptr) report(key, text != nullptr ? text : row.text_default, reason, context);
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
  for (const setting_row &row : setting_rows) {
    if ((flags & settings_bit(row.id)) == 0) continue;
    if (row.path != nullptr) {
      // A local copy bounds the path even if the record was filled without a terminator.
      char path[SETTINGS_PATH_MAX];
      settings_copy_path(path, command_line->*row.path);
      if (check_path(row, path, message) != 0) return -1;
      settings_copy_path(effective->*row.path, path);
    } else {
      uint32_t value = number_of(*command_line, row);
      if (check_range(row, value, message) != 0) return -1;
      set_number(*effective, row, value);
    }
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
  for (const setting_row &row : setting_rows) {
    // Each missing key replaces the text, so that it names the last one.
    if (!load_value(table.get(), row, settings)) {
      result = set_error(1, SETTINGS_MSG_KEY_MISSING, row.key);
    }
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
  for (const setting_row &row : setting_rows) {
    // Bounded to 255 characters, terminated, or "%u": both fit the buffer.
    char value[SETTINGS_PATH_MAX];
    if (row.path != nullptr) {
      settings_copy_path(value, settings->*row.path);
    } else {
      snprintf(value, sizeof value, "%u", number_of(*settings, row));
    }
    // A key that could not be stored would silently vanish from the file, so it fails the save.
    if (symtab_put(table.get(), row.key, value, nullptr, 0) == nullptr) {
      return set_error(-1, SETTINGS_MSG_CANNOT_SAVE, conf_path);
    }
  }
  if (ini_save(table.get(), conf_path) < 0) {
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
