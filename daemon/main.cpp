// SPDX-License-Identifier: BSD-2-Clause
// The vrell daemon: the start-up in its fixed order, the accept loop on the main thread, and the
// orderly stop that a termination signal leads to. Every start-up failure prints one line and
// ends with status 1; once the listening socket exists, every way out closes it and removes its
// node, so that a failed start never blocks the next one. It detaches, or with the foreground
// option stays the process it was started as, for a service manager that supervises it.

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cache/cache.h"
#include "config/path.h"
#include "daemon/cmdline.h"
#include "daemon/guard.h"
#include "daemon/lifecycle.h"
#include "daemon/notify.h"
#include "daemon/run_state.h"
#include "daemon/server.h"
#include "daemon/settings.h"
#include "daemon/watchdog.h"
#include "service/log.h"
#include "service/pool.h"
#include "service/queue.h"
#include "service/stats.h"
#include "service/waiting.h"

namespace {

constexpr char MSG_PARSE_ERROR[] = "Error parsing argument\nSee %s --help for details\n\n";
constexpr char MSG_CONF_ACCESS[] = "Invalid configuration file (%s). Check permission\n";
constexpr char MSG_CONF_ERROR[] = "CONF ERROR: %s\n";
constexpr char MSG_CONF_WARNING[] = "CONF WARNING: %s\n";
constexpr char MSG_VALIDATION[] = "Error: %s\n";
constexpr char MSG_SAVE_FAILED[] = "Error saving configuration to file (%s)\n";
constexpr char MSG_ANOTHER_INSTANCE[] = "Another instance of vrell already running.\n";
constexpr char MSG_QUEUE_FAILED[] = "Error initializing request queue\n";
constexpr char MSG_CACHE_FAILED[] = "Error initializing cache\n";
constexpr char MSG_SOCKET_FAILED[] = "Error creating server socket\n";
constexpr char MSG_DAEMONIZE_FAILED[] = "Daemonize failed. Exit...\n";
constexpr char MSG_PID_FILE_FAILED[] = "Error saving pid file. %s Exit...\n";
constexpr char MSG_VERSION[] = "vrell %s\n";
constexpr char MSG_CHECK_PROBLEM[] = "%s = \"%s\": %s\n";
constexpr char MSG_CHECK_OK[] = "%s: OK\n";
constexpr char MSG_CHECK_PROBLEMS[] = "%s: %d problems\n";
constexpr char MSG_CHECK_ONE_PROBLEM[] = "%s: 1 problem\n";

// The log lines of the serving daemon; once it has detached, standard output is gone.
constexpr char MSG_LOG_STARTED[] =
    "serving: pid %ld, socket %s, %d threads, capacity %u entries, life time %d s";
constexpr char MSG_LOG_STOPPED[] = "stopped: %s";
constexpr char MSG_LOG_PID_FILE[] = "cannot write the pid file %s: %s";
constexpr char MSG_LOG_PID_FILE_IN_THE_WAY[] = "something is in the way";
constexpr char MSG_LOG_EXIT_HELPER[] = "cannot start the thread that handles the stop signals";
constexpr char MSG_LOG_POOL_START[] = "cannot start the worker pool";
constexpr char MSG_LOG_HAND_OVER_FAILED[] = "cannot queue an accepted connection; stopping";
// A file value that the command line would refuse; the daemon takes it as it is.
constexpr char MSG_LOG_CHECK_PROBLEM[] = "configuration: %s = \"%s\": %s";
constexpr char MSG_LOG_WATCHDOG[] = "cannot start the thread that pings the watchdog";
constexpr char MSG_LOG_WORKERS_LEFT[] = "stopped without waiting for %d workers still serving";
// The service manager's status line once the daemon serves.
constexpr char MSG_NOTIFY_STATUS[] = "serving on %s";

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_STATUS = 1;

// The accept loop's hand-over: a connection that has sent nothing yet waits in the waiting set,
// not in a worker; the accept time travels with it, since the receive time-out counts from it.
int admit_connection(int connection, const struct timespec *accepted, void *waiting) {
  return waiting_admit(static_cast<waiting_set *>(waiting), connection, accepted);
}

// Before each accept: the waiting connections that spoke or ran out of time go to the queue.
int watch_waiting(int, void *waiting) {
  return waiting_wait(static_cast<waiting_set *>(waiting));
}

// How many connections may wait for their first byte: as many as the descriptor limit leaves
// beside the workers' and the daemon's own.
int waiting_limit(int threads) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) limit.rlim_cur = 1024;
  return waiting_bound(
      limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur),
      threads);
}

// What the manager's watchdog looks at: whether the queue's head moves.
void sample_queue(const void *queue, watchdog_sample *sample) {
  auto **handle = const_cast<connection_queue **>(static_cast<connection_queue *const *>(queue));
  sample->taken = connection_queue_taken(handle);
  sample->queued = connection_queue_length(handle);
}

// How the pool asks for the stop when it cannot be set up: as a termination signal does, so
// the exit helper ends its wait at once. The handler is lock-free and async-signal-safe, so it
// is safe from any thread.
void request_stop() {
  termination_signal_handler(SIGTERM);
}

// What the start-up holds once the socket exists, released in the order of the orderly stop.
struct held_resources {
  connection_queue *queue = nullptr;
  waiting_set *waiting = nullptr;
  verdict_cache *cache = nullptr;
  int listen_fd = -1;
  const daemon_settings *settings = nullptr;
};

// The lines of the configuration check, kept from the start-up until the log is open.
using check_lines = std::vector<std::string>;

void keep_problem(const char *key, const char *value, const char *reason, void *context) {
  char line[LOG_LINE_MAX];
  snprintf(line, sizeof line, MSG_LOG_CHECK_PROBLEM, key, value, reason);
  static_cast<check_lines *>(context)->emplace_back(line);
}

void print_problem(const char *key, const char *value, const char *reason, void *) {
  printf(MSG_CHECK_PROBLEM, key, value, reason);
}

// The configuration check of --check: what the start-up would read, and nothing started or
// written. Returns the exit status.
int check_configuration(const char *conf_path) {
  int problems = settings_check(conf_path, 0, print_problem, nullptr);
  if (problems < 0) {
    printf(MSG_CONF_ERROR, settings_last_error());
    return EXIT_FAILURE_STATUS;
  }
  if (problems == 0) {
    printf(MSG_CHECK_OK, conf_path);
    return EXIT_OK;
  }
  if (problems == 1) {
    printf(MSG_CHECK_ONE_PROBLEM, conf_path);
  } else {
    printf(MSG_CHECK_PROBLEMS, conf_path, problems);
  }
  return EXIT_FAILURE_STATUS;
}

void release(held_resources *held) {
  waiting_free(held->waiting);
  if (held->listen_fd >= 0) close_server_socket(held->listen_fd, held->settings);
  if (held->cache != nullptr) cache_destroy(held->cache);
  connection_queue_free(&held->queue);
}

// Puts /dev/null on every standard descriptor that is closed. Otherwise the listening socket
// could get one of them, and detaching would then overwrite it with /dev/null, so that the
// daemon stopped as soon as it had started; or, in the foreground, a connection could get
// descriptor 2 and receive the log lines.
void occupy_closed_std_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor, which is fd itself.
    if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0) return;
  }
}

// What the settings phase leaves to the start: the effective settings and how to run. It lives
// in main's frame, so the socket path that the exit helper reads outlives every thread.
struct startup {
  char conf_path[SETTINGS_PATH_MAX] = {};
  daemon_settings effective = {};
  bool foreground = false;
  check_lines problems;
};

// A phase's result that lets the next one run; every other result is the exit status.
constexpr int KEEP_GOING = -1;

// The command line, and the configuration file's access; help, the version and the check end
// here. Returns KEEP_GOING with the option bits in *flags, or the exit status.
int read_options(int argc, char *argv[], daemon_settings *command_line, startup *start,
                 int32_t *flags) {
  *flags = read_command_line(argc, argv, command_line, start->conf_path);
  if (*flags < 0) {
    printf(MSG_PARSE_ERROR, argv[0]);
    return EXIT_FAILURE_STATUS;
  }
  if ((*flags & OPT_HELP) != 0) {
    print_usage();
    return EXIT_OK;
  }
  const bool check = (*flags & OPT_CHECK) != 0;
  if ((*flags & OPT_VERSION) != 0 && !check) {
    printf(MSG_VERSION, VRELL_VERSION);
    return EXIT_OK;
  }
  start->foreground = (*flags & OPT_FOREGROUND) != 0;
  if ((*flags & OPT_CONF_FILE) == 0) {
    print_missing_config(argv[0]);
    return EXIT_FAILURE_STATUS;
  }
  const char *conf_path = start->conf_path;
  // Also without the save option: a file the daemon could not rewrite is refused up front, and
  // so is anything but a regular file, which may pass the access test: a directory holds no
  // settings, a FIFO's open would hold the start-up until some writer came, and a device such
  // as /dev/zero would be read for ever. Its status is read before anything opens it.
  if (access(conf_path, R_OK | W_OK) != 0 || path_file_type(conf_path) != PATH_TYPE_REGULAR) {
    printf(MSG_CONF_ACCESS, conf_path);
    return EXIT_FAILURE_STATUS;
  }
  if (check) return check_configuration(conf_path);
  return KEEP_GOING;
}

// The process made safe to start, then the command line and the configuration file, up to the
// save. Returns KEEP_GOING, or the exit status after help, the version, the check or a failure.
int take_settings(int argc, char *argv[], startup *start) {
  occupy_closed_std_streams();
  // Before anything is created that a hang-up would leave behind.
  lifecycle_ignore_hangup();
  // Under a file-size limit the write that crosses it then fails with EFBIG, which the save
  // handles like any failed write, instead of the signal ending the process half way through.
  signal(SIGXFSZ, SIG_IGN);
  daemon_settings command_line;
  settings_clear(&command_line);
  int32_t flags = 0;
  int status = read_options(argc, argv, &command_line, start, &flags);
  if (status != KEEP_GOING) return status;

  const char *conf_path = start->conf_path;
  int loaded = settings_load(conf_path, &start->effective);
  if (loaded < 0) {
    printf(MSG_CONF_ERROR, settings_last_error());
    return EXIT_FAILURE_STATUS;
  }
  if (loaded == 1) printf(MSG_CONF_WARNING, settings_last_error());
  // What --check would report of the values in use is logged once the log is open, so that the
  // journal says why, for one, caching is off. The values are used as they are.
  settings_check(conf_path, flags, keep_problem, &start->problems);

  char message[SETTINGS_MESSAGE_MAX];
  if (settings_validate(&command_line, &start->effective, flags, message) < 0) {
    printf(MSG_VALIDATION, message);
    return EXIT_FAILURE_STATUS;
  }
  if ((flags & OPT_SAVE) != 0 && settings_save(conf_path, &start->effective) < 0) {
    printf(MSG_SAVE_FAILED, conf_path);
  }
  return KEEP_GOING;
}

// The queue, the cache, the listening socket and the waiting set, in that order. Returns
// KEEP_GOING, or the exit status after a failure, with what was taken released.
int acquire(const daemon_settings *effective, held_resources *held) {
  held->settings = effective;
  if (connection_queue_create(&held->queue) < 0) {
    fputs(MSG_QUEUE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  held->cache = cache_create(effective->max_entries, static_cast<int32_t>(effective->life_time));
  if (held->cache == nullptr) {
    release(held);
    fputs(MSG_CACHE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  service_thread_count.store(effective->threads);

  held->listen_fd = open_server_socket(effective, service_thread_count.load());
  if (held->listen_fd < 0) {
    // Nothing of ours is at the path: whatever is there (it made the open fail) stays.
    held->listen_fd = -1;
    release(held);
    fputs(MSG_SOCKET_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  server_socket_path.store(effective->socket_path);
  held->waiting =
      waiting_create(&held->queue, held->listen_fd, waiting_limit(service_thread_count.load()));
  if (held->waiting == nullptr) {
    release(held);
    fputs(MSG_QUEUE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  return KEEP_GOING;
}

// The guard, the resources, the signals, detaching (unless in the foreground), the log and the
// pid file. Returns KEEP_GOING, or the exit status after a failure.
int start_daemon(const startup *start, held_resources *held) {
  const daemon_settings *effective = &start->effective;
  int instance = check_single_instance(effective->pid_path, effective->socket_path);
  if (instance < 0) return EXIT_FAILURE_STATUS;
  if (instance == INSTANCE_RUNNING) {
    fputs(MSG_ANOTHER_INSTANCE, stdout);
    return EXIT_FAILURE_STATUS;
  }
  int status = acquire(effective, held);
  if (status != KEEP_GOING) return status;

  // Installs SIGTERM, then SIGINT. Without them no signal could stop the daemon, so a failure
  // counts as failing to detach.
  if (lifecycle_install_handlers() < 0 || (!start->foreground && daemonize() < 0)) {
    release(held);
    fputs(MSG_DAEMONIZE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }

  if (start->foreground) {
    // The start-up's lines come before the log's, also where standard output is a pipe or the
    // journal and so fully buffered. A log reader that goes away must not end the daemon: its
    // lines are dropped instead.
    fflush(stdout);
    fflush(stderr);
    signal(SIGPIPE, SIG_IGN);
    log_open_foreground();
  } else {
    // The detached child; its standard streams are /dev/null from here on.
    log_open();
  }
  for (const std::string &line : start->problems) log_message(LOG_WARNING, "%s", line.c_str());
  errno = 0;
  if (write_pid_file(static_cast<long>(getpid()), effective->pid_path) < 0) {
    log_message(LOG_ERR, MSG_LOG_PID_FILE, effective->pid_path,
                errno != 0 ? strerror(errno) : MSG_LOG_PID_FILE_IN_THE_WAY);
    fprintf(stderr, MSG_PID_FILE_FAILED, effective->pid_path);
    release(held);
    // A log thread that its sink still holds would keep exit waiting for it.
    if (!log_close()) _exit(EXIT_FAILURE_STATUS);
    return EXIT_FAILURE_STATUS;
  }
  return KEEP_GOING;
}

// With the workers running: tells the service manager, serves until the accept loop ends and
// answers every connection accepted. Returns the exit status.
int serve(const daemon_settings *effective, held_resources *held) {
  stats_start();
  log_message(LOG_INFO, MSG_LOG_STARTED, static_cast<long>(getpid()), effective->socket_path,
              static_cast<int>(effective->threads), held->cache->max_entries,
              static_cast<int>(effective->life_time));
  char notify_status[NOTIFY_STATE_MAX];
  snprintf(notify_status, sizeof notify_status, MSG_NOTIFY_STATUS, effective->socket_path);
  // The socket listens and the workers wait: a client the manager lets go now is served.
  notify_ready(static_cast<long>(getpid()), notify_status);
  // Without its pings the manager restarts a daemon that serves; the daemon serves on.
  if (watchdog_start(sample_queue, &held->queue) < 0) log_message(LOG_WARNING, MSG_LOG_WATCHDOG);
  int loop = server_accept_loop(held->listen_fd, admit_connection, held->waiting, watch_waiting);
  // Every connection accepted is answered: the waiting ones by the workers, once they speak
  // or at their deadline.
  if (waiting_flush(held->waiting) < 0 && loop == SERVER_LOOP_STOPPED) {
    loop = SERVER_LOOP_HAND_OVER_FAILED;
  }
  watchdog_stop();
  notify_stopping();
  // An accept that fails is the stop's own doing (it shuts the socket down); a refused
  // hand-over is not.
  if (loop == SERVER_LOOP_HAND_OVER_FAILED) {
    log_message(LOG_ERR, MSG_LOG_HAND_OVER_FAILED);
    return EXIT_FAILURE_STATUS;
  }
  return EXIT_OK;
}

// The exit helper and the workers, the service, then the orderly stop. Returns the exit status.
int serve_and_stop(const startup *start, held_resources *held) {
  const daemon_settings *effective = &start->effective;
  lifecycle_set_listener(held->listen_fd);
  int status = EXIT_OK;
  worker_pool *pool = nullptr;
  if (lifecycle_start_exit_helper() < 0) {
    log_message(LOG_ERR, MSG_LOG_EXIT_HELPER);
    status = EXIT_FAILURE_STATUS;
  } else {
    const pool_config config = {service_thread_count.load(), held->cache, &held->queue,
                                request_stop, held->waiting};
    pool = pool_start(&config);
    if (pool != nullptr) {
      status = serve(effective, held);
    } else {
      log_message(LOG_ERR, MSG_LOG_POOL_START);
      status = EXIT_FAILURE_STATUS;
    }
  }

  // The orderly stop. Nothing is accepted any more; every connection accepted is answered
  // before the workers end.
  lifecycle_finish_exit_helper();
  pool_counters last = {};
  const int left = pool_stop(pool, &last);
  remove_pid_file(effective->pid_path);
  char counters[LOG_LINE_MAX];
  stats_fields(counters, sizeof counters, held->cache, &last);
  log_message(LOG_INFO, MSG_LOG_STOPPED, counters);
  if (left > 0) {
    // The workers left may still use the queue and the cache, so only the socket goes.
    log_message(LOG_WARNING, MSG_LOG_WORKERS_LEFT, left);
    close_server_socket(held->listen_fd, held->settings);
    log_close();
    _exit(status);
  }
  release(held);
  // A log thread that its sink still holds would keep exit waiting for it.
  if (!log_close()) _exit(status);
  return status;
}

}  // namespace

int main(int argc, char *argv[]) {
  startup start;
  int status = take_settings(argc, argv, &start);
  if (status != KEEP_GOING) return status;
  held_resources held;
  status = start_daemon(&start, &held);
  if (status != KEEP_GOING) return status;
  return serve_and_stop(&start, &held);
}
