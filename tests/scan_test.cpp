// SPDX-License-Identifier: BSD-2-Clause
// vrell-scan in front of the real engine: ClamAV's clamd on a database that knows the EICAR test
// file, and the vrell daemon, each started by the test on its own socket. A verdict comes from
// the cache only for the content that was scanned; without the daemon every file is still
// scanned, and without clamd nothing is reported clean that was not.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

#ifdef VRELL_SCAN_BINARY

namespace {

long ms_since(const struct timespec &then) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (now.tv_sec - then.tv_sec) * 1000 + (now.tv_nsec - then.tv_nsec) / 1000000;
}

class ScanTest : public harness_fixture {
 protected:
  void SetUp() override {
    config_.life_time = "3600";
    harness_fixture::SetUp();
    if (harness_clamd_binary().empty()) {
      GTEST_SKIP() << "clamd is not installed (Debian: clamav-daemon); tools/test.sh installs it";
    }
    tree_ = d_.dir + "/tree";
    ASSERT_EQ(mkdir(tree_.c_str(), 0700), 0);
    std::string why;
    ASSERT_TRUE(harness_start(&d_, {}, &why)) << why;
    ASSERT_TRUE(harness_start_clamd(d_, &engine_, &why)) << why;
  }

  void TearDown() override {
    if (engine_.pid > 0) {
      EXPECT_EQ(harness_stop_clamd(&engine_), 0);
    }
    harness_fixture::TearDown();
  }

  // Writes a file of the tree (relative to it); returns its absolute path.
  std::string write(const std::string &name, const std::string &content) {
    std::string path = tree_ + "/" + name;
    harness_write_file(path, content);
    clock_gettime(CLOCK_REALTIME, &written_);
    return path;
  }

  // Waits until every file written so far is more than 2 s old, as a file must be for its
  // verdict to be stored. The kernel stamps a file no later than the clock read after it.
  void age() {
    ASSERT_TRUE(harness_wait_for([&] { return ms_since(written_) > 2100; }, 10000));
  }

  // Runs vrell-scan on the test's daemon and clamd; without_override, when the test runs as
  // root, takes away root's right to read any file, so that a mode of 000 holds it back too.
  run_result scan(const std::vector<std::string> &paths, bool without_override = false) {
    std::string program = VRELL_SCAN_BINARY;
    std::vector<std::string> args;
    if (without_override && geteuid() == 0) {
      args = {"--bounding-set=-dac_override,-dac_read_search", program};
      program = "/usr/bin/setpriv";
    }
    args.insert(args.end(), {"-s", d_.socket_path, "--clamd", engine_.socket_path});
    args.insert(args.end(), paths.begin(), paths.end());
    run_result r = harness_run_program(d_, program, args, 120);
    // The time taken is the one line that differs between runs.
    size_t time = r.out.find("\nTime: ");
    if (time != std::string::npos) r.out.erase(time + 1);
    return r;
  }

  // One counter of the daemon's "S" reply; -1 when it is not there.
  long counter(const std::string &name) {
    std::string reply = harness_request(d_, "S\r\n");
    size_t at = reply.find(";" + name + "=");
    if (at == std::string::npos) at = reply.find(" " + name + "=");
    return at == std::string::npos ? -1 : atol(reply.c_str() + at + name.size() + 2);
  }

  std::string tree_;
  engine_under_test engine_;
  struct timespec written_ = {};
};

std::string found(const std::string &path) {
  return path + ": " + HARNESS_EICAR_NAME + ".UNOFFICIAL FOUND\n";
}

int write_all(int fd, const std::string &text) {
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

std::string ok(const std::string &path) {
  return path + ": OK\n";
}

std::string summary(int scanned, int cached, int infected, int errors, int skipped) {
  return "\n----------- SCAN SUMMARY -----------\nScanned files: " + std::to_string(scanned) +
         "\nFrom cache: " + std::to_string(cached) +
         "\nInfected files: " + std::to_string(infected) +
         "\nTotal errors: " + std::to_string(errors) +
         "\nSkipped files: " + std::to_string(skipped) + "\n";
}

TEST_F(ScanTest, ReportsATreeAndAnswersItFromTheCacheWithClamdStopped) {
  const std::string a = write("a.txt", "plain text\n"), eicar = write("eicar.com", HARNESS_EICAR);
  ASSERT_EQ(mkdir((tree_ + "/sub").c_str(), 0700), 0);
  const std::string b = write("sub/b.txt", "more text\n"),
                    c = write("sub/c.bin", std::string(100000, '\x01'));
  // A link inside the tree is not followed: its file has a line of its own, once.
  ASSERT_EQ(symlink(eicar.c_str(), (tree_ + "/sub/link").c_str()), 0);
  age();
  const std::string lines = ok(a) + found(eicar) + ok(b) + ok(c);

  run_result first = scan({tree_});
  EXPECT_EQ(first.status, 1) << first.err;
  EXPECT_EQ(first.out, lines + summary(4, 0, 1, 0, 0));
  EXPECT_EQ(first.err, "");
  EXPECT_EQ(counter("entries"), 4);

  // clamd gone, every file is still answered: the infected one by the cache, without its name.
  ASSERT_EQ(harness_stop_clamd(&engine_), 0);
  long hits = counter("hits");
  run_result second = scan({tree_});
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_EQ(second.out,
            ok(a) + eicar + ": cached-infected FOUND\n" + ok(b) + ok(c) + summary(0, 4, 1, 0, 0));
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(counter("hits"), hits + 4);
}

TEST_F(ScanTest, ScansAFileRewrittenUnderItsOldModificationTime) {
  const std::string doc = write("doc.txt", "quarterly report\n");
  age();
  run_result first = scan({doc});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, ok(doc) + summary(1, 0, 0, 0, 0));
  struct stat before;
  ASSERT_EQ(stat(doc.c_str(), &before), 0);

  // New content in the same second, the modification time set back to the scanned one's: only
  // the status-change time tells, and the cache does not answer for the new bytes.
  int fd = open(doc.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write_all(fd, HARNESS_EICAR), 0);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(futimens(fd, times), 0);
  close(fd);
  run_result second = scan({doc});
  EXPECT_EQ(second.status, 1) << second.err;
  EXPECT_EQ(second.out, found(doc) + summary(1, 0, 1, 0, 0));
}

TEST_F(ScanTest, StoresNoVerdictOnAFileWrittenLessThanTwoSecondsBeforeItsScan) {
  std::string fresh;
  // Two scans right after the write; a machine so starved that they end 2 s after it has
  // proved nothing, and the file is written anew.
  for (int attempt = 0;; ++attempt) {
    ASSERT_LT(attempt, 3) << "no two scans within 2 s of a write";
    fresh = write("fresh.txt", "still being written " + std::to_string(attempt) + "\n");
    run_result first = scan({fresh}), second = scan({fresh});
    if (ms_since(written_) >= 2000) continue;
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, ok(fresh) + summary(1, 0, 0, 0, 0));
    EXPECT_EQ(second.out, ok(fresh) + summary(1, 0, 0, 0, 0));
    EXPECT_EQ(counter("entries"), 0);
    break;
  }
  age();
  EXPECT_EQ(scan({fresh}).out, ok(fresh) + summary(1, 0, 0, 0, 0));
  EXPECT_EQ(scan({fresh}).out, ok(fresh) + summary(0, 1, 0, 0, 0));
}

TEST_F(ScanTest, StaysRightWithoutTheDaemonAndReportsErrorsWithoutClamd) {
  const std::string a = write("a.txt", "plain text\n"), eicar = write("eicar.com", HARNESS_EICAR);
  age();
  ASSERT_EQ(harness_stop(&d_), 0);
  run_result alone = scan({tree_});
  EXPECT_EQ(alone.status, 1);
  EXPECT_EQ(alone.out, ok(a) + found(eicar) + summary(2, 0, 1, 0, 0));
  EXPECT_EQ(alone.err, "vrell-scan: warning: the vrell daemon at " + d_.socket_path +
                           ": cannot connect to the daemon's socket; every file is scanned by "
                           "clamd\n");

  // A daemon again, its cache empty but for the two files; then clamd stops and a third comes.
  std::string why;
  ASSERT_TRUE(harness_start(&d_, {}, &why)) << why;
  EXPECT_EQ(scan({tree_}).status, 1);
  ASSERT_EQ(harness_stop_clamd(&engine_), 0);
  const std::string late = write("late.txt", "new\n");
  run_result without = scan({tree_});
  EXPECT_EQ(without.status, 2);
  EXPECT_EQ(without.out, ok(a) + eicar + ": cached-infected FOUND\n" + late +
                             ": Can't connect to clamd at " + engine_.socket_path +
                             ": No such file or directory ERROR\n" + summary(0, 2, 1, 1, 0));
}

TEST_F(ScanTest, ReportsBadInputOnALineOfItsOwnAndNeverBlocks) {
  const std::string plain = write("plain.txt", "text\n"), locked = write("locked.txt", "secret\n"),
                    inner = write("new\nline.txt", "two lines\n"),
                    trailing = write("ends-in-newline\n", "text\n");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(mkfifo((tree_ + "/fifo").c_str(), 0600), 0);
  // A path longer than a request carries: 1023 characters and more.
  std::string deep = tree_;
  for (int level = 0; level < 5; ++level) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  }
  const std::string far = deep + "/far.txt";
  harness_write_file(far, "far away\n");
  clock_gettime(CLOCK_REALTIME, &written_);
  const std::string link = d_.dir + "/link", gone = d_.dir + "/gone";
  ASSERT_EQ(symlink(plain.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink(gone.c_str(), (d_.dir + "/dangling").c_str()), 0);
  age();

  // The tree; a link named on the command line, relative: followed, and keyed by its own
  // absolute path; a device; a path that is not there, and a link to it.
  const std::vector<std::string> paths = {tree_, "./link", "/dev/null", gone, d_.dir + "/dangling"};
  const std::string tree_lines = ok(far) + ok(trailing) + tree_ + "/fifo: Not a regular file " +
                                 "SKIPPED\n" + locked + ": Permission denied ERROR\n" + ok(inner) +
                                 ok(plain);
  const std::string tail = ok(link) + "/dev/null: Not a regular file SKIPPED\n" + gone +
                           ": No such file or directory ERROR\n" + d_.dir +
                           "/dangling: No such file or directory ERROR\n";
  run_result first = scan(paths, true);
  EXPECT_EQ(first.status, 2) << first.err;
  EXPECT_EQ(first.out, tree_lines + tail + summary(5, 0, 0, 3, 2));
  // Stored: the plain file, its link and the file whose name holds a newline; not the path that
  // ends in one, which the daemon would read as another, nor the one too long to send.
  EXPECT_EQ(counter("entries"), 3);
  run_result second = scan(paths, true);
  EXPECT_EQ(second.out, tree_lines + tail + summary(2, 3, 0, 3, 2));
}

TEST_F(ScanTest, NamesTheConfigurationItCannotUseAndScansNothing) {
  const std::string unset = d_.dir + "/unset.ini", missing = d_.dir + "/missing.ini";
  unsetenv("VRELL_SCAN_UNSET");
  harness_write_file(unset, "[vrell]\nQXVrellSocket = \"$(VRELL_SCAN_UNSET)/vrell.sock\"\n");
  const std::string a = write("a.txt", "plain text\n");
  struct {
    std::string conf, why;
  } cases[] = {
      {unset, ": QXVrellSocket names $(VRELL_SCAN_UNSET), which is not set\n"},
      {missing, ": cannot read the configuration file, or it is not a regular file\n"},
  };
  for (const auto &c : cases) {
    run_result r = harness_run_program(d_, VRELL_SCAN_BINARY,
                                       {"-c", c.conf, "--clamd", engine_.socket_path, tree_}, 60);
    EXPECT_EQ(r.status, 2) << c.conf;
    EXPECT_EQ(r.out, "") << c.conf;
    EXPECT_EQ(r.err, "vrell-scan: " + c.conf + c.why);
  }
}

}  // namespace

#endif  // VRELL_SCAN_BINARY
