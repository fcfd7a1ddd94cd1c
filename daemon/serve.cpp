#include "daemon/serve.h"

#include <pthread.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "daemon/flags.h"
#include "daemon/server.h"
#include "service/request.h"

namespace {

std::atomic<int> active_threads{0};
std::atomic<uint32_t> next_request{0};

// Request ids run from 1 to INT32_MAX and start again, so that every id is positive.
int32_t draw_request_id() {
  return static_cast<int32_t>(next_request.fetch_add(1) % INT32_MAX) + 1;
}

void *serve_connection(void *arg) {
  std::unique_ptr<worker_job> job(static_cast<worker_job *>(arg));
  request_handler_thread(job.get());
  job.reset();
  // Last: serve_run lets the cache be destroyed once this count reaches 0.
  active_threads.fetch_sub(1);
  return nullptr;
}

}  // namespace

int serve_on_thread(int connection, const struct timespec *accepted, void *arg) {
  auto *job = new (std::nothrow) worker_job{};
  if (job == nullptr) {
    close(connection);
    return 0;
  }
  job->request_id = draw_request_id();
  job->connection = connection;
  job->cache = static_cast<verdict_cache *>(arg);
  job->state = nullptr;
  job->accepted = *accepted;

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  active_threads.fetch_add(1);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, serve_connection, job);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    active_threads.fetch_sub(1);
    delete job;
    close(connection);
  }
  return 0;
}

int serve_active(void) {
  return active_threads.load();
}

int serve_run(const daemon_settings *settings, verdict_cache *cache) {
  int listen_fd = open_server_socket(settings, settings != nullptr ? settings->threads : 0);
  if (listen_fd < 0) return listen_fd;
  server_socket_path.store(settings->socket_path);
  server_accept_loop(listen_fd, serve_on_thread, cache);
  close_server_socket(listen_fd, settings);
  server_socket_path.store(nullptr);
  struct timespec pause = {0, SERVE_DRAIN_POLL_MS * 1000000L};
  while (active_threads.load() > 0) nanosleep(&pause, nullptr);
  return 0;
}
