// SPDX-License-Identifier: BSD-2-Clause
// vrell-bench: a load generator for the daemon. Client threads each loop connect, send one
// request, receive the reply, close, with a mix of queries, adds and deletes over a set of
// paths, until a count or a duration is reached. It reports requests per second, the latency
// percentiles, a histogram of reply codes and every error by kind. The redis and memcached
// modes run the same loop against redis-server (SET with EX, GET, DEL) and memcached (set with
// an expiry, get, delete), the peers a user might pick instead. The scan workload acts as
// scanners do: query a file, and add its verdict when the cache has none; it reports the
// share of queries answered from the cache each second. Given the server's pid, it also reports
// the server's CPU time and context switches per request; for a soak, extra clients vanish
// mid-request or stay silent beside the load. Paced (--interval), a client sends one request at
// each tick instead of one after the other, and --idle holds idle connections open beside it
// against any of the three servers: what a scanner sees while others connect and say nothing.
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "client/client.h"
#include "tools/bench_proc.h"
#include "tools/bench_reply.h"
#include "tools/bench_soak.h"

namespace {

constexpr char kUsage[] =
    "usage: vrell-bench -s SOCKET [options]\n"
    "  -s, --socket PATH      socket of the daemon (or of the peer with --redis, --memcached)\n"
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
    "      --memcached        speak memcached's text protocol (get, set, delete) instead\n"
    "      --scan             query a path and add it when not answered from the cache,\n"
    "                         printing the hit rate each second (vrell protocol only)\n"
    "      --files M          scan: files of Zipf-like popularity (default 500)\n"
    "      --once PCT         scan: percent of queries for paths seen only once (default 30)\n"
    "      --server-pid PID   report the CPU time and context switches of the server\n"
    "                         process PID per request answered\n"
    "      --vanish N         N more clients that connect, send half a request or nothing,\n"
    "                         and close (vrell protocol only)\n"
    "      --silent N         N more clients that connect and send nothing until the daemon\n"
    "                         answers them (vrell protocol only)\n"
    "      --idle K           K more connections that connect and send nothing, re-opened\n"
    "                         whenever the server ends one (any protocol)\n"
    "      --interval MS      each client sends one request every MS ms, from the start to\n"
    "                         the end of the duration (default 0: one after the other)\n"
    "      --json             print the report as one JSON object\n"
    "  -h, --help             this text\n";

// The mtime every request carries, so that a query finds what an add wrote.
constexpr int32_t kMtime = 1700000000;
// The life time the peers give their keys, as vrell's benchmark configuration does.
constexpr int kPeerExpiry = 3600;
// The daemon answers a client that has sent nothing after this long; a silent client waits for
// that and the time-out on top.
constexpr int kDaemonSilenceMs = 5000;

enum class protocol { vrell, redis, memcached };

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
  protocol speaks = protocol::vrell;
  bool json = false;
  bool scan = false;
  int files = 500;
  int once_percent = 30;
  int server_pid = 0;  // 0: the server's usage is not read
  int vanish = 0;
  int silent = 0;
  int idle = 0;
  int interval_ms = 0;  // 0: back to back
};

const char *protocol_name(protocol p) {
  switch (p) {
    case protocol::redis:
      return "redis";
    case protocol::memcached:
      return "memcached";
    default:
      return "vrell";
  }
}

// What one client thread saw; merged after every thread has ended.
struct client_tally {
  // 64 bits: a reply that waited for a silent client's 5 s would not fit 32 bits of nanoseconds.
  std::vector<uint64_t> latency_ns;
  std::map<std::string, uint64_t> sent;  // requests by letter (Q, A, D)
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> errors;
  uint64_t last_ns = 0;  // when its last request ended
};

std::atomic<bool> stop{false};
std::atomic<uint64_t> tickets{0};
std::atomic<uint64_t> answered{0};
std::atomic<uint64_t> failed{0};
// The scan workload's queries answered and those answered from the cache, sampled each second.
std::atomic<uint64_t> scan_queries{0};
std::atomic<uint64_t> scan_hits{0};

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
             resp_bulk(std::to_string(kPeerExpiry));
    case op::remove:
      return "*2\r\n" + resp_bulk("DEL") + resp_bulk(key);
  }
  return "";
}

std::string memcached_text(op kind, const std::string &key, int verdict) {
  switch (kind) {
    case op::query:
      return "get " + key + "\r\n";
    case op::add: {
      std::string value = std::to_string(kMtime) + " " + std::to_string(verdict);
      return "set " + key + " 0 " + std::to_string(kPeerExpiry) + " " +
             std::to_string(value.size()) + "\r\n" + value + "\r\n";
    }
    case op::remove:
      return "delete " + key + "\r\n";
  }
  return "";
}

// One connect, send and receive with a peer server, reading until complete() finds the whole
// reply. Returns 0 with the NUL-terminated reply in buffer and its length in length, or the
// negative code of the client library that names the same failure.
int peer_exchange(const char *socket_path, const std::string &request, int timeout_ms,
                  size_t (*complete)(const char *, size_t), char *buffer, size_t size,
                  size_t *length) {
  uint64_t deadline = now_ns() + static_cast<uint64_t>(timeout_ms) * 1000000u;
  unix_socket_guard guard(unix_socket_connect(socket_path, clock_now_ms() + timeout_ms));
  const int fd = guard.fd;
  if (fd < 0) return errno == EAGAIN ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ECONNECT;
  ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(request.size()))
    return sent < 0 && errno == EAGAIN ? VRELL_CLIENT_ETIMEOUT : VRELL_CLIENT_ESEND;
  size_t have = 0;
  buffer[0] = '\0';
  while (have == 0 || (*length = complete(buffer, have)) == 0) {
    if (have == size - 1) return VRELL_CLIENT_ERECV;
    uint64_t now = now_ns();
    int left = now < deadline ? static_cast<int>((deadline - now) / 1000000u) : 0;
    pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, left);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return VRELL_CLIENT_ETIMEOUT;
    if (n < 0) return VRELL_CLIENT_ERECV;
    ssize_t got = recv(fd, buffer + have, size - 1 - have, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return VRELL_CLIENT_ERECV;
    have += static_cast<size_t>(got);
    buffer[have] = '\0';
  }
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

// One request in the protocol of the mode. Returns the reply's code (0 for a peer's reply) or
// the negative code of the failure; the reply's kind or the error's kind goes into the tally,
// in the scan workload under the request's letter.
int exchange(const bench_options &options, op kind, const std::string &key, int verdict,
             client_tally *tally, uint64_t *latency) {
  uint64_t start = now_ns();
  int code;
  std::string reply_kind;
  char reply[VRELL_CLIENT_REPLY_MAX];
  size_t length = 0;
  const char *letter = kind == op::query ? "Q" : kind == op::add ? "A" : "D";
  tally->sent[letter]++;
  switch (options.speaks) {
    case protocol::redis:
      code = peer_exchange(options.socket_path, redis_text(kind, key, verdict), options.timeout_ms,
                           bench_reply_resp_length, reply, sizeof reply, &length);
      if (code == 0) reply_kind = bench_reply_resp_kind(reply, length);
      break;
    case protocol::memcached:
      code =
          peer_exchange(options.socket_path, memcached_text(kind, key, verdict), options.timeout_ms,
                        bench_reply_memcached_length, reply, sizeof reply, &length);
      if (code == 0) reply_kind = bench_reply_memcached_kind(reply, length);
      break;
    default:
      code = vrell_client_request(options.socket_path, vrell_text(kind, key, verdict).c_str(),
                                  reply, sizeof reply, options.timeout_ms);
      if (code >= 0) reply_kind = std::to_string(code);
  }
  *latency = now_ns() - start;
  if (code < 0) {
    tally->errors[error_kind(code)]++;
    return code;
  }
  if (options.scan) reply_kind.insert(0, std::string(letter) + " ");
  tally->replies[reply_kind]++;
  return code;
}

// Counts one exchange in the tally and the totals.
void record(int code, uint64_t latency, client_tally *tally) {
  tally->last_ns = now_ns();
  if (code >= 0) {
    tally->latency_ns.push_back(latency);
    answered.fetch_add(1, std::memory_order_relaxed);
  } else {
    failed.fetch_add(1, std::memory_order_relaxed);
  }
}

// The requests a paced client makes: one at the start and one at each tick until the end.
uint64_t planned_per_client(const bench_options &options) {
  if (options.interval_ms <= 0) return 0;
  return static_cast<uint64_t>(options.duration * 1000) /
             static_cast<uint64_t>(options.interval_ms) +
         1;
}

// Paced: waits for the request's tick. Returns false when the run is over: every tick served, or
// the client is so late (a reply that took long) that the tick is a whole interval past the end.
bool wait_for_tick(const bench_options &options, uint64_t start, uint64_t request) {
  if (request >= planned_per_client(options)) return false;
  const uint64_t interval = static_cast<uint64_t>(options.interval_ms) * 1000000u;
  const uint64_t tick = start + request * interval;
  const uint64_t last = start + (planned_per_client(options) - 1) * interval;
  uint64_t now = now_ns();
  if (now > last + interval) return false;
  if (now < tick) {
    struct timespec pause = {static_cast<time_t>((tick - now) / 1000000000u),
                             static_cast<long>((tick - now) % 1000000000u)};
    nanosleep(&pause, nullptr);
  }
  return true;
}

void client_loop(const bench_options &options, const std::vector<std::string> &paths, unsigned seed,
                 uint64_t start, client_tally *tally) {
  std::minstd_rand pick(seed);
  const int shares = options.mix[0] + options.mix[1] + options.mix[2];
  for (uint64_t request = 0;; request++) {
    if (options.interval_ms > 0) {
      if (!wait_for_tick(options, start, request)) break;
    } else if (stop.load(std::memory_order_relaxed)) {
      break;
    }
    if (options.count > 0 && tickets.fetch_add(1) >= options.count) break;
    int roll = static_cast<int>(pick() % static_cast<unsigned>(shares));
    op kind = roll < options.mix[0]                    ? op::query
              : roll < options.mix[0] + options.mix[1] ? op::add
                                                       : op::remove;
    const std::string &key = paths[pick() % paths.size()];
    uint64_t latency;
    int code = exchange(options, kind, key, static_cast<int>(pick() & 1), tally, &latency);
    record(code, latency, tally);
  }
}

// The cumulative weights of Zipf-like popularity over n files: file i is drawn with weight
// 1 / (i + 1), so a few files are scanned again and again and most now and then.
std::vector<double> zipf_cumulative(size_t n) {
  std::vector<double> sums(n);
  double sum = 0;
  for (size_t i = 0; i < n; i++) sums[i] = sum += 1.0 / static_cast<double>(i + 1);
  for (double &s : sums) s /= sum;
  return sums;
}

// A scanner: query a file; unless the cache answered with a verdict (205 clean, 206 infected),
// scan it and add the verdict. A share of the queries names a file never seen before.
void scan_loop(const bench_options &options, const std::vector<std::string> &files,
               const std::vector<double> &popularity, unsigned seed, int client,
               client_tally *tally) {
  std::minstd_rand pick(seed);
  uint64_t once = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    if (options.count > 0 && tickets.fetch_add(1) >= options.count) break;
    std::string key;
    if (static_cast<int>(pick() % 100) < options.once_percent) {
      key = options.prefix + "/once/s" + std::to_string(options.seed) + "c" +
            std::to_string(client) + "/f" + std::to_string(once++) + ".bin";
    } else {
      double u = static_cast<double>(pick() - 1) / static_cast<double>(std::minstd_rand::max());
      auto at = std::lower_bound(popularity.begin(), popularity.end(), u);
      key = files[std::min(static_cast<size_t>(at - popularity.begin()), files.size() - 1)];
    }
    uint64_t latency;
    int code = exchange(options, op::query, key, 0, tally, &latency);
    record(code, latency, tally);
    if (code < 0) continue;
    bool hit = code == 205 || code == 206;
    if (hit) scan_hits.fetch_add(1, std::memory_order_relaxed);
    scan_queries.fetch_add(1, std::memory_order_relaxed);
    if (hit) continue;
    code = exchange(options, op::add, key, 0, tally, &latency);
    record(code, latency, tally);
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
  enum {
    kPrefix = 256,
    kPreload,
    kSeed,
    kRedis,
    kMemcached,
    kJson,
    kScan,
    kFiles,
    kOnce,
    kServerPid,
    kVanish,
    kSilent,
    kIdle,
    kInterval
  };
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
      {"memcached", no_argument, nullptr, kMemcached},
      {"scan", no_argument, nullptr, kScan},
      {"files", required_argument, nullptr, kFiles},
      {"once", required_argument, nullptr, kOnce},
      {"server-pid", required_argument, nullptr, kServerPid},
      {"vanish", required_argument, nullptr, kVanish},
      {"silent", required_argument, nullptr, kSilent},
      {"idle", required_argument, nullptr, kIdle},
      {"interval", required_argument, nullptr, kInterval},
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
        options->speaks = protocol::redis;
        break;
      case kMemcached:
        options->speaks = protocol::memcached;
        break;
      case kScan:
        options->scan = true;
        break;
      case kFiles:
        ok = parse_int(optarg, 1, 10000000, &v);
        options->files = static_cast<int>(v);
        break;
      case kOnce:
        ok = parse_int(optarg, 0, 100, &v);
        options->once_percent = static_cast<int>(v);
        break;
      case kServerPid:
        ok = parse_int(optarg, 1, INT32_MAX, &v);
        options->server_pid = static_cast<int>(v);
        break;
      case kVanish:
        ok = parse_int(optarg, 0, 1024, &v);
        options->vanish = static_cast<int>(v);
        break;
      case kSilent:
        ok = parse_int(optarg, 0, 1024, &v);
        options->silent = static_cast<int>(v);
        break;
      case kIdle:
        ok = parse_int(optarg, 0, 100000, &v);
        options->idle = static_cast<int>(v);
        break;
      case kInterval:
        ok = parse_int(optarg, 0, 3600000, &v);
        options->interval_ms = static_cast<int>(v);
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
      if (c != '?') fprintf(stderr, "vrell-bench: bad value: %s\n", optarg);
      fputs(kUsage, stderr);
      return 2;
    }
  }
  if (options->socket_path == nullptr || optind != argc ||
      ((options->scan || options->vanish > 0 || options->silent > 0) &&
       options->speaks != protocol::vrell) ||
      (options->interval_ms > 0 && (options->scan || options->duration <= 0))) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (strlen(options->socket_path) > UNIX_SOCKET_PATH_MAX) {
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
  std::map<std::string, uint64_t> sent;
  std::map<std::string, uint64_t> replies;
  std::map<std::string, uint64_t> error_kinds;
  // The misbehaving clients' tallies, merged; their failures are in error_kinds.
  bench_soak_tally soak;
  // The server's usage over the run; valid when server_read. Its context switches are of the
  // threads alive at the end, unknown when threads that had switched ended during the run.
  bool server_read, switches_known;
  bench_proc_usage server;
  // The scan workload's queries answered, and answered from the cache, in each whole second.
  std::vector<uint64_t> queries, hits;
  uint64_t planned;  // the requests of paced clients, 0 when not paced
  const bench_soak_idle_set *idle;
};

double share(uint64_t part, uint64_t whole) {
  return whole > 0 ? static_cast<double>(part) / static_cast<double>(whole) : 0;
}

report summarise(const std::vector<client_tally> &tallies,
                 const std::vector<bench_soak_tally> &soak_tallies, double seconds) {
  report r = {};
  r.seconds = seconds;
  std::vector<uint64_t> all;
  for (const auto &t : soak_tallies) {
    r.soak.vanished += t.vanished;
    for (const auto &[code, n] : t.silent_replies) r.soak.silent_replies[code] += n;
    for (const auto &[kind, n] : t.errors) {
      r.error_kinds[kind] += n;
      r.errors += n;
    }
  }
  for (const auto &t : tallies) {
    all.insert(all.end(), t.latency_ns.begin(), t.latency_ns.end());
    for (const auto &[kind, n] : t.sent) r.sent[kind] += n;
    for (const auto &[kind, n] : t.replies) r.replies[kind] += n;
    for (const auto &[kind, n] : t.errors) {
      r.error_kinds[kind] += n;
      r.errors += n;
    }
  }
  std::sort(all.begin(), all.end());
  r.answered = all.size();
  r.p50 = bench_reply_percentile_us(all, 0.50);
  r.p90 = bench_reply_percentile_us(all, 0.90);
  r.p99 = bench_reply_percentile_us(all, 0.99);
  r.p999 = bench_reply_percentile_us(all, 0.999);
  r.max = bench_reply_percentile_us(all, 1.0);
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

void print_json_array(const char *name, const std::vector<uint64_t> &values,
                      const std::vector<uint64_t> *whole) {
  printf(", \"%s\": [", name);
  for (size_t i = 0; i < values.size(); i++) {
    if (whole == nullptr)
      printf("%s%llu", i ? ", " : "", static_cast<unsigned long long>(values[i]));
    else
      printf("%s%.4f", i ? ", " : "", share(values[i], (*whole)[i]));
  }
  printf("]");
}

// The server's CPU time in microseconds and its context switches, each per request answered.
double server_cpu_us(const report &r) {
  double ticks = static_cast<double>(bench_proc_ticks_per_second());
  return r.answered > 0 && ticks > 0 ? static_cast<double>(r.server.cpu_ticks) * 1e6 / ticks /
                                           static_cast<double>(r.answered)
                                     : 0;
}
double server_switches(const report &r) {
  return share(r.server.context_switches, r.answered);
}

void print_report(const bench_options &options, const report &r) {
  const char *mode = options.scan ? "scan" : protocol_name(options.speaks);
  uint64_t queries = 0, hits = 0;
  for (size_t i = 0; i < r.queries.size(); i++) queries += r.queries[i], hits += r.hits[i];
  if (options.json) {
    printf(
        "{\"mode\": \"%s\", \"concurrency\": %d, \"seconds\": %.3f, \"answered\": %llu, "
        "\"errors\": %llu, \"requests_per_second\": %.1f, \"latency_us\": {\"p50\": %.1f, "
        "\"p90\": %.1f, \"p99\": %.1f, \"p99.9\": %.1f, \"max\": %.1f}, \"replies\": ",
        mode, options.concurrency, r.seconds, static_cast<unsigned long long>(r.answered),
        static_cast<unsigned long long>(r.errors), rate(r), r.p50, r.p90, r.p99, r.p999, r.max);
    print_json_map(r.replies);
    printf(", \"error_kinds\": ");
    print_json_map(r.error_kinds);
    printf(", \"sent\": ");
    print_json_map(r.sent);
    if (options.vanish > 0 || options.silent > 0) {
      printf(", \"vanished\": %llu, \"silent_replies\": ",
             static_cast<unsigned long long>(r.soak.vanished));
      print_json_map(r.soak.silent_replies);
    }
    if (options.server_pid > 0 && r.server_read) {
      printf(
          ", \"server\": {\"pid\": %d, \"cpu_ticks\": %llu, \"clock_ticks_per_second\": %ld, "
          "\"cpu_us_per_request\": %.2f",
          options.server_pid, static_cast<unsigned long long>(r.server.cpu_ticks),
          bench_proc_ticks_per_second(), server_cpu_us(r));
      if (r.switches_known)
        printf(", \"context_switches\": %llu, \"context_switches_per_request\": %.3f}",
               static_cast<unsigned long long>(r.server.context_switches), server_switches(r));
      else
        printf(", \"context_switches\": null, \"context_switches_per_request\": null}");
    } else if (options.server_pid > 0) {
      printf(", \"server\": null");
    }
    if (options.interval_ms > 0)
      printf(", \"interval_ms\": %d, \"planned\": %llu", options.interval_ms,
             static_cast<unsigned long long>(r.planned));
    if (options.idle > 0) {
      printf(", \"idle\": %d, \"idle_reopened\": %llu, \"idle_failed\": %llu, \"idle_replies\": ",
             options.idle, static_cast<unsigned long long>(r.idle->reopened),
             static_cast<unsigned long long>(r.idle->failed));
      print_json_map(r.idle->replies);
    }
    if (options.scan) {
      printf(", \"hit_rate\": %.4f", share(hits, queries));
      print_json_array("hit_rate_per_second", r.hits, &r.queries);
      print_json_array("queries_per_second", r.queries, nullptr);
      print_json_array("hits_per_second", r.hits, nullptr);
    }
    printf("}\n");
    return;
  }
  printf("%s at %s: %d clients, %.2f s\n", mode, options.socket_path, options.concurrency,
         r.seconds);
  if (options.scan)
    printf("hit rate  %.3f of %llu queries\n", share(hits, queries),
           static_cast<unsigned long long>(queries));
  printf("requests  %llu answered, %llu errors, %.0f per second\n",
         static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.errors),
         rate(r));
  if (options.interval_ms > 0)
    printf("paced     one every %d ms: %llu of %llu answered\n", options.interval_ms,
           static_cast<unsigned long long>(r.answered), static_cast<unsigned long long>(r.planned));
  if (options.idle > 0) {
    printf("idle      %d held, %llu re-opened, %llu connects failed", options.idle,
           static_cast<unsigned long long>(r.idle->reopened),
           static_cast<unsigned long long>(r.idle->failed));
    for (const auto &[code, n] : r.idle->replies)
      printf(", %s: %llu", code.c_str(), static_cast<unsigned long long>(n));
    printf("\n");
  }
  printf("latency   p50 %.1f us, p90 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us\n", r.p50,
         r.p90, r.p99, r.p999, r.max);
  if (options.server_pid > 0 && r.server_read)
    printf("server    %.2f us CPU and %.3f context switches per request\n", server_cpu_us(r),
           r.switches_known ? server_switches(r) : -1.0);
  printf("replies  ");
  for (const auto &[kind, n] : r.replies)
    printf(" %s: %llu", kind.c_str(), static_cast<unsigned long long>(n));
  if (options.vanish > 0 || options.silent > 0) {
    printf("\nsoak      vanished: %llu", static_cast<unsigned long long>(r.soak.vanished));
    for (const auto &[code, n] : r.soak.silent_replies)
      printf(", silent %s: %llu", code.c_str(), static_cast<unsigned long long>(n));
  }
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
  const int path_count = options.scan ? options.files : options.paths;
  for (int i = 0; i < path_count; i++) {
    snprintf(path, sizeof path, "%s/d%03d/file%06d.bin", options.prefix.c_str(), i % 100, i);
    paths.emplace_back(path);
  }
  if (options.preload) preload(options, paths);
  const std::vector<double> popularity =
      options.scan ? zipf_cumulative(paths.size()) : std::vector<double>();

  bench_proc_usage server_before = {}, server_after = {};
  bool server_read =
      options.server_pid > 0 && bench_proc_read(options.server_pid, &server_before) == 0;
  std::vector<client_tally> tallies(static_cast<size_t>(options.concurrency));
  std::vector<bench_soak_tally> soak_tallies(static_cast<size_t>(options.vanish + options.silent));
  std::vector<std::thread> clients;
  const std::string half_request = vrell_text(op::query, paths[0], 0);
  bench_soak_idle_set idle;
  // Held until the measured clients are done, so that a request still waiting at the end is
  // not let through by the idle connections closing.
  std::atomic<bool> idle_stop{false};
  std::thread idle_holder;
  if (options.idle > 0) {
    // Each idle connection is a descriptor of ours.
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (bench_soak_idle_open(options.socket_path, options.idle, options.timeout_ms, &idle) <
        options.idle)
      fprintf(stderr, "vrell-bench: %llu idle connections could not be opened\n",
              static_cast<unsigned long long>(idle.failed));
    idle_holder =
        std::thread(bench_soak_idle, options.socket_path, options.timeout_ms, &idle_stop, &idle);
  }
  for (int i = 0; i < options.vanish + options.silent; i++) {
    if (i < options.vanish)
      clients.emplace_back(bench_soak_vanish, options.socket_path, std::cref(half_request),
                           options.timeout_ms, &stop, &soak_tallies[i]);
    else
      clients.emplace_back(bench_soak_silent, options.socket_path,
                           kDaemonSilenceMs + options.timeout_ms, &stop, &soak_tallies[i]);
  }
  uint64_t start = now_ns();
  for (int i = 0; i < options.concurrency; i++) {
    unsigned seed = options.seed * 7919u + static_cast<unsigned>(i);
    if (options.scan)
      clients.emplace_back(scan_loop, std::cref(options), std::cref(paths), std::cref(popularity),
                           seed, i, &tallies[i]);
    else
      clients.emplace_back(client_loop, std::cref(options), std::cref(paths), seed, start,
                           &tallies[i]);
  }

  // The main thread keeps time and, on a terminal, shows how far the run has come.
  const bool progress = isatty(STDERR_FILENO) == 1;
  const uint64_t end =
      options.duration > 0 ? start + static_cast<uint64_t>(options.duration * 1e9) : UINT64_MAX;
  uint64_t shown = start;
  // The scan workload's counts at the end of each whole second, a line each on the terminal.
  std::vector<uint64_t> queries_per_second, hits_per_second;
  uint64_t queries_before = 0, hits_before = 0;
  for (;;) {
    uint64_t now = now_ns();
    while (options.scan && now >= start + (queries_per_second.size() + 1) * 1000000000u) {
      uint64_t q = scan_queries.load(), h = scan_hits.load();
      queries_per_second.push_back(q - queries_before);
      hits_per_second.push_back(h - hits_before);
      queries_before = q;
      hits_before = h;
      if (!options.json) {
        if (progress) fprintf(stderr, "\r\033[K");
        printf("second %3zu  hit rate %.3f  %llu queries\n", queries_per_second.size(),
               share(hits_per_second.back(), queries_per_second.back()),
               static_cast<unsigned long long>(queries_per_second.back()));
        fflush(stdout);
      }
    }
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
  idle_stop.store(true);
  if (idle_holder.joinable()) idle_holder.join();
  server_read = server_read && bench_proc_read(options.server_pid, &server_after) == 0;
  if (options.server_pid > 0 && !server_read)
    fprintf(stderr, "vrell-bench: cannot read /proc/%d: no server usage\n", options.server_pid);
  // The run lasts until its last request ended, so that requests still under way when the
  // time was up count with the time they took.
  uint64_t last = start;
  for (const auto &t : tallies) last = std::max(last, t.last_ns);
  double seconds = (last - start) / 1e9;
  if (progress) fprintf(stderr, "\r\033[K");

  report r = summarise(tallies, soak_tallies, seconds);
  r.server_read = server_read;
  r.switches_known = server_after.context_switches >= server_before.context_switches;
  r.server = {
      server_after.cpu_ticks - server_before.cpu_ticks,
      r.switches_known ? server_after.context_switches - server_before.context_switches : 0};
  r.queries = queries_per_second;
  r.hits = hits_per_second;
  r.planned = planned_per_client(options) * static_cast<uint64_t>(options.concurrency);
  r.idle = &idle;
  print_report(options, r);
  // A run in which nothing was answered measured nothing.
  return r.answered > 0 ? 0 : 1;
}
