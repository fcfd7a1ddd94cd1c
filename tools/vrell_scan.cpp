// SPDX-License-Identifier: BSD-2-Clause
// vrell-scan: scans files with ClamAV's clamd, asking the vrell daemon first whether the
// verdict on a file's present content is known, and telling it each verdict clamd gives.
// clamd is handed the descriptor that was stamped, so the bytes scanned are the ones the
// verdict is stored for.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "base/wire.h"
#include "client/client.h"
#include "tools/clamd.h"
#include "tools/file_key.h"

namespace {

// clamdscan's statuses.
constexpr int EXIT_CLEAN = 0;
constexpr int EXIT_FOUND = 1;
constexpr int EXIT_ERROR = 2;

// A daemon under load still answers within this; a hung one costs it once, then is left alone.
constexpr int CACHE_TIMEOUT_MS = 5000;
constexpr int CLAMD_CONNECT_MS = 10000;
// Longer than clamd's own limit on one scan (MaxScanTime, 120 s by default), after which it
// answers by itself.
constexpr int CLAMD_REPLY_MS = 300000;

constexpr char CACHED_INFECTED[] = "cached-infected";
constexpr char NOT_REGULAR[] = "Not a regular file";
constexpr char FILDES_COMMAND[] = "zFILDES";  // sent with its NUL, the z form's terminator

// The options: one row each makes the getopt string, the long options and the help text.
enum option_code {
  OPT_SOCKET = 's',
  OPT_CONFIG = 'c',
  OPT_HELP = 'h',
  OPT_CLAMD = 0x100,
  OPT_NO_CACHE,
  OPT_NO_SUMMARY,
  OPT_VERSION,
};
struct option_row {
  const char *name;
  int code;
  const char *argument;  // null for a flag
  const char *help;
};
constexpr option_row OPTIONS[] = {
    {"socket", OPT_SOCKET, "SOCKET", "the vrell daemon's socket"},
    {"config", OPT_CONFIG, "FILE", "read the vrell daemon's socket from its configuration FILE"},
    {"clamd", OPT_CLAMD, "SOCKET",
     "clamd's socket (default: the LocalSocket of its configuration)"},
    {"no-cache", OPT_NO_CACHE, nullptr, "scan every file, without asking or telling vrell"},
    {"no-summary", OPT_NO_SUMMARY, nullptr, "print no summary at the end"},
    {"help", OPT_HELP, nullptr, "print this text"},
    {"version", OPT_VERSION, nullptr, "print the version"},
};

constexpr char USAGE_HEAD[] =
    "Usage: vrell-scan [-s SOCKET | -c FILE] [--clamd SOCKET] [--no-cache] [--no-summary] "
    "PATH...\n"
    "Scans each regular file under PATH with clamd, unless the vrell daemon knows the verdict\n"
    "on its present content, and tells the daemon the verdicts clamd gives. Directories are\n"
    "scanned recursively; links named as PATH are followed, links inside directories are not.\n"
    "\n"
    "Options:\n";
constexpr char USAGE_TAIL[] =
    "The vrell daemon's socket is found as vrell-cli finds it: -s; else -c; else the installed\n"
    "configuration %s; else the built-in %s.\n"
    "When it cannot be reached, clamd scans every file. clamd's configuration is %s.\n"
    "\n"
    "Prints 'PATH: OK', 'PATH: NAME FOUND' ('cached-infected' when the verdict came from the\n"
    "cache) or 'PATH: MESSAGE ERROR' for each file, 'PATH: Not a regular file SKIPPED' for a\n"
    "FIFO, device or socket, then a summary.\n"
    "\n"
    "Exit status: 0 nothing found, 1 something found, 2 an error (it wins over 1).\n";

void print_usage(FILE *out) {
  fputs(USAGE_HEAD, out);
  for (const option_row &row : OPTIONS) {
    std::string left = row.code < 0x100 ? std::string("-") + static_cast<char>(row.code) + ", "
                                        : std::string("    ");
    left += std::string("--") + row.name;
    if (row.argument != nullptr) left += std::string(" ") + row.argument;
    fprintf(out, "  %-24s %s\n", left.c_str(), row.help);
  }
  fprintf(out, USAGE_TAIL, vrell_client_installed_config(), DEFAULT_SOCKET_PATH,
          CLAMD_CONF_DEFAULT);
}

int usage_error(const char *why) {
  fprintf(stderr, "vrell-scan: %s\nTry 'vrell-scan --help'.\n", why);
  return EXIT_ERROR;
}

struct scan_run {
  const char *cache_socket = nullptr;  // null with --no-cache and once the daemon failed
  std::string clamd_socket;            // empty when it is not known
  std::string clamd_problem;           // why it is not known
  long scanned = 0, from_cache = 0, infected = 0, errors = 0, skipped = 0;
};

void report(const std::string &path, const char *text, const char *word) {
  printf("%s: %s %s\n", path.c_str(), text, word);
}

void report_clean(const std::string &path) {
  printf("%s: OK\n", path.c_str());
}

void report_error(scan_run *run, const std::string &path, const std::string &message) {
  report(path, message.c_str(), "ERROR");
  ++run->errors;
}

void report_skipped(scan_run *run, const std::string &path) {
  report(path, NOT_REGULAR, "SKIPPED");
  ++run->skipped;
}

// The cache is an optimisation: once it fails to answer, the rest of the run goes without it.
void cache_failed(scan_run *run, int code) {
  fprintf(stderr,
          "vrell-scan: warning: the vrell daemon at %s: %s; every file is scanned by clamd\n",
          run->cache_socket, vrell_client_strerror(code));
  run->cache_socket = nullptr;
}

bool cache_unreachable(int code) {
  return code == VRELL_CLIENT_ECONNECT || code == VRELL_CLIENT_ESEND ||
         code == VRELL_CLIENT_ERECV || code == VRELL_CLIENT_ETIMEOUT;
}

// Hands fd to clamd (FILDES: the descriptor travels over the Unix socket, so clamd reads the
// very file that was stamped, whatever its path names by now) and reads its verdict.
clamd_verdict clamd_scan_fd(const std::string &socket_path, int fd) {
  int64_t start = clock_now_ms();
  unix_socket_guard engine(unix_socket_connect(socket_path.c_str(), start + CLAMD_CONNECT_MS));
  if (engine.fd < 0) {
    return {CLAMD_ERROR, "Can't connect to clamd at " + socket_path + ": " + strerror(errno)};
  }
  char dummy = 0;
  struct iovec part = {&dummy, 1};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  struct cmsghdr *rights = CMSG_FIRSTHDR(&message);
  rights->cmsg_level = SOL_SOCKET;
  rights->cmsg_type = SCM_RIGHTS;
  rights->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(rights), &fd, sizeof(int));
  if (send(engine.fd, FILDES_COMMAND, sizeof FILDES_COMMAND, MSG_NOSIGNAL) !=
          static_cast<ssize_t>(sizeof FILDES_COMMAND) ||
      sendmsg(engine.fd, &message, MSG_NOSIGNAL) != 1) {
    return {CLAMD_ERROR, std::string("Can't send the file to clamd: ") + strerror(errno)};
  }
  std::string replies;
  int64_t deadline = start + CLAMD_REPLY_MS;
  while (replies.size() < CLAMD_REPLY_MAX) {
    struct pollfd ready = {engine.fd, POLLIN, 0};
    int64_t left = deadline - clock_now_ms();
    int polled = left > 0 ? poll(&ready, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX))) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled == 0) return {CLAMD_ERROR, "No reply from clamd in time"};
    char block[1024];
    ssize_t got = polled < 0 ? -1 : recv(engine.fd, block, sizeof block, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {CLAMD_ERROR, std::string("Can't read clamd's reply: ") + strerror(errno)};
    if (got == 0) break;
    replies.append(block, static_cast<size_t>(got));
  }
  return clamd_parse_reply(replies);
}

// Scans the open regular file fd, known as path (absolute), and closes it.
void scan_file(scan_run *run, const std::string &path, int fd) {
  unix_socket_guard file(fd);
  struct stat status;
  if (fstat(fd, &status) != 0) return report_error(run, path, strerror(errno));
  if (!S_ISREG(status.st_mode)) return report_skipped(run, path);

  // A path the protocol cannot carry is scanned every time and never stored.
  bool carried = run->cache_socket != nullptr;
  if (carried) {
    int code = vrell_client_query_fd(run->cache_socket, path.c_str(), fd, CACHE_TIMEOUT_MS);
    if (code == VRELL_CLIENT_CLEAN || code == VRELL_CLIENT_INFECTED) {
      ++run->from_cache;
      if (code == VRELL_CLIENT_CLEAN) return report_clean(path);
      report(path, CACHED_INFECTED, "FOUND");
      ++run->infected;
      return;
    }
    if (cache_unreachable(code)) cache_failed(run, code);
    carried = run->cache_socket != nullptr && code != VRELL_CLIENT_EPATH;
  }

  int64_t started = clock_realtime_ns();
  clamd_verdict verdict = run->clamd_socket.empty() ? clamd_verdict{CLAMD_ERROR, run->clamd_problem}
                                                    : clamd_scan_fd(run->clamd_socket, fd);
  if (verdict.result == CLAMD_ERROR) return report_error(run, path, verdict.text);
  ++run->scanned;
  if (verdict.result == CLAMD_FOUND) {
    report(path, verdict.text.c_str(), "FOUND");
    ++run->infected;
  } else {
    report_clean(path);
  }
  if (!carried) return;
  int verdict_code =
      verdict.result == CLAMD_FOUND ? VRELL_CLIENT_VERDICT_INFECTED : VRELL_CLIENT_VERDICT_CLEAN;
  int code = vrell_client_add_fd(run->cache_socket, path.c_str(), fd, started, verdict_code,
                                 CACHE_TIMEOUT_MS);
  if (cache_unreachable(code)) cache_failed(run, code);
}

std::string child_path(const std::string &dir, const char *name) {
  return dir == "/" ? dir + name : dir + "/" + name;
}

// Scans the directory dir_fd, known as path, and what is below it; closes dir_fd. Entries go in
// name order, so that two runs print alike.
void scan_directory(scan_run *run, const std::string &path, int dir_fd) {
  unix_socket_guard dir(dir_fd);
  std::vector<std::string> names;
  {
    int listing = dup(dir_fd);
    DIR *stream = listing < 0 ? nullptr : fdopendir(listing);
    if (stream == nullptr) {
      if (listing >= 0) close(listing);
      return report_error(run, path, strerror(errno));
    }
    errno = 0;
    while (struct dirent *entry = readdir(stream)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.emplace_back(entry->d_name);
      errno = 0;
    }
    int failed = errno;
    closedir(stream);
    if (failed != 0) report_error(run, path, strerror(failed));
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string child = child_path(path, name.c_str());
    struct stat status;
    // Links inside a directory are not followed: they would lead out of the tree or round it.
    if (fstatat(dir_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      report_error(run, child, strerror(errno));
    } else if (S_ISLNK(status.st_mode)) {
      continue;
    } else if (S_ISDIR(status.st_mode)) {
      int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) {
        report_error(run, child, strerror(errno));
      } else {
        scan_directory(run, child, fd);
      }
    } else if (!S_ISREG(status.st_mode)) {
      report_skipped(run, child);
    } else {
      // Non-blocking: should a FIFO have taken the file's place since the fstatat, the open
      // cannot hang, and scan_file's fstat skips it.
      int fd =
          openat(dir_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
      if (fd < 0) {
        report_error(run, child, strerror(errno));
      } else {
        scan_file(run, child, fd);
      }
    }
  }
}

// A path named on the command line is keyed, reported and opened by its absolute form, as
// vrell-cli keys it; a link there is followed.
void scan_argument(scan_run *run, const char *given) {
  std::string path;
  // An empty path names nothing, not the working directory its absolute form would be.
  if (given[0] == '\0') return report_error(run, given, strerror(ENOENT));
  if (!file_key_absolute(given, &path)) return report_error(run, given, strerror(errno));
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return report_error(run, path, strerror(errno));
  if (S_ISDIR(status.st_mode)) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return report_error(run, path, strerror(errno));
    return scan_directory(run, path, fd);
  }
  // A device or FIFO is never opened: opening some devices acts on them.
  if (!S_ISREG(status.st_mode)) return report_skipped(run, path);
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return report_error(run, path, strerror(errno));
  scan_file(run, path, fd);
}

void print_summary(const scan_run &run, int64_t elapsed_ms) {
  printf(
      "\n----------- SCAN SUMMARY -----------\n"
      "Scanned files: %ld\n"
      "From cache: %ld\n"
      "Infected files: %ld\n"
      "Total errors: %ld\n"
      "Skipped files: %ld\n"
      "Time: %lld.%03lld sec (%lld m %lld s)\n",
      run.scanned, run.from_cache, run.infected, run.errors, run.skipped,
      static_cast<long long>(elapsed_ms / 1000), static_cast<long long>(elapsed_ms % 1000),
      static_cast<long long>(elapsed_ms / 60000), static_cast<long long>(elapsed_ms / 1000 % 60));
}

// The options before the paths.
struct scan_options {
  const char *socket = nullptr, *config = nullptr, *clamd = nullptr;
  bool use_cache = true, summary = true;
};

// Reads the options into options and leaves optind at the first path. Returns -1 to go on, or
// the exit status to end with (0 after --help and --version).
int parse_options(int argc, char **argv, scan_options *options) {
  std::string letters = "+";
  std::vector<struct option> long_options;
  for (const option_row &row : OPTIONS) {
    int has_argument = row.argument != nullptr ? required_argument : no_argument;
    long_options.push_back({row.name, has_argument, nullptr, row.code});
    if (row.code < 0x100)
      letters += std::string(1, static_cast<char>(row.code)) + (row.argument != nullptr ? ":" : "");
  }
  long_options.push_back({nullptr, 0, nullptr, 0});
  int option;
  while ((option = getopt_long(argc, argv, letters.c_str(), long_options.data(), nullptr)) != -1) {
    switch (option) {
      case OPT_SOCKET:
        options->socket = optarg;
        break;
      case OPT_CONFIG:
        options->config = optarg;
        break;
      case OPT_CLAMD:
        options->clamd = optarg;
        break;
      case OPT_NO_CACHE:
        options->use_cache = false;
        break;
      case OPT_NO_SUMMARY:
        options->summary = false;
        break;
      case OPT_HELP:
        print_usage(stdout);
        return EXIT_CLEAN;
      case OPT_VERSION:
        printf("vrell-scan %s\n", VRELL_VERSION);
        return EXIT_CLEAN;
      default:
        return usage_error("bad option");
    }
  }
  if (optind >= argc) return usage_error("no PATH given");
  return -1;
}

// Finds the sockets of the vrell daemon (into cache_socket, which run then points to) and of
// clamd as the options say. Returns -1 to go on, or the exit status to end with after a
// message. A clamd socket that is not known is not an error until a file needs clamd.
int find_sockets(const scan_options &options, scan_run *run, char *cache_socket, size_t size) {
  if (options.use_cache) {
    int found = vrell_client_find_socket(options.socket, options.config, cache_socket, size);
    if (found == VRELL_CLIENT_ECONFIG || found == VRELL_CLIENT_EUNSET) {
      const char *file =
          options.config != nullptr ? options.config : vrell_client_installed_config();
      if (found == VRELL_CLIENT_EUNSET) {
        // On this failure the library leaves the variable's NAME where the path would be.
        fprintf(stderr, "vrell-scan: %s: QXVrellSocket names $(%s), which is not set\n", file,
                cache_socket);
      } else {
        fprintf(stderr, "vrell-scan: %s: %s\n", file, vrell_client_strerror(found));
      }
      return EXIT_ERROR;
    }
    if (found < 0) return usage_error("socket path too long");
    run->cache_socket = cache_socket;
  }
  if (options.clamd != nullptr) {
    run->clamd_socket = options.clamd;
  } else {
    int read = clamd_socket_from_conf(CLAMD_CONF_DEFAULT, &run->clamd_socket);
    if (read != 0) {
      run->clamd_problem = std::string("No clamd socket: ") + CLAMD_CONF_DEFAULT + ": " +
                           (read == -2 ? "no LocalSocket" : strerror(errno));
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  int64_t start = clock_now_ms();
  scan_options options;
  int status = parse_options(argc, argv, &options);
  if (status >= 0) return status;
  scan_run run;
  char cache_socket[SETTINGS_PATH_MAX];
  status = find_sockets(options, &run, cache_socket, sizeof cache_socket);
  if (status >= 0) return status;

  for (int i = optind; i < argc; ++i) scan_argument(&run, argv[i]);
  if (options.summary) print_summary(run, clock_now_ms() - start);
  fflush(stdout);
  if (run.errors > 0) return EXIT_ERROR;
  return run.infected > 0 ? EXIT_FOUND : EXIT_CLEAN;
}
