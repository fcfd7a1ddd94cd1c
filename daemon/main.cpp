// The vrell daemon: the start-up in its fixed order, the accept loop on the main thread, and the
// orderly stop that a termination signal leads to. Every start-up failure prints one line and
// ends with status 1; once the listening socket exists, every way out closes it and removes its
// node, so that a failed start never blocks the next one.

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "cache/cache.h"
#include "daemon/cmdline.h"
#include "daemon/flags.h"
#include "daemon/guard.h"
#include "daemon/lifecycle.h"
#include "daemon/server.h"
#include "daemon/settings.h"
#include "service/dispatcher.h"
#include "service/queue.h"

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

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_STATUS = 1;

// The accept loop's hand-over: the queue stamps the push, which is the accept time from which
// the receive time-out counts.
int push_connection(int connection, const struct timespec *, void *queue) {
  return connection_queue_push(static_cast<connection_queue **>(queue), connection);
}

// Set when the pool asked for the stop, which it does only when it cannot go on: the daemon
// then ends with status 1, so that a supervisor sees the failure.
std::atomic<bool> pool_failed{false};

// The pool clears accept_loop_running when it cannot go on. The termination handler's work is
// lock-free and async-signal-safe, so it is safe from any thread, and it makes the exit helper
// wake the accept at once instead of on its next check.
void wake_accept_loop() {
  pool_failed.store(true);
  termination_signal_handler(SIGTERM);
}

// What the start-up holds once the socket exists, released in the order of the orderly stop.
struct held_resources {
  connection_queue *queue = nullptr;
  verdict_cache *cache = nullptr;
  int listen_fd = -1;
  const daemon_settings *settings = nullptr;
};

void release(held_resources *held) {
  if (held->listen_fd >= 0) close_server_socket(held->listen_fd, held->settings);
  if (held->cache != nullptr) {
    active_cache.store(nullptr);
    cache_destroy(held->cache);
  }
  connection_queue_free(&held->queue);
}

}  // namespace

int main(int argc, char *argv[]) {
  char conf_path[SETTINGS_PATH_MAX];
  memset(conf_path, 0, sizeof conf_path);
  daemon_settings command_line;
  settings_clear(&command_line);

  int32_t flags = read_command_line(argc, argv, &command_line, conf_path);
  if (flags < 0) {
    printf(MSG_PARSE_ERROR, argv[0]);
    return EXIT_FAILURE_STATUS;
  }
  if ((flags & OPT_HELP) != 0) {
    print_usage();
    return EXIT_OK;
  }
  if ((flags & OPT_CONF_FILE) == 0) {
    print_missing_config(argv[0]);
    return EXIT_FAILURE_STATUS;
  }
  // Also without the save option: a file the daemon could not rewrite is refused up front.
  if (access(conf_path, R_OK | W_OK) != 0) {
    printf(MSG_CONF_ACCESS, conf_path);
    return EXIT_FAILURE_STATUS;
  }

  daemon_settings effective;
  int loaded = settings_load(conf_path, &effective);
  if (loaded < 0) {
    printf(MSG_CONF_ERROR, settings_last_error());
    return EXIT_FAILURE_STATUS;
  }
  if (loaded == 1) printf(MSG_CONF_WARNING, settings_last_error());

  char message[SETTINGS_MESSAGE_MAX];
  if (settings_validate(&command_line, &effective, flags, message) < 0) {
    printf(MSG_VALIDATION, message);
    return EXIT_FAILURE_STATUS;
  }
  if ((flags & OPT_SAVE) != 0 && settings_save(conf_path, &effective) < 0) {
    printf(MSG_SAVE_FAILED, conf_path);
  }

  int instance = check_single_instance(effective.pid_path, effective.socket_path);
  if (instance < 0) return EXIT_FAILURE_STATUS;
  if (instance == INSTANCE_RUNNING) {
    fputs(MSG_ANOTHER_INSTANCE, stdout);
    return EXIT_FAILURE_STATUS;
  }

  held_resources held;
  held.settings = &effective;
  if (connection_queue_create(&held.queue) < 0) {
    fputs(MSG_QUEUE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  held.cache = cache_create(effective.max_entries, static_cast<int32_t>(effective.life_time));
  if (held.cache == nullptr) {
    release(&held);
    fputs(MSG_CACHE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  active_cache.store(held.cache);
  service_thread_count.store(effective.threads);

  held.listen_fd = open_server_socket(&effective, service_thread_count.load());
  if (held.listen_fd < 0) {
    // Nothing of ours is at the path: whatever is there (it made the open fail) stays.
    held.listen_fd = -1;
    release(&held);
    fputs(MSG_SOCKET_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }
  server_socket_path.store(effective.socket_path);

  // Installs SIGTERM, then SIGINT. Without them no signal could stop the daemon, so a failure
  // counts as failing to detach.
  if (lifecycle_install_handlers() < 0 || daemonize() < 0) {
    release(&held);
    fputs(MSG_DAEMONIZE_FAILED, stdout);
    return EXIT_FAILURE_STATUS;
  }

  // The detached child; its standard streams are /dev/null from here on.
  if (write_pid_file(static_cast<long>(getpid()), effective.pid_path) < 0) {
    fprintf(stderr, MSG_PID_FILE_FAILED, effective.pid_path);
    release(&held);
    return EXIT_FAILURE_STATUS;
  }

  lifecycle_set_listener(held.listen_fd);
  int status = EXIT_OK;
  bool dispatcher_started = false;
  pthread_t dispatcher;
  if (lifecycle_start_exit_helper() < 0) {
    status = EXIT_FAILURE_STATUS;
  } else {
    dispatcher_on_stop_request = wake_accept_loop;
    request_queue_running.store(1);
    if (pthread_create(&dispatcher, nullptr, request_queue_handler, &held.queue) == 0) {
      dispatcher_started = true;
      server_accept_loop(held.listen_fd, push_connection, &held.queue);
    } else {
      status = EXIT_FAILURE_STATUS;
    }
  }

  // The orderly stop. The exit request is answered before the pool stops taking connections.
  lifecycle_finish_exit_helper();
  request_queue_running.store(0);
  dispatcher_wake();
  if (dispatcher_started) pthread_join(dispatcher, nullptr);
  if (pool_failed.load()) status = EXIT_FAILURE_STATUS;
  remove_pid_file(effective.pid_path);
  release(&held);
  return status;
}
