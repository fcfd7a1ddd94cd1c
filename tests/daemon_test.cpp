// SPDX-License-Identifier: BSD-2-Clause
// The daemon's life through the real binary: it detaches (or stays in the foreground), answers,
// and stops in order on SIGTERM or SIGINT, whatever moment the signal finds it in, telling a
// service manager when it serves and when it stops; it refuses to start beside another instance
// or its leftovers; and its worker pool holds under saturation, idle clients and bursts.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "client/client.h"
#include "harness.h"

namespace {

constexpr int kBoundMs = 20000;
// Makes the daemon write its log lines to the file it names instead of syslog.
constexpr char kLogFileVariable[] = "VRELL_LOG_FILE";
// Names the service manager's datagram socket: a path, or "@" and an abstract name.
constexpr char kNotifyVariable[] = "NOTIFY_SOCKET";

// The number of sockets the process holds open: its listener and the connections it accepted.
int SocketCount(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int count = 0;
  while (struct dirent *e = readdir(d)) {
    char target[64];
    ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, n).rfind("socket:", 0) == 0) ++count;
  }
  closedir(d);
  return count;
}

bool ReadableWithin(int fd, int ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// Reads until the daemon closes the connection. Returns the reply without its NUL.
std::string ReadReply(int fd) {
  std::string reply;
  char buffer[128];
  while (ReadableWithin(fd, kBoundMs)) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, n);
  }
  if (!reply.empty() && reply.back() == '\0') reply.pop_back();
  return reply;
}

// Sends text and its NUL on fd, then reads the reply.
std::string Exchange(int fd, const std::string &text) {
  if (send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL) < 0) return "send failed";
  return ReadReply(fd);
}

// The name=value fields of a counters line, from after its head to its line end.
std::map<std::string, long long> Fields(const std::string &line, const std::string &head) {
  std::map<std::string, long long> fields;
  if (line.rfind(head, 0) != 0) return fields;
  std::string rest = line.substr(head.size(), line.find_first_of("\r\n") - head.size());
  for (size_t start = 0; start < rest.size();) {
    size_t end = rest.find(';', start);
    if (end == std::string::npos) end = rest.size();
    std::string field = rest.substr(start, end - start);
    size_t equals = field.find('=');
    if (equals != std::string::npos) {
      fields[field.substr(0, equals)] = atoll(field.c_str() + equals + 1);
    }
    start = end + 1;
  }
  return fields;
}

// A datagram socket bound at name (a path, or "@" and an abstract name), as a service manager's;
// -1 on failure.
int BindManager(const std::string &name) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, name.c_str(), sizeof address.sun_path - 1);
  if (name[0] == '@') address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// The next notice the daemon sent to the manager's socket, "" when none came within the bound.
std::string NextNotice(int manager) {
  char notice[1024];
  if (!ReadableWithin(manager, kBoundMs)) return "";
  ssize_t n = recv(manager, notice, sizeof notice, MSG_DONTWAIT);
  return n > 0 ? std::string(notice, n) : "";
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// A whole reply: one of the daemon's lines with its line end, nothing cut.
bool IsWholeReply(const std::string &reply) {
  return reply.size() > 6 && reply.compare(reply.size() - 2, 2, "\r\n") == 0 &&
         reply.find('\r') == reply.size() - 2 && reply[3] == '-';
}

// Reads the escapes of a protocol vector: \r, \n, \0, \\ and \xHH; any other character stands
// for itself.
std::string Unescape(const std::string &text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'r') {
      bytes += '\r';
    } else if (c == 'n') {
      bytes += '\n';
    } else if (c == '0') {
      bytes += '\0';
    } else if (c == 'x' && i + 2 < text.size()) {
      bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += c;
    }
  }
  return bytes;
}

// Shows bytes with the vectors' escapes, for a failure message.
std::string Escape(const std::string &bytes) {
  std::string text;
  for (char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\0') {
      text += "\\0";
    } else {
      text += c;
    }
  }
  return text;
}

class DaemonTest : public harness_fixture {
 protected:
  void Start(const std::vector<std::string> &args = {}) {
    std::string why;
    ASSERT_TRUE(harness_start(&d_, args, &why)) << why;
  }

  // Expects the orderly stop's traces: exit status 0, no pid file, no socket node.
  void ExpectOrderlyStop(int status) {
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(harness_exists(d_.pid_path));
    EXPECT_FALSE(harness_exists(d_.socket_path));
  }
};

TEST_F(DaemonTest, DetachesAnswersAndStopsInOrderOnEitherSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    Start();
    EXPECT_EQ(d_.launcher.status, 0);
    EXPECT_EQ(d_.launcher.out, "");
    EXPECT_NE(d_.pid, d_.launcher_pid);
    EXPECT_EQ(harness_read_file(d_.pid_path), std::to_string(d_.pid));
    EXPECT_EQ(harness_request(d_, "Q 1 /srv/file\r\n"), "209-File not found in Cache\r\n");
    struct stat st;
    ASSERT_EQ(stat(d_.socket_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    ExpectOrderlyStop(harness_stop(&d_, sig));
  }
}

// A hang-up neither ends it nor leaves its files: it goes on answering, and the stop that
// follows is the orderly one.
TEST_F(DaemonTest, IgnoresSighupAndStillStopsInOrder) {
  Start();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(d_.pid, SIGHUP), 0);
  const std::string status = harness_request(d_, "K\r\n");
  EXPECT_EQ(status.rfind("101-OK: Cache running;", 0), 0u) << status;
  EXPECT_TRUE(harness_alive(d_.pid));
  EXPECT_EQ(harness_read_file(d_.pid_path), std::to_string(d_.pid));
  ExpectOrderlyStop(harness_stop(&d_));
}

TEST_F(DaemonTest, InTheForegroundItLogsToStandardErrorAndTellsTheManagerItServesAndStops) {
  const std::string manager_path = d_.dir + "/notify.sock";
  const int manager = BindManager(manager_path);
  ASSERT_GE(manager, 0);
  setenv(kNotifyVariable, manager_path.c_str(), 1);
  Start({"-f"});
  unsetenv(kNotifyVariable);
  // Not detached: the process the test started serves, and the pid file names it.
  const pid_t pid = d_.pid;
  EXPECT_EQ(d_.launcher_pid, pid);
  EXPECT_EQ(harness_read_file(d_.pid_path), std::to_string(pid));
  EXPECT_EQ(harness_request(d_, "Q 1 /srv/file\r\n"), "209-File not found in Cache\r\n");
  EXPECT_EQ(NextNotice(manager),
            "READY=1\nMAINPID=" + std::to_string(pid) + "\nSTATUS=serving on " + d_.socket_path);
  const std::string serving = "<6>serving: pid " + std::to_string(pid) + ", socket " +
                              d_.socket_path + ", 10 threads, capacity 100 entries, life time 10 s";
  // Written by the log thread, so perhaps a moment after the first answer.
  EXPECT_TRUE(harness_wait_for(
      [&] { return harness_read_file(d_.dir + "/daemon.err") == serving + "\n"; }, kBoundMs))
      << harness_read_file(d_.dir + "/daemon.err");

  ExpectOrderlyStop(harness_stop(&d_));
  EXPECT_EQ(NextNotice(manager), "STOPPING=1");
  std::vector<std::string> lines = Lines(harness_read_file(d_.dir + "/daemon.err"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], serving);
  EXPECT_EQ(Fields(lines[1], "<6>stopped: ")["capacity"], 100) << lines[1];
  EXPECT_EQ(harness_read_file(d_.dir + "/daemon.out"), "");
  close(manager);
}

TEST_F(DaemonTest, DetachedTheServingChildNotifiesAndANoticeThatCannotBeSentIsLoggedOnce) {
  const std::string abstract = "@vrell-test-" + d_.dir.substr(d_.dir.rfind('/') + 1);
  const int manager = BindManager(abstract);
  ASSERT_GE(manager, 0);
  setenv(kNotifyVariable, abstract.c_str(), 1);
  Start();
  unsetenv(kNotifyVariable);
  EXPECT_EQ(harness_read_file(d_.pid_path), std::to_string(d_.pid));
  EXPECT_EQ(NextNotice(manager),
            "READY=1\nMAINPID=" + std::to_string(d_.pid) + "\nSTATUS=serving on " + d_.socket_path);
  ExpectOrderlyStop(harness_stop(&d_));
  EXPECT_EQ(NextNotice(manager), "STOPPING=1");
  close(manager);

  // Nothing listens there: the daemon serves and stops all the same, and says so once.
  const std::string nowhere = d_.dir + "/nowhere.sock";
  const std::string log = d_.dir + "/vrell.log";
  setenv(kNotifyVariable, nowhere.c_str(), 1);
  setenv(kLogFileVariable, log.c_str(), 1);
  Start();
  unsetenv(kNotifyVariable);
  unsetenv(kLogFileVariable);
  EXPECT_EQ(harness_request(d_, "Q 1 /srv/file\r\n"), "209-File not found in Cache\r\n");
  ExpectOrderlyStop(harness_stop(&d_));
  std::vector<std::string> lines = Lines(harness_read_file(log));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("info: serving: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "warning: cannot notify the service manager at " + nowhere +
                          ": No such file or directory");
  EXPECT_EQ(lines[2].rfind("info: stopped: ", 0), 0u) << lines[2];
}

TEST_F(DaemonTest, StartedWithItsStandardStreamsClosedItServesAllTheSame) {
  // The listening socket would otherwise take descriptor 0, which detaching overwrites.
  pid_t launcher = harness_launch(&d_, {}, 0x7);
  ASSERT_GT(launcher, 0);
  ASSERT_EQ(harness_wait_exit(launcher, kBoundMs), 0);
  d_.launcher_pid = -1;
  ASSERT_TRUE(harness_wait_for([&] { return harness_request(d_, "K\r\n").rfind("101-", 0) == 0; },
                               kBoundMs));
  d_.pid = atoi(harness_read_file(d_.pid_path).c_str());
  EXPECT_EQ(harness_request(d_, "Q 1 /srv/file\r\n"), "209-File not found in Cache\r\n");
  ExpectOrderlyStop(harness_stop(&d_));
}

TEST_F(DaemonTest, TwoQuickSignalsStopItOnce) {
  Start();
  kill(d_.pid, SIGTERM);
  kill(d_.pid, SIGTERM);
  ExpectOrderlyStop(harness_stop(&d_, SIGINT));
}

TEST_F(DaemonTest, StopsWhenTheExitRequestCannotReachIt) {
  // With the node gone no connection can wake the accept; the stop must still complete.
  Start();
  ASSERT_EQ(unlink(d_.socket_path.c_str()), 0);
  ExpectOrderlyStop(harness_stop(&d_));
}

TEST_F(DaemonTest, ASignalWhileClientsHammerItLosesNoReplyHalfway) {
  Start();
  std::atomic<bool> stop{false};
  std::atomic<int> whole{0}, broken{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; !stop.load(); ++i) {
        char reply[VRELL_CLIENT_REPLY_MAX];
        std::string request = "A " + std::to_string(i) + " 0 /h/" + std::to_string(t) + "\r\n";
        int code = vrell_client_request(d_.socket_path.c_str(), request.c_str(), reply,
                                        sizeof reply, kBoundMs);
        if (code < 0) continue;  // refused or cut off by the stop before a reply began
        (IsWholeReply(reply) ? whole : broken)++;
      }
    });
  }
  harness_wait_for([&] { return whole.load() >= 200; }, kBoundMs);
  int status = harness_stop(&d_);
  stop = true;
  for (std::thread &client : clients) client.join();
  ExpectOrderlyStop(status);
  EXPECT_GE(whole.load(), 200);
  EXPECT_EQ(broken.load(), 0);
}

TEST_F(DaemonTest, SignalsAtRandomMomentsNeverLoseTheStop) {
  unsigned seed = std::random_device{}();
  printf("seed %u\n", seed);
  std::mt19937 random(seed);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    pid_t launcher = harness_launch(&d_, {});
    ASSERT_GT(launcher, 0);
    // The parent of the fork leaves at once, so its child becomes ours at its very start.
    ASSERT_EQ(harness_wait_exit(launcher, kBoundMs), 0);
    d_.launcher_pid = -1;
    std::vector<pid_t> children = harness_children();
    ASSERT_EQ(children.size(), 1u);
    pid_t daemon = children[0];
    // Under ThreadSanitizer, from the exit helper's start only (see harness_helper_takes); the
    // native builds keep the moments before it.
    if (kHarnessThreadSanitizer) {
      ASSERT_TRUE(
          harness_wait_for([&] { return harness_helper_takes(daemon, SIGTERM); }, kBoundMs));
    }
    // From before the pid file exists to well inside the accept loop.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    kill(daemon, random() % 2 == 0 ? SIGTERM : SIGINT);
    EXPECT_EQ(harness_wait_exit(daemon, kBoundMs), 0);
    EXPECT_FALSE(harness_exists(d_.pid_path));
    EXPECT_FALSE(harness_exists(d_.socket_path));
    if (HasFailure()) return;
  }
}

TEST_F(DaemonTest, ASecondStartIsRefused) {
  Start();
  for (const std::vector<std::string> &extra : {std::vector<std::string>{}, {"-v"}}) {
    std::vector<std::string> args = {"-c", d_.conf_path};
    args.insert(args.end(), extra.begin(), extra.end());
    run_result second = harness_run(d_, args);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "Another instance of vrell already running.\n");
  }
  EXPECT_EQ(harness_read_file(d_.pid_path), std::to_string(d_.pid));
  EXPECT_EQ(harness_request(d_, "K\r\n").rfind("101-", 0), 0u);
}

TEST_F(DaemonTest, LeftoversAreNamedAndKept) {
  // The pid of a process that has ended.
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  auto stale_socket = [&] {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, d_.socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
  };
  struct Case {
    const char *label;
    const char *pid_text;  // null: no pid file
    int socket;            // 0 none, 1 stale node, 2 regular file
    std::string out;
  } cases[] = {
      {"stale pid", "gone", 0, "Pid file exists but pid is not valid. Process locked or invalid\n"},
      {"empty pid", "", 0, "Error validating pid file\n"},
      {"live pid", "self", 0, "Pid file exists and contains valid pid\n"},
      {"stale socket", nullptr, 1, "Error validating socket path\n"},
      {"file at socket", nullptr, 2, "Invalid socket path. Path is already occupied\n"},
      {"both", "gone", 1,
       "Pid file exists but pid is not valid. Process locked or invalid\n"
       "Error validating socket path\n"},
  };
  for (const Case &c : cases) {
    std::string pid_text;
    if (c.pid_text != nullptr) {
      pid_text = strcmp(c.pid_text, "gone") == 0   ? std::to_string(gone)
                 : strcmp(c.pid_text, "self") == 0 ? std::to_string(getpid())
                                                   : c.pid_text;
      harness_write_file(d_.pid_path, pid_text);
    }
    if (c.socket == 1) stale_socket();
    if (c.socket == 2) harness_write_file(d_.socket_path, "not a socket");
    run_result r = harness_run(d_, {"-c", d_.conf_path});
    EXPECT_EQ(r.status, 1) << c.label;
    EXPECT_EQ(r.out, c.out) << c.label;
    // Nothing is removed at start-up: an operator clears what is in the way.
    if (c.pid_text != nullptr) {
      EXPECT_EQ(harness_read_file(d_.pid_path), pid_text) << c.label;
    }
    EXPECT_EQ(harness_exists(d_.socket_path), c.socket != 0) << c.label;
    unlink(d_.pid_path.c_str());
    unlink(d_.socket_path.c_str());
  }
}

TEST_F(DaemonTest, APidFileThatCannotBeWrittenEndsTheChildAndRemovesItsNode) {
  // The guard finds nothing at a pid path inside a missing directory; only the write after
  // detaching fails. The node must not be left to block every later start.
  config_.pid_path = d_.dir + "/missing/vrell.pid";
  harness_write_config(d_, config_);
  const std::string log = d_.dir + "/vrell.log";
  setenv(kLogFileVariable, log.c_str(), 1);
  pid_t launcher = harness_launch(&d_, {});
  unsetenv(kLogFileVariable);
  ASSERT_GT(launcher, 0);
  EXPECT_EQ(harness_wait_exit(launcher, kBoundMs), 0);
  d_.launcher_pid = -1;
  std::vector<pid_t> children = harness_children();
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(harness_wait_exit(children[0], kBoundMs), 1);
  EXPECT_FALSE(harness_exists(d_.socket_path));
  EXPECT_EQ(harness_read_file(d_.dir + "/daemon.out"), "");
  // Standard output is gone by then: the log is the only trace, the warning of the check first.
  EXPECT_EQ(harness_read_file(log), "warning: configuration: QXVrellPid = \"" + config_.pid_path +
                                        "\": directory " + d_.dir +
                                        "/missing does not exist\nerr: cannot write the pid file " +
                                        config_.pid_path + ": No such file or directory\n");
}

TEST_F(DaemonTest, AnswersEveryProtocolVectorByteForByte) {
  config_.life_time = "3600";
  harness_write_config(d_, config_);
  Start();
  std::ifstream vectors(VRELL_PROTOCOL_VECTORS);
  ASSERT_TRUE(vectors.is_open()) << VRELL_PROTOCOL_VECTORS;
  std::string line, request;
  int pairs = 0, number = 0;
  while (std::getline(vectors, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    ASSERT_GE(line.size(), 2u) << "line " << number;
    const std::string tag = line.substr(0, 2), text = line.substr(2);
    if (tag == "> ") {
      request = Unescape(text);
      continue;
    }
    ASSERT_TRUE(tag == "< " || tag == "~ ") << "line " << number << ": " << line;
    ASSERT_FALSE(request.empty()) << "line " << number << ": a reply without its request";
    int fd = harness_connect(d_.socket_path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[512];
    while (ReadableWithin(fd, kBoundMs)) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      reply.append(buffer, n);
    }
    close(fd);
    if (tag == "< ") {
      EXPECT_EQ(Escape(reply), Escape(Unescape(text))) << "line " << number;
    } else {
      EXPECT_TRUE(std::regex_match(reply, std::regex(text)))
          << "line " << number << ": " << Escape(reply);
    }
    request.clear();
    ++pairs;
  }
  EXPECT_GE(pairs, 30);  // the file was read, not cut short
}

TEST_F(DaemonTest, CountersAddUpAndTheLogTellsTheStartAFullTableAndTheStop) {
  config_.max_entries = "50";
  harness_write_config(d_, config_);
  const std::string log = d_.dir + "/vrell.log";
  setenv(kLogFileVariable, log.c_str(), 1);
  Start();
  unsetenv(kLogFileVariable);
  auto counters = [&] {
    int fd = harness_connect(d_.socket_path);
    std::string reply = Exchange(fd, "S\r\n");
    close(fd);
    return Fields(reply, "102-Stats: ");
  };
  std::map<std::string, long long> before = counters();

  const std::pair<std::string, std::string> sequence[] = {
      {"A 1 0 /c/new", "203-File not added. Cache full\r\n"},
      {"A 1 0 /c/other", "203-File not added. Cache full\r\n"},
      {"A 2 1 /c/0", "202-File already in cache, entry modified\r\n"},
      {"Q 2 /c/0", "206-File is marked infected in cache\r\n"},
      {"Q 1 /c/missing", "209-File not found in Cache\r\n"},
      {"Q 9 /c/1", "207-File found but mtime changed. Entry removed\r\n"},
      {"hello", REPLY_INVALID},
      {"A 1 2 /c/bad", REPLY_CACHE_ERROR},
      {"D /c/2", "204-File deleted successfully\r\n"},
  };
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(harness_request(d_, "A 1 0 /c/" + std::to_string(i) + "\r\n"),
              "201-File added successfully\r\n");
  }
  for (const auto &[request, reply] : sequence) {
    EXPECT_EQ(harness_request(d_, request + "\r\n"), reply) << request;
  }
  std::map<std::string, long long> after = counters();
  const std::map<std::string, long long> expected = {
      {"entries", 48}, {"capacity", 50},  {"hits", 1},         {"misses", 1},   {"stale", 1},
      {"added", 50},   {"modified", 1},   {"refused_full", 2}, {"deleted", 1},  {"cleared", 0},
      {"invalid", 1},  {"errors", 1},     {"timeouts", 0},     {"threads", 10}, {"queued", 0},
      {"swept", 0},    {"log_dropped", 0}};
  for (const auto &[name, value] : expected) {
    ASSERT_EQ(after.count(name), 1u) << name;
    EXPECT_EQ(after[name], value) << name;
  }
  // Every request since the first reading, and this reading itself.
  EXPECT_EQ(after["connections"] - before["connections"], 50 + std::size(sequence) + 1);
  EXPECT_GE(after["busy"], 1);  // the worker that answers
  EXPECT_LE(after["busy"], 10);
  EXPECT_GE(after["queued_max"], 1);
  ASSERT_EQ(after.count("waiting"), 1u);
  EXPECT_EQ(after["waiting"], 0);  // a request leaves the waiting set before it is served
  EXPECT_GE(after["uptime"], 0);
  EXPECT_EQ(after.count("uptime"), 1u);
  EXPECT_EQ(harness_request(d_, "C\r\n"), "211-Cache cleared\r\n");

  const pid_t pid = d_.pid;
  ASSERT_EQ(harness_stop(&d_), 0);
  std::vector<std::string> lines;
  std::string text = harness_read_file(log);
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0], "info: serving: pid " + std::to_string(pid) + ", socket " + d_.socket_path +
                          ", 10 threads, capacity 50 entries, life time 10 s");
  // Two refusals in a row: one warning.
  EXPECT_EQ(lines[1], "warning: cache full (50 entries): new paths are refused");
  std::map<std::string, long long> stopped = Fields(lines[2], "info: stopped: ");
  EXPECT_EQ(stopped["entries"], 0) << lines[2];
  EXPECT_EQ(stopped["cleared"], 1) << lines[2];
  EXPECT_EQ(stopped["added"], 50) << lines[2];
  EXPECT_EQ(stopped["busy"], 0) << lines[2];
}

TEST_F(DaemonTest, ALogThatNeverDrainsHoldsNeitherARequestNorTheStop) {
  config_.max_entries = "50";
  harness_write_config(d_, config_);
  // Standard error on a pipe that is full from the start and never read.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  while (write(ends[1], std::string(4096, 'x').data(), 4096) > 0) {
  }
  ASSERT_EQ(fcntl(ends[1], F_SETFL, 0), 0);
  d_.stderr_fd = ends[1];
  Start({"-f"});
  close(ends[1]);
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(harness_request(d_, "A 1 0 /l/" + std::to_string(i) + "\r\n"),
              "201-File added successfully\r\n");
  }
  // The first refusal makes the full-table warning due.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(harness_request(d_, "A 1 0 /l/new" + std::to_string(i) + "\r\n"),
              "203-File not added. Cache full\r\n");
    EXPECT_EQ(harness_request(d_, "Q 1 /l/" + std::to_string(i) + "\r\n"),
              "205-File is marked clean in cache\r\n");
  }
  EXPECT_NE(harness_request(d_, "S\r\n").find(";log_dropped="), std::string::npos);
  ExpectOrderlyStop(harness_stop(&d_));
  d_.pid = -1;
  close(ends[0]);
}

TEST_F(DaemonTest, WorkersHeldForGoodStopTheWatchdogAndTheStopEndsWithoutThem) {
  config_.threads = "5";
  harness_write_config(d_, config_);
  const std::string manager_path = d_.dir + "/notify.sock";
  const int manager = BindManager(manager_path);
  ASSERT_GE(manager, 0);
  const char *asan = getenv("ASAN_OPTIONS");
  const std::string saved_asan = asan != nullptr ? asan : "";
  // The sanitizer runtime then no longer comes first; it works all the same.
  setenv("ASAN_OPTIONS", (saved_asan + ":verify_asan_link_order=0").c_str(), 1);
  setenv("LD_PRELOAD", VRELL_FAIL_PRELOAD, 1);
  setenv("VRELL_FAIL", "send_reply", 1);
  setenv(kNotifyVariable, manager_path.c_str(), 1);
  setenv("WATCHDOG_USEC", "200000", 1);
  pid_t launched = harness_launch(&d_, {"-f"});
  for (const char *name : {"LD_PRELOAD", "VRELL_FAIL", kNotifyVariable, "WATCHDOG_USEC"}) {
    unsetenv(name);
  }
  asan != nullptr ? setenv("ASAN_OPTIONS", saved_asan.c_str(), 1) : unsetenv("ASAN_OPTIONS");
  ASSERT_GT(launched, 0);
  d_.pid = launched;
  EXPECT_EQ(NextNotice(manager).rfind("READY=1\n", 0), 0u);
  // Idle, it pings.
  EXPECT_EQ(NextNotice(manager), "WATCHDOG=1");
  // Each worker serves a request and is then held in the reply's send; one more waits.
  std::vector<int> clients;
  for (int i = 0; i < 6; ++i) {
    clients.push_back(harness_connect(d_.socket_path));
    ASSERT_GE(clients.back(), 0);
    std::string request = "K\r\n";
    ASSERT_GT(send(clients.back(), request.c_str(), request.size() + 1, MSG_NOSIGNAL), 0);
  }
  // The pings stop: no notice at all for five intervals.
  bool quiet = false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!quiet && std::chrono::steady_clock::now() < until) {
    quiet = !ReadableWithin(manager, 1000);
    if (!quiet) NextNotice(manager);
  }
  EXPECT_TRUE(quiet) << "the watchdog is still pinged";

  // The stop answers what it can, then ends without the held workers, within its bound.
  const int status = harness_stop(&d_);
  ExpectOrderlyStop(status);
  EXPECT_NE(harness_read_file(d_.dir + "/daemon.err")
                .find("<4>stopped without waiting for 5 workers still serving"),
            std::string::npos)
      << harness_read_file(d_.dir + "/daemon.err");
  for (int fd : clients) close(fd);
  close(manager);
}

TEST_F(DaemonTest, SilentClientsHoldNoWorkerAndTheOldestGiveWayAtTheBound) {
  // The bound the daemon derives from 128 descriptors and 5 workers: the limit less 32 of its
  // own and 2 per worker.
  constexpr int kDescriptors = 128, kBound = 128 - 32 - 2 * 5;
  config_.threads = "5";
  harness_write_config(d_, config_);
  struct rlimit saved, low;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  low = saved;
  low.rlim_cur = kDescriptors;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  Start();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  auto counters = [&] { return Fields(harness_request(d_, "S\r\n"), "102-Stats: "); };

  // Two more than the bound: the two oldest are answered at once to make room.
  std::vector<int> silent;
  std::vector<std::chrono::steady_clock::time_point> connected;
  for (int i = 0; i < kBound + 2; ++i) {
    connected.push_back(std::chrono::steady_clock::now());
    silent.push_back(harness_connect(d_.socket_path));
    ASSERT_GE(silent.back(), 0) << i;
  }
  std::map<std::string, long long> now;
  ASSERT_TRUE(
      harness_wait_for([&] { return (now = counters())["connections"] >= kBound + 3; }, kBoundMs));
  EXPECT_EQ(ReadReply(silent[0]), REPLY_CACHE_ERROR);
  EXPECT_EQ(ReadReply(silent[1]), REPLY_CACHE_ERROR);
  now = counters();
  EXPECT_EQ(now["waiting"], kBound);
  EXPECT_EQ(now["errors"], 2);

  // Far more silent clients than workers, and a scanner is still answered at once.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(harness_request(d_, "Q 1 /after/silence\r\n"), "209-File not found in Cache\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  // One that speaks late is served like any other.
  EXPECT_EQ(Exchange(silent[2], "A 1 0 /late\r\n"), "201-File added successfully\r\n");

  // The others each get 208 once their five seconds from the accept have passed, not before.
  for (size_t i = 3; i < silent.size(); ++i) {
    EXPECT_EQ(ReadReply(silent[i]), REPLY_CACHE_ERROR) << i;
    if (i == 3) {
      EXPECT_GE(std::chrono::steady_clock::now() - connected[i], std::chrono::milliseconds(4990));
    }
  }
  for (int fd : silent) close(fd);
  now = counters();
  EXPECT_EQ(now["timeouts"], kBound - 1);
  EXPECT_EQ(now["errors"], 2 + kBound - 1);
  EXPECT_EQ(now["waiting"], 0);
}

TEST_F(DaemonTest, TheStopAnswersEveryConnectionItAccepted) {
  config_.threads = "5";
  harness_write_config(d_, config_);
  Start();
  // The listener alone, once the start-up's own status request is done with.
  ASSERT_TRUE(harness_wait_for([&] { return SocketCount(d_.pid) == 1; }, kBoundMs));
  std::vector<int> silent, waiting;
  for (int i = 0; i < 5; ++i) silent.push_back(harness_connect(d_.socket_path));
  for (int i = 0; i < 4; ++i) waiting.push_back(harness_connect(d_.socket_path));
  // Once the daemon holds all nine beside its listener, each has been accepted and waits for
  // its first byte. Three speak as the stop comes, one only once the daemon has stopped
  // accepting: the workers still serve it.
  ASSERT_TRUE(harness_wait_for([&] { return SocketCount(d_.pid) == 1 + 9; }, kBoundMs));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(send(waiting[i], "K\r\n", 4, MSG_NOSIGNAL), 4);
  ASSERT_EQ(kill(d_.pid, SIGTERM), 0);
  ASSERT_TRUE(harness_wait_for(
      [&] {
        int probe = harness_connect(d_.socket_path);
        if (probe >= 0) close(probe);
        return probe < 0;
      },
      kBoundMs));
  ASSERT_EQ(send(waiting[3], "K\r\n", 4, MSG_NOSIGNAL), 4);
  ExpectOrderlyStop(harness_stop(&d_));
  for (int fd : waiting) {
    std::string reply = ReadReply(fd);
    EXPECT_EQ(reply.rfind("101-OK: Cache running;", 0), 0u) << reply;
    close(fd);
  }
  for (int fd : silent) {
    EXPECT_EQ(ReadReply(fd), REPLY_CACHE_ERROR);
    close(fd);
  }
}

TEST_F(DaemonTest, ABurstFromManyClientsIsAllAnswered) {
  config_.threads = "5";
  config_.max_entries = "1024";
  harness_write_config(d_, config_);
  Start();
  constexpr int kClients = 16, kEach = 25;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string path = "/burst/" + std::to_string(t) + "/" + std::to_string(i);
        if (harness_request(d_, "A 7 1 " + path + "\r\n") == "201-File added successfully\r\n") {
          answered++;
        }
      }
    });
  }
  for (std::thread &client : clients) client.join();
  EXPECT_EQ(answered.load(), kClients * kEach);
  EXPECT_EQ(harness_request(d_, "Q 7 /burst/3/4\r\n"), "206-File is marked infected in cache\r\n");
  EXPECT_EQ(harness_request(d_, "X\r\n"), REPLY_INVALID);
}

}  // namespace
