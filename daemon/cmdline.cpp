// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/cmdline.h"

#include <ctype.h>
#include <getopt.h>
#include <stdio.h>

#include <array>

namespace {

struct option_row {
  const char *name;
  int argument;  // no_argument, required_argument or optional_argument
  char letter;   // 0 for a long-only option
  int32_t bit;
};

constexpr std::array<option_row, 11> option_table = {{
    {"sock-path", required_argument, 's', OPT_SOCK_PATH},
    {"pid-file", required_argument, 'p', OPT_PID_FILE},
    {"threads", required_argument, 't', OPT_THREADS},
    {"max-entry", required_argument, 'm', OPT_MAX_ENTRY},
    {"life", required_argument, 'l', OPT_LIFE},
    {"conf-file", required_argument, 'c', OPT_CONF_FILE},
    {"save", no_argument, 'v', OPT_SAVE},
    {"help", no_argument, 'h', OPT_HELP},
    {"foreground", no_argument, 'f', OPT_FOREGROUND},
    {"version", no_argument, 0, OPT_VERSION},
    {"check", no_argument, 0, OPT_CHECK},
}};

// What getopt_long returns for a row: its letter, or for a long-only row a value beyond every
// character, so that two long-only rows can never be taken for each other.
constexpr int LONG_ONLY_BASE = 0x100;

constexpr int option_value(size_t index) {
  return option_table[index].letter != 0 ? option_table[index].letter
                                         : LONG_ONLY_BASE + static_cast<int>(index);
}

constexpr char missing_config_text[] =
    "%s: Missing config file argument\nSee %s --help for more details\n";
constexpr char missing_config_name[] = "program";

// Reads a number the way atoi does, but saturates instead of overflowing, as strtol does on
// the 32-bit targets: a huge value must stay out of range rather than wrap into it.
int32_t parse_number(const char *text) {
  while (isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) return negative ? INT32_MIN : INT32_MAX;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

const option_row *find_row(int value) {
  for (size_t i = 0; i < option_table.size(); ++i) {
    if (option_value(i) == value) return &option_table[i];
  }
  return nullptr;
}

}  // namespace

int32_t read_command_line(int argc, char *argv[], daemon_settings *settings, char *conf_path) {
  std::array<option, option_table.size() + 1> long_options{};
  for (size_t i = 0; i < option_table.size(); ++i) {
    long_options[i] = {option_table[i].name, option_table[i].argument, nullptr, option_value(i)};
  }

  // Zero rather than 1 makes glibc reinitialise its whole scan state, including the position
  // inside a group of short options left over from an earlier call.
  optind = 0;
  int32_t flags = 0;
  int value;
  while ((value = getopt_long(argc, argv, CMDLINE_SHORT_OPTIONS, long_options.data(), nullptr)) !=
         -1) {
    const option_row *row = find_row(value);
    if (row == nullptr) continue;  // '?' or ':': getopt_long has already said why.
    flags |= row->bit;
    switch (row->bit) {
      case OPT_CONF_FILE:
        if (conf_path == nullptr) return -1;
        settings_copy_path(conf_path, optarg);
        break;
      case OPT_SOCK_PATH:
        if (settings != nullptr) settings_copy_path(settings->socket_path, optarg);
        break;
      case OPT_PID_FILE:
        if (settings != nullptr) settings_copy_path(settings->pid_path, optarg);
        break;
      case OPT_THREADS:
        if (settings != nullptr) settings->threads = static_cast<uint8_t>(parse_number(optarg));
        break;
      case OPT_MAX_ENTRY:
        if (settings != nullptr) {
          settings->max_entries = static_cast<uint32_t>(parse_number(optarg));
        }
        break;
      case OPT_LIFE:
        if (settings != nullptr) settings->life_time = static_cast<uint32_t>(parse_number(optarg));
        break;
      default:
        break;
    }
  }
  return flags;
}

void print_usage(void) {
  for (const option_row &row : option_table) {
    if (row.letter != 0) {
      printf("-%-2c--%-12s", row.letter, row.name);
    } else {
      printf("--%-15s", row.name);
    }
    if (row.argument == required_argument) {
      fputs(" value", stdout);
    } else if (row.argument == optional_argument) {
      fputs("[value]", stdout);
    }
    fputc('\n', stdout);
  }
}

void print_missing_config(const char *program_name) {
  const char *name = program_name != nullptr ? program_name : missing_config_name;
  printf(missing_config_text, name, name);
}
