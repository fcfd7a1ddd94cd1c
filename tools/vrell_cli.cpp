// SPDX-License-Identifier: BSD-2-Clause
// vrell-cli: sends one request to the vrell daemon and prints its reply line as received, or
// the counters of the stats reply one per line.

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/wire.h"
#include "client/client.h"
#include "tools/file_key.h"

namespace {

constexpr int EXIT_REPLY = 0;
// The stats request got another reply than the counters, or add-file stored nothing since the
// file changed less than 2 s before.
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_UNREACHABLE = 2;  // no daemon at the socket, or no whole reply
constexpr int EXIT_TIMEOUT = 3;      // no reply within CLI_TIMEOUT_MS
constexpr int EXIT_DENIED = 4;       // this user may not reach the socket
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_NO_FILE = 66;       // the file of add-file or query-file cannot be examined
constexpr int EXIT_WRONG_SERVER = 77;  // the socket is served by another user than --server-uid
constexpr int EXIT_NO_CONFIG = 78;     // the configuration file of -c cannot be read
// Generous: a daemon under load still answers, a hung one does not keep the caller for ever.
constexpr int CLI_TIMEOUT_MS = 10000;
// The group of the installed service, whose members may reach its socket.
constexpr char SERVICE_GROUP[] = "_vrell";
// getopt_long's value for --version, which has no letter.
constexpr int OPTION_VERSION = 0x100;

constexpr char USAGE[] =
    "Usage: vrell-cli [-s SOCKET | -c FILE] [-u USER] COMMAND [ARGUMENT...]\n"
    "Sends one request to the vrell daemon and prints its reply line.\n"
    "\n"
    "Commands:\n"
    "  status                        the daemon's status line\n"
    "  stats [--json]                the daemon's counters, one 'name value' per line\n"
    "                                (--json: one JSON object)\n"
    "  add MTIME VERDICT PATH        add or update the verdict on PATH\n"
    "  query MTIME PATH              ask for the verdict on PATH at modification time MTIME\n"
    "  delete PATH                   remove the entry of PATH\n"
    "  clear                         remove every entry\n"
    "  raw TEXT                      send TEXT and a NUL exactly as given\n"
    "  add-file PATH clean|infected  add, with the file's stamp as MTIME\n"
    "  query-file PATH               query, with the file's stamp as MTIME\n"
    "VERDICT is clean, infected, 0 or 1; MTIME is a decimal number (signed 64-bit). PATH is\n"
    "not empty, does not end in CR or LF, and holds at most 1008 characters.\n"
    "add-file and query-file open PATH once, a regular file, and send its stamp, the time\n"
    "of its last status change in nanoseconds (st_ctim), under its absolute path. add-file\n"
    "stores nothing for a file changed less than 2 s before it runs: give it the verdict of a\n"
    "scan of the file as it is now.\n"
    "\n"
    "Options:\n"
    "  -s, --socket SOCKET    the daemon's socket\n"
    "  -c, --config FILE      read the socket from the daemon's configuration FILE\n"
    "  -u, --server-uid USER  refuse a daemon that does not run as USER (a name or a uid)\n"
    "  -h, --help             print this text\n"
    "      --version          print the version\n"
    "The socket is the one -s names; else the one FILE of -c gives; else the one the\n"
    "installed configuration %s gives, when that file is readable;\n"
    "else the built-in %s.\n"
    "\n"
    "Exit status: 0 a reply arrived, 1 stats got no counters or add-file stored nothing,\n"
    "2 no daemon at the socket (or no whole reply), 3 no reply within 10 seconds,\n"
    "4 permission denied on the way to the socket, 64 usage error, 66 the file of add-file\n"
    "or query-file cannot be opened or is not a regular file, 77 the socket is served by\n"
    "another user than --server-uid names, 78 the FILE of -c cannot be read, is not a\n"
    "regular file or names an unset $(NAME).\n";

int usage_error(const char *why) {
  fprintf(stderr, "vrell-cli: %s\nTry 'vrell-cli --help'.\n", why);
  return EXIT_USAGE;
}

// Digits with an optional sign, as the protocol's decimal fields are written.
bool is_decimal(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Reads a decimal number of the signed 64-bit range; false for anything else.
bool int64_field(const char *text, int64_t *value) {
  static_assert(sizeof(long long) == sizeof(int64_t), "strtoll reads the whole range");
  if (!is_decimal(text)) return false;
  errno = 0;
  long long number = strtoll(text, nullptr, 10);
  if (errno == ERANGE) return false;
  *value = number;
  return true;
}

// Maps the verdict words and numbers to the protocol's numbers.
bool verdict_field(const char *word, int *verdict) {
  if (strcmp(word, "clean") == 0 || strcmp(word, "0") == 0) {
    *verdict = VRELL_CLIENT_VERDICT_CLEAN;
  } else if (strcmp(word, "infected") == 0 || strcmp(word, "1") == 0) {
    *verdict = VRELL_CLIENT_VERDICT_INFECTED;
  } else {
    return false;
  }
  return true;
}

// Says why the protocol cannot carry path, or returns null. The daemon drops every CR and LF at
// the end of a request, so a path ending in one would name another file.
const char *path_problem(const char *path) {
  size_t length = strlen(path);
  if (length == 0) return "empty PATH";
  if (path[length - 1] == '\r' || path[length - 1] == '\n')
    return "PATH ends in CR or LF, which the daemon drops: it would name another file";
  if (length > VRELL_CLIENT_PATH_MAX) return "PATH longer than 1008 characters";
  return nullptr;
}

// Opens the file of add-file or query-file once: without becoming the controlling terminal,
// without blocking on a FIFO, and only a regular file. Returns the descriptor, or -1 after a
// message.
int open_file(const char *path) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "vrell-cli: %s: %s\n", path, strerror(errno));
    return -1;
  }
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    fprintf(stderr, "vrell-cli: %s: not a regular file\n", path);
    close(fd);
    return -1;
  }
  return fd;
}

// Reads USER of --server-uid: a decimal uid, or a user name looked up in the user database.
bool server_uid(const char *user, uid_t *uid) {
  if (is_decimal(user) && strlen(user) <= 19 && user[0] != '-' && user[0] != '+') {
    unsigned long long value = strtoull(user, nullptr, 10);
    if (value >= static_cast<unsigned long long>(VRELL_CLIENT_ANY_UID)) return false;
    *uid = static_cast<uid_t>(value);
    return true;
  }
  struct passwd *entry = getpwnam(user);
  if (entry == nullptr) return false;
  *uid = entry->pw_uid;
  return true;
}

// Prints the fields of a stats reply ("102-Stats: name=value;...") as "name value" lines, or
// as one JSON object. Returns false, printing nothing, when the line was cut (no CR LF at its
// end) or a field is not a name and an unsigned decimal value.
bool print_stats(std::string_view reply, bool json) {
  std::string_view fields = reply.substr(sizeof STATS_TEXT - 1);
  if (!fields.ends_with("\r\n")) return false;
  fields.remove_suffix(2);
  std::string out = json ? "{" : "";
  while (!fields.empty()) {
    size_t end = fields.find(';');
    std::string_view field = fields.substr(0, end);
    fields = end == std::string_view::npos ? std::string_view() : fields.substr(end + 1);
    if (field.empty()) continue;
    size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    std::string_view name = field.substr(0, equals), value = field.substr(equals + 1);
    for (char c : name) {
      bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
      if (!word) return false;
    }
    // Counters are 64-bit: up to 20 digits.
    if (value.empty() || value.size() > 20) return false;
    for (char c : value) {
      if (c < '0' || c > '9') return false;
    }
    if (json) {
      if (out.size() > 1) out += ", ";
      out.append("\"").append(name).append("\": ").append(value);
    } else {
      out.append(name).append(" ").append(value).append("\n");
    }
  }
  if (json) out += "}\n";
  fputs(out.c_str(), stdout);
  return true;
}

// The node on the way to socket_path that this user may not pass: the first directory it cannot
// search, else the socket itself. Empty when every step is allowed.
std::string denying_node(const std::string &socket_path) {
  for (size_t slash = socket_path.find('/', 1); slash != std::string::npos;
       slash = socket_path.find('/', slash + 1)) {
    std::string directory = socket_path.substr(0, slash);
    if (access(directory.c_str(), X_OK) != 0) return directory;
  }
  return access(socket_path.c_str(), W_OK) != 0 ? socket_path : std::string();
}

// Says why the connect to socket_path failed, as errno left it, and returns the exit status.
int connect_failed(const char *socket_path, int error) {
  if (error != EACCES && error != EPERM) {
    fprintf(stderr, "vrell-cli: no daemon at %s: %s\n", socket_path, strerror(error));
    return EXIT_UNREACHABLE;
  }
  std::string node = denying_node(socket_path);
  struct stat status;
  if (node.empty() || stat(node.c_str(), &status) != 0) {
    fprintf(stderr, "vrell-cli: %s: permission denied\n", socket_path);
    return EXIT_DENIED;
  }
  struct group *group = getgrgid(status.st_gid);
  if (group != nullptr && strcmp(group->gr_name, SERVICE_GROUP) == 0) {
    fprintf(stderr, "vrell-cli: %s: permission denied: is this user in group %s?\n", socket_path,
            SERVICE_GROUP);
  } else {
    fprintf(stderr, "vrell-cli: %s: permission denied: %s has mode %04o and group %s\n",
            socket_path, node.c_str(), static_cast<unsigned>(status.st_mode & 07777),
            group != nullptr ? group->gr_name : std::to_string(status.st_gid).c_str());
  }
  return EXIT_DENIED;
}

enum cli_command {
  CLI_STATUS,
  CLI_STATS,
  CLI_ADD,
  CLI_QUERY,
  CLI_ADD_FILE,
  CLI_QUERY_FILE,
  CLI_DELETE,
  CLI_CLEAR,
  CLI_RAW
};

// One command line's request, checked before anything is sent.
struct cli_request {
  cli_command command = CLI_STATUS;
  const char *text = nullptr;  // the path, or the text of raw
  int64_t mtime = 0;
  int verdict = 0;
  bool json = false;
  std::string absolute;  // the key of add-file and query-file
  int fd = -1;           // their file, open
  // add-file has no scan of its own: it vouches for the file as it is when the command runs.
  int64_t scan_started_ns = 0;
  ~cli_request() {
    if (fd >= 0) close(fd);
  }
};

// Reads the command in argv into request; returns 0, or the exit status to end with.
int parse_command(int argc, char **argv, cli_request *request) {
  if (argc < 1) return usage_error("no command given");
  std::string_view command = argv[0];
  int fields = argc - 1;
  auto wants = [&](int n) { return fields == n; };
  // The path is checked before its file is examined: the refusal does not depend on the file.
  auto path = [&](const char *text) {
    request->text = text;
    const char *problem = path_problem(text);
    return problem == nullptr ? 0 : usage_error(problem);
  };
  // The file's key is checked before the file is opened: the refusal does not depend on it.
  auto file = [&](const char *typed) {
    if (!file_key_absolute(typed, &request->absolute)) {
      fprintf(stderr, "vrell-cli: cannot read the working directory: %s\n", strerror(errno));
      return EXIT_NO_FILE;
    }
    int refused = path(request->absolute.c_str());
    if (refused != 0) return refused;
    request->fd = open_file(request->text);
    return request->fd < 0 ? EXIT_NO_FILE : 0;
  };
  constexpr char MTIME_RANGE[] =
      "MTIME must be a decimal number from -9223372036854775808 to 9223372036854775807";
  constexpr char VERDICT_WORDS[] = "VERDICT must be clean, infected, 0 or 1";
  int refused = 0;
  if (command == "status" && wants(0)) {
    request->command = CLI_STATUS;
  } else if (command == "stats" &&
             (wants(0) || (wants(1) && std::string_view(argv[1]) == "--json"))) {
    request->command = CLI_STATS;
    request->json = wants(1);
  } else if (command == "clear" && wants(0)) {
    request->command = CLI_CLEAR;
  } else if (command == "delete" && wants(1)) {
    request->command = CLI_DELETE;
    refused = path(argv[1]);
  } else if (command == "query" && wants(2)) {
    request->command = CLI_QUERY;
    if (!int64_field(argv[1], &request->mtime)) return usage_error(MTIME_RANGE);
    refused = path(argv[2]);
  } else if (command == "add" && wants(3)) {
    request->command = CLI_ADD;
    if (!int64_field(argv[1], &request->mtime)) return usage_error(MTIME_RANGE);
    if (!verdict_field(argv[2], &request->verdict)) return usage_error(VERDICT_WORDS);
    refused = path(argv[3]);
  } else if (command == "query-file" && wants(1)) {
    request->command = CLI_QUERY_FILE;
    refused = file(argv[1]);
  } else if (command == "add-file" && wants(2)) {
    request->command = CLI_ADD_FILE;
    if (!verdict_field(argv[2], &request->verdict)) return usage_error(VERDICT_WORDS);
    request->scan_started_ns = clock_realtime_ns();
    refused = file(argv[1]);
  } else if (command == "raw" && wants(1)) {
    request->command = CLI_RAW;
    request->text = argv[1];
  } else {
    return usage_error("unknown command or wrong number of arguments");
  }
  return refused;
}

// Sends the request through the call that composes it; returns as those calls do.
int send_request(const cli_request &request, const char *socket_path, uid_t uid, char *reply,
                 size_t reply_size) {
  switch (request.command) {
    case CLI_STATUS:
      return vrell_client_status_checked(socket_path, reply, reply_size, CLI_TIMEOUT_MS, uid);
    case CLI_STATS:
      return vrell_client_request_checked(socket_path, REQUEST_STATS, reply, reply_size,
                                          CLI_TIMEOUT_MS, uid);
    case CLI_ADD:
      return vrell_client_add_checked(socket_path, request.text, request.mtime, request.verdict,
                                      CLI_TIMEOUT_MS, uid, reply, reply_size);
    case CLI_QUERY:
      return vrell_client_query_checked(socket_path, request.text, request.mtime, CLI_TIMEOUT_MS,
                                        uid, reply, reply_size);
    case CLI_ADD_FILE:
      return vrell_client_add_fd_checked(socket_path, request.text, request.fd,
                                         request.scan_started_ns, request.verdict, CLI_TIMEOUT_MS,
                                         uid, reply, reply_size);
    case CLI_QUERY_FILE:
      return vrell_client_query_fd_checked(socket_path, request.text, request.fd, CLI_TIMEOUT_MS,
                                           uid, reply, reply_size);
    case CLI_DELETE:
      return vrell_client_delete_checked(socket_path, request.text, CLI_TIMEOUT_MS, uid, reply,
                                         reply_size);
    case CLI_CLEAR:
      return vrell_client_clear_checked(socket_path, CLI_TIMEOUT_MS, uid, reply, reply_size);
    case CLI_RAW:
      break;
  }
  // raw sends exactly what it is given, for tests that must send what a client would not.
  return vrell_client_exchange_checked(socket_path, request.text, strlen(request.text) + 1, reply,
                                       reply_size, CLI_TIMEOUT_MS, uid);
}

// The options before the command.
struct cli_options {
  const char *socket = nullptr;
  const char *config = nullptr;
  uid_t expected_uid = VRELL_CLIENT_ANY_UID;
};

// Reads the options into options and leaves optind at the command. Returns -1 to go on, or the
// exit status to end with (0 after --help and --version).
int parse_options(int argc, char **argv, cli_options *options) {
  static const struct option long_options[] = {
      {"socket", required_argument, nullptr, 's'},
      {"config", required_argument, nullptr, 'c'},
      {"server-uid", required_argument, nullptr, 'u'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, OPTION_VERSION},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  // "+" stops at the command, so that arguments of raw may begin with '-'.
  while ((option = getopt_long(argc, argv, "+s:c:u:h", long_options, nullptr)) != -1) {
    switch (option) {
      case 's':
        options->socket = optarg;
        break;
      case 'c':
        options->config = optarg;
        break;
      case 'u':
        if (!server_uid(optarg, &options->expected_uid))
          return usage_error("no such user for --server-uid");
        break;
      case 'h':
        printf(USAGE, vrell_client_installed_config(), DEFAULT_SOCKET_PATH);
        return EXIT_REPLY;
      case OPTION_VERSION:
        printf("vrell-cli %s\n", VRELL_VERSION);
        return EXIT_REPLY;
      default:
        return usage_error("bad option");
    }
  }
  return -1;
}

// Finds the daemon's socket as the options say into socket_path. Returns 0, or the exit status
// to end with after a message.
int find_socket(const cli_options &options, char *socket_path, size_t size) {
  int found = vrell_client_find_socket(options.socket, options.config, socket_path, size);
  if (found == VRELL_CLIENT_ECONFIG || found == VRELL_CLIENT_EUNSET) {
    const char *file = options.config != nullptr ? options.config : vrell_client_installed_config();
    if (found == VRELL_CLIENT_EUNSET) {
      // On this failure the library leaves the variable's NAME where the path would be.
      fprintf(stderr, "vrell-cli: %s: QXVrellSocket names $(%s), which is not set\n", file,
              socket_path);
    } else {
      fprintf(stderr, "vrell-cli: %s: %s\n", file, vrell_client_strerror(found));
    }
    return EXIT_NO_CONFIG;
  }
  if (found < 0) return usage_error("socket path too long");
  return 0;
}

// Prints the reply that send_request got with code, or says why there is none; error is errno
// as the call left it. Returns the exit status.
int finish(const cli_request &request, int code, int error, const char *reply,
           const char *socket_path) {
  if (code == VRELL_CLIENT_ECONNECT) return connect_failed(socket_path, error);
  if (code == VRELL_CLIENT_ETIMEOUT) {
    fprintf(stderr, "vrell-cli: %s: no reply within %d seconds\n", socket_path,
            CLI_TIMEOUT_MS / 1000);
    return EXIT_TIMEOUT;
  }
  if (code == VRELL_CLIENT_EARG) return usage_error("socket path too long");
  if (code == VRELL_CLIENT_EPATH) return usage_error("PATH too long for one request");
  if (code == VRELL_CLIENT_EFILE || code == VRELL_CLIENT_EUNSETTLED) {
    fprintf(stderr, "vrell-cli: %s: %s\n", request.text, vrell_client_strerror(code));
    return code == VRELL_CLIENT_EFILE ? EXIT_NO_FILE : EXIT_FAILED;
  }
  if (code < 0 && code != VRELL_CLIENT_EREPLY) {
    fprintf(stderr, "vrell-cli: %s: %s\n", socket_path, vrell_client_strerror(code));
    return code == VRELL_CLIENT_EPEER ? EXIT_WRONG_SERVER : EXIT_UNREACHABLE;
  }
  // Any reply that arrived is printed as it came, also one that does not answer the request.
  if (request.command != CLI_STATS) {
    fputs(reply, stdout);
    return EXIT_REPLY;
  }
  if (code == REPLY_CODE_STATS && strncmp(reply, STATS_TEXT, sizeof STATS_TEXT - 1) == 0 &&
      print_stats(reply, request.json)) {
    return EXIT_REPLY;
  }
  std::string_view line = reply;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  fprintf(stderr, "vrell-cli: no counters in the reply: %.*s\n", static_cast<int>(line.size()),
          line.data());
  return EXIT_FAILED;
}

}  // namespace

int main(int argc, char **argv) {
  cli_options options;
  int status = parse_options(argc, argv, &options);
  if (status >= 0) return status;
  cli_request request;
  status = parse_command(argc - optind, argv + optind, &request);
  if (status != 0) return status;
  char socket_path[SETTINGS_PATH_MAX];
  status = find_socket(options, socket_path, sizeof socket_path);
  if (status != 0) return status;
  char reply[VRELL_CLIENT_STATS_MAX];
  int code = send_request(request, socket_path, options.expected_uid, reply, sizeof reply);
  return finish(request, code, errno, reply, socket_path);
}
