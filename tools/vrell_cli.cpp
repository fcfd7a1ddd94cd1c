// vrell-cli: sends one request to the vrell daemon and prints its reply line as received, or
// the counters of the stats reply one per line.

#include <errno.h>
#include <getopt.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <string_view>

#include "client/client.h"
#include "daemon/settings.h"

namespace {

constexpr int EXIT_REPLY = 0;
constexpr int EXIT_FAILED = 1;  // the stats request got another reply than the counters
constexpr int EXIT_UNREACHABLE = 2;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_NO_FILE = 66;       // the file of add-file or query-file cannot be examined
constexpr int EXIT_WRONG_SERVER = 77;  // the socket is served by another user than --server-uid
constexpr int EXIT_NO_CONFIG = 78;     // the configuration file of -c cannot be read
// Generous: a daemon under load still answers, a hung one does not keep the caller for ever.
constexpr int CLI_TIMEOUT_MS = 10000;
constexpr int STATS_CODE = 102;
constexpr char STATS_PREFIX[] = "102-Stats: ";
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
    "  add-file PATH clean|infected  add, with MTIME taken from the file\n"
    "  query-file PATH               query, with MTIME taken from the file\n"
    "VERDICT is clean, infected or a number; MTIME is a decimal number of seconds.\n"
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
    "Exit status: 0 a reply arrived, 1 stats got no counters, 2 the daemon could not be\n"
    "reached, 64 usage error, 66 the file of add-file or query-file cannot be examined,\n"
    "77 the socket is served by another user than --server-uid names, 78 the FILE of -c\n"
    "cannot be read.\n";

int usage_error(const char *why) {
  fprintf(stderr, "vrell-cli: %s\nTry 'vrell-cli --help'.\n", why);
  return EXIT_USAGE;
}

bool is_decimal(std::string_view text) {
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Maps the verdict words to the protocol's digits; numbers go to the daemon as they are.
bool verdict_field(std::string_view word, std::string *field) {
  if (word == "clean") {
    *field = "0";
  } else if (word == "infected") {
    *field = "1";
  } else if (is_decimal(word)) {
    *field = word;
  } else {
    return false;
  }
  return true;
}

bool file_mtime(const char *path, std::string *field) {
  struct stat status;
  if (stat(path, &status) != 0) {
    fprintf(stderr, "vrell-cli: %s: %s\n", path, strerror(errno));
    return false;
  }
  *field = std::to_string(static_cast<long long>(status.st_mtime));
  return true;
}

// Reads USER of --server-uid: a decimal uid, or a user name looked up in the user database.
bool server_uid(const char *user, uid_t *uid) {
  if (is_decimal(user) && user[0] != '-' && user[0] != '+') {
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
  std::string_view fields = reply.substr(sizeof STATS_PREFIX - 1);
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

// Builds the request text for the command in argv; returns 0, or the exit status to end with.
int build_request(int argc, char **argv, std::string *request, bool *raw, bool *stats, bool *json) {
  if (argc < 1) return usage_error("no command given");
  std::string_view command = argv[0];
  int fields = argc - 1;
  auto wants = [&](int n) { return fields == n; };
  std::string mtime, verdict;
  *raw = false;
  if (command == "status" && wants(0)) {
    *request = "K";
  } else if (command == "stats" &&
             (wants(0) || (wants(1) && std::string_view(argv[1]) == "--json"))) {
    *request = "S";
    *stats = true;
    *json = wants(1);
  } else if (command == "clear" && wants(0)) {
    *request = "C";
  } else if (command == "delete" && wants(1)) {
    if (argv[1][0] == '\0') return usage_error("empty PATH");
    *request = std::string("D ") + argv[1];
  } else if (command == "query" && wants(2)) {
    if (!is_decimal(argv[1])) return usage_error("MTIME must be a decimal number");
    if (argv[2][0] == '\0') return usage_error("empty PATH");
    *request = std::string("Q ") + argv[1] + " " + argv[2];
  } else if (command == "add" && wants(3)) {
    if (!is_decimal(argv[1])) return usage_error("MTIME must be a decimal number");
    if (!verdict_field(argv[2], &verdict))
      return usage_error("VERDICT must be clean, infected or a number");
    if (argv[3][0] == '\0') return usage_error("empty PATH");
    *request = std::string("A ") + argv[1] + " " + verdict + " " + argv[3];
  } else if (command == "query-file" && wants(1)) {
    if (argv[1][0] == '\0') return usage_error("empty PATH");
    if (!file_mtime(argv[1], &mtime)) return EXIT_NO_FILE;
    *request = "Q " + mtime + " " + argv[1];
  } else if (command == "add-file" && wants(2)) {
    if (argv[1][0] == '\0') return usage_error("empty PATH");
    if (!verdict_field(argv[2], &verdict))
      return usage_error("VERDICT must be clean, infected or a number");
    if (!file_mtime(argv[1], &mtime)) return EXIT_NO_FILE;
    *request = "A " + mtime + " " + verdict + " " + argv[1];
  } else if (command == "raw" && wants(1)) {
    *request = argv[1];
    *raw = true;
    return 0;
  } else {
    return usage_error("unknown command or wrong number of arguments");
  }
  *request += "\r\n";
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *socket_option = nullptr;
  const char *config_option = nullptr;
  uid_t expected_uid = VRELL_CLIENT_ANY_UID;
  static const struct option options[] = {
      {"socket", required_argument, nullptr, 's'},
      {"config", required_argument, nullptr, 'c'},
      {"server-uid", required_argument, nullptr, 'u'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, OPTION_VERSION},
      {nullptr, 0, nullptr, 0},
  };
  int option;
  // "+" stops at the command, so that arguments of raw may begin with '-'.
  while ((option = getopt_long(argc, argv, "+s:c:u:h", options, nullptr)) != -1) {
    switch (option) {
      case 's':
        socket_option = optarg;
        break;
      case 'c':
        config_option = optarg;
        break;
      case 'u':
        if (!server_uid(optarg, &expected_uid)) return usage_error("no such user for --server-uid");
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

  std::string request;
  bool raw = false, stats = false, json = false;
  int status = build_request(argc - optind, argv + optind, &request, &raw, &stats, &json);
  if (status != 0) return status;

  char socket_path[SETTINGS_PATH_MAX];
  int found =
      vrell_client_find_socket(socket_option, config_option, socket_path, sizeof socket_path);
  if (found == VRELL_CLIENT_ECONFIG) {
    const char *file = config_option != nullptr ? config_option : vrell_client_installed_config();
    fprintf(stderr, "vrell-cli: %s: %s\n", file, vrell_client_strerror(found));
    return EXIT_NO_CONFIG;
  }
  if (found < 0) return usage_error("socket path too long");

  char reply[VRELL_CLIENT_STATS_MAX];
  int code = raw ? vrell_client_exchange_checked(socket_path, request.c_str(), request.size() + 1,
                                                 reply, sizeof reply, CLI_TIMEOUT_MS, expected_uid)
                 : vrell_client_request_checked(socket_path, request.c_str(), reply, sizeof reply,
                                                CLI_TIMEOUT_MS, expected_uid);
  if (code == VRELL_CLIENT_EARG) return usage_error("socket path or request too long");
  if (code < 0) {
    fprintf(stderr, "vrell-cli: %s: %s\n", socket_path, vrell_client_strerror(code));
    return code == VRELL_CLIENT_EPEER ? EXIT_WRONG_SERVER : EXIT_UNREACHABLE;
  }
  if (!stats) {
    fputs(reply, stdout);
    return EXIT_REPLY;
  }
  if (code == STATS_CODE && strncmp(reply, STATS_PREFIX, sizeof STATS_PREFIX - 1) == 0 &&
      print_stats(reply, json)) {
    return EXIT_REPLY;
  }
  std::string_view line = reply;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  fprintf(stderr, "vrell-cli: no counters in the reply: %.*s\n", static_cast<int>(line.size()),
          line.data());
  return EXIT_FAILED;
}
