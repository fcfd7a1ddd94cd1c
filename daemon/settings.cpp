#include "daemon/settings.h"

#include <string.h>

void settings_clear(daemon_settings *settings) {
  if (settings == nullptr) return;
  memset(settings->socket_path, 0, sizeof settings->socket_path);
  memset(settings->pid_path, 0, sizeof settings->pid_path);
  settings->threads = 0;
  settings->max_entries = 0;
  settings->life_time = 0;
}

void settings_set_defaults(daemon_settings *settings) {
  if (settings == nullptr) return;
  settings_clear(settings);
  strcpy(settings->socket_path, DEFAULT_SOCKET_PATH);
  strcpy(settings->pid_path, DEFAULT_PID_PATH);
  settings->threads = DEFAULT_THREADS;
  settings->max_entries = DEFAULT_MAX_ENTRIES;
  settings->life_time = DEFAULT_LIFE_TIME;
}

void settings_copy_path(char *path, const char *text) {
  size_t length = 0;
  if (text != nullptr) {
    length = strnlen(text, SETTINGS_PATH_MAX - 1);
    memcpy(path, text, length);
  }
  path[length] = '\0';
}
