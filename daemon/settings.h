// The daemon's five settings and their sources: built-in defaults, the configuration file's
// section "vrell" and the values given on the command line, which win over the file, which
// wins over the defaults. Also the check that admits command-line values, and the save of the
// effective settings back into the configuration file.
//
// Thread safety: main thread only. The module keeps its last message in one static text.
#ifndef VRELL_DAEMON_SETTINGS_H_
#define VRELL_DAEMON_SETTINGS_H_

#include <stdint.h>

// Paths hold at most 255 characters and a terminator.
constexpr int SETTINGS_PATH_MAX = 256;
// Size of the last-error text, terminator included.
constexpr int SETTINGS_ERROR_MAX = 1024;

constexpr char DEFAULT_SOCKET_PATH[] = "/opt/Torvane/var/run/qxvrell";
constexpr char DEFAULT_PID_PATH[] = "/opt/Torvane/var/run/qxcache.pid";
constexpr uint8_t DEFAULT_THREADS = 10;
constexpr uint32_t DEFAULT_MAX_ENTRIES = 100;
constexpr uint32_t DEFAULT_LIFE_TIME = 10;

struct daemon_settings {
  char socket_path[SETTINGS_PATH_MAX];
  char pid_path[SETTINGS_PATH_MAX];
  uint8_t threads;  // service threads and listen backlog; keeps the low 8 bits of what it is given
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

// Fills the record with the defaults, then with the configuration file's values. Returns 0
// when all five keys were found, 1 when at least one was missing (its default stays; the
// last-error text names the last missing key), -1 on failure (message in the last-error text).
int settings_load(const char *conf_path, daemon_settings *settings);

// Rewrites the configuration file with the record's five values, keeping the file's other
// entries. Returns 0 when the file was rewritten, -1 on failure.
int settings_save(const char *conf_path, const daemon_settings *settings);

// Returns the message of the last failure or warning of this module; empty when none.
const char *settings_last_error(void);

// Tests each command-line value whose option bit is set in flags and copies the admitted ones
// into the effective record. Returns 0 when all were admitted; -1 at the first refusal, with its
// message (at most 255 characters) in message (256 bytes). A null message buffer gives -1.
int settings_validate(const daemon_settings *command_line, daemon_settings *effective,
                      int32_t flags, char *message);

#endif  // VRELL_DAEMON_SETTINGS_H_
