// SPDX-License-Identifier: BSD-2-Clause
// The whole spine over a real socket: the daemon binary started detached on a socket in a
// temporary directory, talked to through the client library and through vrell-cli.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "daemon/settings.h"
#include "harness.h"
#include "service/protocol.h"

extern char **environ;

namespace {

constexpr int kTimeoutMs = 10000;

// CLOCK_REALTIME in nanoseconds, the clock file stamps are set from.
int64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Waits until the file at path has not changed for over 2 s, as an add by its stamp requires.
bool Settled(const std::string &path) {
  return harness_wait_for(
      [&] {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int64_t stamp = vrell_client_file_stamp(fd);
        close(fd);
        return stamp >= 0 && stamp < NowNs() - 2100000000;
      },
      10000);
}

class SpineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness_init(&d_));
    harness_config config;
    config.max_entries = "3";  // file values are not range-tested: a tiny table fills quickly
    config.life_time = "3600";
    harness_write_config(d_, config);
    std::string why;
    ASSERT_TRUE(harness_start(&d_, {}, &why)) << why;
  }

  void TearDown() override {
    if (d_.pid > 0) {
      EXPECT_EQ(harness_stop(&d_), 0);
      struct stat status;
      EXPECT_NE(stat(socket(), &status), 0) << "socket node left behind";
    }
    EXPECT_EQ(harness_sanitizer_reports(d_), "");
    harness_cleanup(&d_);
  }

  const char *socket() const { return d_.socket_path.c_str(); }

  // Sends request with its NUL; returns the reply text, or "error N".
  std::string Ask(const std::string &request) {
    char reply[VRELL_CLIENT_REPLY_MAX];
    int code = vrell_client_request(socket(), request.c_str(), reply, sizeof reply, kTimeoutMs);
    return code < 0 ? "error " + std::to_string(code) : reply;
  }
  std::string Raw(const std::string &data) {
    char reply[VRELL_CLIENT_REPLY_MAX];
    int code =
        vrell_client_exchange(socket(), data.data(), data.size(), reply, sizeof reply, kTimeoutMs);
    return code < 0 ? "error " + std::to_string(code) : reply;
  }

  // Returns true for the status line of the daemon under test.
  bool IsStatusLine(const std::string &reply) const {
    std::string pid = ";" + std::to_string(d_.pid) + "\r\n";
    std::string prefix = std::string(STATUS_TEXT) + ";";
    return reply.rfind(prefix, 0) == 0 && reply.size() > pid.size() &&
           reply.compare(reply.size() - pid.size(), pid.size(), pid) == 0;
  }

  daemon_under_test d_;
  std::string &dir_ = d_.dir;
};

TEST_F(SpineTest, EveryReplyComesBackOverTheSocket) {
  EXPECT_TRUE(IsStatusLine(Ask("K\r\n"))) << Ask("K\r\n");
  struct Step {
    const char *request;
    const char *reply;
  } steps[] = {
      {"A 1000 0 /tmp/f\r\n", REPLY_ADDED},
      {"A 1000 0 /tmp/f", REPLY_MODIFIED},
      {"Q 1000 /tmp/f\r\n", REPLY_CLEAN},
      {"A 1000 1 /tmp/g\r\n", REPLY_ADDED},
      {"Q 1000 /tmp/g\r\n", REPLY_INFECTED},
      {"Q 999 /tmp/g\r\n", REPLY_STALE},
      {"Q 1000 /tmp/g\r\n", REPLY_NOT_FOUND},
      {"A 1000 2 /tmp/h\r\n", REPLY_CACHE_ERROR},
      {"A 1 0 /tmp/a b\r\n", REPLY_ADDED},
      {"A 1 0 /tmp/i\r\n", REPLY_ADDED},
      {"A 1 0 /tmp/j\r\n", REPLY_FULL},
      {"A 5 1 /tmp/i\r\n", REPLY_MODIFIED},
      {"D /tmp/a b\r\n", REPLY_DELETED},
      {"D /tmp/a b\r\n", REPLY_NOT_FOUND},
      {"Z\r\n", REPLY_INVALID},
      {"C\r\n", REPLY_CLEARED},
      {"Q 1000 /tmp/f\r\n", REPLY_NOT_FOUND},
      // A file dated 2040, then changed in 2045: the mtime is compared in 64 bits.
      {"A 2208988800 0 /tmp/f\r\n", REPLY_ADDED},
      {"Q 2208988800 /tmp/f\r\n", REPLY_CLEAN},
      {"Q 2366755200 /tmp/f\r\n", REPLY_STALE},
      {"A 9223372036854775807 1 /tmp/f\r\n", REPLY_ADDED},
      {"Q 9223372036854775808 /tmp/f\r\n", REPLY_INVALID},
      {"Q 9223372036854775807 /tmp/f\r\n", REPLY_INFECTED},
  };
  for (const Step &step : steps) EXPECT_EQ(Ask(step.request), step.reply) << step.request;

  // What a careless client sends: no terminator, nothing at all, more than one receive holds.
  EXPECT_EQ(Raw("K"), REPLY_INVALID);
  EXPECT_EQ(Raw(""), REPLY_INVALID);
  EXPECT_EQ(Raw("D /" + std::string(REQUEST_MAX + 10, 'x') + '\0'), REPLY_INVALID);
  EXPECT_TRUE(IsStatusLine(Raw(std::string("K whatever\0", 11))));
}

TEST_F(SpineTest, ASilentClientDoesNotHoldUpTheOthers) {
  int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, socket(), strlen(socket()));
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([this, t, &answered] {
      std::string path = "/tmp/client" + std::to_string(t);
      for (int i = 0; i < 20; ++i) {
        std::string reply = Ask("A " + std::to_string(i) + " 0 " + path + "\r\n");
        if (reply == REPLY_ADDED || reply == REPLY_MODIFIED || reply == REPLY_FULL) answered++;
        if (IsStatusLine(Ask("K\r\n"))) answered++;
      }
    });
  }
  for (std::thread &client : clients) client.join();
  EXPECT_EQ(answered, 4 * 20 * 2);

  // The silent client is still served once it ends its side without a word.
  shutdown(silent, SHUT_WR);
  char reply[VRELL_CLIENT_REPLY_MAX] = {};
  EXPECT_GT(recv(silent, reply, sizeof reply - 1, 0), 0);
  EXPECT_STREQ(reply, REPLY_INVALID);
  close(silent);
}

TEST_F(SpineTest, FileStampsKeyAVerdictToTheBytesScanned) {
  const std::string kept = dir_ + "/kept", raced = dir_ + "/raced", young = dir_ + "/young";
  harness_write_file(kept, "clean so far");
  harness_write_file(raced, "clean");
  ASSERT_TRUE(Settled(kept));
  ASSERT_TRUE(Settled(raced));
  const char *s = socket();
  auto query = [&](const std::string &path, int fd) {
    return vrell_client_query_fd(s, path.c_str(), fd, kTimeoutMs);
  };
  auto add = [&](const std::string &path, int fd, int64_t started) {
    return vrell_client_add_fd(s, path.c_str(), fd, started, VRELL_CLIENT_VERDICT_CLEAN,
                               kTimeoutMs);
  };

  // The one order: open, query; on a miss note the time, scan the descriptor, add.
  int fd = open(kept.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat before;
  ASSERT_EQ(fstat(fd, &before), 0);
  EXPECT_EQ(vrell_client_file_stamp(fd),
            int64_t{before.st_ctim.tv_sec} * 1000000000 + before.st_ctim.tv_nsec);
  EXPECT_EQ(query(kept, fd), VRELL_CLIENT_NOT_FOUND);
  EXPECT_EQ(add(kept, fd, NowNs()), VRELL_CLIENT_ADDED);
  EXPECT_EQ(query(kept, fd), VRELL_CLIENT_CLEAN);

  // The rest written at once and the modification time set back to the nanosecond: the
  // modification time would still match, the stamp does not.
  int writer = open(kept.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_EQ(write(writer, ", infected now", 14), 14);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(futimens(writer, times), 0);
  close(writer);
  struct stat after;
  ASSERT_EQ(fstat(fd, &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(query(kept, fd), VRELL_CLIENT_STALE);
  // Stored in seconds, queried by stamp, or the other way round: a miss, never a hit.
  EXPECT_EQ(
      vrell_client_add(s, kept.c_str(), after.st_mtime, VRELL_CLIENT_VERDICT_CLEAN, kTimeoutMs),
      VRELL_CLIENT_ADDED);
  EXPECT_EQ(query(kept, fd), VRELL_CLIENT_STALE);
  close(fd);
  fd = open(raced.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(add(raced, fd, NowNs()), VRELL_CLIENT_ADDED);
  EXPECT_EQ(vrell_client_query(s, raced.c_str(), NowNs() / 1000000000, kTimeoutMs),
            VRELL_CLIENT_STALE);

  // Written while it was scanned: nothing is stored, and the old entry no longer answers.
  EXPECT_EQ(add(raced, fd, NowNs()), VRELL_CLIENT_ADDED);
  const int64_t started = NowNs();
  harness_write_file(raced, "infected");
  EXPECT_EQ(add(raced, fd, started), VRELL_CLIENT_EUNSETTLED);
  EXPECT_EQ(query(raced, fd), VRELL_CLIENT_STALE);
  // A scan cannot begin in the future, where any stamp would look old enough.
  EXPECT_EQ(add(raced, fd, NowNs() + 60000000000), VRELL_CLIENT_EARG);
  close(fd);

  // Written less than 2 s before the scan began: scanned every time, never cached.
  harness_write_file(young, "just written");
  fd = open(young.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(add(young, fd, NowNs()), VRELL_CLIENT_EUNSETTLED);
  EXPECT_EQ(query(young, fd), VRELL_CLIENT_NOT_FOUND);
  close(fd);

  // Only a regular file has a stamp.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string &path : {fifo, dir_}) {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(vrell_client_file_stamp(fd), VRELL_CLIENT_EFILE) << path;
    EXPECT_EQ(query(path, fd), VRELL_CLIENT_EFILE) << path;
    EXPECT_EQ(add(path, fd, NowNs()), VRELL_CLIENT_EFILE) << path;
    close(fd);
  }
  EXPECT_EQ(query(kept, -1), VRELL_CLIENT_EFILE);
}

#ifdef VRELL_CLI_BINARY

// Runs a program as another user; util-linux, so on every Debian system.
constexpr char kSetpriv[] = "/usr/bin/setpriv";

struct CliResult {
  int status;
  std::string out, err;
};

// Runs vrell-cli with args, through the command runner when one is given (setpriv, to run it as
// another user), and returns its exit status (-1 when it was killed after 20 s without ending)
// and what it wrote to standard output and standard error.
CliResult RunCli(const std::vector<std::string> &args,
                 const std::vector<std::string> &runner = {}) {
  std::vector<char *> argv;
  std::vector<std::string> copies = runner;
  copies.push_back(VRELL_CLI_BINARY);
  copies.insert(copies.end(), args.begin(), args.end());
  std::string program = copies[0];
  for (std::string &arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  pid_t pid;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  CliResult result{-1, "", ""};
  if (spawned == 0) {
    struct pollfd pipes[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&result.out, &result.err};
    int open_pipes = 2;
    for (int waited = 0; open_pipes > 0 && waited < 200;) {
      int ready = poll(pipes, 2, 100);
      if (ready == 0) ++waited;
      for (int i = 0; ready > 0 && i < 2; ++i) {
        if (pipes[i].revents == 0) continue;
        char buffer[512];
        ssize_t n = read(pipes[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          texts[i]->append(buffer, n);
        } else {
          pipes[i].fd = -1;
          --open_pipes;
        }
      }
    }
    if (open_pipes > 0) kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    result.status = open_pipes == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  close(out[0]);
  close(err[0]);
  return result;
}

TEST_F(SpineTest, CliPrintsTheReplyLine) {
  std::string file = dir_ + "/scanned file";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_TRUE(Settled(file));
  // A relative PATH is keyed by its absolute path.
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::string s = socket();
  struct Case {
    std::vector<std::string> args;
    const char *out;
  } cases[] = {
      {{"-s", s, "add", "1000", "clean", "/tmp/cli"}, REPLY_ADDED},
      {{"-s", s, "query", "1000", "/tmp/cli"}, REPLY_CLEAN},
      {{"--socket", s, "add", "1000", "infected", "/tmp/cli"}, REPLY_MODIFIED},
      {{"-s", s, "query", "1000", "/tmp/cli"}, REPLY_INFECTED},
      {{"-s", s, "query", "-5", "/tmp/cli"}, REPLY_STALE},
      {{"-s", s, "delete", "/tmp/cli"}, REPLY_CACHE_ERROR},  // an empty table
      {{"-s", s, "add-file", "./scanned file", "clean"}, REPLY_ADDED},
      {{"-s", s, "query-file", file}, REPLY_CLEAN},
      {{"-s", s, "query-file", "scanned file"}, REPLY_CLEAN},
      {{"-s", s, "delete", file}, REPLY_DELETED},
      {{"-s", s, "raw", "Q 1 /nothing"}, REPLY_NOT_FOUND},
      {{"-s", s, "raw", "-x"}, REPLY_INVALID},
      // The whole signed 64-bit range of MTIME goes out; a line end inside a path is carried.
      {{"-s", s, "add", "9223372036854775807", "clean", "/tmp/big"}, REPLY_ADDED},
      {{"-s", s, "query", "9223372036854775807", "/tmp/big"}, REPLY_CLEAN},
      {{"-s", s, "query", "-9223372036854775808", "/tmp/big"}, REPLY_STALE},
      {{"-s", s, "add", "1", "clean", "/tmp/a\rb"}, REPLY_ADDED},
      {{"-s", s, "query", "1", "/tmp/a\rb"}, REPLY_CLEAN},
      {{"-s", s, "clear"}, REPLY_CLEARED},
  };
  for (const Case &c : cases) {
    CliResult result = RunCli(c.args);
    EXPECT_EQ(result.status, 0) << c.args[2];
    EXPECT_EQ(result.out, c.out) << c.args[2];
  }
  for (auto args : {std::vector<std::string>{"-s", s, "status"}, {"-s", s, "raw", "K"}}) {
    CliResult result = RunCli(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(IsStatusLine(result.out)) << result.out;
  }
  EXPECT_EQ(chdir("/"), 0);
}

TEST_F(SpineTest, CliExitStatusTellsWhatWentWrong) {
  std::string s = socket();
  std::string missing = dir_ + "/missing";
  // A file whose name ends in LF: the daemon would drop the LF and name the file beside it.
  std::string evil = dir_ + "/evil\n", fifo = dir_ + "/fifo";
  FILE *f = fopen(evil.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string cr_lf = "PATH ends in CR or LF", range = "MTIME must be a decimal number";
  const std::string not_regular = "not a regular file";
  const std::string unset = dir_ + "/unset.ini";
  unsetenv("VRELL_CLI_UNSET");
  harness_write_file(unset, "[vrell]\nQXVrellSocket = \"$(VRELL_CLI_UNSET)/vrell.sock\"\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string why = "";  // a part of the line on standard error
  } cases[] = {
      {{"-s", missing, "status"}, 2, "no daemon at " + missing + ": No such file"},
      {{"-s", dir_, "status"}, 2, "no daemon at"},
      {{"-c", unset, "status"}, 78, "QXVrellSocket names $(VRELL_CLI_UNSET), which is not set"},
      {{}, 64},
      {{"-s", s}, 64},
      {{"-s"}, 64},
      {{"-x", "status"}, 64},
      {{"-s", s, "bogus"}, 64},
      {{"-s", s, "status", "extra"}, 64},
      {{"-s", s, "add", "1000", "clean"}, 64},
      {{"-s", s, "add", "soon", "clean", "/p"}, 64},
      {{"-s", s, "add", "1000", "maybe", "/p"}, 64},
      {{"-s", s, "add", "1000", "clean", ""}, 64},
      {{"-s", s, "query", "1000"}, 64},
      {{"-s", s, "query", "12x", "/p"}, 64},
      {{"-s", s, "delete"}, 64},
      {{"-s", s, "add-file", missing, "maybe"}, 64},
      {{"-s", s, "query", "1", "/" + std::string(REQUEST_MAX, 'p')}, 64},
      {{"-s", "/" + std::string(120, 's'), "status"}, 64},
      {{"-s", s, "add-file", missing, "clean"}, 66},
      {{"-s", s, "query-file", missing}, 66},
      {{"-s", s, "add", "1000", "clean", "/p\n"}, 64, cr_lf},
      {{"-s", s, "add-file", evil, "clean"}, 64, cr_lf},
      {{"-s", s, "query", "1000", "/p\r"}, 64, cr_lf},
      {{"-s", s, "query-file", evil}, 64, cr_lf},
      {{"-s", s, "delete", "/p\r\n"}, 64, cr_lf},
      {{"-s", s, "delete", "/" + std::string(1008, 'p')}, 64, "longer than 1008"},
      {{"-s", s, "query-file", "../" + std::string(1000, 'p')}, 64, "longer than 1008"},
      {{"-s", s, "query-file", fifo}, 66, not_regular},
      {{"-s", s, "add-file", dir_, "clean"}, 66, not_regular},
      {{"-s", s, "add", "9223372036854775808", "clean", "/p"}, 64, range},
      {{"-s", s, "query", "-9223372036854775809", "/p"}, 64, range},
      {{"-s", s, "add", "1000", "2147483648", "/p"}, 64, "VERDICT"},
      {{"-s", s, "add", "1000", "256", "/p"}, 64, "VERDICT"},
      {{"-c", dir_, "status"}, 78, not_regular},
      {{"-c", fifo, "status"}, 78, not_regular},
      {{"-c", "/dev/zero", "status"}, 78, not_regular},
  };
  for (const Case &c : cases) {
    CliResult result = RunCli(c.args);
    std::string shown;
    for (const std::string &arg : c.args) shown += arg.substr(0, 20) + " ";
    EXPECT_EQ(result.status, c.status) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_NE(result.err.find(c.why), std::string::npos) << shown << result.err;
  }
  // A file still being written while add-file runs, however slowly, is not stored.
  const std::string young = dir_ + "/young";
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    while (writing) {
      harness_write_file(young, "still being written");
      usleep(50000);
    }
  });
  usleep(100000);
  CliResult fresh = RunCli({"-s", s, "add-file", young, "clean"});
  writing = false;
  writer.join();
  EXPECT_EQ(fresh.status, 1);
  EXPECT_EQ(fresh.out, "");
  EXPECT_NE(fresh.err.find("not stored"), std::string::npos) << fresh.err;
  CliResult help = RunCli({"--help", "bogus"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: vrell-cli", 0), 0u) << help.out;
  EXPECT_NE(help.out.find(DEFAULT_SOCKET_PATH), std::string::npos);

  // A user who may not pass the socket's directory is told so, not that no daemon runs; the
  // group of the installed service gets its own hint.
  if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
    GTEST_SKIP() << "the permission case runs vrell-cli as another user: needs root and setpriv";
  }
  const std::vector<std::string> nobody = {kSetpriv, "--reuid=65534", "--regid=65534",
                                           "--clear-groups"};
  ASSERT_EQ(chmod(dir_.c_str(), 0750), 0);
  CliResult denied = RunCli({"-s", s, "status"}, nobody);
  EXPECT_EQ(denied.status, 4);
  EXPECT_NE(denied.err.find(": permission denied: " + dir_ + " has mode 0750 and group "),
            std::string::npos)
      << denied.err;
  if (struct group *service = getgrnam("_vrell")) {
    ASSERT_EQ(chown(dir_.c_str(), static_cast<uid_t>(-1), service->gr_gid), 0);
    denied = RunCli({"-s", s, "status"}, nobody);
    EXPECT_EQ(denied.status, 4);
    EXPECT_EQ(denied.err, "vrell-cli: " + std::string(s) +
                              ": permission denied: is this user in group _vrell?\n");
  }
}

#endif  // VRELL_CLI_BINARY

}  // namespace
