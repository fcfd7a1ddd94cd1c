// SPDX-License-Identifier: BSD-2-Clause
// The listening socket's checks, its node, and the accept loop's hand-over and error handling.

#include "daemon/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "daemon/run_state.h"

namespace {

// Polls cond every 5 ms for at most 10 seconds.
bool eventually(const std::function<bool()> &cond) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool exists(const std::string &path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

struct sockaddr_un address_of(const std::string &path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  return address;
}

// Returns a connected client socket, or -1.
int connect_to(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = address_of(path);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrell-server-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    accept_loop_running = 1;
  }
  void TearDown() override {
    if (loop_.joinable()) Stop();
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  daemon_settings At(const std::string &path) {
    daemon_settings settings;
    settings_clear(&settings);
    snprintf(settings.socket_path, sizeof settings.socket_path, "%s", path.c_str());
    return settings;
  }
  std::string Path(const std::string &name) { return dir_ + "/" + name; }
  // A path of exactly length characters inside the temporary directory.
  std::string PathOfLength(size_t length) {
    std::string path = dir_ + "/";
    return path + std::string(length - path.size(), 'p');
  }

  // Opens the socket "sock" and runs the loop on a thread with the given hand-over.
  void StartLoop(server_hand_over hand_over) {
    settings_ = At(Path("sock"));
    listen_fd_ = open_server_socket(&settings_, 5);
    ASSERT_GE(listen_fd_, 0);
    loop_ = std::thread([this, hand_over] {
      loop_result_ = server_accept_loop(listen_fd_, hand_over, this);
      loop_done_ = true;
    });
  }
  // Asks the loop to stop, wakes its accept with one connection, and waits for it to end.
  void Stop() {
    accept_loop_running = 0;
    int wake = connect_to(settings_.socket_path);
    loop_.join();
    if (wake >= 0) close(wake);
    close_server_socket(listen_fd_, &settings_);
    for (int fd : kept_) close(fd);
    kept_.clear();
  }

  static int Record(int connection, const struct timespec *accepted, void *arg) {
    auto *self = static_cast<ServerTest *>(arg);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (accepted->tv_sec > now.tv_sec ||
        (accepted->tv_sec == now.tv_sec && accepted->tv_nsec > now.tv_nsec))
      self->bad_times_++;
    close(connection);
    self->handed_++;
    return 0;
  }
  // Holds on to every connection until the loop has stopped.
  static int Keep(int connection, const struct timespec *, void *arg) {
    auto *self = static_cast<ServerTest *>(arg);
    std::lock_guard<std::mutex> hold(self->kept_lock_);
    self->kept_.push_back(connection);
    self->handed_++;
    return 0;
  }
  static int Refuse(int, const struct timespec *, void *arg) {
    static_cast<ServerTest *>(arg)->handed_++;
    return -1;
  }

  std::string dir_;
  daemon_settings settings_;
  int listen_fd_ = -1;
  std::thread loop_;
  std::atomic<int> loop_result_{1};
  std::atomic<bool> loop_done_{false};
  std::atomic<int> handed_{0};
  std::atomic<int> bad_times_{0};
  std::mutex kept_lock_;
  std::vector<int> kept_;
};

TEST_F(ServerTest, OpenRefusesInTheOrderOfItsChecks) {
  ASSERT_EQ(close(open(Path("file").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  ASSERT_EQ(mkdir(Path("dir").c_str(), 0700), 0);
  std::string long_relative(200, 'r');
  struct Case {
    std::string path;
    int backlog;
    int expected;
  } cases[] = {
      {"", 10, SERVER_NO_PATH},
      {"", 4, SERVER_NO_PATH},
      {"relative/sock", 10, SERVER_RELATIVE_PATH},
      {long_relative, 4, SERVER_RELATIVE_PATH},
      {PathOfLength(108), 10, SERVER_PATH_TOO_LONG},
      {PathOfLength(108), 4, SERVER_PATH_TOO_LONG},
      {Path("sock"), 4, SERVER_BAD_BACKLOG},
      {Path("sock"), 26, SERVER_BAD_BACKLOG},
      {Path("file"), 4, SERVER_BAD_BACKLOG},
      {Path("file"), 10, SERVER_PATH_EXISTS},
      {Path("dir"), 10, SERVER_PATH_EXISTS},
      {Path("missing/sock"), 10, SERVER_SOCKET_FAILED},
  };
  for (const Case &c : cases) {
    daemon_settings settings = At(c.path);
    EXPECT_EQ(open_server_socket(&settings, c.backlog), c.expected)
        << c.path << " backlog " << c.backlog;
  }
  EXPECT_EQ(open_server_socket(nullptr, 10), SERVER_NO_PATH);
  EXPECT_FALSE(exists(Path("sock")));
  EXPECT_FALSE(exists(PathOfLength(108)));
}

TEST_F(ServerTest, OpenListensOnANodeOpenToEveryone) {
  mode_t old_mask = umask(077);
  struct Case {
    std::string path;
    int backlog;
  } cases[] = {{Path("a"), SERVER_BACKLOG_MIN}, {PathOfLength(107), SERVER_BACKLOG_MAX}};
  for (const Case &c : cases) {
    daemon_settings settings = At(c.path);
    int fd = open_server_socket(&settings, c.backlog);
    ASSERT_GE(fd, 0) << c.path;
    struct stat status;
    ASSERT_EQ(stat(c.path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0777u);
    int client = connect_to(c.path);
    EXPECT_GE(client, 0);
    if (client >= 0) close(client);
    EXPECT_EQ(open_server_socket(&settings, c.backlog), SERVER_PATH_EXISTS);
    close_server_socket(fd, &settings);
    EXPECT_FALSE(exists(c.path));
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
  }
  umask(old_mask);

  // Without a descriptor the node is still removed; without a record nothing is.
  daemon_settings settings = At(Path("b"));
  int fd = open_server_socket(&settings, 10);
  ASSERT_GE(fd, 0);
  close_server_socket(-1, nullptr);
  close_server_socket(fd, nullptr);
  EXPECT_TRUE(exists(Path("b")));
  close_server_socket(-1, &settings);
  EXPECT_FALSE(exists(Path("b")));
}

TEST_F(ServerTest, LoopHandsOverEveryConnectionUntilStopped) {
  StartLoop(Record);
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(connect_to(settings_.socket_path));
  EXPECT_TRUE(eventually([&] { return handed_ == 3; }));
  // The connection that wakes the loop after the stop was asked for is still handed over.
  Stop();
  EXPECT_EQ(loop_result_, SERVER_LOOP_STOPPED);
  EXPECT_EQ(handed_, 4);
  EXPECT_EQ(bad_times_, 0);
  EXPECT_EQ(accept_in_progress, 0);
  EXPECT_EQ(accept_loop_running, 0);
  for (int fd : clients) close(fd);

  // A cleared flag is honoured before any accept, even with a connection waiting.
  handed_ = 0;
  daemon_settings settings = At(Path("again"));
  int fd = open_server_socket(&settings, 5);
  int waiting = connect_to(settings.socket_path);
  EXPECT_EQ(server_accept_loop(fd, Record, this), SERVER_LOOP_STOPPED);
  EXPECT_EQ(handed_, 0);
  close(waiting);
  close_server_socket(fd, &settings);
}

TEST_F(ServerTest, LoopEndsWhenTheListeningSocketIsGone) {
  int file = open(Path("file").c_str(), O_CREAT | O_RDWR, 0600);
  int unbound = socket(AF_UNIX, SOCK_STREAM, 0);
  struct Case {
    const char *what;
    int fd;
  } cases[] = {{"closed descriptor", 1000}, {"regular file", file}, {"not listening", unbound}};
  for (const Case &c : cases) {
    accept_loop_running = 1;
    EXPECT_EQ(server_accept_loop(c.fd, Record, this), SERVER_LOOP_ACCEPT_FAILED) << c.what;
    EXPECT_EQ(accept_loop_running, 0) << c.what;
    EXPECT_EQ(accept_in_progress, 0) << c.what;
  }
  EXPECT_EQ(handed_, 0);
  close(file);
  close(unbound);
}

TEST_F(ServerTest, LoopEndsWhenTheHandOverRefuses) {
  StartLoop(Refuse);
  int client = connect_to(settings_.socket_path);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(eventually([&] { return loop_done_.load(); }));
  EXPECT_EQ(loop_result_, SERVER_LOOP_HAND_OVER_FAILED);
  EXPECT_EQ(accept_loop_running, 0);
  EXPECT_EQ(handed_, 1);
  // The loop closed the refused connection: the client sees its end.
  char byte;
  EXPECT_EQ(recv(client, &byte, 1, 0), 0);
  close(client);
  Stop();
}

TEST_F(ServerTest, LoopRidesOutDescriptorExhaustion) {
  StartLoop(Keep);
  // The clients' sockets exist before the descriptors run out; their connects need none.
  int first = socket(AF_UNIX, SOCK_STREAM, 0);
  int second = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = address_of(settings_.socket_path);
  auto connect_client = [&](int fd) {
    return connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  };
  uint64_t retries = server_accept_retries();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  if (low.rlim_cur > 256) low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = dup(0)) >= 0;) filler.push_back(fd);
  int fill_error = errno;

  // An accept already waiting may hold a descriptor and take one connection; the hand-over
  // keeps it, so from then on every accept finds none left.
  bool connected = connect_client(first) && connect_client(second);
  bool retried = eventually([&] { return server_accept_retries() >= retries + 2; });
  bool still_running = !loop_done_ && handed_ < 2;

  for (int fd : filler) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(fill_error, EMFILE);
  EXPECT_TRUE(connected);
  EXPECT_TRUE(retried);
  EXPECT_TRUE(still_running);
  // With descriptors back, the waiting connections are accepted and handed over.
  EXPECT_TRUE(eventually([&] { return handed_ == 2; }));
  EXPECT_EQ(accept_loop_running, 1);
  close(first);
  close(second);
  Stop();
  EXPECT_EQ(loop_result_, SERVER_LOOP_STOPPED);
}

}  // namespace
