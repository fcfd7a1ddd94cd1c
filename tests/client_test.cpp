// SPDX-License-Identifier: BSD-2-Clause
// The client library against a scripted peer: what goes on the wire, how replies, silences and
// hang-ups come back, and the refused arguments; and where it finds the daemon's socket.

#include "client/client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "daemon/settings.h"

namespace {

// A one-connection peer on a socket in a temporary directory. It receives once (or, with
// read_to_end, until the client shuts down its writing side or closes), then sends reply unless
// hang_up is set, and closes as the daemon does.
class Peer {
 public:
  Peer() {
    char pattern[] = "/tmp/vrell-client-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/sock";
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, path_.data(), path_.size());
    EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listen_fd_, 5), 0);
  }
  ~Peer() {
    if (thread_.joinable()) thread_.join();
    close(listen_fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  void Serve(std::string reply, bool hang_up = false, bool read_to_end = false) {
    thread_ = std::thread([this, reply, hang_up, read_to_end] {
      int fd = accept(listen_fd_, nullptr, nullptr);
      char buffer[4096];
      ssize_t n;
      while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        received_.append(buffer, static_cast<size_t>(n));
        if (!read_to_end) break;
      }
      if (!hang_up) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(fd);
    });
  }
  // What the peer received; valid once the client call has returned.
  const std::string &Received() {
    thread_.join();
    return received_;
  }
  const char *path() const { return path_.c_str(); }

 private:
  std::string dir_, path_, received_;
  int listen_fd_ = -1;
  std::thread thread_;
};

const std::string kAdded("201-File added successfully\r\n\0", 30);
// A counters line well beyond the other replies' buffer.
const std::string kStats = [] {
  std::string line = "102-Stats: ";
  for (int i = 0; i < 40; ++i) line += "counter_" + std::to_string(i) + "=4294967296;";
  return line + "\r\n";
}();

TEST(ClientTest, RequestSendsTextAndOneNulAndReturnsTheCode) {
  Peer peer;
  peer.Serve(kAdded);
  char reply[VRELL_CLIENT_REPLY_MAX];
  EXPECT_EQ(vrell_client_request(peer.path(), "A 1000 0 /tmp/f\r\n", reply, sizeof reply, 5000),
            201);
  EXPECT_STREQ(reply, "201-File added successfully\r\n");
  EXPECT_EQ(peer.Received(), std::string("A 1000 0 /tmp/f\r\n\0", 18));
}

TEST(ClientTest, RepliesAreCutToTheBufferAndCodesReadFromTheirStart) {
  struct Case {
    std::string reply;
    size_t size;
    int code;
    const char *text;
  } cases[] = {
      {kAdded, 5, 201, "201-"},
      {kAdded, 3, 201, "20"},
      // Only three digits and a hyphen make a code: other servers' lines have none.
      {std::string("000000205000\r\n\0", 15), 64, 0, "000000205000\r\n"},
      {std::string("0205-x\r\n\0", 9), 64, 0, "0205-x\r\n"},
      {std::string("20-x\0", 5), 64, 0, "20-x"},
      {std::string("no code\r\n\0", 10), 64, 0, "no code\r\n"},
      {"209-without its NUL", 64, 209, "209-without its NUL"},
      {std::string("101-first\0second", 16), 64, 101, "101-first"},
      {kStats + std::string(1, '\0'), VRELL_CLIENT_STATS_MAX, 102, kStats.c_str()},
  };
  for (const Case &c : cases) {
    Peer peer;
    peer.Serve(c.reply);
    char reply[VRELL_CLIENT_STATS_MAX];
    EXPECT_EQ(vrell_client_request(peer.path(), "K\r\n", reply, c.size, 5000), c.code) << c.text;
    EXPECT_STREQ(reply, c.text);
  }
}

TEST(ClientTest, FailuresReturnTheirCodesAndAnEmptyReply) {
  char reply[64];
  {
    Peer peer;
    peer.Serve("", true);
    strcpy(reply, "old");
    EXPECT_EQ(vrell_client_request(peer.path(), "K\r\n", reply, sizeof reply, 5000),
              VRELL_CLIENT_ERECV);
    EXPECT_STREQ(reply, "");
  }
  {
    // The peer answers only after the client gave up and closed.
    Peer peer;
    peer.Serve(kAdded, false, true);
    strcpy(reply, "old");
    EXPECT_EQ(vrell_client_request(peer.path(), "K\r\n", reply, sizeof reply, 100),
              VRELL_CLIENT_ETIMEOUT);
    EXPECT_STREQ(reply, "");
  }
  // A failed connect leaves its reason in errno, through every call.
  strcpy(reply, "old");
  errno = 0;
  EXPECT_EQ(vrell_client_request("/nonexistent/vrell.sock", "K\r\n", reply, sizeof reply, 100),
            VRELL_CLIENT_ECONNECT);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_STREQ(reply, "");
  errno = 0;
  EXPECT_EQ(vrell_client_delete("/nonexistent/vrell.sock", "/p", 0), VRELL_CLIENT_ECONNECT);
  EXPECT_EQ(errno, ENOENT);
  {
    Peer peer;
    std::string refusing = peer.path();
    refusing += ".stale";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, refusing.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    close(fd);
    errno = 0;
    EXPECT_EQ(vrell_client_status(refusing.c_str(), reply, sizeof reply, 100),
              VRELL_CLIENT_ECONNECT);
    EXPECT_EQ(errno, ECONNREFUSED);
    unlink(refusing.c_str());
  }
  for (int code :
       {VRELL_CLIENT_ECONNECT, VRELL_CLIENT_ESEND, VRELL_CLIENT_ERECV, VRELL_CLIENT_ETIMEOUT,
        VRELL_CLIENT_EARG, VRELL_CLIENT_EPEER, VRELL_CLIENT_ECONFIG, VRELL_CLIENT_EPATH,
        VRELL_CLIENT_EREPLY, VRELL_CLIENT_EUNSET, -99}) {
    ASSERT_NE(vrell_client_strerror(code), nullptr);
    EXPECT_GT(strlen(vrell_client_strerror(code)), 0u);
  }
}

TEST(ClientTest, TheLibrarysVersionIsTheHeadersAndTheProjects) {
  int major = -1, minor = -1, patch = -1;
  EXPECT_STREQ(vrell_client_version(&major, &minor, &patch), VRELL_VERSION);
  EXPECT_EQ(major, VRELL_CLIENT_VERSION_MAJOR);
  EXPECT_EQ(minor, VRELL_CLIENT_VERSION_MINOR);
  EXPECT_EQ(patch, VRELL_CLIENT_VERSION_PATCH);
  EXPECT_STREQ(vrell_client_version(nullptr, nullptr, nullptr), VRELL_VERSION);
}

TEST(ClientTest, BadArgumentsAreRefusedBeforeConnecting) {
  std::string too_long_path = "/" + std::string(108, 'p');
  std::string longest_request(VRELL_CLIENT_REQUEST_MAX - 1, 'K');
  std::string too_long_request(VRELL_CLIENT_REQUEST_MAX, 'K');
  char reply[64];
  struct Case {
    const char *what;
    const char *path;
    const char *request;
    char *reply;
    size_t size;
    int timeout;
    int code = VRELL_CLIENT_EARG;
  } cases[] = {
      {"no path", nullptr, "K", reply, sizeof reply, 100},
      {"empty path", "", "K", reply, sizeof reply, 100},
      {"path too long", too_long_path.c_str(), "K", reply, sizeof reply, 100},
      {"no request", "/tmp/s", nullptr, reply, sizeof reply, 100},
      {"request too long", "/tmp/s", too_long_request.c_str(), reply, sizeof reply, 100},
      {"no reply buffer", "/tmp/s", "K", nullptr, 64, 100},
      {"empty reply buffer", "/tmp/s", "K", reply, 0, 100},
      {"negative time-out", "/tmp/s", "K", reply, sizeof reply, -1},
      // The daemon drops every line end at the end: the path would lose its own.
      {"A path's own LF", "/tmp/s", "A 1 0 /x\n\r\n", reply, sizeof reply, 100, VRELL_CLIENT_EPATH},
      {"D path's own CR", "/tmp/s", "D /x\r\r\n", reply, sizeof reply, 100, VRELL_CLIENT_EPATH},
      {"Q path's own LF", "/tmp/s", "Q 1 /x\n\n", reply, sizeof reply, 100, VRELL_CLIENT_EPATH},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(vrell_client_request(c.path, c.request, c.reply, c.size, c.timeout), c.code)
        << c.what;
  }
  EXPECT_EQ(vrell_client_exchange("/tmp/s", nullptr, 3, reply, sizeof reply, 100),
            VRELL_CLIENT_EARG);

  // The longest request the daemon reads whole goes out.
  Peer peer;
  peer.Serve(kAdded);
  EXPECT_EQ(vrell_client_request(peer.path(), longest_request.c_str(), reply, sizeof reply, 5000),
            201);
  EXPECT_EQ(peer.Received().size(), static_cast<size_t>(VRELL_CLIENT_REQUEST_MAX));
}

TEST(ClientTest, TypedCallsComposeTheRequestAndSwitchOnTheReplyCode) {
  const std::string status_line = "101-OK: Cache running;01-02-2025;03:04:05;42\r\n";
  auto with_nul = [](const std::string &text) { return text + std::string(1, '\0'); };
  char reply[VRELL_CLIENT_REPLY_MAX];
  // Each call, made on the peer's socket, returns its result and leaves the reply in reply.
  using call = std::function<int(const char *)>;
  auto add = [&](const char *path, int64_t mtime, int verdict) -> call {
    return [&reply, path, mtime, verdict](const char *socket) {
      return vrell_client_add_checked(socket, path, mtime, verdict, 5000, VRELL_CLIENT_ANY_UID,
                                      reply, sizeof reply);
    };
  };
  auto query = [&](const char *path, int64_t mtime) -> call {
    return [&reply, path, mtime](const char *socket) {
      return vrell_client_query_checked(socket, path, mtime, 5000, VRELL_CLIENT_ANY_UID, reply,
                                        sizeof reply);
    };
  };
  call plain_add = [](const char *socket) { return vrell_client_add(socket, "/p", 7, 1, 5000); };
  call plain_query = [](const char *socket) { return vrell_client_query(socket, "/p", 7, 5000); };
  call remove = [&reply](const char *socket) {
    return vrell_client_delete_checked(socket, "/tmp/a\nb", 5000, getuid(), reply, sizeof reply);
  };
  call plain_delete = [](const char *socket) { return vrell_client_delete(socket, "/p", 5000); };
  call clear = [&reply](const char *socket) {
    return vrell_client_clear_checked(socket, 5000, VRELL_CLIENT_ANY_UID, reply, sizeof reply);
  };
  call plain_clear = [](const char *socket) { return vrell_client_clear(socket, 5000); };
  call status = [&reply](const char *socket) {
    return vrell_client_status(socket, reply, sizeof reply, 5000);
  };
  struct Case {
    call run;
    std::string served;
    int code;
    std::string sent;
    bool copies = true;
  } cases[] = {
      {add("/tmp/f", 1000, VRELL_CLIENT_VERDICT_CLEAN), kAdded, VRELL_CLIENT_ADDED,
       "A 1000 0 /tmp/f\r\n"},
      {add("/a b", INT64_MAX, VRELL_CLIENT_VERDICT_INFECTED),
       with_nul("202-File already in cache, entry modified\r\n"), VRELL_CLIENT_MODIFIED,
       "A 9223372036854775807 1 /a b\r\n"},
      {add("/f", INT64_MIN, 0), with_nul("203-File not added. Cache full\r\n"), VRELL_CLIENT_FULL,
       "A -9223372036854775808 0 /f\r\n"},
      {add("/f", 1, 0), with_nul("205-File is marked clean in cache\r\n"), VRELL_CLIENT_EREPLY,
       "A 1 0 /f\r\n"},
      {plain_add, with_nul("208-Cache error\r\n"), VRELL_CLIENT_CACHE_ERROR, "A 7 1 /p\r\n", false},
      {query("/p", INT64_MIN), with_nul("205-File is marked clean in cache\r\n"),
       VRELL_CLIENT_CLEAN, "Q -9223372036854775808 /p\r\n"},
      {query("/p", 4294967296), with_nul("206-File is marked infected in cache\r\n"),
       VRELL_CLIENT_INFECTED, "Q 4294967296 /p\r\n"},
      {query("/p", 0), with_nul("207-File found but mtime changed. Entry removed\r\n"),
       VRELL_CLIENT_STALE, "Q 0 /p\r\n"},
      {query("/p", 0), with_nul("209-File not found in Cache\r\n"), VRELL_CLIENT_NOT_FOUND,
       "Q 0 /p\r\n"},
      {query("/p", 0), kAdded, VRELL_CLIENT_EREPLY, "Q 0 /p\r\n"},
      {plain_query, with_nul("210-Invalid request\r\n"), VRELL_CLIENT_INVALID, "Q 7 /p\r\n", false},
      {plain_query, with_nul("no code\r\n"), VRELL_CLIENT_EREPLY, "Q 7 /p\r\n", false},
      {plain_query, with_nul("000000205000\r\n"), VRELL_CLIENT_EREPLY, "Q 7 /p\r\n", false},
      {plain_query, with_nul("0205-x\r\n"), VRELL_CLIENT_EREPLY, "Q 7 /p\r\n", false},
      {remove, with_nul("204-File deleted successfully\r\n"), VRELL_CLIENT_DELETED,
       "D /tmp/a\nb\r\n"},
      {plain_delete, with_nul("209-File not found in Cache\r\n"), VRELL_CLIENT_NOT_FOUND,
       "D /p\r\n", false},
      {clear, with_nul("211-Cache cleared\r\n"), VRELL_CLIENT_CLEARED, "C\r\n"},
      {plain_clear, with_nul("2110-Cache cleared\r\n"), VRELL_CLIENT_EREPLY, "C\r\n", false},
      {status, with_nul(status_line), VRELL_CLIENT_STATUS, "K\r\n"},
      {status, with_nul("211-Cache cleared\r\n"), VRELL_CLIENT_EREPLY, "K\r\n"},
      {status, with_nul("101-busy\r\n"), VRELL_CLIENT_EREPLY, "K\r\n"},
  };
  for (const Case &c : cases) {
    Peer peer;
    peer.Serve(c.served);
    strcpy(reply, "old");
    EXPECT_EQ(c.run(peer.path()), c.code) << c.sent;
    EXPECT_EQ(peer.Received(), with_nul(c.sent));
    // The daemon's own line comes back whatever its code; the plain calls leave reply alone.
    EXPECT_STREQ(reply, c.copies ? c.served.c_str() : "old") << c.sent;
  }
  // A failure before any reply leaves the reply empty.
  strcpy(reply, "old");
  EXPECT_EQ(vrell_client_add_checked("/nonexistent/vrell.sock", "/p", 1, 0, 100,
                                     VRELL_CLIENT_ANY_UID, reply, sizeof reply),
            VRELL_CLIENT_ECONNECT);
  EXPECT_STREQ(reply, "");
  EXPECT_EQ(vrell_client_status("/tmp/s", nullptr, 64, 100), VRELL_CLIENT_EARG);
  // The daemon keeps only a verdict's low 8 bits: 256 would store clean, 257 infected.
  for (int verdict : {2, -1, 256, 257}) {
    strcpy(reply, "old");
    EXPECT_EQ(vrell_client_add_checked("/nonexistent/vrell.sock", "/p", 1, verdict, 100,
                                       VRELL_CLIENT_ANY_UID, reply, sizeof reply),
              VRELL_CLIENT_EARG)
        << verdict;
    EXPECT_STREQ(reply, "");
  }
}

TEST(ClientTest, TypedCallsRefusePathsTheProtocolCannotCarry) {
  const std::string longest = "/" + std::string(VRELL_CLIENT_PATH_MAX - 1, 'd');
  const std::string too_long = longest + "d";
  // So long that the request goes out without its CR LF: the path's own LF would end it.
  const std::string longest_lf = longest.substr(0, longest.size() - 1) + "\n";
  const char *nowhere = "/nonexistent/vrell.sock";
  struct Case {
    const char *what;
    const char *path;
    int code;
  } cases[] = {
      {"empty", "", VRELL_CLIENT_EPATH},
      {"ending in LF", "/tmp/evil\n", VRELL_CLIENT_EPATH},
      {"ending in CR", "/tmp/evil\r", VRELL_CLIENT_EPATH},
      {"ending in CR LF", "/tmp/evil\r\n", VRELL_CLIENT_EPATH},
      {"longest, ending in LF", longest_lf.c_str(), VRELL_CLIENT_EPATH},
      {"over VRELL_CLIENT_PATH_MAX", too_long.c_str(), VRELL_CLIENT_EPATH},
      {"null", nullptr, VRELL_CLIENT_EARG},
  };
  char reply[64];
  for (const Case &c : cases) {
    strcpy(reply, "old");
    EXPECT_EQ(vrell_client_add_checked(nowhere, c.path, INT64_MIN, 0, 100, VRELL_CLIENT_ANY_UID,
                                       reply, sizeof reply),
              c.code)
        << c.what;
    EXPECT_STREQ(reply, "") << c.what;
    EXPECT_EQ(vrell_client_query(nowhere, c.path, 1, 100), c.code) << c.what;
    EXPECT_EQ(vrell_client_delete(nowhere, c.path, 100), c.code) << c.what;
  }
  EXPECT_STRNE(vrell_client_strerror(VRELL_CLIENT_EPATH), vrell_client_strerror(VRELL_CLIENT_EARG));

  // The longest path goes out whole with every call and the widest mtime; the add, which the
  // daemon would read only to its line end, leaves out the CR LF.
  struct Fits {
    std::function<int(const char *)> run;
    std::string sent;
  } fits[] = {
      {[&](const char *s) { return vrell_client_add(s, longest.c_str(), INT64_MIN, 1, 5000); },
       "A -9223372036854775808 1 " + longest},
      {[&](const char *s) { return vrell_client_query(s, longest.c_str(), INT64_MIN, 5000); },
       "Q -9223372036854775808 " + longest + "\r\n"},
      {[&](const char *s) { return vrell_client_delete(s, longest.c_str(), 5000); },
       "D " + longest + "\r\n"},
  };
  for (const Fits &f : fits) {
    Peer peer;
    peer.Serve(kAdded);
    EXPECT_NE(f.run(peer.path()), VRELL_CLIENT_EPATH);
    const std::string &received = peer.Received();
    EXPECT_EQ(received, f.sent + std::string(1, '\0'));
    EXPECT_LE(received.size(), static_cast<size_t>(VRELL_CLIENT_REQUEST_MAX));
  }
}

TEST(ClientTest, ExchangeSendsExactBytesAndEndsItsWritingSide) {
  std::string cases[] = {std::string("K"), std::string(), std::string("D /a\0tail", 9),
                         std::string(1500, 'Q')};
  for (const std::string &data : cases) {
    Peer peer;
    peer.Serve(kAdded, false, true);
    char reply[64];
    EXPECT_EQ(
        vrell_client_exchange(peer.path(), data.data(), data.size(), reply, sizeof reply, 5000),
        201);
    EXPECT_EQ(peer.Received(), data);
  }
}

TEST(ClientTest, ServerUidCheckRefusesAnotherUidBeforeSending) {
  const uid_t own = getuid();
  const uid_t other = own + 1;
  struct Case {
    uid_t expected;
    int code;
    const char *received;
  } cases[] = {
      {VRELL_CLIENT_ANY_UID, 201, "K\r\n"},
      {own, 201, "K\r\n"},
      {other, VRELL_CLIENT_EPEER, ""},
  };
  for (const Case &c : cases) {
    char reply[64];
    {
      Peer peer;
      peer.Serve(kAdded);
      strcpy(reply, "old");
      EXPECT_EQ(
          vrell_client_request_checked(peer.path(), "K\r\n", reply, sizeof reply, 5000, c.expected),
          c.code)
          << c.expected;
      EXPECT_EQ(peer.Received(), std::string(c.received, strlen(c.received) + (c.code > 0)));
      EXPECT_STREQ(reply, c.code > 0 ? "201-File added successfully\r\n" : "");
    }
    {
      Peer peer;
      peer.Serve(kAdded, false, true);
      EXPECT_EQ(
          vrell_client_exchange_checked(peer.path(), "K", 1, reply, sizeof reply, 5000, c.expected),
          c.code)
          << c.expected;
      EXPECT_EQ(peer.Received(), c.code > 0 ? "K" : "");
    }
  }
}

// The uid checked is the listening process's, not the client's own: a server that listens as
// another user than the client is told apart. Needs root to change the listener's uid.
TEST(ClientTest, ServerUidIsTheListenersUid) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a listener as another user";
  const uid_t nobody = 65534;
  char pattern[] = "/tmp/vrell-client-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = pattern, path = dir + "/sock";
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.data(), path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);

  // The child takes the other uid before it listens, since the peer credentials are taken then.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody) != 0 || setuid(nobody) != 0 || listen(fd, 5) != 0) _exit(1);
    if (write(ready[1], "r", 1) != 1) _exit(1);
    for (int served = 0; served < 3; ++served) {
      int connection = accept(fd, nullptr, nullptr);
      char buffer[64];
      if (recv(connection, buffer, sizeof buffer, 0) > 0)
        send(connection, kAdded.data(), kAdded.size(), MSG_NOSIGNAL);
      close(connection);
    }
    _exit(0);
  }
  close(ready[1]);
  struct pollfd wait_ready = {ready[0], POLLIN, 0};
  char byte = 0;
  bool listening = poll(&wait_ready, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  close(fd);

  char reply[64];
  if (listening) {
    EXPECT_EQ(vrell_client_request_checked(path.c_str(), "K\r\n", reply, sizeof reply, 5000, 0),
              VRELL_CLIENT_EPEER);
    EXPECT_EQ(
        vrell_client_request_checked(path.c_str(), "K\r\n", reply, sizeof reply, 5000, nobody),
        201);
    EXPECT_EQ(
        vrell_client_request_checked(path.c_str(), "K\r\n", reply, sizeof reply, 5000, nobody),
        201);
  }
  EXPECT_TRUE(listening);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

// vrell_client_find_socket on conf_path in a child, so that a read that never ends fails the test
// instead of hanging it. Returns the call's result, or 1 when the child was still busy after 10 s.
int FindSocketInAChild(const char *conf_path) {
  pid_t child = fork();
  if (child == 0) {
    char out[256];
    _exit(-vrell_client_find_socket(nullptr, conf_path, out, sizeof out));
  }
  int status = 0;
  for (int waited = 0; waited < 1000; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? -WEXITSTATUS(status) : 1;
    usleep(10000);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return 1;
}

TEST(ClientTest, SocketIsFoundInTheOrderOptionFileInstalledFileBuiltIn) {
  char pattern[] = "/tmp/vrell-lookup-XXXXXX";
  std::string dir = mkdtemp(pattern);
  std::string conf = dir + "/vrell.ini", bare = dir + "/bare.ini", missing = dir + "/none.ini";
  // Written as the daemon's file is, with a reference the reader fills from the environment.
  std::ofstream(conf) << "[vrell]\n    QXVrellSocket = \"$(VRELL_LOOKUP_DIR)/vrell.sock\"\n";
  std::ofstream(bare) << "[vrell]\n    QXVrellPid = \"/tmp/p.pid\"\n";
  setenv("VRELL_LOOKUP_DIR", dir.c_str(), 1);
  std::string from_file = dir + "/vrell.sock";

  char out[256];
  auto find = [&](const char *socket, const char *file) {
    strcpy(out, "old");
    return vrell_client_find_socket(socket, file, out, sizeof out);
  };
  EXPECT_EQ(find("/run/given.sock", conf.c_str()), 0);
  EXPECT_STREQ(out, "/run/given.sock");
  EXPECT_EQ(find(nullptr, conf.c_str()), 0);
  EXPECT_EQ(out, from_file);
  EXPECT_EQ(find(nullptr, bare.c_str()), 0);
  EXPECT_STREQ(out, DEFAULT_SOCKET_PATH);
  EXPECT_EQ(find(nullptr, missing.c_str()), VRELL_CLIENT_ECONFIG);
  EXPECT_STREQ(out, "");
  // A reference the environment does not set is named, not read as an empty text.
  unsetenv("VRELL_LOOKUP_DIR");
  EXPECT_EQ(find(nullptr, conf.c_str()), VRELL_CLIENT_EUNSET);
  EXPECT_STREQ(out, "VRELL_LOOKUP_DIR");
  setenv("VRELL_LOOKUP_DIR", dir.c_str(), 1);
  // Anything but a regular file is refused at once, a FIFO without being opened.
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char *file : {dir.c_str(), fifo.c_str(), "/dev/zero"})
    EXPECT_EQ(FindSocketInAChild(file), VRELL_CLIENT_ECONFIG) << file;
  EXPECT_EQ(vrell_client_socket_from_config(conf.c_str(), out, sizeof out), 0);
  EXPECT_EQ(out, from_file);
  EXPECT_EQ(vrell_client_socket_from_config(conf.c_str(), out, from_file.size()),
            VRELL_CLIENT_EARG);
  EXPECT_STREQ(out, "");

  // With neither, the installed file decides when this machine has a readable one.
  std::string installed = vrell_client_installed_config();
  EXPECT_EQ(installed.front(), '/');
  EXPECT_EQ(installed.substr(installed.size() - 16), "/vrell/vrell.ini");
  char expected[256];
  if (access(installed.c_str(), R_OK) == 0) {
    ASSERT_EQ(vrell_client_socket_from_config(installed.c_str(), expected, sizeof expected), 0);
  } else {
    strcpy(expected, DEFAULT_SOCKET_PATH);
  }
  EXPECT_EQ(find(nullptr, nullptr), 0);
  EXPECT_STREQ(out, expected);

  unsetenv("VRELL_LOOKUP_DIR");
  unlink(conf.c_str());
  unlink(bare.c_str());
  unlink(fifo.c_str());
  rmdir(dir.c_str());
}

}  // namespace
