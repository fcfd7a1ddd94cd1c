// SPDX-License-Identifier: BSD-2-Clause
#include "harness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "client/client.h"

#ifndef VRELL_BINARY
#define VRELL_BINARY "vrell"
#endif

namespace {

int status_of(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Waits for a child of ours. Returns its status, or -1 when it did not end within the bound.
int wait_child(pid_t pid, int timeout_ms) {
  int result = -1;
  harness_wait_for(
      [&] {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
          result = status_of(st);
          return true;
        }
        return r < 0;  // not our child (any more)
      },
      timeout_ms);
  return result;
}

void append_option(const char *name, const std::string &option) {
  const char *old = getenv(name);
  std::string value = old != nullptr && *old != '\0' ? std::string(old) + ":" + option : option;
  setenv(name, value.c_str(), 1);
}

// Forks and executes program in d.dir with its output sent to the given files, and the standard
// descriptors of closed_streams' bits closed.
pid_t spawn(const daemon_under_test &d, const std::string &program,
            const std::vector<std::string> &args, const std::string &out_path,
            const std::string &err_path, int closed_streams = 0) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child: the daemon's standard error becomes /dev/null once it detaches, so its sanitizer
  // reports must go to files.
  const std::string log = "log_path=" + d.dir + "/san";
  append_option("ASAN_OPTIONS", log);
  append_option("UBSAN_OPTIONS", log);
  append_option("TSAN_OPTIONS", log);
  int in = open("/dev/null", O_RDONLY);
  int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || chdir(d.dir.c_str()) != 0) _exit(126);
  const int opened[3] = {in, out, d.stderr_fd >= 0 ? d.stderr_fd : err};
  for (int fd = 0; fd < 3; ++fd) {
    if ((closed_streams & (1 << fd)) != 0) {
      close(fd);
    } else {
      dup2(opened[fd], fd);
    }
  }
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Every process whose parent is this one (the detached daemon lands here as we are a subreaper).
std::vector<pid_t> children() {
  std::vector<pid_t> found;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (struct dirent *e = readdir(proc)) {
    pid_t pid = atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream status("/proc/" + std::string(e->d_name) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) == 0) {
        if (atoi(line.c_str() + 5) == getpid()) found.push_back(pid);
        break;
      }
    }
  }
  closedir(proc);
  return found;
}

void remove_tree(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (dir != nullptr) {
    while (struct dirent *e = readdir(dir)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      std::string child = path + "/" + e->d_name;
      struct stat st;
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        remove_tree(child);
      } else {
        unlink(child.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

int run_counter = 0;

}  // namespace

void harness_become_subreaper() {
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool harness_init(daemon_under_test *d) {
  harness_become_subreaper();
  char name[] = "/tmp/vrell-test-XXXXXX";
  if (mkdtemp(name) == nullptr) return false;
  d->dir = name;
  d->conf_path = d->dir + "/vrell.ini";
  d->socket_path = d->dir + "/vrell.sock";
  d->pid_path = d->dir + "/vrell.pid";
  return true;
}

void harness_write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string harness_read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool harness_fill_disk(const std::string &dir) {
  int filler = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (filler < 0) return false;
  char block[4096] = {};
  while (write(filler, block, sizeof block) > 0) {
  }
  bool full = errno == ENOSPC;
  close(filler);
  return full;
}

void harness_write_config(const daemon_under_test &d, const harness_config &c) {
  std::string text = "; generated for a test\n#*END\n\n[vrell]\n";
  if (!c.omit_socket) {
    text +=
        "    QXVrellSocket = \"" + (c.socket_path.empty() ? d.socket_path : c.socket_path) + "\"\n";
  }
  if (!c.omit_pid) {
    text += "    QXVrellPid = \"" + (c.pid_path.empty() ? d.pid_path : c.pid_path) + "\"\n";
  }
  if (!c.threads.empty()) text += "    service threads = \"" + c.threads + "\"\n";
  if (!c.max_entries.empty()) text += "    cache max entry = \"" + c.max_entries + "\"\n";
  if (!c.life_time.empty()) text += "    entry life time = \"" + c.life_time + "\"\n";
  text += c.extra;
  harness_write_file(d.conf_path, text);
}

run_result harness_run(const daemon_under_test &d, const std::vector<std::string> &args,
                       int timeout_seconds) {
  return harness_run_program(d, VRELL_BINARY, args, timeout_seconds);
}

run_result harness_run_program(const daemon_under_test &d, const std::string &program,
                               const std::vector<std::string> &args, int timeout_seconds) {
  const std::string n = std::to_string(++run_counter);
  const std::string out = d.dir + "/run" + n + ".out", err = d.dir + "/run" + n + ".err";
  run_result r;
  pid_t pid = spawn(d, program, args, out, err);
  if (pid < 0) return r;
  r.status = wait_child(pid, timeout_seconds * 1000);
  if (r.status < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  r.out = harness_read_file(out);
  r.err = harness_read_file(err);
  return r;
}

pid_t harness_launch(daemon_under_test *d, const std::vector<std::string> &args,
                     int closed_streams) {
  std::vector<std::string> all = {"-c", d->conf_path};
  all.insert(all.end(), args.begin(), args.end());
  d->launcher_pid =
      spawn(*d, VRELL_BINARY, all, d->dir + "/daemon.out", d->dir + "/daemon.err", closed_streams);
  return d->launcher_pid;
}

int harness_wait_exit(pid_t pid, int timeout_ms) {
  return wait_child(pid, timeout_ms);
}

std::vector<pid_t> harness_children() {
  return children();
}

bool harness_start(daemon_under_test *d, const std::vector<std::string> &args, std::string *why,
                   int timeout_seconds) {
  const std::string out = d->dir + "/daemon.out", err = d->dir + "/daemon.err";
  if (harness_launch(d, args) < 0) {
    *why = "fork failed";
    return false;
  }
  std::string reply;
  bool launcher_failed = false;
  bool up = harness_wait_for(
      [&] {
        if (d->launcher_pid > 0) {
          int st = 0;
          if (waitpid(d->launcher_pid, &st, WNOHANG) == d->launcher_pid) {
            d->launcher.status = status_of(st);
            d->launcher_pid = -1;
            if (d->launcher.status != 0) {
              launcher_failed = true;
              return true;
            }
          }
        }
        reply = harness_request(*d, "K\r\n");
        return reply.rfind("101-", 0) == 0;
      },
      timeout_seconds * 1000);
  d->launcher.out = harness_read_file(out);
  d->launcher.err = harness_read_file(err);
  if (!up || launcher_failed) {
    *why = "daemon did not come up (status " + std::to_string(d->launcher.status) +
           ")\nstdout: " + d->launcher.out + "\nstderr: " + d->launcher.err;
    return false;
  }
  // The status line ends in ";PID\r\n".
  size_t semi = reply.rfind(';');
  d->pid = semi == std::string::npos ? -1 : atoi(reply.c_str() + semi + 1);
  if (d->pid <= 0) {
    *why = "status line without a pid: " + reply;
    return false;
  }
  // A detached daemon may answer before the parent of its fork has been reaped; that parent's
  // status is part of what a test checks.
  if (d->launcher_pid > 0 && d->launcher_pid != d->pid) {
    d->launcher.status = wait_child(d->launcher_pid, timeout_seconds * 1000);
    d->launcher_pid = -1;
  }
  return true;
}

int harness_stop(daemon_under_test *d, int sig, int timeout_seconds) {
  if (d->pid <= 0) return -1;
  kill(d->pid, sig);
  int status = wait_child(d->pid, timeout_seconds * 1000);
  if (status < 0) {
    kill(d->pid, SIGKILL);
    waitpid(d->pid, nullptr, 0);
  }
  if (d->launcher_pid == d->pid) d->launcher_pid = -1;
  d->pid = -1;
  return status;
}

bool harness_alive(pid_t pid) {
  if (pid <= 0 || kill(pid, 0) != 0) return false;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("State:", 0) == 0) return line.find('Z') == std::string::npos;
  }
  return true;
}

bool harness_helper_takes(pid_t pid, int sig) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR *dir = opendir(tasks.c_str());
  if (dir == nullptr) return false;
  bool takes = false;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == pid) continue;
    std::ifstream status(tasks + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      if ((std::stoull(line.substr(7), nullptr, 16) & (1ull << (sig - 1))) == 0) takes = true;
    }
  }
  closedir(dir);
  return takes;
}

std::string harness_request(const daemon_under_test &d, const std::string &text) {
  char reply[VRELL_CLIENT_REPLY_MAX];
  if (vrell_client_request(d.socket_path.c_str(), text.c_str(), reply, sizeof reply, 5000) < 0) {
    return "";
  }
  return reply;
}

std::string harness_sanitizer_reports(const daemon_under_test &d) {
  std::string reports;
  DIR *dir = opendir(d.dir.c_str());
  if (dir == nullptr) return reports;
  while (struct dirent *e = readdir(dir)) {
    if (strncmp(e->d_name, "san.", 4) == 0) reports += harness_read_file(d.dir + "/" + e->d_name);
  }
  closedir(dir);
  return reports;
}

void harness_cleanup(daemon_under_test *d) {
  for (pid_t pid : children()) kill(pid, SIGKILL);
  for (pid_t pid : children()) waitpid(pid, nullptr, 0);
  d->pid = -1;
  d->launcher_pid = -1;
  if (!d->dir.empty()) remove_tree(d->dir);
  d->dir.clear();
}

bool harness_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int harness_connect(const std::string &path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

const char HARNESS_EICAR[] =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const char HARNESS_EICAR_NAME[] = "Eicar-Test-Signature";

std::string harness_clamd_binary() {
  const char *path = getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/local/sbin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/clamd";
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

bool harness_start_clamd(const daemon_under_test &d, engine_under_test *e, std::string *why,
                         int timeout_seconds) {
  const std::string binary = harness_clamd_binary();
  if (binary.empty()) {
    *why = "clamd is not installed";
    return false;
  }
  const std::string db = d.dir + "/clamd-db";
  mkdir(db.c_str(), 0700);
  // A hash signature: the MD5 and the size of the EICAR file, and the name to report.
  harness_write_file(db + "/test.hdb",
                     "44d88612fea8a8f36de82e1278abb02f:" + std::to_string(strlen(HARNESS_EICAR)) +
                         ":" + HARNESS_EICAR_NAME + "\n");
  e->conf_path = d.dir + "/clamd.conf";
  e->socket_path = d.dir + "/clamd.sock";
  // No User option: clamd stays the test's user, root included, and reads the test's files.
  harness_write_file(e->conf_path, "Foreground yes\nLocalSocket " + e->socket_path +
                                       "\nDatabaseDirectory " + db + "\nTemporaryDirectory " +
                                       d.dir + "\nLogFile " + d.dir + "/clamd.log\n");
  e->pid = spawn(d, binary, {"-c", e->conf_path}, d.dir + "/clamd.out", d.dir + "/clamd.err");
  if (e->pid < 0) {
    *why = "fork failed";
    return false;
  }
  // Loading even a database of one line takes clamd a while.
  bool up = harness_wait_for(
      [&] {
        if (!harness_alive(e->pid)) return true;
        int fd = harness_connect(e->socket_path);
        if (fd < 0) return false;
        struct timeval bound = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        char reply[16] = {};
        bool pong = send(fd, "zPING", 6, MSG_NOSIGNAL) == 6 &&
                    recv(fd, reply, sizeof reply - 1, MSG_WAITALL) > 0 &&
                    strcmp(reply, "PONG") == 0;
        close(fd);
        return pong;
      },
      timeout_seconds * 1000);
  if (!up || !harness_alive(e->pid)) {
    *why = "clamd did not come up\nstdout: " + harness_read_file(d.dir + "/clamd.out") +
           "\nstderr: " + harness_read_file(d.dir + "/clamd.err") +
           "\nlog: " + harness_read_file(d.dir + "/clamd.log");
    return false;
  }
  return true;
}

int harness_stop_clamd(engine_under_test *e, int timeout_seconds) {
  if (e->pid <= 0) return -1;
  kill(e->pid, SIGTERM);
  int status = wait_child(e->pid, timeout_seconds * 1000);
  if (status < 0) {
    kill(e->pid, SIGKILL);
    waitpid(e->pid, nullptr, 0);
  }
  e->pid = -1;
  return status;
}
