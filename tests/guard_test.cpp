// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr char kStatusLine[] = "101-OK: Cache running;01-01-2024;10:00:00;42\r\n";

sockaddr_un unix_address(const std::string &path) {
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

// A socket bound at path; listening unless listen is false.
int bound_socket(const std::string &path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = unix_address(path);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address));
  if (listening) {
    EXPECT_EQ(0, listen(fd, 5));
  }
  return fd;
}

// A reply as the daemon sends it: the text and its NUL.
std::string with_nul(const char *text) {
  return std::string(text, strlen(text) + 1);
}

// Serves one connection on a real socket, the way a daemon would: receives once, sends the
// reply bytes when there are some (an empty reply hangs up at once, no reply stays silent),
// and keeps the connection open until released.
struct fake_peer {
  int listen_fd;
  std::optional<std::string> reply;
  std::string received;
  int release[2];
  std::thread server;

  fake_peer(const std::string &path, std::optional<std::string> reply_bytes)
      : listen_fd(bound_socket(path, true)), reply(std::move(reply_bytes)) {
    EXPECT_EQ(0, pipe(release));
    server = std::thread([this] { serve(); });
  }
  ~fake_peer() {
    Received();
    close(release[0]);
    close(listen_fd);
  }
  // Lets the server go and returns what it received.
  const std::string &Received() {
    if (server.joinable()) {
      close(release[1]);
      server.join();
    }
    return received;
  }
  void serve() {
    pollfd ready = {listen_fd, POLLIN, 0};
    if (poll(&ready, 1, 10000) != 1) return;
    int connection = accept(listen_fd, nullptr, nullptr);
    char bytes[64];
    ssize_t n = recv(connection, bytes, sizeof bytes, 0);
    if (n > 0) received.assign(bytes, n);
    if (reply) send(connection, reply->data(), reply->size(), MSG_NOSIGNAL);
    if (reply && reply->empty()) {
      close(connection);
      return;
    }
    // Hold the connection until the test is done with it.
    pollfd done = {release[0], POLLIN, 0};
    poll(&done, 1, 10000);
    close(connection);
  }
};

pid_t reaped_child_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vrell-guard-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
    pid_path_ = dir_ + "/vrell.pid";
    socket_path_ = dir_ + "/vrell.sock";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void StaleNode() { close(bound_socket(socket_path_, false)); }

  // Runs check_single_instance and returns what it printed.
  std::string Check(int *result, const char *pid_path, const char *socket_path) {
    testing::internal::CaptureStdout();
    *result = check_single_instance(pid_path, socket_path);
    return testing::internal::GetCapturedStdout();
  }
  std::string Check(int *result) { return Check(result, pid_path_.c_str(), socket_path_.c_str()); }

  std::string dir_, pid_path_, socket_path_;
};

TEST_F(GuardTest, ReadPidFileReadsTheLeadingNumberOfTheFirstSixteenBytes) {
  struct {
    const char *text;
    long long pid;  // as written; read_pid_file saturates at the range of long
  } cases[] = {
      {"1234", 1234},
      {"  42\n", 42},
      {"+7", 7},
      {"-5", -5},
      {"12abc", 12},
      {"abc", 0},
      {"\n", 0},
      {"12345678901234567", 1234567890123456},
      {"99999999999999", 99999999999999},
  };
  for (const auto &c : cases) {
    Write(pid_path_, c.text);
    EXPECT_EQ(std::min<long long>(c.pid, std::numeric_limits<long>::max()),
              read_pid_file(pid_path_.c_str()))
        << c.text;
  }
  Write(pid_path_, "");
  EXPECT_EQ(-1, read_pid_file(pid_path_.c_str()));
  EXPECT_EQ(-1, read_pid_file((dir_ + "/none").c_str()));
  EXPECT_EQ(-1, read_pid_file(dir_.c_str())) << "a directory cannot be read";
  EXPECT_EQ(-1, read_pid_file(nullptr));
}

// A pid is written with "%ld" and read back like atol; the largest process id Linux hands
// out (2^22) and the largest a pid_t holds both survive the round trip unchanged.
TEST_F(GuardTest, LargePidsMakeTheRoundTrip) {
  for (long pid : {1L, 4194304L, 2147483646L, 2147483647L}) {
    SCOPED_TRACE(pid);
    ASSERT_EQ(0, write_pid_file(pid, pid_path_.c_str()));
    EXPECT_EQ(std::to_string(pid), Read(pid_path_));
    EXPECT_EQ(pid, read_pid_file(pid_path_.c_str()));
    // No process has such a number, and none beyond 2^22 ever does.
    if (pid > 4194304L) {
      EXPECT_EQ(PID_FILE_STALE, check_pid_file(pid_path_.c_str()));
    }
    ASSERT_EQ(0, remove_pid_file(pid_path_.c_str()));
  }
}

// Numbers past the range of a 32-bit pid never pass for a live process, whether long cuts
// them (32-bit) or not (64-bit).
TEST_F(GuardTest, NumbersBeyondAPidAreStaleOrBad) {
  const struct {
    const char *text;
    int result;
  } cases[] = {
      {"2147483648", PID_FILE_STALE}, {"4294967296", PID_FILE_STALE},
      {"4294967297", PID_FILE_STALE}, {"9999999999999999", PID_FILE_STALE},
      {"-2147483648", PID_FILE_BAD},  {"-4294967295", PID_FILE_BAD},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    Write(pid_path_, c.text);
    EXPECT_EQ(c.result, check_pid_file(pid_path_.c_str()));
  }
}

TEST_F(GuardTest, CheckPidFileTellsAbsentLiveStaleAndBad) {
  const char *path = pid_path_.c_str();
  EXPECT_EQ(PID_FILE_ABSENT, check_pid_file(path));
  Write(pid_path_, std::to_string(getpid()));
  EXPECT_EQ(PID_FILE_LIVE, check_pid_file(path));
  Write(pid_path_, "not a number");
  EXPECT_EQ(PID_FILE_LIVE, check_pid_file(path)) << "pid 0 probes the own process group";
  Write(pid_path_, std::to_string(reaped_child_pid()));
  EXPECT_EQ(PID_FILE_STALE, check_pid_file(path));
  // Cut to 32 bits this would be pid 1 or -1, both of which answer signal 0.
  for (const char *beyond : {"4294967297", "4294967295"}) {
    Write(pid_path_, beyond);
    EXPECT_EQ(PID_FILE_STALE, check_pid_file(path)) << beyond;
  }
  Write(pid_path_, "-3");
  EXPECT_EQ(PID_FILE_BAD, check_pid_file(path));
  Write(pid_path_, "");
  EXPECT_EQ(PID_FILE_BAD, check_pid_file(path));
  EXPECT_EQ(PID_FILE_BAD, check_pid_file("vrell.pid"));
  EXPECT_EQ(PID_FILE_BAD, check_pid_file(""));
  EXPECT_EQ(PID_FILE_BAD, check_pid_file(nullptr));
}

TEST_F(GuardTest, ProbeSocketAsksForTheStatusAndReadsItsCode) {
  const char *path = socket_path_.c_str();
  EXPECT_EQ(PROBE_ABSENT, probe_socket(path));
  {
    fake_peer daemon(socket_path_, with_nul(kStatusLine));
    EXPECT_EQ(PROBE_LIVE, probe_socket(path));
    EXPECT_EQ(std::string("K\r\n", 4), daemon.Received());
  }
  unlink(path);
  {
    fake_peer other(socket_path_, with_nul("200-Something else\r\n"));
    EXPECT_EQ(PROBE_FOREIGN, probe_socket(path));
  }
  unlink(path);
  {
    // The last byte is the terminator, so the code alone without one reads as 10.
    fake_peer cut(socket_path_, std::string("101"));
    EXPECT_EQ(PROBE_FOREIGN, probe_socket(path));
  }
  unlink(path);
  {
    fake_peer hangs_up(socket_path_, std::string());
    EXPECT_EQ(PROBE_FOREIGN, probe_socket(path)) << "an empty reply";
  }
  unlink(path);
  StaleNode();
  EXPECT_EQ(PROBE_FAILED, probe_socket(path)) << "a node without a listener";
  unlink(path);
  Write(socket_path_, "text");
  EXPECT_EQ(PROBE_NOT_SOCKET, probe_socket(path));
  EXPECT_EQ(PROBE_NOT_SOCKET, probe_socket(dir_.c_str()));
  EXPECT_EQ(PROBE_FAILED, probe_socket("vrell.sock"));
  EXPECT_EQ(PROBE_FAILED, probe_socket(""));
  EXPECT_EQ(PROBE_FAILED, probe_socket(nullptr));
}

TEST_F(GuardTest, ProbeSocketRefusesANodeWithoutAccess) {
  StaleNode();
  ASSERT_EQ(0, chmod(socket_path_.c_str(), 0));
  if (geteuid() != 0) {
    EXPECT_EQ(PROBE_NO_ACCESS, probe_socket(socket_path_.c_str()));
    return;
  }
  // Access tests always pass for root, so the probe runs as nobody in a child.
  ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
  pid_t pid = fork();
  if (pid == 0) {
    bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
    _exit(dropped && probe_socket(socket_path_.c_str()) == PROBE_NO_ACCESS ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(GuardTest, ProbeSocketGivesUpOnAPeerThatNeverAnswers) {
  fake_peer silent(socket_path_, std::nullopt);
  EXPECT_EQ(PROBE_FAILED, probe_socket(socket_path_.c_str(), 200));
  EXPECT_EQ(std::string("K\r\n", 4), silent.Received());
}

TEST_F(GuardTest, CheckSingleInstanceRunsBothChecksAndPrintsOneLineEach) {
  int result = 0;
  EXPECT_EQ("", Check(&result));
  EXPECT_EQ(INSTANCE_FREE, result);

  Write(pid_path_, std::to_string(getpid()));
  {
    fake_peer daemon(socket_path_, with_nul(kStatusLine));
    EXPECT_EQ("", Check(&result));
    EXPECT_EQ(INSTANCE_RUNNING, result);
  }
  unlink(socket_path_.c_str());
  EXPECT_EQ(GUARD_PID_LIVE_LINE, Check(&result)) << "a live pid file without a socket";
  EXPECT_EQ(INSTANCE_REFUSED, result);

  Write(pid_path_, std::to_string(reaped_child_pid()));
  EXPECT_EQ(GUARD_PID_STALE_LINE, Check(&result));
  EXPECT_EQ(INSTANCE_REFUSED, result);

  Write(pid_path_, "");
  EXPECT_EQ(GUARD_PID_BAD_LINE, Check(&result));
  EXPECT_EQ(INSTANCE_REFUSED, result);
  unlink(pid_path_.c_str());

  {
    fake_peer daemon(socket_path_, with_nul(kStatusLine));
    EXPECT_EQ(GUARD_SOCKET_LIVE_LINE, Check(&result)) << "a live socket without a pid file";
    EXPECT_EQ(INSTANCE_REFUSED, result);
  }
  unlink(socket_path_.c_str());

  StaleNode();
  EXPECT_EQ(GUARD_SOCKET_BAD_LINE, Check(&result));
  EXPECT_EQ(INSTANCE_REFUSED, result);

  Write(pid_path_, std::to_string(reaped_child_pid()));
  EXPECT_EQ(std::string(GUARD_PID_STALE_LINE) + GUARD_SOCKET_BAD_LINE, Check(&result))
      << "both lines, the pid line first";
  EXPECT_EQ(INSTANCE_REFUSED, result);
  unlink(pid_path_.c_str());
  unlink(socket_path_.c_str());

  Write(socket_path_, "text");
  EXPECT_EQ(GUARD_SOCKET_OCCUPIED_LINE, Check(&result));
  EXPECT_EQ(INSTANCE_REFUSED, result);

  EXPECT_EQ(std::string(GUARD_PID_BAD_LINE) + GUARD_SOCKET_BAD_LINE,
            Check(&result, "run/vrell.pid", "run/vrell.sock"));
  EXPECT_EQ(INSTANCE_REFUSED, result);
}

TEST_F(GuardTest, WritePidFileCreatesNewAndNeverOverwrites) {
  const char *path = pid_path_.c_str();
  ASSERT_EQ(0, write_pid_file(4711, path));
  EXPECT_EQ("4711", Read(pid_path_)) << "no line end";
  EXPECT_EQ(-1, write_pid_file(815, path));
  EXPECT_EQ("4711", Read(pid_path_));
  EXPECT_EQ(-1, write_pid_file(1, (dir_ + "/missing/vrell.pid").c_str()));
  EXPECT_EQ(-1, write_pid_file(1, nullptr));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));

  // Only the exclusive create keeps these: a second daemon's file written after the existence
  // test, and a planted link that the existence test follows to nothing.
  unlink(path);
  guard_set_file_calls(
      [](const char *at, int flags, mode_t mode) {
        std::ofstream(at, std::ios::binary) << "another daemon";
        return open(at, flags, mode);
      },
      nullptr);
  EXPECT_EQ(-1, write_pid_file(4711, path));
  guard_set_file_calls(nullptr, nullptr);
  EXPECT_EQ("another daemon", Read(pid_path_));
  unlink(path);
  const std::string target = dir_ + "/elsewhere";
  ASSERT_EQ(0, symlink(target.c_str(), path));
  EXPECT_EQ(-1, write_pid_file(4711, path));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(GuardTest, RemovePidFileRemovesOnlyARegularFile) {
  const char *path = pid_path_.c_str();
  EXPECT_EQ(0, remove_pid_file(path)) << "nothing to remove";
  EXPECT_EQ(0, remove_pid_file(nullptr));
  Write(pid_path_, "4711");
  EXPECT_EQ(0, remove_pid_file(path));
  EXPECT_FALSE(std::filesystem::exists(pid_path_));
  ASSERT_EQ(0, mkdir(path, 0700));
  EXPECT_EQ(-1, remove_pid_file(path));
  EXPECT_TRUE(std::filesystem::is_directory(pid_path_));
  rmdir(path);
  StaleNode();
  EXPECT_EQ(-1, remove_pid_file(socket_path_.c_str()));
  EXPECT_TRUE(std::filesystem::exists(socket_path_));

  // A file that never goes away ends the wait with -1; a child runs it, so that a wait
  // without a bound fails here instead of hanging the suite.
  Write(pid_path_, "4711");
  pid_t child = fork();
  if (child == 0) {
    guard_set_file_calls(nullptr, [](const char *) { return 0; });
    _exit(remove_pid_file(path, 300) == -1 ? 0 : 1);
  }
  int status = -1;
  pid_t reaped = 0;
  for (int waited = 0; reaped == 0 && waited < 20000; waited += 10) {
    reaped = waitpid(child, &status, WNOHANG);
    if (reaped == 0) usleep(10000);
  }
  if (reaped == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "remove_pid_file still waits after 20 s";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
