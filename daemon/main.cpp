// The vrell daemon. At this stage it serves on its built-in settings, a thread per connection,
// in the foreground, until the listening socket is gone.

#include <stdio.h>

#include "cache/cache.h"
#include "daemon/flags.h"
#include "daemon/serve.h"
#include "daemon/settings.h"

int main() {
  daemon_settings settings;
  settings_set_defaults(&settings);
  verdict_cache *cache =
      cache_create(settings.max_entries, static_cast<int32_t>(settings.life_time));
  if (cache == nullptr) {
    printf("Error initializing cache\n");
    return 1;
  }
  active_cache.store(cache);
  service_thread_count.store(settings.threads);
  if (serve_run(&settings, cache) < 0) {
    cache_destroy(cache);
    printf("Error creating server socket\n");
    return 1;
  }
  active_cache.store(nullptr);
  cache_destroy(cache);
  return 0;
}
