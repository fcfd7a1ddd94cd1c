// vrell-bench: a load generator for the daemon. Client threads each loop connect, send one
// request, receive the reply, close, with a mix of queries, adds and deletes over a set of
// paths, until a count or a duration is reached. It reports requests per second, the latency
// percentiles, a histogram of reply codes and every error by kind. The redis mode runs the same
// loop against redis-server (SET with EX, GET, DEL), the peer a user might pick instead.
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"

namespace {

constexpr char kUsage[] =
    "usage: vrell-bench -s SOCKET [options]\n"
    "  -s, --socket PATH      socket of the daemon (or of redis-server with --redis)\n"
    "  -c, --concurrency N    client threads (default 1)\n"
    "  -n, --count N          stop after N requests in all (default 0: no bound)\n"
    "  -d, --duration SEC     stop after SEC seconds (default 5; 0: no bound)\n"
    "  -t, --timeout MS       bound of the connect and of the reply (default 2000)\n"
    "  -m, --mix Q,A,D        shares of queries, adds and deletes (default 90,8,2)\n"
    "  -p, --paths N          distinct paths (default 1024)\n"
    "      --prefix TEXT      directory the paths lie under (default /srv/scan)\n"
    "      --preload          add every path once before the measured run\n"
    "      --seed N           seed of the request mix (default 1)\n"
    "      --redis            speak RESP to redis-server instead of the vrell protocol\n"
    "      --json             print the report as one JSON object\n"
    "  -h, --help             this text\n";

// The mtime every request carries, so that a query finds what an add wrote.
constexpr int32_t kMtime = 1700000000;
// The life time redis gives its keys, as vrell's benchmark configuration does.
constexpr int kRedisExpiry = 3600;
// Latencies above this are kept as this; no reply is waited for that long.
constexpr uint64_t kLatencyCapNs = UINT32_MAX;

struct bench_options {
  const char *socket_path = nullptr;
  int concurrency = 1;
  uint64_t count = 0;
  double duration = 5;
  int timeout_ms = 2000;
  int mix[3] = {90, 8, 2};  // queries, adds, deletes
  int paths = 1024;
  std::string prefix = "/srv/scan";
  bool preload = false;
  unsigned seed = 1;
  bool redis = false;
  bool json = false;
};

// What one client thread saw; merged after every thread has ended.
struct client_tally {
  std::vector<uint32_t> latency_ns;
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> errors;
  uint64_t last_ns = 0;  // when its last request ended
};

std::atomic<bool> stop{false};
std::atomic<uint64_t> tickets{0};
std::atomic<uint64_t> answered{0};
std::atomic<uint64_t> failed{0};

uint64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

enum class op { query, add, remove };

// One request, in the protocol of the mode. key is the path.
std::string vrell_text(op kind, const std::string &key, int verdict) {
  char text[VRELL_CLIENT_REQUEST_MAX];
  switch (kind) {
    case op::query:
      snprintf(text, sizeof text, "Q %d %s\r\n", kMtime, key.c_str());
      break;
    case op::add:
      snprintf(text, sizeof text, "A %d %d %s\r\n", kMtime, verdict, key.c_str());
      break;
    case op::remove:
      snprintf(text, sizeof text, "D %s\r\n", key.c_str());
      break;
  }
  return text;
}

std::string resp_bulk(const std::string &s) {
  std::string bulk = "$";
  bulk.append(std::to_string(s.size())).append("\r\n").append(s).append("\r\n");
  return bulk;
}

std::string redis_text(op kind, const std::string &key, int verdict) {
  switch (kind) {
    case op::query:
      return "*2\r\n" + resp_bulk("GET") + resp_bulk(key);
    case op::add:
      return "*5\r\n" + resp_bulk("SET") + resp_bulk(key) +
             resp_bulk(std::to_string(kMtime) + " " + std::to_string(verdict)) + resp_bulk("EX") +
             resp_bulk(std::to_string(kRedisExpiry));
    case op::remove:
      return "*2\r\n" + resp_bulk("DEL") + resp_bulk(key);
  }
  return "";
}

// Returns the length of the complete RESP reply at the start of data (simple string, error,
// integer or bulk string), or 0 while it is incomplete.
size_t resp_complete(const char *data, size_t have) {
  const char *end = static_cast<const char *>(memmem(data, have, "\r\n", 2));
  if (end == nullptr) return 0;
  size_t line = static_cast<size_t>(end - data) + 2;
  if (data[0] != '$') return line;
  long length = strtol(data + 1, nullptr, 10);
  if (length < 0) return line;
  size_t whole = line + static_cast<size_t>(length) + 2;
  return have >= whole ? whole : 0;
}

// The histogram key of a RESP reply: its type, and for nil and integers the value.
std::string resp_kind(const char *data) {
  switch (data[0]) {
    case '+':
      return std::string(data, strcspn(data, "\r"));
    case '-':
      return "-ERR";
    case ':':
      return std::string(data, strcspn(data, "\r"));
    case '$':
      return data[1] == '-' ? "nil" : "value";
    default:
      return "unknown";
  }
}

// One connect, send and receive with redis-server. Returns 0 with kind set, or the negative
// code of the client library that names the same failure.
int redis_exchange(const char *socket_path, const std::string &request, int timeout_ms,
                   std::string *kind) {
  uint64_t deadline = now_ns() + static_cast<uint64_t>(timeout_ms) * 1000000u;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, socket_path, sizeof address.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return VRELL_CLIENT_ECONNECT;
  struct closer {
    int fd;
    ~closer() { close(fd); }
  } guard{fd};
  timeval bound = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
    return errno == EAGAIN ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ECONNECT;
  ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(request.size()))
    return sent < 0 && errno == EAGAIN ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ESEND;
  char buffer[VRELL_CLIENT_REPLY_MAX];
  size_t have = 0;
  while (have == 0 || resp_complete(buffer, have) == 0) {
    if (have == sizeof buffer - 1) return VRELL_CLIENT_ERECV;
    uint64_t now = now_ns();
    int left = now < deadline ? static_cast<int>((deadline - now) / 1000000u) : 0;
    pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, left);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return VRELL_CLIENT_ETIMEOUT;
    if (n < 0) return VRELL_CLIENT_ERECV;
    ssize_t got = recv(fd, buffer + have, sizeof buffer - 1 - have, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return VRELL_CLIENT_ERECV;
    have += static_cast<size_t>(got);
    buffer[have] = '\0';
  }
  *kind = resp_kind(buffer);
  return 0;
}

const char *error_kind(int code) {
  switch (code) {
    case VRELL_CLIENT_ECONNECT:
      return "connect";
    case VRELL_CLIENT_ESEND:
      return "send";
    case VRELL_CLIENT_ERECV:
      return "receive";
    case VRELL_CLIENT_ETIMEOUT:
      return "timeout";
    case VRELL_CLIENT_EARG:
      return "argument";
    default:
      return "other";
  }
}

// One request of either mode. Returns true when it was answered; the reply's kind or the
// error's kind goes into the tally.
bool exchange(const bench_options &options, op kind, const std::string &key, int verdict,
              client_tally *tally, uint64_t *latency) {
  uint64_t start = now_ns();
  int code;
  std::string reply_kind;
  if (options.redis) {
    code = redis_exchange(options.socket_path, redis_text(kind, key, verdict), options.timeout_ms,
                          &reply_kind);
  } else {
    char reply[VRELL_CLIENT_REPLY_MAX];
    code = vrell_client_request(options.socket_path, vrell_text(kind, key, verdict).c_str(), reply,
                                sizeof reply, options.timeout_ms);
    if (code >= 0) reply_kind = std::to_string(code);
  }
  *latency = now_ns() - start;
  if (code < 0) {
    tally->errors[error_kind(code)]++;
    return false;
  }
  tally->replies[reply_kind]++;
  return true;
}

void client_loop(const bench_options &options, const std::vector<std::string> &paths, unsigned seed,
                 client_tally *tally) {
  std::minstd_rand pick(seed);
  const int shares = options.mix[0] + options.mix[1] + options.mix[2];
  while (!stop.load(std::memory_order_relaxed)) {
    if (options.count > 0 && tickets.fetch_add(1) >= options.count) break;
    int roll = static_cast<int>(pick() % static_cast<unsigned>(shares));
    op kind = roll < options.mix[0]                    ? op::query
              : roll < options.mix[0] + options.mix[1] ? op::add
                                                       : op::remove;
    const std::string &key = paths[pick() % paths.size()];
    uint64_t latency;
    bool ok = exchange(options, kind, key, static_cast<int>(pick() & 1), tally, &latency);
    tally->last_ns = now_ns();
    if (ok) {
      tally->latency_ns.push_back(static_cast<uint32_t>(std::min(latency, kLatencyCapNs)));
      answered.fetch_add(1, std::memory_order_relaxed);
    } else {
      failed.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

// long long, since counts and seeds pass the range of a 32-bit long.
bool parse_int(const char *text, long long low, long long high, long long *value) {
  char *end;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

bool parse_mix(const char *text, int mix[3]) {
  int q, a, d;
  char tail;
  if (sscanf(text, "%d,%d,%d%c", &q, &a, &d, &tail) != 3) return false;
  if (q < 0 || a < 0 || d < 0 || q + a + d == 0) return false;
  mix[0] = q;
  mix[1] = a;
  mix[2] = d;
  return true;
}

// Returns 0 with options filled, 1 after the help text, 2 for a bad command line.
int parse_options(int argc, char *argv[], bench_options *options) {
  enum { kPrefix = 256, kPreload, kSeed, kRedis, kJson };
  static const option table[] = {
      {"socket", required_argument, nullptr, 's'},
      {"concurrency", required_argument, nullptr, 'c'},
      {"count", required_argument, nullptr, 'n'},
      {"duration", required_argument, nullptr, 'd'},
      {"timeout", required_argument, nullptr, 't'},
      {"mix", required_argument, nullptr, 'm'},
      {"paths", required_argument, nullptr, 'p'},
      {"prefix", required_argument, nullptr, kPrefix},
      {"preload", no_argument, nullptr, kPreload},
      {"seed", required_argument, nullptr, kSeed},
      {"redis", no_argument, nullptr, kRedis},
      {"json", no_argument, nullptr, kJson},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  for (int c; (c = getopt_long(argc, argv, "s:c:n:d:t:m:p:h", table, nullptr)) != -1;) {
    long long v = 0;
    char *end = nullptr;
    bool ok = true;
    switch (c) {
      case 's':
        options->socket_path = optarg;
        break;
      case 'c':
        ok = parse_int(optarg, 1, 1024, &v);
        options->concurrency = static_cast<int>(v);
        break;
      case 'n':
        ok = parse_int(optarg, 0, INT64_MAX, &v);
        options->count = static_cast<uint64_t>(v);
        break;
      case 'd':
        options->duration = strtod(optarg, &end);
        ok = end != optarg && *end == '\0' && options->duration >= 0;
        break;
      case 't':
        ok = parse_int(optarg, 1, 3600000, &v);
        options->timeout_ms = static_cast<int>(v);
        break;
      case 'm':
        ok = parse_mix(optarg, options->mix);
        break;
      case 'p':
        ok = parse_int(optarg, 1, 10000000, &v);
        options->paths = static_cast<int>(v);
        break;
      case kPrefix:
        options->prefix = optarg;
        break;
      case kPreload:
        options->preload = true;
        break;
      case kSeed:
        ok = parse_int(optarg, 0, UINT32_MAX, &v);
        options->seed = static_cast<unsigned>(v);
        break;
      case kRedis:
        options->redis = true;
        break;
      case kJson:
        options->json = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 1;
      default:
        ok = false;
    }
    if (!ok) {
      if (c != '?') fprintf(stderr, "vrell-bench: bad value for -%c: %s\n", c, optarg);
      fputs(kUsage, stderr);
      return 2;
    }
  }
  if (options->socket_path == nullptr || optind != argc) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (strlen(options->socket_path) >= sizeof(sockaddr_un::sun_path)) {
    fprintf(stderr, "vrell-bench: socket path longer than 107 characters\n");
    return 2;
  }
  return 0;
}

struct report {
  double seconds;
  uint64_t answered;
  uint64_t errors;
  double p50, p90, p99, p999, max;  // microseconds
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> error_kinds;
};

double percentile_us(const std::vector<uint32_t> &sorted, double q) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return sorted[rank - 1] / 1000.0;
}

report summarise(std::vector<client_tally> &tallies, double seconds) {
  report r = {};
  r.seconds = seconds;
  std::vector<uint32_t> all;
  for (auto &t : tallies) {
    all.insert(all.end(), t.latency_ns.begin(), t.latency_ns.end());
    for (const auto &[kind, n] : t.replies) r.replies[kind] += n;
    for (const auto &[kind, n] : t.errors) {
      r.error_kinds[kind] += n;
      r.errors += n;
    }
  }
  std::sort(all.begin(), all.end());
  r.answered = all.size();
  r.p50 = percentile_us(all, 0.50);
  r.p90 = percentile_us(all, 0.90);
  r.p99 = percentile_us(all, 0.99);
  r.p999 = percentile_us(all, 0.999);
  r.max = all.empty() ? 0 : all.back() / 1000.0;
  return r;
}

double rate(const report &r) {
  return r.seconds > 0 ? static_cast<double>(r.answered) / r.seconds : 0;
}

void print_json_map(const std::map<std::string, uint64_t> &map) {
  printf("{");
  const char *separator = "";
  for (const auto &[kind, n] : map) {
    printf("%s\"%s\": %llu", separator, kind.c_str(), static_cast<unsigned long long>(n));
    separator = ", ";
  }
  printf("}");
}

void print_report(const bench_options &options, const report &r) {
  if (options.json) {
    printf(
        "{\"mode\": \"%s\", \"concurrency\": %d, \"seconds\": %.3f, \"answered\": %llu, "
        "\"errors\": %llu, \"requests_per_second\": %.1f, \"latency_us\": {\"p50\": %.1f, "
        "\"p90\": %.1f, \"p99\": %.1f, \"p99.9\": %.1f, \"max\": %.1f}, \"replies\": ",
        options.redis ? "redis" : "vrell", options.concurrency, r.seconds,
        static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.errors),
        rate(r), r.p50, r.p90, r.p99, r.p999, r.max);
    print_json_map(r.replies);
    printf(", \"error_kinds\": ");
    print_json_map(r.error_kinds);
    printf("}\n");
    return;
  }
  printf("%s at %s: %d clients, %.2f s\n", options.redis ? "redis" : "vrell", options.socket_path,
         options.concurrency, r.seconds);
  printf("requests  %llu answered, %llu errors, %.0f per second\n",
         static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.errors),
         rate(r));
  printf("latency   p50 %.1f us, p90 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us\n", r.p50,
         r.p90, r.p99, r.p999, r.max);
  printf("replies  ");
  for (const auto &[kind, n] : r.replies)
    printf(" %s: %llu", kind.c_str(), static_cast<unsigned long long>(n));
  printf("\nerrors   ");
  if (r.error_kinds.empty()) printf(" none");
  for (const auto &[kind, n] : r.error_kinds)
    printf(" %s: %llu", kind.c_str(), static_cast<unsigned long long>(n));
  printf("\n");
}

// Adds every path once, one after the other, so that queries find entries.
void preload(const bench_options &options, const std::vector<std::string> &paths) {
  client_tally tally;
  uint64_t latency;
  for (const auto &key : paths) exchange(options, op::add, key, 0, &tally, &latency);
  uint64_t errors = 0;
  for (const auto &[kind, n] : tally.errors) errors += n;
  if (errors > 0)
    fprintf(stderr, "vrell-bench: %llu of %zu preload requests failed\n",
            static_cast<unsigned long long>(errors), paths.size());
}

}  // namespace

int main(int argc, char *argv[]) {
  bench_options options;
  int parsed = parse_options(argc, argv, &options);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  std::vector<std::string> paths;
  char path[VRELL_CLIENT_REQUEST_MAX];
  for (int i = 0; i < options.paths; i++) {
    snprintf(path, sizeof path, "%s/d%03d/file%06d.bin", options.prefix.c_str(), i % 100, i);
    paths.emplace_back(path);
  }
  if (options.preload) preload(options, paths);

  std::vector<client_tally> tallies(static_cast<size_t>(options.concurrency));
  std::vector<std::thread> clients;
  uint64_t start = now_ns();
  for (int i = 0; i < options.concurrency; i++) {
    clients.emplace_back(client_loop, std::cref(options), std::cref(paths),
                         options.seed * 7919u + static_cast<unsigned>(i), &tallies[i]);
  }

  // The main thread keeps time and, on a terminal, shows how far the run has come.
  const bool progress = isatty(STDERR_FILENO) == 1;
  const uint64_t end =
      options.duration > 0 ? start + static_cast<uint64_t>(options.duration * 1e9) : UINT64_MAX;
  uint64_t shown = start;
  for (;;) {
    uint64_t now = now_ns();
    uint64_t done = answered.load() + failed.load();
    if (now >= end || (options.count > 0 && done >= options.count)) break;
    if (progress && now - shown >= 500000000u) {
      shown = now;
      double elapsed = (now - start) / 1e9;
      fprintf(stderr, "\r%6.1f s  %10llu answered  %8.0f/s  %llu errors ", elapsed,
              static_cast<unsigned long long>(answered.load()), answered.load() / elapsed,
              static_cast<unsigned long long>(failed.load()));
    }
    usleep(10000);
  }
  stop.store(true);
  for (auto &t : clients) t.join();
  // The run lasts until its last request ended, so that requests still under way when the
  // time was up count with the time they took.
  uint64_t last = start;
  for (const auto &t : tallies) last = std::max(last, t.last_ns);
  double seconds = (last - start) / 1e9;
  if (progress) fprintf(stderr, "\r\033[K");

  report r = summarise(tallies, seconds);
  print_report(options, r);
  // A run in which nothing was answered measured nothing.
  return r.answered > 0 ? 0 : 1;
}
