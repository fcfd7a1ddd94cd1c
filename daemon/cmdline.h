/* SPDX-License-Identifier: BSD-2-Clause */
// The daemon's command line: eleven options whose values fill a command-line settings record
// and the configuration path, and whose flag bits (OPT_) tell the caller which options were
// given.
// One option table drives both the parsing and the help text.
//
// Thread safety: main thread only; getopt_long keeps its state in process-wide variables.
#ifndef VRELL_DAEMON_CMDLINE_H_
#define VRELL_DAEMON_CMDLINE_H_

#include <stdint.h>

#include "daemon/settings.h"

// Flag bits of read_command_line, one per option, in the order of its option table;
// settings_validate tests the value of each bit set.
constexpr int32_t OPT_SOCK_PATH = settings_bit(SETTINGS_SOCK_PATH);  // 0x01
constexpr int32_t OPT_PID_FILE = settings_bit(SETTINGS_PID_FILE);    // 0x02
constexpr int32_t OPT_THREADS = settings_bit(SETTINGS_THREADS);      // 0x04
constexpr int32_t OPT_MAX_ENTRY = settings_bit(SETTINGS_MAX_ENTRY);  // 0x08
constexpr int32_t OPT_LIFE = settings_bit(SETTINGS_LIFE);            // 0x10
constexpr int32_t OPT_CONF_FILE = 0x20;
constexpr int32_t OPT_SAVE = 0x40;
constexpr int32_t OPT_HELP = 0x80;
constexpr int32_t OPT_FOREGROUND = 0x100;  // stay in the foreground, log to standard error
constexpr int32_t OPT_VERSION = 0x200;     // long only: print the version and exit
constexpr int32_t OPT_CHECK = 0x400;       // long only: check the configuration file and exit

// The short options handed to getopt_long; the save option's letter is v, so the version has
// no letter.
constexpr char CMDLINE_SHORT_OPTIONS[] = "s:p:t:m:l:c:hvf";

// Parses argv with getopt_long. Paths are copied with at most 255 characters and always
// terminated; numbers are read like atoi (leading white space, a sign, decimal digits up to the
// first other character, 0 without digits; beyond the 32-bit range they saturate), and threads
// keeps the low 8 bits. A repeated option overwrites the earlier value; unrecognised options
// and missing arguments are skipped, with getopt_long's own diagnostic on standard error.
// When settings is null the values are not stored but the flags are still set.
// Returns the OR of the flag bits of all options met, or -1 when the configuration-file option
// is met and conf_path (256 bytes) is null.
// Re-entrant for repeated calls: getopt_long's scan is reset at the start of every call.
// getopt_long may permute argv.
int32_t read_command_line(int argc, char *argv[], daemon_settings *settings, char *conf_path);

// Writes the option list, one line per option in table order, to standard output.
void print_usage(void);

// Writes the missing-configuration text naming program_name ("program" when null) to standard
// output.
void print_missing_config(const char *program_name);

#endif  // VRELL_DAEMON_CMDLINE_H_
