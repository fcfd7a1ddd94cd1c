// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_load.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <random>

#include "base/clock.h"
#include "base/unix_socket.h"
#include "client/client.h"
#include "tools/bench_reply.h"

namespace {

// The mtime every request carries, so that a query finds what an add wrote.
constexpr int32_t kMtime = 1700000000;
// The life time the peers give their keys, as vrell's benchmark configuration does.
constexpr int kPeerExpiry = 3600;

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
  const timespec deadline = clock_add_ms(clock_now(), timeout_ms);
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
    pollfd ready = {fd, POLLIN, 0};
    int n = poll(&ready, 1, clock_ms_until(&deadline));
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
             bench_load_tally *tally, uint64_t *latency) {
  uint64_t start = bench_load_now_ns();
  int code;
  std::string reply_kind;
  char reply[VRELL_CLIENT_REPLY_MAX];
  size_t length = 0;
  const char *letter = kind == op::query ? "Q" : kind == op::add ? "A" : "D";
  tally->sent[letter]++;
  switch (options.speaks) {
    case bench_protocol::redis:
      code = peer_exchange(options.socket_path, redis_text(kind, key, verdict), options.timeout_ms,
                           bench_reply_resp_length, reply, sizeof reply, &length);
      if (code == 0) reply_kind = bench_reply_resp_kind(reply, length);
      break;
    case bench_protocol::memcached:
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
  *latency = bench_load_now_ns() - start;
  if (code < 0) {
    tally->errors[error_kind(code)]++;
    return code;
  }
  if (options.scan) reply_kind.insert(0, std::string(letter) + " ");
  tally->replies[reply_kind]++;
  return code;
}

// Counts one exchange in the tally and the totals.
void record(int code, uint64_t latency, bench_load_shared *shared, bench_load_tally *tally) {
  tally->last_ns = bench_load_now_ns();
  if (code >= 0) {
    tally->latency_ns.push_back(latency);
    shared->answered.fetch_add(1, std::memory_order_relaxed);
  } else {
    shared->failed.fetch_add(1, std::memory_order_relaxed);
  }
}

// Paced: waits for the request's tick. Returns false when the run is over: every tick served, or
// the client is so late (a reply that took long) that the tick is a whole interval past the end.
bool wait_for_tick(const bench_options &options, uint64_t start, uint64_t request) {
  const uint64_t planned = bench_load_planned(options);
  if (request >= planned) return false;
  const uint64_t interval = static_cast<uint64_t>(options.interval_ms) * 1000000u;
  const uint64_t tick = start + request * interval;
  const uint64_t last = start + (planned - 1) * interval;
  uint64_t now = bench_load_now_ns();
  if (now > last + interval) return false;
  if (now < tick) {
    struct timespec pause = {static_cast<time_t>((tick - now) / 1000000000u),
                             static_cast<long>((tick - now) % 1000000000u)};
    nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace

uint64_t bench_load_now_ns(void) {
  const timespec now = clock_now();
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

std::string bench_load_query(const std::string &path) {
  return vrell_text(op::query, path, 0);
}

void bench_load_preload(const bench_options &options, const std::vector<std::string> &paths) {
  bench_load_tally tally;
  uint64_t latency;
  for (const auto &key : paths) exchange(options, op::add, key, 0, &tally, &latency);
  uint64_t errors = 0;
  for (const auto &[kind, n] : tally.errors) errors += n;
  if (errors > 0)
    fprintf(stderr, "vrell-bench: %llu of %zu preload requests failed\n",
            static_cast<unsigned long long>(errors), paths.size());
}

uint64_t bench_load_planned(const bench_options &options) {
  if (options.interval_ms <= 0) return 0;
  return static_cast<uint64_t>(options.duration * 1000) /
             static_cast<uint64_t>(options.interval_ms) +
         1;
}

void bench_load_mix(const bench_options &options, const std::vector<std::string> &paths,
                    unsigned seed, uint64_t start, bench_load_shared *shared,
                    bench_load_tally *tally) {
  std::minstd_rand pick(seed);
  const int shares = options.mix[0] + options.mix[1] + options.mix[2];
  for (uint64_t request = 0;; request++) {
    if (options.interval_ms > 0) {
      if (!wait_for_tick(options, start, request)) break;
    } else if (shared->stop.load(std::memory_order_relaxed)) {
      break;
    }
    if (options.count > 0 && shared->tickets.fetch_add(1) >= options.count) break;
    int roll = static_cast<int>(pick() % static_cast<unsigned>(shares));
    op kind = roll < options.mix[0]                    ? op::query
              : roll < options.mix[0] + options.mix[1] ? op::add
                                                       : op::remove;
    const std::string &key = paths[pick() % paths.size()];
    uint64_t latency;
    int code = exchange(options, kind, key, static_cast<int>(pick() & 1), tally, &latency);
    record(code, latency, shared, tally);
  }
}

// A few files are scanned again and again, and most now and then.
std::vector<double> bench_load_zipf(size_t n) {
  std::vector<double> sums(n);
  double sum = 0;
  for (size_t i = 0; i < n; i++) sums[i] = sum += 1.0 / static_cast<double>(i + 1);
  for (double &s : sums) s /= sum;
  return sums;
}

// A scanner: query a file; unless the cache answered with a verdict (205 clean, 206 infected),
// scan it and add the verdict. A share of the queries names a file never seen before.
void bench_load_scan(const bench_options &options, const std::vector<std::string> &files,
                     const std::vector<double> &popularity, unsigned seed, int client,
                     bench_load_shared *shared, bench_load_tally *tally) {
  std::minstd_rand pick(seed);
  uint64_t once = 0;
  while (!shared->stop.load(std::memory_order_relaxed)) {
    if (options.count > 0 && shared->tickets.fetch_add(1) >= options.count) break;
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
    record(code, latency, shared, tally);
    if (code < 0) continue;
    bool hit = code == 205 || code == 206;
    if (hit) shared->scan_hits.fetch_add(1, std::memory_order_relaxed);
    shared->scan_queries.fetch_add(1, std::memory_order_relaxed);
    if (hit) continue;
    code = exchange(options, op::add, key, 0, tally, &latency);
    record(code, latency, shared, tally);
  }
}
