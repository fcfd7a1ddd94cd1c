/* SPDX-License-Identifier: BSD-2-Clause */
// The daemon's five settings and their sources: built-in defaults, the configuration file's
// section "vrell" and the values given on the command line, which win over the file, which
// wins over the defaults. Also the check that admits command-line values, and the save of the
// effective settings back into the configuration file.
//
// Thread safety: main thread only. The module keeps its last message in one static text.
#ifndef VRELL_DAEMON_SETTINGS_H_
#define VRELL_DAEMON_SETTINGS_H_

#include <stdint.h>

#include "base/wire.h"

// Paths hold at most SETTINGS_PATH_MAX - 1 characters and a terminator (base/wire.h).
// Size of the last-error text, terminator included.
constexpr int SETTINGS_ERROR_MAX = 1024;
// Size of the buffer that receives a validation message, terminator included.
constexpr int SETTINGS_MESSAGE_MAX = 256;

constexpr char DEFAULT_PID_PATH[] = "/opt/Torvane/var/run/qxcache.pid";
constexpr uint8_t DEFAULT_THREADS = 10;
constexpr uint32_t DEFAULT_MAX_ENTRIES = 100;
constexpr uint32_t DEFAULT_LIFE_TIME = 10;

// Names of the keys in the loaded configuration: section "vrell", a colon, the key. The socket's
// key and default, which clients share, are SETTINGS_KEY_SOCKET and DEFAULT_SOCKET_PATH of
// base/wire.h.
constexpr char SETTINGS_KEY_PID[] = "vrell:QXVrellPid";
constexpr char SETTINGS_KEY_THREADS[] = "vrell:service threads";
constexpr char SETTINGS_KEY_MAX_ENTRIES[] = "vrell:cache max entry";
constexpr char SETTINGS_KEY_LIFE_TIME[] = "vrell:entry life time";

// Ranges admitted for command-line values, bounds included.
constexpr int SETTINGS_THREADS_MIN = 5;
constexpr int SETTINGS_THREADS_MAX = 25;
constexpr int SETTINGS_MAX_ENTRIES_MIN = 50;
constexpr int SETTINGS_MAX_ENTRIES_MAX = 1024;
constexpr int SETTINGS_LIFE_TIME_MIN = 0;
constexpr int SETTINGS_LIFE_TIME_MAX = 3600;

// Texts of the load and save: the last-error text after a failure or warning.
constexpr char SETTINGS_MSG_NULL_PARAMETERS[] = "Invalid null parameters";
constexpr char SETTINGS_MSG_CANNOT_READ[] = "Can not read conf file (%s)";
constexpr char SETTINGS_MSG_CANNOT_LOAD[] = "Can not load conf file (%s)";
constexpr char SETTINGS_MSG_KEY_MISSING[] = "'%s' Configuration missing. using default";
constexpr char SETTINGS_MSG_CANNOT_WRITE[] = "Can not write conf file (%s)";
constexpr char SETTINGS_MSG_CANNOT_SAVE[] = "Can not save conf file (%s)";
constexpr char SETTINGS_MSG_CANNOT_LOCK[] = "Can not lock conf file (%s)";

// Texts of the validation, each %s the command-line path under test.
constexpr char SETTINGS_MSG_NULL_ARGUMENTS[] = "Invalid NULL arguments";
constexpr char SETTINGS_MSG_SOCKET_NOT_ABSOLUTE[] = "Invalid socket path. Must start with '/'";
constexpr char SETTINGS_MSG_SOCKET_EXISTS[] = "Socket already opened at path (%s)";
constexpr char SETTINGS_MSG_NON_SOCKET_EXISTS[] = "Non-socket file exists at path (%s)";
constexpr char SETTINGS_MSG_SOCKET_INVALID[] = "Invalid socket path (%s)";
constexpr char SETTINGS_MSG_PID_INVALID[] = "Invalid pid file path (%s)";
constexpr char SETTINGS_MSG_PID_EXISTS[] = "File already exists at path (%s)";
constexpr char SETTINGS_MSG_THREADS[] = "Invalid cache thread count (%u). Min %d, Max %d";
constexpr char SETTINGS_MSG_MAX_ENTRIES[] = "Invalid cache capacity count (%u). Min %d, Max %d";
constexpr char SETTINGS_MSG_LIFE_TIME[] = "Invalid entry life time (%u). Min %d, Max %d";

// Texts of the check of a configuration file, one reason per value that the command line would
// refuse.
constexpr char SETTINGS_MSG_CHECK_UNSET[] = "$(%s) is not set in the environment";
constexpr char SETTINGS_MSG_CHECK_NUMBER[] = "not a number";
constexpr char SETTINGS_MSG_CHECK_RANGE[] = "out of range, %d to %d";
constexpr char SETTINGS_MSG_CHECK_ABSOLUTE[] = "not an absolute path";
constexpr char SETTINGS_MSG_CHECK_LONG[] = "longer than %zu characters";
constexpr char SETTINGS_MSG_CHECK_NO_DIRECTORY[] = "directory %s does not exist";
constexpr char SETTINGS_MSG_CHECK_UNWRITABLE[] = "directory %s is not writable";
constexpr char SETTINGS_MSG_CHECK_DEFAULT[] = "key missing, so the default: %s";

// The five settings, in the order of the validation and of the warnings. A setting's bit in the
// flags that settings_validate and settings_check take is settings_bit of its id; the
// command line's OPT_ bits for the five options that set them (daemon/cmdline.h) are these bits.
enum settings_id {
  SETTINGS_SOCK_PATH,
  SETTINGS_PID_FILE,
  SETTINGS_THREADS,
  SETTINGS_MAX_ENTRY,
  SETTINGS_LIFE,
  SETTINGS_COUNT
};

constexpr int32_t settings_bit(settings_id id) {
  return int32_t{1} << id;
}

struct daemon_settings {
  char socket_path[SETTINGS_PATH_MAX];
  char pid_path[SETTINGS_PATH_MAX];
  uint8_t threads;  // service threads; keeps the low 8 bits of what it is given
  uint32_t max_entries;
  uint32_t life_time;  // seconds
};

// Empties both paths and zeroes the numbers. Does nothing for null.
void settings_clear(daemon_settings *settings);

// Sets the five built-in defaults. Does nothing for null.
void settings_set_defaults(daemon_settings *settings);

// Copies at most SETTINGS_PATH_MAX - 1 characters of text into path (SETTINGS_PATH_MAX bytes)
// and terminates it. A null text gives an empty path.
void settings_copy_path(char *path, const char *text);

// Fills the record with the defaults, then with the configuration file's values: text keys
// keep their first 255 characters, number keys are decimal (threads keeps the low 8 bits) and
// a number key whose value is -1 counts as missing. File values are not range-tested.
// Returns 0 when all five keys were found, 1 when at least one was missing (its default stays;
// the last-error text names the last missing key), -1 on failure (message in the last-error
// text; the record holds the defaults when one was given). Never prints.
int settings_load(const char *conf_path, daemon_settings *settings);

// Rewrites the configuration file with the record's five values, keeping the file's other
// entries. The file is read as it is named, without search, and must be read whole: a file
// that is not writable, cannot be read (a directory among others) or cannot be saved is left
// byte for byte as it was. Returns 0 when the file was rewritten, -1 on failure (message in
// the last-error text). Holds an exclusive lock on the file from the read to the end of the
// rewrite (config/replace.h, replace_lock), so saves of one file by several processes follow one
// another; one that cannot take the lock within REPLACE_LOCK_WAIT_MS fails and leaves the file
// as it is. Never prints.
int settings_save(const char *conf_path, const daemon_settings *settings);

// Returns the message of the last failure or warning of load or save; empty when none.
const char *settings_last_error(void);

// Returns the status of the last load or save: -1 after a failure, 1 after a load with a
// missing key, 0 after a successful save; a clean load leaves it as it was (0 at start).
int32_t settings_last_status(void);

// Tests each command-line value whose option bit (OPT_, daemon/cmdline.h) is set in flags, in
// bit order, and copies the admitted ones into the effective record. Returns 0 when all were
// admitted; -1 at the first refusal, with its message (at most 255 characters) in message
// (SETTINGS_MESSAGE_MAX bytes, emptied first), the values before it already copied. A null
// message buffer gives -1 without a message. Numbers are compared unsigned, so -1 is refused.
// Never prints.
int settings_validate(const daemon_settings *command_line, daemon_settings *effective,
                      int32_t flags, char *message);

// Receives one value that settings_check finds: key as the file names it (without "vrell:"),
// the value as the daemon reads it (references replaced, quotes removed; the default for a
// missing key), and the reason, one of the SETTINGS_MSG_CHECK_ texts.
typedef void settings_report(const char *key, const char *value, const char *reason, void *context);

// Reads the configuration file as settings_load does and calls report (with context) once for
// each of the five values that the command line would refuse: a $(NAME) reference that is not
// set, a number that is not one or lies outside the command line's range (-1 keeps the default
// and passes), a path that is not absolute, a socket path longer than a socket address holds,
// or a path whose directory does not exist or cannot be written by this process. Existing
// files at the paths pass: a running daemon's own. A value whose option bit (OPT_) is set in
// flags is left out: the command line's value replaces it. Returns the number of reports; -1
// when the file cannot be read or loaded (message in the last-error text). Writes nothing,
// never prints.
int settings_check(const char *conf_path, int32_t flags, settings_report *report, void *context);

#endif  // VRELL_DAEMON_SETTINGS_H_
