/* SPDX-License-Identifier: BSD-2-Clause */
// The one harness for tests that run the real vrell binary: a fresh temporary directory, a
// generated configuration and a private socket per test; every wait bounded; every process the
// test starts ended by its pid; sanitizer reports written to files in the directory and checked.
#ifndef VRELL_TESTS_HARNESS_H_
#define VRELL_TESTS_HARNESS_H_

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// What a finished run of a program left behind.
struct run_result {
  int status = -1;  // exit status, or 128 + signal when it was killed; -1 when it did not end
  std::string out;  // standard output
  std::string err;  // standard error
};

// One daemon under test and its directory.
struct daemon_under_test {
  std::string dir;          // removed by harness_cleanup
  std::string conf_path;    // dir/vrell.ini
  std::string socket_path;  // dir/vrell.sock
  std::string pid_path;     // dir/vrell.pid
  pid_t pid = -1;           // the serving process once started
  pid_t launcher_pid = -1;  // the process the test started, until it is reaped
  int stderr_fd = -1;       // when 0 or more, the daemon's standard error instead of daemon.err
  run_result launcher;      // the process the test started (the parent of the detaching fork)
};

// The five settings written into a generated configuration; an empty text leaves a key out.
struct harness_config {
  std::string threads = "10";
  std::string max_entries = "100";
  std::string life_time = "10";
  std::string socket_path;  // empty: dir/vrell.sock
  std::string pid_path;     // empty: dir/vrell.pid
  bool omit_socket = false;
  bool omit_pid = false;
  std::string extra;  // appended verbatim after the vrell section
};

// Makes the process a child subreaper, so that a daemon which detaches stays our child and its
// exit status reaches waitpid. Called by harness_init.
void harness_become_subreaper();

// Creates a fresh temporary directory and fills the paths. Returns false on failure.
bool harness_init(daemon_under_test *d);

// Writes the generated configuration to d->conf_path.
void harness_write_config(const daemon_under_test &d, const harness_config &config);

// Writes text verbatim to d->conf_path.
void harness_write_file(const std::string &path, const std::string &text);

// Runs the daemon binary with args (argv[0] is added) to its end, with a bound in seconds.
// Sanitizer reports go to files under d->dir. A run still alive at the bound is killed.
run_result harness_run(const daemon_under_test &d, const std::vector<std::string> &args,
                       int timeout_seconds = 20);

// As harness_run, for another program of the build (vrell-cli).
run_result harness_run_program(const daemon_under_test &d, const std::string &program,
                               const std::vector<std::string> &args, int timeout_seconds = 20);

// Starts the daemon with "-c conf_path" plus args and waits until it answers "K" with 101 at
// d->socket_path. Works whether the daemon stays in the foreground or detaches (then its pid is
// read from the pid file). Returns false, with the reason in *why, when it did not come up.
bool harness_start(daemon_under_test *d, const std::vector<std::string> &args, std::string *why,
                   int timeout_seconds = 20);

// Starts the daemon with "-c conf_path" plus args and returns at once with the launcher's pid
// (also in d->launcher_pid), or -1. Its output goes to d->dir/daemon.out and daemon.err; each
// standard descriptor i whose bit (1 << i) is set in closed_streams is left closed instead.
pid_t harness_launch(daemon_under_test *d, const std::vector<std::string> &args,
                     int closed_streams = 0);

// Waits at most timeout_ms for a child of this process to end and reaps it. Returns its exit
// status (128 + signal when a signal ended it), or -1 when it did not end or is not our child.
int harness_wait_exit(pid_t pid, int timeout_ms);

// Returns every living or unreaped process whose parent is this one.
std::vector<pid_t> harness_children();

// Sends sig to the daemon and waits for its end. Returns its exit status (128 + signal when a
// signal ended it), or -1 when it did not end within the bound (it is then killed).
int harness_stop(daemon_under_test *d, int sig = SIGTERM, int timeout_seconds = 20);

// Returns true when the process is still alive (and not a zombie).
bool harness_alive(pid_t pid);

// Returns true when a thread of process pid other than its main thread has sig unblocked: in the
// daemon, the exit helper once it has started. Under ThreadSanitizer a termination signal that
// reached the helper just as it unblocked the signals was lost (about 1 run in 60; never in a
// native run), so tests under it send theirs only from then on.
bool harness_helper_takes(pid_t pid, int sig);

// True in a build under ThreadSanitizer.
#if defined(__SANITIZE_THREAD__)
constexpr bool kHarnessThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kHarnessThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kHarnessThreadSanitizer = false;
#endif

// Returns true when something, a dangling link included, exists at path.
bool harness_exists(const std::string &path);

// Returns a stream socket connected to the Unix-domain socket at path, which the caller closes;
// -1 when the connect fails.
int harness_connect(const std::string &path);

// Sends text plus its NUL to the daemon and returns the reply without its NUL ("" on failure).
std::string harness_request(const daemon_under_test &d, const std::string &text);

// Returns the content of every sanitizer report in d->dir, empty when there is none.
std::string harness_sanitizer_reports(const daemon_under_test &d);

// Kills whatever the test started and is still alive, reaps it, and removes the directory.
void harness_cleanup(daemon_under_test *d);

// Polls pred every 10 ms until it holds or timeout_ms passes. Returns its last value.
template <typename Pred>
bool harness_wait_for(Pred pred, int timeout_ms) {
  for (int waited = 0;; waited += 10) {
    if (pred()) return true;
    if (waited >= timeout_ms) return pred();
    struct timespec ten_ms = {0, 10 * 1000 * 1000};
    nanosleep(&ten_ms, nullptr);
  }
}

// Reads a whole file; empty when it cannot be read.
std::string harness_read_file(const std::string &path);

// Fills the file system that holds dir with one file, dir/filler, until it takes no more.
// Returns true when it is full (the last write failed with ENOSPC).
bool harness_fill_disk(const std::string &dir);

// One ClamAV clamd under test, in the directory of a daemon_under_test: in the foreground, on
// its own socket, with a database written at its start that knows the EICAR test file alone
// (nothing is downloaded). It runs as the test's user.
struct engine_under_test {
  std::string conf_path;    // dir/clamd.conf
  std::string socket_path;  // dir/clamd.sock
  pid_t pid = -1;
};

// The EICAR test file: harmless text that every anti-virus engine reports, and the name the
// engine's database gives it.
extern const char HARNESS_EICAR[];
extern const char HARNESS_EICAR_NAME[];

// Returns the path of clamd (in PATH, /usr/sbin or /usr/local/sbin), or "" when it is not
// installed.
std::string harness_clamd_binary();

// Writes the database and the configuration and starts clamd, then waits until it answers PING
// on its socket. Its output goes to d.dir/clamd.out and clamd.err. Returns false, with the
// reason in *why, when it did not come up; the process, if any, is then left for
// harness_stop_clamd or harness_cleanup.
bool harness_start_clamd(const daemon_under_test &d, engine_under_test *e, std::string *why,
                         int timeout_seconds = 60);

// Sends SIGTERM to clamd and waits for its end. Returns its exit status (128 + signal when a
// signal ended it), or -1 when it did not end within the bound (it is then killed).
int harness_stop_clamd(engine_under_test *e, int timeout_seconds = 20);

// A fixture for tests of the daemon as a process: a fresh directory with the generated
// configuration of config_; at the end, the daemon stopped in order (status 0), no sanitizer
// report, no process left and the directory removed.
class harness_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(harness_init(&d_));
    harness_write_config(d_, config_);
  }

  void TearDown() override {
    if (d_.pid > 0) {
      EXPECT_EQ(harness_stop(&d_), 0);
    }
    EXPECT_EQ(harness_sanitizer_reports(d_), "");
    EXPECT_TRUE(harness_children().empty()) << "a process was left behind";
    harness_cleanup(&d_);
  }

  daemon_under_test d_;
  harness_config config_;
};

#endif  // VRELL_TESTS_HARNESS_H_
