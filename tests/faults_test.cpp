// SPDX-License-Identifier: BSD-2-Clause
// Faults and load against the real binary: clients that stay silent, vanish or reset, a flood
// of mixed requests whose every reply is checked against a model of the cache, a stop in the
// middle of a flood, and start-ups from damaged configuration files and onto a full disk.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "harness.h"

namespace {

constexpr int kBoundMs = 30000;

// The flood's size, the same in sanitizer builds: there it takes a few seconds more.
constexpr int kFloodConnections = 20000;
constexpr int kFloodClients = 32;
static_assert(kFloodConnections % kFloodClients == 0, "every client makes the same share");
constexpr int kPathsPerClient = 16;
// Room for every path of every client and the anchor, so that no add may ever be refused.
constexpr int kFloodCapacity = kFloodClients * kPathsPerClient + 1;
// Keeps the table from being empty, where a delete answers 208 instead of 209.
constexpr char kAnchor[] = "/flood/anchor";

// Every byte the daemon sends until it closes the connection, NUL included.
std::string ReadAll(int fd) {
  std::string raw;
  char buffer[128];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kBoundMs) != 1) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    raw.append(buffer, size_t(n));
  }
  return raw;
}

// One connection: the text and its NUL out, everything the daemon sends back in. Sets
// *connected to whether the connect succeeded.
std::string Exchange(const std::string &socket_path, const std::string &text,
                     bool *connected = nullptr) {
  int fd = harness_connect(socket_path);
  if (connected != nullptr) *connected = fd >= 0;
  if (fd < 0) return "";
  std::string raw;
  if (send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL) == ssize_t(text.size() + 1)) {
    raw = ReadAll(fd);
  }
  close(fd);
  return raw;
}

// One of the daemon's replies, whole: its text, the line end, the NUL, nothing more.
bool IsProtocolReply(const std::string &raw) {
  static const char *const fixed[] = {
      REPLY_ADDED, REPLY_MODIFIED,    REPLY_FULL,      REPLY_DELETED, REPLY_CLEAN,  REPLY_INFECTED,
      REPLY_STALE, REPLY_CACHE_ERROR, REPLY_NOT_FOUND, REPLY_INVALID, REPLY_CLEARED};
  if (raw.empty() || raw.back() != '\0') return false;
  const std::string text = raw.substr(0, raw.size() - 1);
  for (const char *reply : fixed) {
    if (text == reply) return true;
  }
  return text.rfind(STATUS_TEXT ";", 0) == 0 && text.find("\r\n") == text.size() - 2;
}

std::string Printable(const std::string &raw) {
  std::string out;
  for (char c : raw) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\0') {
      out += "\\0";
    } else {
      out += c;
    }
  }
  return out;
}

// The number of open descriptors of a process, or -1.
int DescriptorCount(pid_t pid) {
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent *e = readdir(dir)) {
    if (e->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// What one flood client knows of its own paths: mtime and verdict of each present entry.
struct model_entry {
  int32_t mtime;
  int verdict;
};

// One flood client: its own paths, its random mix and the model of what the cache holds of
// them. Each request is drawn, sent and checked against the reply the model predicts.
struct flood_client {
  int id;
  std::mt19937 random;
  std::map<std::string, model_entry> model;

  std::string Path(int k) const {
    return "/flood/" + std::to_string(id) + "/f" + std::to_string(k) + " x";
  }

  // Draws the next request into *request and returns the reply the model predicts; the model
  // is updated as if the reply came.
  std::string Next(std::string *request) {
    const std::string path = Path(int(random() % kPathsPerClient));
    // Mostly the mtime the file has; now and then a changed one, which makes a query stale.
    const int32_t mtime = random() % 4 == 0 ? 1700000001 : 1700000000;
    const unsigned pick = random() % 100;
    auto found = model.find(path);
    if (pick < 55) {
      *request = "Q " + std::to_string(mtime) + " " + path + "\r\n";
      if (found == model.end()) return REPLY_NOT_FOUND;
      if (found->second.mtime != mtime) {
        model.erase(found);
        return REPLY_STALE;
      }
      return found->second.verdict == 1 ? REPLY_INFECTED : REPLY_CLEAN;
    }
    if (pick < 88) {
      const int verdict = int(random() % 2);
      *request = "A " + std::to_string(mtime) + " " + std::to_string(verdict) + " " + path + "\r\n";
      const bool present = found != model.end();
      model[path] = {mtime, verdict};
      return present ? REPLY_MODIFIED : REPLY_ADDED;
    }
    *request = "D " + path + "\r\n";
    if (found == model.end()) return REPLY_NOT_FOUND;
    model.erase(found);
    return REPLY_DELETED;
  }
};

// Tallies of a flood, shared by its clients.
struct flood_tally {
  std::atomic<int> served{0};      // replies that matched the model
  std::atomic<int> wrong{0};       // replies that were whole but not what the model predicts
  std::atomic<int> broken{0};      // replies that were not one whole reply of the protocol
  std::atomic<int> unanswered{0};  // connected, but closed without any reply
  std::atomic<int> refused{0};     // the connect failed
  std::mutex lock;
  std::vector<std::string> first_faults;  // a few faults for the failure message

  void Fault(const std::string &what) {
    std::lock_guard<std::mutex> guard(lock);
    if (first_faults.size() < 5) first_faults.push_back(what);
  }
};

// Runs one client's share of a flood: count connections, or until *stop once the daemon has
// gone away (then a missing reply ends the client). Every reply is checked.
void RunFloodClient(const std::string &socket_path, flood_client *client, int count,
                    const std::atomic<bool> *stop, flood_tally *tally) {
  for (int i = 0; count < 0 || i < count; ++i) {
    std::string request;
    const std::string expected = client->Next(&request);
    bool connected = false;
    const std::string raw = Exchange(socket_path, request, &connected);
    if (!connected || raw.empty()) {
      (connected ? tally->unanswered : tally->refused)++;
      if (stop != nullptr) return;  // the daemon is stopping: nothing further is served
      tally->Fault("no reply to " + Printable(request));
      continue;
    }
    if (!IsProtocolReply(raw)) {
      tally->broken++;
      tally->Fault("broken reply " + Printable(raw) + " to " + Printable(request));
    } else if (raw != expected + '\0') {
      tally->wrong++;
      tally->Fault("reply " + Printable(raw) + " to " + Printable(request) + ", expected " +
                   Printable(expected));
    } else {
      tally->served++;
    }
    if (stop != nullptr && stop->load()) return;
  }
}

std::string FaultList(const flood_tally &tally) {
  std::string text;
  for (const std::string &f : tally.first_faults) text += f + "\n";
  return text;
}

class FaultsTest : public harness_fixture {
 protected:
  void Start(const harness_config &config) {
    config_ = config;
    harness_write_config(d_, config_);
    std::string why;
    ASSERT_TRUE(harness_start(&d_, {}, &why)) << why;
  }

  void ExpectOrderlyStop(int status) {
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(harness_exists(d_.pid_path));
    EXPECT_FALSE(harness_exists(d_.socket_path));
  }

  std::string Request(const std::string &text) {
    std::string raw = Exchange(d_.socket_path, text);
    if (!raw.empty() && raw.back() == '\0') raw.pop_back();
    return raw;
  }

  // Polls until the daemon's descriptor count is back at want; returns the last count seen.
  int SettledDescriptors(int want) {
    int now = -1;
    harness_wait_for([&] { return (now = DescriptorCount(d_.pid)) == want; }, kBoundMs);
    return now;
  }

  // The daemon's descriptor count at rest: the least seen over half a second, since a worker
  // may not yet have closed the connection whose reply the client has already read.
  int IdleDescriptors() {
    int least = DescriptorCount(d_.pid);
    for (int i = 0; i < 5; ++i) {
      usleep(100 * 1000);
      least = std::min(least, DescriptorCount(d_.pid));
    }
    return least;
  }
};

TEST_F(FaultsTest, SilentClientsAreLetGoAndTheOthersServed) {
  harness_config config;
  config.threads = "25";
  Start(config);
  constexpr int kSilent = 64;
  std::vector<int> silent;
  for (int i = 0; i < kSilent; ++i) {
    int fd = harness_connect(d_.socket_path);
    ASSERT_GE(fd, 0) << "connect " << i;
    silent.push_back(fd);
  }
  // More silent clients than workers: they wait without a worker, so a client beside them is
  // answered, and the receive time-out, counted from each accept, answers each of them.
  const std::string status = Request("K\r\n");
  EXPECT_EQ(status.rfind(STATUS_TEXT ";", 0), 0u) << Printable(status);
  int let_go = 0;
  for (int fd : silent) {
    if (ReadAll(fd) == std::string(REPLY_CACHE_ERROR) + '\0') ++let_go;
    close(fd);
  }
  EXPECT_EQ(let_go, kSilent);
  EXPECT_EQ(Request("A 5 1 /after/silence\r\n"), REPLY_ADDED);

  // A stop asked for while silent clients wait still completes; each of them gets the
  // time-out's whole reply or none at all.
  silent.clear();
  for (int i = 0; i < kSilent; ++i) {
    int fd = harness_connect(d_.socket_path);
    ASSERT_GE(fd, 0) << "connect " << i;
    silent.push_back(fd);
  }
  ExpectOrderlyStop(harness_stop(&d_, SIGTERM, kBoundMs / 1000));
  for (int fd : silent) {
    const std::string raw = ReadAll(fd);
    EXPECT_TRUE(raw.empty() || raw == std::string(REPLY_CACHE_ERROR) + '\0') << Printable(raw);
    close(fd);
  }
}

TEST_F(FaultsTest, VanishingAndResettingClientsLeakNothing) {
  harness_config config;
  config.threads = "8";
  config.max_entries = "1024";
  Start(config);
  ASSERT_EQ(Request("K\r\n").rfind(STATUS_TEXT ";", 0), 0u);
  const int before = IdleDescriptors();
  ASSERT_GT(before, 0);

  // Each kind of client goes away at a different moment of its exchange.
  enum vanish { kCloseAfterSend, kResetAfterSend, kHalfThenReset, kCloseAtOnce, kKinds };
  constexpr int kEach = 250, kThreads = 8;
  std::atomic<int> failed_connects{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach * kKinds / kThreads; ++i) {
        const int kind = (t + i) % kKinds;
        int fd = harness_connect(d_.socket_path);
        if (fd < 0) {
          failed_connects++;
          continue;
        }
        const std::string path = "/vanish/" + std::to_string(t) + "/" + std::to_string(i);
        const std::string whole = "A 9 0 " + path + "\r\n";
        if (kind == kCloseAfterSend || kind == kResetAfterSend) {
          send(fd, whole.c_str(), whole.size() + 1, MSG_NOSIGNAL);
        } else if (kind == kHalfThenReset) {
          send(fd, whole.c_str(), whole.size() / 2, MSG_NOSIGNAL);
        }
        if (kind == kResetAfterSend || kind == kHalfThenReset) {
          linger reset = {1, 0};
          setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(fd);
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failed_connects.load(), 0);

  // Every worker went through its connection to the end and closed it; the daemon serves on.
  EXPECT_EQ(Request("A 9 0 /vanish/probe\r\n"), REPLY_ADDED);
  EXPECT_EQ(Request("Q 9 /vanish/probe\r\n"), REPLY_CLEAN);
  EXPECT_EQ(SettledDescriptors(before), before);
  EXPECT_TRUE(harness_alive(d_.pid));
  ExpectOrderlyStop(harness_stop(&d_));
}

TEST_F(FaultsTest, AFloodIsAnsweredAsTheModelPredictsWithinTheCapacity) {
  harness_config config;
  config.threads = "25";
  config.max_entries = std::to_string(kFloodCapacity);
  config.life_time = "86400";
  Start(config);
  ASSERT_EQ(Request(std::string("A 1 0 ") + kAnchor + "\r\n"), REPLY_ADDED);

  const unsigned seed = std::random_device{}();
  printf("seed %u, %d connections from %d clients\n", seed, kFloodConnections, kFloodClients);
  std::vector<flood_client> clients;
  for (int t = 0; t < kFloodClients; ++t) clients.push_back({t, std::mt19937(seed + t), {}});
  flood_tally tally;
  std::vector<std::thread> threads;
  for (flood_client &client : clients) {
    threads.emplace_back(RunFloodClient, d_.socket_path, &client, kFloodConnections / kFloodClients,
                         nullptr, &tally);
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(tally.served.load(), kFloodConnections) << FaultList(tally);
  EXPECT_EQ(tally.wrong.load(), 0);
  EXPECT_EQ(tally.broken.load(), 0);
  EXPECT_EQ(tally.unanswered.load() + tally.refused.load(), 0);

  // A sweep of every path: the cache holds exactly what the models say.
  int present = 1;  // the anchor
  for (flood_client &client : clients) {
    for (int k = 0; k < kPathsPerClient; ++k) {
      const std::string path = client.Path(k);
      auto found = client.model.find(path);
      const int32_t mtime = found == client.model.end() ? 1700000000 : found->second.mtime;
      const std::string expected = found == client.model.end()  ? REPLY_NOT_FOUND
                                   : found->second.verdict == 1 ? REPLY_INFECTED
                                                                : REPLY_CLEAN;
      EXPECT_EQ(Request("Q " + std::to_string(mtime) + " " + path + "\r\n"), expected) << path;
      if (found != client.model.end()) ++present;
    }
  }
  EXPECT_EQ(Request(std::string("Q 1 ") + kAnchor + "\r\n"), REPLY_CLEAN);

  // The capacity is exact: new paths are taken up to it and the next one is refused, while a
  // path already present is still updated.
  int added = 0;
  std::string reply;
  for (int i = 0; i <= kFloodCapacity; ++i) {
    reply = Request("A 1 1 /fill/" + std::to_string(i) + "\r\n");
    if (reply != REPLY_ADDED) break;
    ++added;
  }
  EXPECT_EQ(reply, REPLY_FULL);
  EXPECT_EQ(added, kFloodCapacity - present);
  EXPECT_EQ(Request(std::string("A 2 1 ") + kAnchor + "\r\n"), REPLY_MODIFIED);
  ExpectOrderlyStop(harness_stop(&d_));
}

TEST_F(FaultsTest, ASignalInTheMiddleOfAFloodCutsNoReply) {
  harness_config config;
  config.threads = "25";
  config.max_entries = std::to_string(kFloodCapacity);
  config.life_time = "86400";
  Start(config);
  ASSERT_EQ(Request(std::string("A 1 0 ") + kAnchor + "\r\n"), REPLY_ADDED);

  const unsigned seed = std::random_device{}();
  printf("seed %u\n", seed);
  std::vector<flood_client> clients;
  for (int t = 0; t < kFloodClients; ++t) clients.push_back({t, std::mt19937(seed + t), {}});
  flood_tally tally;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (flood_client &client : clients) {
    threads.emplace_back(RunFloodClient, d_.socket_path, &client, -1, &stop, &tally);
  }
  harness_wait_for([&] { return tally.served.load() >= kFloodConnections / 10; }, kBoundMs);
  const int status = harness_stop(&d_, SIGTERM, kBoundMs / 1000);
  stop = true;
  for (std::thread &t : threads) t.join();
  ExpectOrderlyStop(status);
  EXPECT_GE(tally.served.load(), kFloodConnections / 10);
  // Until the end every reply was whole and right; after it a client finds no daemon.
  EXPECT_EQ(tally.wrong.load(), 0) << FaultList(tally);
  EXPECT_EQ(tally.broken.load(), 0) << FaultList(tally);
  printf("served %d, unanswered at the stop %d, refused after it %d\n", tally.served.load(),
         tally.unanswered.load(), tally.refused.load());
}

// What a start from a damaged configuration file may come to.
enum start_outcome { kServes, kRefuses, kEither };

// Removes the sanitizer reports of a run, once they have been looked at.
void RemoveSanitizerReports(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d)) {
    if (strncmp(e->d_name, "san.", 4) == 0) unlink((dir + "/" + e->d_name).c_str());
  }
  closedir(d);
}

TEST_F(FaultsTest, DamagedConfigurationFilesNeverCrashTheStart) {
  // An environment value long enough that a few references to it overrun every line buffer.
  setenv("FAULTS_LONG", std::string(4000, 'e').c_str(), 1);
  const std::string good = "[vrell]\n    QXVrellSocket = \"" + d_.socket_path +
                           "\"\n    QXVrellPid = \"" + d_.pid_path +
                           "\"\n    service threads = \"10\"\n    cache max entry = \"100\"\n"
                           "    entry life time = \"10\"\n";
  // A continuation takes in every next line while the joined text still ends in "-", so the
  // chain is closed before the daemon's own section.
  std::string continuation = "[junk]\n    chain = \"start-\n";
  for (int i = 0; i < 5000; ++i) continuation += "-\n";
  continuation += "end\"\n";
  std::string pieces = "[junk]\n    pieces = \"a-\n";
  for (int i = 0; i < 5000; ++i) pieces += "  bcdefgh-\n";
  pieces += "end\"\n";
  std::string refs = "[junk]\n    refs = \"";
  for (int i = 0; i < 300; ++i) refs += "$(FAULTS_LONG)";
  std::string open_refs = "[junk]\n    open = ";
  for (int i = 0; i < 400; ++i) open_refs += "$(";
  const std::string nul("\0", 1);
  struct Case {
    const char *label;
    std::string text;
    start_outcome outcome;
  } cases[] = {
      {"NUL bytes around the keys",
       nul + "[junk" + nul + "]\nk" + nul + "ey = v" + nul + "al\n" + nul + nul + "\n" + good +
           nul + "\n",
       kServes},
      // The NUL ends the line, so the quote is never closed and the value loses its last
      // character: the daemon serves on a neighbouring path.
      {"NUL inside a value of the daemon",
       good + "[vrell]\n    QXVrellSocket = \"" + d_.socket_path + nul + "tail\"\n", kEither},
      {"a line of a megabyte", std::string(1 << 20, 'x') + "\n" + good, kServes},
      {"a long line that holds keys",
       "[junk]\n    k = \"" + std::string(5000, 'v') + "=x\"\n" + std::string(3000, '[') + "\n" +
           good,
       kServes},
      {"a key name of 5000 bytes",
       "[" + std::string(2000, 's') + "]\n" + std::string(5000, 'k') + " = 1\n" + good, kServes},
      {"tabs that expand past the line",
       "[junk]\n" + std::string(3000, '\t') + "k = 1\n" + "    t = \"" + std::string(1500, '\t') +
           "\"\n" + good,
       kServes},
      {"a continuation of 5000 lines", continuation + good, kServes},
      {"continued pieces past the joined limit", pieces + good, kServes},
      {"a continuation at the end of the file", good + "[junk]\n    last = \"a-", kServes},
      {"references that expand past every buffer", refs + "\"\n" + good, kServes},
      {"references never closed", open_refs + "\n" + good, kServes},
      {"invalid UTF-8 everywhere but the keys",
       "; \xff\xfe comment \xc0\xaf\n[\x80\xbf\xed\xa0\x80]\n\xf8\x88\x80\x80\x80 = \"\xc3\"\n" +
           good + "[vrell]\n    \xe2\x82 = \"\xff\"\n",
       kServes},
      {"invalid UTF-8 in the daemon's paths",
       good + "[vrell]\n    QXVrellPid = \"" + d_.pid_path + "\xff\xc0\"\n", kServes},
      {"invalid UTF-8 in a number",
       good + "[vrell]\n    service threads = \"\xff"
              "7\"\n",
       kEither},
      {"a reference in place of the socket",
       good + "[vrell]\n    QXVrellSocket = \"/$(FAULTS_LONG)\"\n", kRefuses},
      // An empty line ended by 0x1A ends the file, as that character always has.
      {"0x1A and lone CRs", good + "[junk]\r\rk = \x1a\x1a\r\n\x1a" + good, kServes},
      {"nothing but brackets and equals", "[\n]\n=\n==\n[=]\n[]\n\"\n" + good, kServes},
      {"binary noise",
       std::string("\x7f"
                   "ELF\x02\x01\x01",
                   7) +
           nul + nul + "\xff\xff=\n[\n" + good,
       kServes},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    harness_write_file(d_.conf_path, c.text);
    pid_t launcher = harness_launch(&d_, {});
    ASSERT_GT(launcher, 0);
    const int status = harness_wait_exit(launcher, kBoundMs);
    d_.launcher_pid = -1;
    const std::string out = harness_read_file(d_.dir + "/daemon.out");
    if (status == 0) {
      EXPECT_NE(c.outcome, kRefuses) << out;
      // The detached daemon is our child: it must serve, then stop in order.
      std::vector<pid_t> children = harness_children();
      ASSERT_EQ(children.size(), 1u);
      d_.pid = children[0];
      if (c.outcome == kServes) {
        EXPECT_TRUE(harness_wait_for(
            [&] { return Request("K\r\n").rfind(STATUS_TEXT ";", 0) == 0; }, kBoundMs));
      }
      EXPECT_EQ(harness_stop(&d_, SIGTERM, kBoundMs / 1000), 0);
    } else {
      // A refusal is exit status 1 with the daemon's own complete line; a crash is neither.
      EXPECT_EQ(status, 1) << out;
      EXPECT_NE(c.outcome, kServes) << out;
      EXPECT_TRUE(!out.empty() && out.back() == '\n') << out;
    }
    EXPECT_EQ(harness_sanitizer_reports(d_), "");
    RemoveSanitizerReports(d_.dir);
    for (const std::string &path : {d_.pid_path, d_.socket_path}) unlink(path.c_str());
    if (HasFatalFailure()) return;
  }
  unsetenv("FAULTS_LONG");
}

// The exit statuses of the child that runs the full-disk check in its own mount namespace.
enum full_disk_result { kFullDiskPassed = 0, kFullDiskCannotMount = 77 };

// Runs in a child with a private mount namespace: mounts a small tmpfs at mount_point, saves
// once onto it with room to spare and once when it is full, and writes what it saw to report.
// A live pid in the pid file makes each start end right after the save.
int FullDiskChild(daemon_under_test d, const std::string &mount_point, const std::string &report) {
  if (unshare(CLONE_NEWNS) != 0) return kFullDiskCannotMount;
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kFullDiskCannotMount;
  if (mount("vrell-full", mount_point.c_str(), "tmpfs", 0, "size=256k") != 0) {
    return kFullDiskCannotMount;
  }
  std::string text;
  d.conf_path = mount_point + "/vrell.ini";
  harness_config config;
  harness_write_config(d, config);
  const std::string original = harness_read_file(d.conf_path);
  harness_write_file(d.pid_path, std::to_string(getppid()));
  const std::vector<std::string> save = {"-c", d.conf_path, "--save", "-t", "7"};

  run_result roomy = harness_run(d, save);
  const std::string saved = harness_read_file(d.conf_path);
  text += "roomy status " + std::to_string(roomy.status) + "\nroomy out " + roomy.out;
  text += saved.find("service threads = \"7\"") != std::string::npos ? "roomy saved\n"
                                                                     : "roomy not saved\n";

  harness_write_file(d.conf_path, original);
  text += harness_fill_disk(mount_point) ? "full\n" : "not full\n";
  run_result full = harness_run(d, save);
  text += "full status " + std::to_string(full.status) + "\nfull out " + full.out;
  text += harness_read_file(d.conf_path) == original ? "old file intact\n" : "old file changed\n";
  DIR *dir = opendir(mount_point.c_str());
  while (struct dirent *e = dir != nullptr ? readdir(dir) : nullptr) {
    if (strstr(e->d_name, ".tmp") != nullptr) text += std::string("left over ") + e->d_name + "\n";
  }
  if (dir != nullptr) closedir(dir);
  harness_write_file(report, text);
  return kFullDiskPassed;
}

TEST_F(FaultsTest, ASaveOntoAFullDiskLeavesTheOldFileIntact) {
  const std::string mount_point = d_.dir + "/small", report = d_.dir + "/full-disk.report";
  ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(FullDiskChild(d_, mount_point, report));
  const int status = harness_wait_exit(child, 2 * kBoundMs);
  if (status == kFullDiskCannotMount) {
    GTEST_SKIP() << "no tmpfs can be mounted here: that needs root and a private mount namespace";
  }
  ASSERT_EQ(status, kFullDiskPassed);
  const std::string conf = mount_point + "/vrell.ini";
  const std::string refused = "Pid file exists and contains valid pid\n";
  EXPECT_EQ(harness_read_file(report), "roomy status 1\nroomy out " + refused +
                                           "roomy saved\nfull\nfull status 1\n" +
                                           "full out Error saving configuration to file (" + conf +
                                           ")\n" + refused + "old file intact\n");
}

}  // namespace
