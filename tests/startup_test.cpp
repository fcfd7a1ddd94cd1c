// SPDX-License-Identifier: BSD-2-Clause
// The start-up of the real binary, as a user meets it: help, the mandatory configuration file
// and its access test, the file read without PATH, loading with missing keys, validation of
// command-line values at their bounds, the save (in place where the directory takes no new
// file, also onto a full disk), and the socket's own limits. Each case runs in a fresh
// directory.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr char kUsage[] =
    "-s --sock-path    value\n"
    "-p --pid-file     value\n"
    "-t --threads      value\n"
    "-m --max-entry    value\n"
    "-l --life         value\n"
    "-c --conf-file    value\n"
    "-v --save        \n"
    "-h --help        \n"
    "-f --foreground  \n"
    "--version        \n"
    "--check          \n";

// The unprivileged user (and group) that root's tests run the daemon as.
constexpr uid_t kNobody = 65534;
// Exit status of a child that could not set up what its case needs (user, mount).
constexpr int kChildCannot = 77;
// Ends the daemon's output in the report a child writes; the sanitizer reports follow it.
constexpr char kReportSeparator[] = "\n--- sanitizer reports ---\n";

ino_t Inode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A configuration in the layout a save writes (sections and keys in byte order), so that a
// saved file can be compared whole.
std::string SavedLayout(const std::string &socket, const std::string &pid,
                        const std::string &threads, const std::string &life_time) {
  return "; site notes\n#*END\n\n[scanner]\n    depth = \"3\"\n\n[vrell]\n"
         "    QXVrellPid = \"" +
         pid + "\"\n    QXVrellSocket = \"" + socket +
         "\"\n    cache max entry = \"100\"\n    entry life time = \"" + life_time +
         "\"\n    service threads = \"" + threads + "\"\n";
}

// Removes PATH from the environment for its lifetime, as cron and some init systems start
// programs, and puts it back afterwards.
struct without_path {
  std::optional<std::string> saved;
  without_path() {
    if (const char *value = getenv("PATH")) saved = value;
    unsetenv("PATH");
  }
  ~without_path() {
    if (saved) setenv("PATH", saved->c_str(), 1);
  }
};

// Reads what a child wrote with WriteReport: the status line, the daemon's output and the
// sanitizer reports.
run_result ReadReport(const std::string &path, std::string *sanitizer) {
  const std::string text = harness_read_file(path);
  run_result r;
  size_t line = text.find('\n'), separator = text.find(kReportSeparator);
  if (line == std::string::npos || separator == std::string::npos) return r;
  r.status = atoi(text.c_str());
  r.out = text.substr(line + 1, separator - line - 1);
  *sanitizer = text.substr(separator + strlen(kReportSeparator));
  return r;
}

void WriteReport(const std::string &path, const run_result &r, const daemon_under_test &d) {
  harness_write_file(path, std::to_string(r.status) + "\n" + r.out + kReportSeparator +
                               harness_sanitizer_reports(d));
}

// Holds the soft file-size limit of this process, and so of every daemon it starts, at bytes
// for its lifetime. Starting one under it writes nothing here but small files.
struct file_size_limit {
  struct rlimit saved;
  explicit file_size_limit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~file_size_limit() { setrlimit(RLIMIT_FSIZE, &saved); }
};

// The temporary files of a save left in directory.
std::vector<std::string> TemporaryFiles(const std::string &directory) {
  std::vector<std::string> found;
  DIR *dir = opendir(directory.c_str());
  while (struct dirent *e = dir != nullptr ? readdir(dir) : nullptr) {
    const std::string name = e->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) found.push_back(name);
  }
  if (dir != nullptr) closedir(dir);
  return found;
}

// Leaves a socket node without a listener at path, as a killed daemon does.
void MakeStaleSocket(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << path;
  close(fd);
}

// Sets or clears the immutable attribute, which stops even root from writing. Returns false
// where the file system or the privileges do not allow it.
bool SetImmutable(const std::string &path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int attributes = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &attributes) == 0;
  if (ok) {
    attributes = on ? attributes | FS_IMMUTABLE_FL : attributes & ~FS_IMMUTABLE_FL;
    ok = ioctl(fd, FS_IOC_SETFLAGS, &attributes) == 0;
  }
  close(fd);
  return ok;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(harness_init(&d_)); }

  void TearDown() override {
    for (const std::string &path : immutable_) SetImmutable(path, false);
    for (const std::string &path : mounts_) umount2(path.c_str(), MNT_DETACH);
    if (d_.pid > 0) {
      EXPECT_EQ(harness_stop(&d_), 0);
    }
    EXPECT_EQ(harness_sanitizer_reports(d_), "");
    harness_cleanup(&d_);
  }

  run_result Run(const std::vector<std::string> &args) { return harness_run(d_, args); }
  run_result RunOnConfig(const std::vector<std::string> &args) {
    std::vector<std::string> all = {"-c", d_.conf_path};
    all.insert(all.end(), args.begin(), args.end());
    return harness_run(d_, all);
  }

  // Starts the daemon with args, expects exactly expected_out from the start-up, and stops it
  // again with status 0, leaving neither socket node nor pid file.
  void ExpectStarts(const std::vector<std::string> &args, const std::string &expected_out,
                    const std::string &label) {
    std::string why;
    ASSERT_TRUE(harness_start(&d_, args, &why)) << label << ": " << why;
    EXPECT_EQ(d_.launcher.status, 0) << label;
    EXPECT_EQ(d_.launcher.out, expected_out) << label;
    EXPECT_EQ(harness_stop(&d_), 0) << label;
    EXPECT_FALSE(harness_exists(d_.socket_path)) << label;
    EXPECT_FALSE(harness_exists(d_.pid_path)) << label;
  }

  // Makes path unwritable for this process: the immutable attribute, else a read-only bind
  // mount of its directory. Returns false when neither is possible here.
  bool MakeUnwritable(const std::string &path) {
    if (geteuid() != 0) return chmod(path.c_str(), 0444) == 0;
    if (SetImmutable(path, true)) {
      immutable_.push_back(path);
      return true;
    }
    std::string dir = path.substr(0, path.rfind('/'));
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      mounts_.push_back(dir);
      return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    }
    return false;
  }

  // The unprivileged user's own directory inside the test directory, made on the first call;
  // the test directory is opened to that user.
  std::string NobodyDir() {
    const std::string dir = d_.dir + "/nobody";
    if (!harness_exists(dir)) {
      EXPECT_EQ(chmod(d_.dir.c_str(), 0755), 0);
      EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
      EXPECT_EQ(chown(dir.c_str(), kNobody, kNobody), 0);
    }
    return dir;
  }

  // Runs the daemon to its end with args as the unprivileged user, from NobodyDir. A pid file
  // there names the child that runs the daemon, a live process of the same user, so a start
  // that gets past the save ends there. Returns the run; status kChildCannot when the user
  // cannot be taken on. Only for root.
  run_result RunAsNobody(const std::vector<std::string> &args) {
    daemon_under_test own = d_;
    own.dir = NobodyDir();
    const std::string report = own.dir + "/report";
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        _exit(kChildCannot);
      }
      harness_write_file(own.dir + "/vrell.pid", std::to_string(getpid()));
      WriteReport(report, harness_run(own, args), own);
      _exit(0);
    }
    run_result r;
    int status = harness_wait_exit(child, 60 * 1000);
    if (status != 0) {
      r.status = status == kChildCannot ? kChildCannot : -1;
      return r;
    }
    std::string sanitizer;
    r = ReadReport(report, &sanitizer);
    EXPECT_EQ(sanitizer, "");
    unlink(report.c_str());
    return r;
  }

  daemon_under_test d_;
  std::vector<std::string> immutable_;
  std::vector<std::string> mounts_;
};

TEST_F(StartupTest, HelpWinsOverEverythingElseAndTheVersionOverTheRest) {
  harness_write_config(d_, {});
  const std::vector<std::vector<std::string>> cases = {
      {"-h"},
      {"--help"},
      {"-h", "-c", d_.dir + "/missing.ini"},
      {"-t", "300", "-m", "-1", "--help"},
      {"-x", "--bogus", "-h"},
      {"-c", d_.conf_path, "-v", "-h"},
      {"-h", "-c"},
      {"--version", "-h"},
  };
  for (const auto &args : cases) {
    run_result r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, kUsage) << args[0];
  }
  // The version wins over everything but help, the mandatory file included.
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--version"}, {"-f", "--vers", "-t", "300"}, {"-c", d_.conf_path, "--version"}}) {
    run_result r = Run(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, "vrell " VRELL_VERSION "\n") << args[0];
  }
  run_result cli = harness_run_program(d_, VRELL_CLI_BINARY, {"--version", "status"});
  EXPECT_EQ(cli.status, 0);
  EXPECT_EQ(cli.out, "vrell-cli " VRELL_VERSION "\n");
  EXPECT_FALSE(harness_exists(d_.socket_path));
}

TEST_F(StartupTest, TheConfigurationFileIsMandatoryAndMustBeReadableAndWritable) {
  const std::string missing_config = std::string(VRELL_BINARY) +
                                     ": Missing config file argument\nSee " + VRELL_BINARY +
                                     " --help for more details\n";
  for (const auto &args : std::vector<std::vector<std::string>>{{}, {"-t", "5"}, {"-c"}}) {
    run_result r = Run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, missing_config);
    if (!args.empty() && args[0] == "-c") {
      EXPECT_NE(r.err.find("requires an argument"), std::string::npos) << r.err;
    }
  }

  const std::string absent = d_.dir + "/absent.ini";
  run_result r = Run({"-c", absent});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Invalid configuration file (" + absent + "). Check permission\n");

  // Readable but not writable: refused even without the save option.
  const std::string dir = d_.dir + "/conf";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string locked = dir + "/vrell.ini";
  harness_write_file(locked, "[vrell]\n");
  if (!MakeUnwritable(locked)) {
    GTEST_SKIP() << "cannot make a file unwritable here (no immutable attribute, no bind mount)";
  }
  ASSERT_NE(access(locked.c_str(), W_OK), 0);
  r = Run({"-c", locked});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Invalid configuration file (" + locked + "). Check permission\n");
  EXPECT_FALSE(harness_exists(d_.socket_path));
}

TEST_F(StartupTest, CommandLineValuesAreValidatedAtTheirBounds) {
  const std::string &dir = d_.dir;
  const std::string stale = dir + "/stale.sock", file = dir + "/file";
  MakeStaleSocket(stale);
  harness_write_file(file, "x");
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: admitted, and saved with -v as key = value
    std::string key = "";
    std::string value = "";
  } cases[] = {
      {{"-t", "4"}, "Invalid cache thread count (4). Min 5, Max 25"},
      {{"-t", "5"}, "", "service threads", "5"},
      {{"-t", "25"}, "", "service threads", "25"},
      {{"-t", "26"}, "Invalid cache thread count (26). Min 5, Max 25"},
      {{"--threads=261"}, "", "service threads", "5"},
      {{"-t", "-1"}, "Invalid cache thread count (255). Min 5, Max 25"},
      {{"-m", "49"}, "Invalid cache capacity count (49). Min 50, Max 1024"},
      {{"-m", "50"}, "", "cache max entry", "50"},
      {{"--max-entry", "1024"}, "", "cache max entry", "1024"},
      {{"-m", "1025"}, "Invalid cache capacity count (1025). Min 50, Max 1024"},
      {{"-m", "-1"}, "Invalid cache capacity count (4294967295). Min 50, Max 1024"},
      {{"-l", "0"}, "", "entry life time", "0"},
      {{"-l3600"}, "", "entry life time", "3600"},
      {{"-l", "3601"}, "Invalid entry life time (3601). Min 0, Max 3600"},
      {{"-s", "run/vrell.sock"}, "Invalid socket path. Must start with '/'"},
      {{"-s", ""}, "Invalid socket path. Must start with '/'"},
      {{"-s", stale}, "Socket already opened at path (" + stale + ")"},
      {{"-s", file}, "Non-socket file exists at path (" + file + ")"},
      {{"-s", dir + "/none/s"}, "Invalid socket path (" + dir + "/none/s)"},
      {{"-s", file + "/s"}, "Invalid socket path (" + file + "/s)"},
      {{"-s", dir + "/other.sock"}, "", "QXVrellSocket", dir + "/other.sock"},
      {{"-p", "vrell.pid"}, "Invalid pid file path (vrell.pid)"},
      {{"-p", file}, "File already exists at path (" + file + ")"},
      {{"-p", dir + "/none/p"}, "Invalid pid file path (" + dir + "/none/p)"},
      {{"--pid-file", dir + "/other.pid"}, "", "QXVrellPid", dir + "/other.pid"},
      // The first refusal in option order wins, whatever the order on the command line.
      {{"-l", "9999", "-t", "1"}, "Invalid cache thread count (1). Min 5, Max 25"},
  };
  for (const Case &c : cases) {
    const std::string label = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    harness_write_config(d_, {});
    if (!c.error.empty()) {
      run_result r = RunOnConfig(c.args);
      EXPECT_EQ(r.status, 1) << label;
      EXPECT_EQ(r.out, "Error: " + c.error + "\n") << label;
      EXPECT_FALSE(harness_exists(d_.socket_path)) << label;
      continue;
    }
    daemon_under_test saved = d_;
    if (c.key == "QXVrellSocket") d_.socket_path = c.value;
    if (c.key == "QXVrellPid") d_.pid_path = c.value;
    std::vector<std::string> args = c.args;
    args.push_back("-v");
    ExpectStarts(args, "", label);
    std::string text = harness_read_file(d_.conf_path);
    EXPECT_NE(text.find("    " + c.key + " = \"" + c.value + "\"\n"), std::string::npos)
        << label << "\n"
        << text;
    d_.socket_path = saved.socket_path;
    d_.pid_path = saved.pid_path;
    if (HasFailure()) return;
  }
}

TEST_F(StartupTest, MissingKeysWarnOnceNamingTheLastOne) {
  const std::string warning = "CONF WARNING: '%s' Configuration missing. using default\n";
  auto expected = [&](const std::string &key) {
    std::string text = warning;
    return text.replace(text.find("%s"), 2, key);
  };
  harness_config no_tail;
  no_tail.threads = "";
  no_tail.life_time = "";
  harness_config no_capacity;
  no_capacity.max_entries = "";
  harness_config threads_minus_one;
  threads_minus_one.threads = "-1";
  harness_config life_minus_one;
  life_minus_one.life_time = "-1";
  life_minus_one.threads = "";
  harness_config no_socket;
  no_socket.omit_socket = true;
  struct Case {
    harness_config config;
    std::vector<std::string> args;
    std::string key;
  } cases[] = {
      {no_tail, {}, "vrell:entry life time"},
      {no_capacity, {}, "vrell:cache max entry"},
      {threads_minus_one, {}, "vrell:service threads"},
      {life_minus_one, {}, "vrell:entry life time"},
      {no_socket, {"-s", d_.socket_path}, "vrell:QXVrellSocket"},
  };
  for (const Case &c : cases) {
    harness_write_config(d_, c.config);
    ExpectStarts(c.args, expected(c.key), c.key);
    if (HasFailure()) return;
  }

  // Only the section header: every default, and a save writes all five keys. The warning is
  // printed once, neither lost nor doubled by the detaching fork.
  harness_write_file(d_.conf_path, "; kept\n#*END\n[vrell]\n");
  ExpectStarts({"-s", d_.socket_path, "-p", d_.pid_path, "-v"}, expected("vrell:entry life time"),
               "header only");
  std::string text = harness_read_file(d_.conf_path);
  EXPECT_EQ(text.rfind("; kept\n#*END\n", 0), 0u) << text;
  for (const std::string &line :
       {"QXVrellSocket = \"" + d_.socket_path + "\"", "QXVrellPid = \"" + d_.pid_path + "\"",
        std::string("service threads = \"10\""), std::string("cache max entry = \"100\""),
        std::string("entry life time = \"10\"")}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

TEST_F(StartupTest, TheSocketRefusesWhatTheFileMaySay) {
  // File values are not range-tested; the socket's backlog and path limits catch them.
  std::string base = d_.dir + "/";
  std::string path107 = base + std::string(107 - base.size(), 's');
  struct Case {
    std::string threads;
    std::string socket_path;
    bool starts;
  } cases[] = {
      {"300", "", false},          {"4", "", false}, {"26", "", false}, {"5", path107, true},
      {"5", path107 + "x", false},
  };
  for (const Case &c : cases) {
    harness_config config;
    config.threads = c.threads;
    config.socket_path = c.socket_path;
    harness_write_config(d_, config);
    std::string socket = c.socket_path.empty() ? d_.socket_path : c.socket_path;
    const std::string label = c.threads + " " + std::to_string(socket.size());
    if (c.starts) {
      std::string saved = d_.socket_path;
      d_.socket_path = socket;
      ExpectStarts({}, "", label);
      d_.socket_path = saved;
      continue;
    }
    run_result r = RunOnConfig({});
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, "Error creating server socket\n") << label;
    EXPECT_FALSE(harness_exists(socket)) << label;
    EXPECT_FALSE(harness_exists(d_.pid_path)) << label;
  }
}

TEST_F(StartupTest, CheckNamesEveryValueTheCommandLineWouldRefuseAndTheStartLogsThem) {
  const std::string &dir = d_.dir;
  const std::string socket108 = dir + "/" + std::string(107 - dir.size(), 's');
  const std::string locked = dir + "/locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  const bool can_lock =
      geteuid() != 0 ? chmod(locked.c_str(), 0555) == 0 : SetImmutable(locked, true);
  if (can_lock && geteuid() == 0) immutable_.push_back(locked);
  unsetenv("VRELL_CHECK_UNSET");
  auto with = [](std::string harness_config::*field, const std::string &value) {
    harness_config config;
    config.*field = value;
    return config;
  };
  struct Case {
    harness_config config;
    std::string line;  // empty: the file passes
  } cases[] = {
      {{}, ""},
      {with(&harness_config::threads, "4"), "service threads = \"4\": out of range, 5 to 25"},
      {with(&harness_config::threads, "300"), "service threads = \"300\": out of range, 5 to 25"},
      {with(&harness_config::threads, "261"), ""},  // read as 5, as on the command line
      {with(&harness_config::threads, " 25 "), ""},
      {with(&harness_config::max_entries, "100000"),
       "cache max entry = \"100000\": out of range, 50 to 1024"},
      {with(&harness_config::max_entries, "-5"),
       "cache max entry = \"-5\": out of range, 50 to 1024"},
      {with(&harness_config::max_entries, "-1"), ""},  // keeps the default
      {with(&harness_config::life_time, "one minute"),
       "entry life time = \"one minute\": not a number"},
      {with(&harness_config::life_time, "60s"), "entry life time = \"60s\": not a number"},
      {with(&harness_config::life_time, "3601"),
       "entry life time = \"3601\": out of range, 0 to 3600"},
      {with(&harness_config::life_time, "0"), ""},
      {with(&harness_config::socket_path, "run/vrell.sock"),
       "QXVrellSocket = \"run/vrell.sock\": not an absolute path"},
      {with(&harness_config::socket_path, dir + "/none/vrell.sock"),
       "QXVrellSocket = \"" + dir + "/none/vrell.sock\": directory " + dir +
           "/none does not exist"},
      {with(&harness_config::socket_path, socket108),
       "QXVrellSocket = \"" + socket108 + "\": longer than 107 characters"},
      {with(&harness_config::socket_path, socket108.substr(0, 107)), ""},
      {with(&harness_config::pid_path, "$(VRELL_CHECK_UNSET)/vrell.pid"),
       "QXVrellPid = \"/vrell.pid\": $(VRELL_CHECK_UNSET) is not set in the environment"},
      {with(&harness_config::pid_path, locked + "/vrell.pid"),
       can_lock
           ? "QXVrellPid = \"" + locked + "/vrell.pid\": directory " + locked + " is not writable"
           : ""},
  };
  for (const Case &c : cases) {
    harness_write_config(d_, c.config);
    const std::string before = harness_read_file(d_.conf_path);
    // The check wins over the version, and the save and the start are never reached.
    run_result r = RunOnConfig({"--version", "--check", "-v"});
    const std::string expected =
        c.line.empty() ? d_.conf_path + ": OK\n" : c.line + "\n" + d_.conf_path + ": 1 problem\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, c.line.empty() ? 0 : 1) << c.line;
    EXPECT_EQ(harness_read_file(d_.conf_path), before) << c.line;
    EXPECT_FALSE(harness_exists(d_.socket_path)) << c.line;
    EXPECT_FALSE(harness_exists(d_.pid_path)) << c.line;
    EXPECT_TRUE(TemporaryFiles(dir).empty()) << c.line;
  }

  // Every problem has its line, in the file's key order, and the count follows.
  harness_config many;
  many.threads = "4";
  many.max_entries = "49";
  many.life_time = "3601";
  harness_write_config(d_, many);
  run_result r = RunOnConfig({"--check"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "service threads = \"4\": out of range, 5 to 25\n"
            "cache max entry = \"49\": out of range, 50 to 1024\n"
            "entry life time = \"3601\": out of range, 0 to 3600\n" +
                d_.conf_path + ": 3 problems\n");
  // Help still wins; a file that the start-up refuses is refused as it does.
  EXPECT_EQ(RunOnConfig({"--check", "-h"}).out, kUsage);
  const std::string absent = dir + "/absent.ini";
  r = Run({"--check", "-c", absent});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Invalid configuration file (" + absent + "). Check permission\n");

  // The daemon starts on what it can use and logs one warning per such value in use; a value
  // the command line replaces is not one.
  harness_config starts;
  starts.max_entries = "100000";
  starts.life_time = "one minute";
  starts.threads = "300";
  harness_write_config(d_, starts);
  const std::string log = dir + "/log";
  setenv("VRELL_LOG_FILE", log.c_str(), 1);
  ExpectStarts({"-t", "5"}, "", "starts with warnings");
  unsetenv("VRELL_LOG_FILE");
  const std::string text = harness_read_file(log);
  EXPECT_EQ(text.rfind("warning: configuration: cache max entry = \"100000\": out of range, 50 "
                       "to 1024\nwarning: configuration: entry life time = \"one minute\": not "
                       "a number\ninfo: serving: ",
                       0),
            0u)
      << text;
}

TEST_F(StartupTest, SaveWritesTheEffectiveValuesAndKeepsTheRest) {
  const std::string prologue = "; Site configuration\n;   keep this text as it is\n#*END\n";
  harness_config config;
  config.extra = "\n[scanner]\n    depth = \"3\"\n";
  harness_write_config(d_, config);
  std::string text = harness_read_file(d_.conf_path);
  text.replace(0, text.find("#*END\n") + 6, prologue);
  harness_write_file(d_.conf_path, text);

  ExpectStarts({"-t", "7", "--life=30", "-v", "-m", "60"}, "", "save");
  text = harness_read_file(d_.conf_path);
  EXPECT_EQ(text.rfind(prologue, 0), 0u) << text;
  for (const std::string &line :
       {std::string("[scanner]"), std::string("depth = \"3\""),
        std::string("service threads = \"7\""), std::string("cache max entry = \"60\""),
        std::string("entry life time = \"30\""), "QXVrellSocket = \"" + d_.socket_path + "\""}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }

  // Without the save option the file stays as it is, whatever the command line says.
  ExpectStarts({"-t", "9"}, "", "no save");
  EXPECT_EQ(harness_read_file(d_.conf_path), text);

  // A directory that takes no new file: the file is rewritten in place, the same file.
  const std::string dir = d_.dir + "/conf";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string conf = dir + "/vrell.ini";
  harness_write_file(conf, text);
  const ino_t inode = Inode(conf);
  bool locked = geteuid() != 0 ? chmod(dir.c_str(), 0555) == 0 : SetImmutable(dir, true);
  if (!locked) GTEST_SKIP() << "cannot lock a directory against new files here";
  if (geteuid() == 0) immutable_.push_back(dir);
  std::string saved_conf = d_.conf_path;
  d_.conf_path = conf;
  ExpectStarts({"-v", "-t", "8"}, "", "locked directory");
  d_.conf_path = saved_conf;
  if (geteuid() != 0) chmod(dir.c_str(), 0755);
  std::string rewritten = text;
  rewritten.replace(rewritten.find("service threads = \"7\""), 21, "service threads = \"8\"");
  EXPECT_EQ(harness_read_file(conf), rewritten);
  EXPECT_EQ(Inode(conf), inode);
}

TEST_F(StartupTest, TwoSavesOfOneFileAtOnceLeaveOneWholeFile) {
  // A long prologue keeps each rewrite busy long enough for the two to overlap. A pid file that
  // names no process ends each start right after its save.
  std::string prologue = "; Site configuration\n";
  for (int i = 0; i < 500; ++i) prologue += "; note " + std::to_string(i) + " kept as it is\n";
  prologue += "#*END\n";
  harness_write_config(d_, {});
  std::string original = harness_read_file(d_.conf_path);
  original.replace(0, original.find("#*END\n") + 6, prologue);
  harness_write_file(d_.pid_path, "x");
  // Contents of different lengths: torn rewrites would mix them or cut one.
  const std::vector<std::string> small = {"-v", "-t", "5", "-m", "50", "-l", "0"};
  const std::vector<std::string> large = {"-v", "-t", "25", "-m", "1024", "-l", "3600"};
  std::vector<daemon_under_test> savers(2, d_);
  for (int i = 0; i < 2; ++i) {
    savers[i].dir = d_.dir + "/saver" + std::to_string(i);
    ASSERT_EQ(mkdir(savers[i].dir.c_str(), 0700), 0);
  }
  auto save_alone = [&](const std::vector<std::string> &args) {
    harness_write_file(d_.conf_path, original);
    EXPECT_EQ(RunOnConfig(args).status, 1);
    return harness_read_file(d_.conf_path);
  };
  const std::string saved[2] = {save_alone(small), save_alone(large)};
  ASSERT_NE(saved[0], saved[1]);
  for (const std::string &text : saved) ASSERT_EQ(text.rfind(prologue, 0), 0u);

  // Rewritten by rename, then in place: a second name for the file keeps it in place.
  for (const char *route : {"rename", "in place"}) {
    if (std::string(route) == "in place") {
      ASSERT_EQ(link(d_.conf_path.c_str(), (d_.dir + "/second-name.ini").c_str()), 0);
    }
    for (int round = 0; round < 30; ++round) {
      // Written through the inode, so the second name stays a name of the file.
      harness_write_file(d_.conf_path, original);
      ASSERT_GT(harness_launch(&savers[0], small), 0);
      ASSERT_GT(harness_launch(&savers[1], large), 0);
      for (daemon_under_test &saver : savers) {
        EXPECT_EQ(harness_wait_exit(saver.launcher_pid, 20 * 1000), 1) << route << " " << round;
        saver.launcher_pid = -1;
        EXPECT_EQ(harness_read_file(saver.dir + "/daemon.out").find("Error saving"),
                  std::string::npos)
            << route << " " << round;
      }
      const std::string text = harness_read_file(d_.conf_path);
      ASSERT_TRUE(text == saved[0] || text == saved[1])
          << route << ", round " << round << ": a torn file of " << text.size() << " bytes:\n"
          << text.substr(prologue.size());
    }
  }

  // While another holds the lock a save waits; after a rename over the name it locks the new
  // file; and one that waits too long fails and leaves the file alone.
  auto lock = [](const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(fd, LOCK_EX), 0);
    return fd;
  };
  auto unchanged_for_a_while = [&](const std::string &text) {
    return !harness_wait_for([&] { return harness_read_file(d_.conf_path) != text; }, 300);
  };
  ASSERT_EQ(unlink((d_.dir + "/second-name.ini").c_str()), 0);
  harness_write_file(d_.conf_path, original);
  int held = lock(d_.conf_path);
  ASSERT_GT(harness_launch(&savers[0], small), 0);
  EXPECT_TRUE(unchanged_for_a_while(original));
  const std::string renamed = d_.dir + "/renamed.ini";
  harness_write_file(renamed, original);
  ASSERT_EQ(rename(renamed.c_str(), d_.conf_path.c_str()), 0);
  int held_new = lock(d_.conf_path);
  close(held);
  EXPECT_TRUE(unchanged_for_a_while(original)) << "the save took the lock of a replaced file";
  close(held_new);
  EXPECT_EQ(harness_wait_exit(savers[0].launcher_pid, 20 * 1000), 1);
  savers[0].launcher_pid = -1;
  EXPECT_EQ(harness_read_file(d_.conf_path), saved[0]);

  harness_write_file(d_.conf_path, original);
  held = lock(d_.conf_path);
  run_result late = RunOnConfig(small);
  close(held);
  EXPECT_EQ(late.status, 1);
  EXPECT_NE(late.out.find("Error saving configuration to file (" + d_.conf_path + ")"),
            std::string::npos)
      << late.out;
  EXPECT_EQ(harness_read_file(d_.conf_path), original);
  for (daemon_under_test &saver : savers) EXPECT_EQ(harness_sanitizer_reports(saver), "");
}

TEST_F(StartupTest, ASaveBeyondTheFileSizeLimitFailsAndTheStartGoesOn) {
  // Notes above the marker make the file, old and new, larger than the limit.
  harness_write_config(d_, {});
  std::string notes;
  for (int i = 0; i < 60; ++i) notes += "; site note " + std::to_string(i) + ", kept as it is\n";
  const std::string original = notes + harness_read_file(d_.conf_path);
  harness_write_file(d_.conf_path, original);
  const std::string failed = "Error saving configuration to file (" + d_.conf_path + ")\n";
  // Through a temporary file, then in place, as a second name of the file makes it.
  for (const std::string route : {"rename", "in place"}) {
    if (route == "in place") {
      ASSERT_EQ(link(d_.conf_path.c_str(), (d_.dir + "/second.ini").c_str()), 0);
    }
    {
      file_size_limit limit(1024);
      ExpectStarts({"-v", "-t", "7"}, failed, route);
    }
    EXPECT_EQ(harness_read_file(d_.conf_path), original) << route;
    EXPECT_EQ(TemporaryFiles(d_.dir), std::vector<std::string>{}) << route;
  }
}

TEST_F(StartupTest, TheFileNamedIsTheFileReadAndWhatCannotBeReadIsNeverSaved) {
  const std::string original = SavedLayout(d_.socket_path, d_.pid_path, "7", "10");

  // Without PATH the file named is read, by its absolute name or relative to the working
  // directory, and a save keeps the rest of it.
  for (const std::string &name : {d_.conf_path, std::string("vrell.ini")}) {
    harness_write_file(d_.conf_path, original);
    const std::string absolute = d_.conf_path;
    d_.conf_path = name;
    {
      without_path no_path;
      ExpectStarts({"-v", "-l", "30"}, "", "without PATH: " + name);
    }
    d_.conf_path = absolute;
    EXPECT_EQ(harness_read_file(d_.conf_path), SavedLayout(d_.socket_path, d_.pid_path, "7", "30"))
        << name;
  }

  // A line beginning with 0x1A ends the reading: the start takes what was read before it (the
  // guard finds this pid file taken), and the save, which would lose the rest, is refused.
  const std::string stopped = original + "\x1a\n[later]\n    kept = \"1\"\n";
  harness_write_file(d_.conf_path, stopped);
  harness_write_file(d_.pid_path, std::to_string(getpid()));
  run_result r = RunOnConfig({"-v", "-t", "9"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Error saving configuration to file (" + d_.conf_path +
                       ")\nPid file exists and contains valid pid\n");
  EXPECT_EQ(harness_read_file(d_.conf_path), stopped);
  ASSERT_EQ(unlink(d_.pid_path.c_str()), 0);

  // Only a regular file, links followed, is a configuration file; anything else is refused at
  // once and left alone: a directory (also with -v), a FIFO, whose open would wait for a writer
  // for ever, a device that would be read for ever, a socket, and a link to one of them.
  const std::string directory = d_.dir + "/conf.d";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  harness_write_file(directory + "/kept", original);
  const std::string fifo = d_.dir + "/conf.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_node = d_.dir + "/conf.sock";
  MakeStaleSocket(socket_node);
  const std::string fifo_link = d_.dir + "/fifo-link.ini";
  ASSERT_EQ(symlink(fifo.c_str(), fifo_link.c_str()), 0);
  const std::vector<std::string> refused[] = {
      {"-c", directory, "-v"}, {"-c", fifo},      {"-c", "/dev/zero"},
      {"-c", socket_node},     {"-c", fifo_link},
  };
  for (const std::vector<std::string> &args : refused) {
    r = Run(args);
    EXPECT_EQ(r.status, 1) << args[1];
    EXPECT_EQ(r.out, "Invalid configuration file (" + args[1] + "). Check permission\n");
  }
  EXPECT_EQ(harness_read_file(directory + "/kept"), original);
  EXPECT_FALSE(harness_exists(d_.socket_path));
  // A link to a regular file is that file.
  harness_write_file(d_.conf_path, original);
  const std::string regular = d_.conf_path, link = d_.dir + "/link.ini";
  ASSERT_EQ(symlink(regular.c_str(), link.c_str()), 0);
  d_.conf_path = link;
  ExpectStarts({}, "", "a link to the file");
  d_.conf_path = regular;

  // A file its user may only write is refused before anything is saved.
  harness_write_file(d_.conf_path, original);
  ASSERT_EQ(chmod(d_.conf_path.c_str(), 0200), 0);
  if (geteuid() == 0) {
    const std::string conf = d_.dir + "/nobody.ini";
    ASSERT_EQ(rename(d_.conf_path.c_str(), conf.c_str()), 0);
    ASSERT_EQ(chown(conf.c_str(), kNobody, kNobody), 0);
    r = RunAsNobody({"-c", conf, "-v"});
    if (r.status == kChildCannot) GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(r.out, "Invalid configuration file (" + conf + "). Check permission\n");
    ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    EXPECT_EQ(harness_read_file(conf), original);
  } else {
    r = RunOnConfig({"-v"});
    EXPECT_EQ(r.out, "Invalid configuration file (" + d_.conf_path + "). Check permission\n");
    ASSERT_EQ(chmod(d_.conf_path.c_str(), 0600), 0);
    EXPECT_EQ(harness_read_file(d_.conf_path), original);
  }
  EXPECT_EQ(r.status, 1);
}

TEST_F(StartupTest, AnUnprivilegedSaveInARootOwnedDirectoryRewritesItsOwnFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to set up a directory of another owner";
  // The service user's own file in root's directory, which takes no new file from that user.
  const std::string own_dir = NobodyDir();
  const std::string etc = d_.dir + "/etc", conf = etc + "/vrell.ini";
  const std::string socket = own_dir + "/vrell.sock", pid = own_dir + "/vrell.pid";
  ASSERT_EQ(mkdir(etc.c_str(), 0755), 0);
  harness_write_file(conf, SavedLayout(socket, pid, "10", "10"));
  ASSERT_EQ(chown(conf.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(conf.c_str(), 0640), 0);
  const ino_t inode = Inode(conf);

  run_result r = RunAsNobody({"-c", conf, "-v", "-t", "9"});
  if (r.status == kChildCannot) GTEST_SKIP() << "cannot run as an unprivileged user here";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Pid file exists and contains valid pid\n");
  EXPECT_EQ(harness_read_file(conf), SavedLayout(socket, pid, "9", "10"));
  struct stat st;
  ASSERT_EQ(stat(conf.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, inode);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Runs in a child with a private mount namespace: mounts a small tmpfs at mount_point with a
// configuration file of two names there, which a save rewrites in place, once with room and
// once with the disk full. A live pid in the pid file makes each start end right after the
// save. Writes what it saw to report.
int InPlaceOnAFullDisk(daemon_under_test d, const std::string &mount_point,
                       const std::string &report) {
  if (unshare(CLONE_NEWNS) != 0) return kChildCannot;
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kChildCannot;
  if (mount("vrell-full", mount_point.c_str(), "tmpfs", 0, "size=256k") != 0) {
    return kChildCannot;
  }
  d.conf_path = mount_point + "/vrell.ini";
  const std::string other_name = mount_point + "/other-name.ini";
  // Key lines above the marker are written twice by a save, so the file outgrows its first
  // page and the rewrite needs new space.
  std::string prologue = "[scanner]\n";
  for (int i = 0; i < 150; ++i) prologue += "    key" + std::to_string(i) + " = value\n";
  harness_write_config(d, harness_config());
  std::string text = harness_read_file(d.conf_path);
  text.replace(0, text.find("#*END\n"), prologue);
  harness_write_file(d.conf_path, text);
  const std::string original = harness_read_file(d.conf_path);
  std::string seen;
  if (link(d.conf_path.c_str(), other_name.c_str()) != 0) return kChildCannot;
  harness_write_file(d.pid_path, std::to_string(getppid()));
  const std::vector<std::string> save = {"-c", d.conf_path, "--save", "-t", "7"};

  run_result roomy = harness_run(d, save);
  seen += "roomy " + std::to_string(roomy.status) + " " + roomy.out;
  const std::string saved = harness_read_file(other_name);
  seen += original.size() < 4096 && saved.size() > 4096 &&
                  saved.find("service threads = \"7\"") != std::string::npos
              ? "saved through the other name\n"
              : "not saved\n";

  harness_write_file(d.conf_path, original);
  seen += harness_fill_disk(mount_point) ? "full\n" : "not full\n";
  run_result full = harness_run(d, save);
  seen += "full " + std::to_string(full.status) + " " + full.out;
  seen += harness_read_file(d.conf_path) == original ? "old file intact\n" : "old file changed\n";
  seen += Inode(d.conf_path) == Inode(other_name) ? "one file\n" : "two files\n";
  harness_write_file(report, seen + kReportSeparator + harness_sanitizer_reports(d));
  return 0;
}

TEST_F(StartupTest, AnInPlaceSaveOntoAFullDiskLeavesTheFileIntact) {
  const std::string mount_point = d_.dir + "/small", report = d_.dir + "/full-disk.report";
  ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(InPlaceOnAFullDisk(d_, mount_point, report));
  const int status = harness_wait_exit(child, 120 * 1000);
  if (status == kChildCannot) {
    GTEST_SKIP() << "no tmpfs can be mounted here: that needs root and a private mount namespace";
  }
  ASSERT_EQ(status, 0);
  const std::string conf = mount_point + "/vrell.ini";
  const std::string refused = "Pid file exists and contains valid pid\n";
  EXPECT_EQ(harness_read_file(report),
            "roomy 1 " + refused + "saved through the other name\nfull\nfull 1 " +
                "Error saving configuration to file (" + conf + ")\n" + refused +
                "old file intact\none file\n" + kReportSeparator);
}

TEST_F(StartupTest, EveryFailureAfterTheSocketExistsRemovesItsNode) {
  // A preloaded library makes one call fail; the pid file's own failure is a daemon test.
  struct Case {
    const char *fail;
    bool detached;    // the failure comes in the detached child, after the launcher's exit 0
    const char *out;  // the launcher's output
  } cases[] = {
      {"sigaction", false, "Daemonize failed. Exit...\n"},  // installing the handlers
      // Detaching has made standard output /dev/null, and puts it back to report the failure.
      {"fork", false, "Daemonize failed. Exit...\n"},
      {"pthread_create:1", true, ""},  // the exit helper
      {"pthread_create:2", true, ""},  // the pool's first thread, whoever starts it
      {"pthread_create:3", true, ""},  // a later one of the pool's set-up
  };
  harness_write_config(d_, {});
  for (const Case &c : cases) {
    pid_t launcher;
    {
      // The sanitizer runtime then no longer comes first; it works all the same.
      const char *asan = getenv("ASAN_OPTIONS");
      std::string saved_asan = asan != nullptr ? asan : "";
      setenv("ASAN_OPTIONS",
             (saved_asan + (asan != nullptr ? ":" : "") + "verify_asan_link_order=0").c_str(), 1);
      setenv("LD_PRELOAD", VRELL_FAIL_PRELOAD, 1);
      setenv("VRELL_FAIL", c.fail, 1);
      launcher = harness_launch(&d_, {});
      unsetenv("LD_PRELOAD");
      unsetenv("VRELL_FAIL");
      if (asan != nullptr) {
        setenv("ASAN_OPTIONS", saved_asan.c_str(), 1);
      } else {
        unsetenv("ASAN_OPTIONS");
      }
    }
    ASSERT_GT(launcher, 0) << c.fail;
    int status = harness_wait_exit(launcher, 20000);
    d_.launcher_pid = -1;
    if (c.detached) {
      EXPECT_EQ(status, 0) << c.fail;
      std::vector<pid_t> children = harness_children();
      ASSERT_EQ(children.size(), 1u) << c.fail;
      status = harness_wait_exit(children[0], 20000);
    }
    EXPECT_EQ(status, 1) << c.fail;
    EXPECT_EQ(harness_read_file(d_.dir + "/daemon.out"), c.out) << c.fail;
    EXPECT_FALSE(harness_exists(d_.socket_path)) << c.fail;
    EXPECT_FALSE(harness_exists(d_.pid_path)) << c.fail;
    EXPECT_TRUE(harness_children().empty()) << c.fail;
  }
}

}  // namespace
