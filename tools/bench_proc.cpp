// SPDX-License-Identifier: BSD-2-Clause
#include "tools/bench_proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

namespace {

// Reads the whole of a small /proc file into buffer, terminated. Returns false when it cannot
// be read or does not fit: a cut text would be misread.
bool read_text(const char *path, char *buffer, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t have = 0;
  ssize_t n;
  while (have < size - 1 && (n = read(fd, buffer + have, size - 1 - have)) > 0) {
    have += static_cast<size_t>(n);
  }
  close(fd);
  buffer[have] = '\0';
  return have > 0 && have < size - 1;
}

// The value of the line "name:\tN" of a status text.
bool status_field(const char *text, const char *name, uint64_t *value) {
  size_t length = strlen(name);
  for (const char *line = text; line != nullptr && *line != '\0';) {
    if (strncmp(line, name, length) == 0 && line[length] == ':') {
      char *end;
      *value = strtoull(line + length + 1, &end, 10);
      return end != line + length + 1;
    }
    line = strchr(line, '\n');
    if (line != nullptr) line++;
  }
  return false;
}

}  // namespace

int bench_proc_parse_stat(const char *text, uint64_t *ticks) {
  const char *at = strrchr(text, ')');
  if (at == nullptr) return -1;
  // After the name: state, ppid, pgrp, session, tty_nr, tpgid, flags, minflt, cminflt, majflt,
  // cmajflt, then utime and stime.
  uint64_t utime = 0, stime = 0;
  if (sscanf(at + 1, " %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %" SCNu64 " %" SCNu64, &utime,
             &stime) != 2)
    return -1;
  *ticks = utime + stime;
  return 0;
}

int bench_proc_parse_switches(const char *text, uint64_t *switches) {
  uint64_t voluntary, involuntary;
  if (!status_field(text, "voluntary_ctxt_switches", &voluntary) ||
      !status_field(text, "nonvoluntary_ctxt_switches", &involuntary))
    return -1;
  *switches = voluntary + involuntary;
  return 0;
}

int bench_proc_read(int pid, bench_proc_usage *usage) {
  char path[64], text[4096];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  bench_proc_usage read = {};
  if (!read_text(path, text, sizeof text) || bench_proc_parse_stat(text, &read.cpu_ticks) != 0)
    return -1;
  snprintf(path, sizeof path, "/proc/%d/task", pid);
  std::unique_ptr<DIR, int (*)(DIR *)> tasks(opendir(path), closedir);
  if (!tasks) return -1;
  while (const dirent *task = readdir(tasks.get())) {
    if (task->d_name[0] == '.') continue;
    snprintf(path, sizeof path, "/proc/%d/task/%.16s/status", pid, task->d_name);
    uint64_t switches;
    // A thread that ends between the listing and the read is skipped, as if it had ended first.
    if (read_text(path, text, sizeof text) && bench_proc_parse_switches(text, &switches) == 0)
      read.context_switches += switches;
  }
  *usage = read;
  return 0;
}

long bench_proc_ticks_per_second(void) {
  return sysconf(_SC_CLK_TCK);
}
