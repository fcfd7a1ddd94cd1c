// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_options.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <type_traits>
#include <vector>

#include "base/unix_socket.h"

namespace {

// The column the help texts start at.
constexpr size_t kHelpColumn = 25;

// long long, since counts and seeds pass the range of a 32-bit long.
bool parse_int(const char *text, long long low, long long high, long long *value) {
  char *end;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

template <auto field, long long low, long long high>
bool set_int(const char *text, bench_options *options) {
  long long v;
  if (!parse_int(text, low, high, &v)) return false;
  options->*field = static_cast<std::remove_reference_t<decltype(options->*field)>>(v);
  return true;
}

template <auto field>
bool set_flag(const char *, bench_options *options) {
  options->*field = true;
  return true;
}

template <bench_protocol p>
bool set_protocol(const char *, bench_options *options) {
  options->speaks = p;
  return true;
}

bool set_socket(const char *text, bench_options *options) {
  options->socket_path = text;
  return true;
}

bool set_prefix(const char *text, bench_options *options) {
  options->prefix = text;
  return true;
}

bool set_duration(const char *text, bench_options *options) {
  char *end;
  options->duration = strtod(text, &end);
  return end != text && *end == '\0' && options->duration >= 0;
}

bool set_mix(const char *text, bench_options *options) {
  int q, a, d;
  char tail;
  if (sscanf(text, "%d,%d,%d%c", &q, &a, &d, &tail) != 3) return false;
  if (q < 0 || a < 0 || d < 0 || q + a + d == 0) return false;
  options->mix[0] = q;
  options->mix[1] = a;
  options->mix[2] = d;
  return true;
}

using o = bench_options;

// The order is that of the usage text, and of the names getopt offers for an ambiguous prefix.
constexpr bench_option_row kRows[] = {
    {"socket", 's', "PATH", "socket of the daemon (or of the peer with --redis, --memcached)",
     set_socket},
    {"concurrency", 'c', "N", "client threads (default 1)", set_int<&o::concurrency, 1, 1024>},
    {"count", 'n', "N", "stop after N requests in all (default 0: no bound)",
     set_int<&o::count, 0, INT64_MAX>},
    {"duration", 'd', "SEC", "stop after SEC seconds (default 5; 0: no bound)", set_duration},
    {"timeout", 't', "MS", "bound of the connect and of the reply (default 2000)",
     set_int<&o::timeout_ms, 1, 3600000>},
    {"mix", 'm', "Q,A,D", "shares of queries, adds and deletes (default 90,8,2)", set_mix},
    {"paths", 'p', "N", "distinct paths (default 1024)", set_int<&o::paths, 1, 10000000>},
    {"prefix", 0, "TEXT", "directory the paths lie under (default /srv/scan)", set_prefix},
    {"preload", 0, nullptr, "add every path once before the measured run", set_flag<&o::preload>},
    {"seed", 0, "N", "seed of the request mix (default 1)", set_int<&o::seed, 0, UINT32_MAX>},
    {"redis", 0, nullptr, "speak RESP to redis-server instead of the vrell protocol",
     set_protocol<bench_protocol::redis>},
    {"memcached", 0, nullptr, "speak memcached's text protocol (get, set, delete) instead",
     set_protocol<bench_protocol::memcached>},
    {"scan", 0, nullptr,
     "query a path and add it when not answered from the cache,\n"
     "printing the hit rate each second (vrell protocol only)",
     set_flag<&o::scan>},
    {"files", 0, "M", "scan: files of Zipf-like popularity (default 500)",
     set_int<&o::files, 1, 10000000>},
    {"once", 0, "PCT", "scan: percent of queries for paths seen only once (default 30)",
     set_int<&o::once_percent, 0, 100>},
    {"server-pid", 0, "PID",
     "report the CPU time and context switches of the server\n"
     "process PID per request answered",
     set_int<&o::server_pid, 1, INT32_MAX>},
    {"vanish", 0, "N",
     "N more clients that connect, send half a request or nothing,\n"
     "and close (vrell protocol only)",
     set_int<&o::vanish, 0, 1024>},
    {"silent", 0, "N",
     "N more clients that connect and send nothing until the daemon\n"
     "answers them (vrell protocol only)",
     set_int<&o::silent, 0, 1024>},
    {"idle", 0, "K",
     "K more connections that connect and send nothing, re-opened\n"
     "whenever the server ends one (any protocol)",
     set_int<&o::idle, 0, 100000>},
    {"interval", 0, "MS",
     "each client sends one request every MS ms, from the start to\n"
     "the end of the duration (default 0: one after the other)",
     set_int<&o::interval_ms, 0, 3600000>},
    {"json", 0, nullptr, "print the report as one JSON object", set_flag<&o::json>},
    {"help", 'h', nullptr, "this text", nullptr},
};

// getopt's value for row i: its letter, or past every byte for a long form only.
int getopt_value(size_t i) {
  return kRows[i].letter != 0 ? kRows[i].letter : 256 + static_cast<int>(i);
}

std::string make_usage() {
  std::string usage = "usage: vrell-bench -s SOCKET [options]\n";
  for (const bench_option_row &row : kRows) {
    std::string left = row.letter != 0 ? std::string("  -") + row.letter + ", --" : "      --";
    left.append(row.name);
    if (row.value != nullptr) left.append(" ").append(row.value);
    left.resize(std::max(left.size() + 1, kHelpColumn), ' ');
    usage.append(left);
    for (const char *help = row.help;;) {
      const char *newline = strchr(help, '\n');
      if (newline == nullptr) {
        usage.append(help).append("\n");
        break;
      }
      usage.append(help, newline + 1).append(kHelpColumn, ' ');
      help = newline + 1;
    }
  }
  return usage;
}

// Returns 0, or 2 when options go together that cannot.
int check_options(const bench_options &options, int argc) {
  if (options.socket_path == nullptr || optind != argc ||
      ((options.scan || options.vanish > 0 || options.silent > 0) &&
       options.speaks != bench_protocol::vrell) ||
      (options.interval_ms > 0 && (options.scan || options.duration <= 0))) {
    fputs(bench_options_usage().c_str(), stderr);
    return 2;
  }
  if (strlen(options.socket_path) > UNIX_SOCKET_PATH_MAX) {
    fprintf(stderr, "vrell-bench: socket path longer than 107 characters\n");
    return 2;
  }
  return 0;
}

}  // namespace

std::span<const bench_option_row> bench_options_rows(void) {
  return kRows;
}

const std::string &bench_options_usage(void) {
  static const std::string usage = make_usage();
  return usage;
}

int bench_options_parse(int argc, char *argv[], bench_options *options) {
  std::string letters;
  std::vector<option> table;
  for (size_t i = 0; i < std::size(kRows); i++) {
    const bench_option_row &row = kRows[i];
    int argument = row.value != nullptr ? required_argument : no_argument;
    if (row.letter != 0) letters.append(1, row.letter).append(argument ? ":" : "");
    table.push_back({row.name, argument, nullptr, getopt_value(i)});
  }
  table.push_back({nullptr, 0, nullptr, 0});
  for (int c; (c = getopt_long(argc, argv, letters.c_str(), table.data(), nullptr)) != -1;) {
    const bench_option_row *row = nullptr;
    for (size_t i = 0; i < std::size(kRows); i++)
      if (getopt_value(i) == c) row = &kRows[i];
    if (row != nullptr && row->set == nullptr) {
      fputs(bench_options_usage().c_str(), stdout);
      return 1;
    }
    // getopt has said what is wrong with an unknown option or a missing argument.
    if (row == nullptr || !row->set(optarg, options)) {
      if (row != nullptr) fprintf(stderr, "vrell-bench: bad value: %s\n", optarg);
      fputs(bench_options_usage().c_str(), stderr);
      return 2;
    }
  }
  return check_options(*options, argc);
}

const char *bench_options_protocol_name(bench_protocol p) {
  switch (p) {
    case bench_protocol::redis:
      return "redis";
    case bench_protocol::memcached:
      return "memcached";
    default:
      return "vrell";
  }
}
