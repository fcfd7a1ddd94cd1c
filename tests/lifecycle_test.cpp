// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/lifecycle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "daemon/run_state.h"
#include "daemon/server.h"
#include "harness.h"

namespace {

constexpr char kInvalidReply[] = "210-Invalid request\r\n";

int listening_socket(const std::string &path, int backlog = 5) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool readable_within(int fd, int ms) {
  pollfd ready = {fd, POLLIN, 0};
  return poll(&ready, 1, ms) == 1;
}

// Waits for the process to end, at most bound_ms; one that is still alive then is killed.
// Returns the wait status, or -1 when it had to be killed.
int wait_bounded(pid_t pid, int bound_ms = 10000) {
  int status = 0;
  for (int waited = 0; waited < bound_ms; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// What the daemon's side of a signal test saw, sent from the child to the test.
struct child_report {
  int exit_requests = 0;  // connections that carried the exit request
  int other_connections = 0;
  int loop_result = 99;  // what server_accept_loop returned; 99 when it did not run
  int exit_th_done = -1;
  int accept_loop_running = -1;
};

// Serves a connection on the main thread, as a worker would: one receive, the reply to an
// unknown letter, close.
int serve_inline(int connection, const timespec *, void *arg) {
  auto *report = static_cast<child_report *>(arg);
  char bytes[64];
  ssize_t n = readable_within(connection, 5000) ? recv(connection, bytes, sizeof bytes, 0) : -1;
  if (n == sizeof REQUEST_EXIT && memcmp(bytes, REQUEST_EXIT, sizeof REQUEST_EXIT) == 0) {
    ++report->exit_requests;
  } else {
    ++report->other_connections;
  }
  send(connection, kInvalidReply, sizeof kInvalidReply, MSG_NOSIGNAL);
  close(connection);
  return 0;
}

// One forked process playing the daemon's main thread.
struct daemon_child {
  pid_t pid = -1;
  int ready = -1;   // the child writes a byte when it reached its point of interest
  int go = -1;      // the test writes a byte to let it go on
  int report = -1;  // the child's report at its end
};

// The child's side: the handlers installed and a listener at path, as main has them before
// daemonize. body runs the rest; its report goes back to the test.
using child_body = std::function<void(int listen_fd, int ready, int go, child_report *report)>;

daemon_child start_child(const std::string &path, const child_body &body) {
  int ready[2], go[2], report[2];
  EXPECT_EQ(0, pipe(ready));
  EXPECT_EQ(0, pipe(go));
  EXPECT_EQ(0, pipe(report));
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(go[1]);
    close(report[0]);
    child_report result;
    if (lifecycle_install_handlers() != 0) _exit(2);
    int listen_fd = listening_socket(path);
    if (listen_fd < 0) _exit(3);
    server_socket_path.store(path.c_str());
    lifecycle_set_listener(listen_fd);
    body(listen_fd, ready[1], go[0], &result);
    result.exit_th_done = exit_th_done.load();
    result.accept_loop_running = accept_loop_running.load();
    _exit(write(report[1], &result, sizeof result) == sizeof result ? 0 : 4);
  }
  close(ready[1]);
  close(go[0]);
  close(report[1]);
  return {pid, ready[0], go[1], report[0]};
}

void signal_ready(int fd) {
  EXPECT_EQ(1, write(fd, "r", 1));
}

void wait_for_go(int fd) {
  char byte;
  while (read(fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

void run_loop(int listen_fd, child_report *report) {
  report->loop_result = server_accept_loop(listen_fd, serve_inline, report);
  lifecycle_finish_exit_helper();
}

// The scheduling state of the process's main thread, from /proc.
char main_thread_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t end = text.rfind(')');
  return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

// True when every thread of this process but the calling one sleeps.
bool others_asleep() {
  const std::string self = std::to_string(syscall(SYS_gettid));
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == self) continue;
    std::ifstream in(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos || end + 2 >= text.size() || text[end + 2] != 'S') return false;
  }
  return true;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vrell-lifecycle-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(name));
    dir_ = name;
    socket_path_ = dir_ + "/vrell.sock";
  }
  void TearDown() override {
    if (child_.pid > 0) wait_bounded(child_.pid, 0);
    for (int fd : {child_.ready, child_.go, child_.report}) {
      if (fd >= 0) close(fd);
    }
    std::filesystem::remove_all(dir_);
  }

  void Start(const child_body &body) { child_ = start_child(socket_path_, body); }
  void AwaitReady() {
    char byte;
    ASSERT_TRUE(readable_within(child_.ready, 10000));
    ASSERT_EQ(1, read(child_.ready, &byte, 1));
  }
  // Waits until the child's main thread sleeps: after its ready byte that is in accept.
  void AwaitBlocked() {
    for (int waited = 0; main_thread_state(child_.pid) != 'S'; waited += 1) {
      ASSERT_LT(waited, 10000) << "the child never blocked";
      usleep(1000);
    }
  }
  // Waits until the exit helper has unblocked the termination signals (see
  // harness_helper_takes); the tests here are about where the main thread is, not that moment.
  void AwaitHelperTakesSignals() {
    for (int waited = 0; !harness_helper_takes(child_.pid, SIGTERM); waited += 1) {
      ASSERT_LT(waited, 10000) << "no thread of the child takes SIGTERM";
      usleep(1000);
    }
  }
  void Go() { ASSERT_EQ(1, write(child_.go, "g", 1)); }
  // Collects the child's report and its exit status.
  child_report Finish() {
    child_report report;
    bool ended = readable_within(child_.report, 10000);
    EXPECT_TRUE(ended) << "the child did not end its loop";
    if (ended) {
      EXPECT_EQ(static_cast<ssize_t>(sizeof report), read(child_.report, &report, sizeof report));
    }
    int status = wait_bounded(child_.pid);
    child_.pid = -1;
    for (int *fd : {&child_.ready, &child_.go, &child_.report}) {
      close(*fd);
      *fd = -1;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return report;
  }

  std::string dir_, socket_path_;
  daemon_child child_;
};

TEST_F(LifecycleTest, SignalInAcceptSendsOneExitRequestThatEndsTheLoop) {
  const std::vector<int> cases[] = {{SIGTERM}, {SIGTERM, SIGTERM}, {SIGINT}, {SIGINT, SIGTERM}};
  for (const std::vector<int> &signals : cases) {
    SCOPED_TRACE(testing::Message() << signals.size() << " signals, first " << signals[0]);
    unlink(socket_path_.c_str());
    Start([](int listen_fd, int ready, int, child_report *report) {
      lifecycle_start_exit_helper();
      signal_ready(ready);
      run_loop(listen_fd, report);
    });
    AwaitReady();
    AwaitBlocked();
    AwaitHelperTakesSignals();
    for (int number : signals) kill(child_.pid, number);
    child_report report = Finish();
    EXPECT_EQ(1, report.exit_requests);
    EXPECT_EQ(0, report.other_connections);
    EXPECT_EQ(SERVER_LOOP_STOPPED, report.loop_result);
    EXPECT_EQ(1, report.exit_th_done);
    EXPECT_EQ(0, report.accept_loop_running);
  }
}

TEST_F(LifecycleTest, SignalBeforeTheHelperRunsKeepsTheLoopFromStarting) {
  Start([](int listen_fd, int ready, int go, child_report *report) {
    signal_ready(ready);
    wait_for_go(go);
    lifecycle_start_exit_helper();
    run_loop(listen_fd, report);
  });
  AwaitReady();
  kill(child_.pid, SIGTERM);
  Go();
  child_report report = Finish();
  EXPECT_EQ(SERVER_LOOP_STOPPED, report.loop_result);
  EXPECT_EQ(0, report.exit_requests + report.other_connections) << "accept was entered";
  EXPECT_EQ(1, report.exit_th_done);
  EXPECT_EQ(0, report.accept_loop_running);
}

TEST_F(LifecycleTest, SignalBetweenTheRunTestAndAcceptStillWakesTheAccept) {
  Start([](int listen_fd, int ready, int go, child_report *report) {
    lifecycle_start_exit_helper();
    signal_ready(ready);
    // The loop has found accept_loop_running set; the signal comes before it marks the accept.
    wait_for_go(go);
    accept_in_progress.store(1);
    int connection = accept(listen_fd, nullptr, nullptr);
    accept_in_progress.store(0);
    if (connection >= 0) serve_inline(connection, nullptr, report);
    lifecycle_finish_exit_helper();
  });
  AwaitReady();
  AwaitHelperTakesSignals();
  kill(child_.pid, SIGTERM);
  Go();
  child_report report = Finish();
  EXPECT_EQ(1, report.exit_requests);
  EXPECT_EQ(1, report.exit_th_done);
}

TEST_F(LifecycleTest, UndeliverableExitRequestEndsTheAcceptThroughShutdown) {
  Start([this](int listen_fd, int ready, int, child_report *report) {
    unlink(socket_path_.c_str());
    lifecycle_start_exit_helper();
    signal_ready(ready);
    run_loop(listen_fd, report);
  });
  AwaitReady();
  AwaitBlocked();
  AwaitHelperTakesSignals();
  kill(child_.pid, SIGTERM);
  child_report report = Finish();
  EXPECT_EQ(SERVER_LOOP_ACCEPT_FAILED, report.loop_result);
  EXPECT_EQ(0, report.exit_requests);
  EXPECT_EQ(1, report.exit_th_done);
}

TEST_F(LifecycleTest, StopAskedByAThreadWakesTheAcceptToo) {
  Start([](int listen_fd, int ready, int, child_report *report) {
    lifecycle_start_exit_helper();
    // A thread that clears the run flag and wakes nobody.
    std::thread stopper([] {
      while (accept_in_progress.load() == 0) usleep(1000);
      // Once the helper sleeps in its wait, only its own periodic look can find the flag.
      for (int waited = 0; waited < 10000 && !others_asleep(); ++waited) usleep(1000);
      accept_loop_running.store(0);
    });
    signal_ready(ready);
    run_loop(listen_fd, report);
    stopper.join();
  });
  AwaitReady();
  child_report report = Finish();
  EXPECT_EQ(1, report.exit_requests);
  EXPECT_EQ(SERVER_LOOP_STOPPED, report.loop_result);
}

TEST_F(LifecycleTest, LoopEndedWithoutASignalEndsTheHelper) {
  Start([](int listen_fd, int ready, int, child_report *report) {
    lifecycle_start_exit_helper();
    signal_ready(ready);
    // The hand-over refuses the first connection, which ends the loop.
    report->loop_result = server_accept_loop(
        listen_fd, [](int, const timespec *, void *) { return -1; }, nullptr);
    lifecycle_finish_exit_helper();
  });
  AwaitReady();
  int client = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address));
  child_report report = Finish();
  close(client);
  EXPECT_EQ(SERVER_LOOP_HAND_OVER_FAILED, report.loop_result);
  EXPECT_EQ(1, report.exit_th_done) << "no exit request was claimed";
}

// A listener in the test process that serves one connection: receives once, then sends reply
// (nothing and hang up for an empty one, nothing at all without one).
struct fake_listener {
  int fd;
  std::optional<std::string> reply;
  std::string received;
  std::thread server;

  fake_listener(const std::string &path, std::optional<std::string> reply_bytes)
      : fd(listening_socket(path)), reply(std::move(reply_bytes)) {
    server = std::thread([this] {
      if (!readable_within(fd, 10000)) return;
      int connection = accept(fd, nullptr, nullptr);
      char bytes[64];
      ssize_t n = recv(connection, bytes, sizeof bytes, 0);
      if (n > 0) received.assign(bytes, n);
      if (reply) {
        send(connection, reply->data(), reply->size(), MSG_NOSIGNAL);
        close(connection);
        return;
      }
      readable_within(connection, 10000);
      close(connection);
    });
  }
  ~fake_listener() {
    Received();
    close(fd);
  }
  const std::string &Received() {
    if (server.joinable()) server.join();
    return received;
  }
};

TEST_F(LifecycleTest, SendExitRequestSendsFourBytesAndTakesAnyAnswer) {
  const char *path = socket_path_.c_str();
  for (const std::string &reply :
       {std::string(kInvalidReply, sizeof kInvalidReply), std::string("x"), std::string()}) {
    unlink(path);
    fake_listener peer(socket_path_, reply);
    EXPECT_EQ(0, send_exit_request(path)) << "reply of " << reply.size() << " bytes";
    EXPECT_EQ(std::string("X\r\n", 4), peer.Received());
  }
  unlink(path);
  {
    fake_listener silent(socket_path_, std::nullopt);
    EXPECT_EQ(-1, send_exit_request(path, 200));
  }
  unlink(path);
  {
    // A stale node: bound, never listening.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address));
    close(fd);
    EXPECT_EQ(-1, send_exit_request(path, 200));
  }
  unlink(path);
  std::ofstream(socket_path_) << "text";
  EXPECT_EQ(-1, send_exit_request(path, 200)) << "a regular file";
  EXPECT_EQ(-1, send_exit_request((dir_ + "/none").c_str(), 200));
  EXPECT_EQ(-1, send_exit_request("vrell.sock", 200));
  EXPECT_EQ(-1, send_exit_request(nullptr, 200));
}

TEST_F(LifecycleTest, SendExitRequestGivesUpOnAFullBacklog) {
  int fd = listening_socket(socket_path_, 0);
  ASSERT_GE(fd, 0);
  // Fill the backlog with connections nobody accepts.
  std::vector<int> queued;
  for (int i = 0; i < 8; ++i) {
    int client = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      close(client);
      break;
    }
    queued.push_back(client);
  }
  EXPECT_EQ(-1, send_exit_request(socket_path_.c_str(), 200));
  for (int client : queued) close(client);
  close(fd);
}

TEST_F(LifecycleTest, DaemonizeDetachesOntoDevNullInANewSession) {
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  int out[2], report[2];
  ASSERT_EQ(0, pipe(out));
  ASSERT_EQ(0, pipe(report));
  fflush(nullptr);
  pid_t parent = fork();
  if (parent == 0) {
    close(out[0]);
    close(report[0]);
    dup2(out[1], 1);
    close(out[1]);
    // Buffered, since standard output is a pipe: daemonize must not lose it.
    printf("before detaching");
    if (daemonize() != 0) _exit(1);
    struct stat null_status, status;
    stat("/dev/null", &null_status);
    int bad = 0;
    const int modes[3] = {O_RDONLY, O_WRONLY, O_WRONLY};
    for (int fd = 0; fd < 3; ++fd) {
      if (fstat(fd, &status) != 0 || status.st_rdev != null_status.st_rdev ||
          (fcntl(fd, F_GETFL) & O_ACCMODE) != modes[fd]) {
        bad |= 1 << fd;
      }
    }
    if (getsid(0) != getpid()) bad |= 8;
    pid_t self[2] = {getpid(), static_cast<pid_t>(bad)};
    _exit(write(report[1], self, sizeof self) == sizeof self ? 0 : 1);
  }
  close(out[1]);
  close(report[1]);
  int status = wait_bounded(parent);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  pid_t self[2] = {-1, -1};
  ASSERT_TRUE(readable_within(report[0], 10000));
  ASSERT_EQ(static_cast<ssize_t>(sizeof self), read(report[0], self, sizeof self));
  ASSERT_GT(self[0], 0);
  EXPECT_NE(parent, self[0]);
  EXPECT_EQ(0, self[1]) << "bits: 1, 2, 4 a stream that is not /dev/null; 8 no new session";
  status = wait_bounded(self[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  std::string printed;
  char bytes[64];
  for (ssize_t n; readable_within(out[0], 10000) && (n = read(out[0], bytes, sizeof bytes)) > 0;) {
    printed.append(bytes, n);
  }
  EXPECT_EQ("before detaching", printed);
  close(out[0]);
  close(report[0]);
}

}  // namespace
