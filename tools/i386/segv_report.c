/* SPDX-License-Identifier: BSD-2-Clause */
/* Loaded with LD_PRELOAD into a 32-bit program, for a look at a crash that leaves no core: on
 * SIGSEGV it appends the faulting address, the instruction pointer, a backtrace and the memory
 * map to /tmp/segv.PID, then dies of the signal as it would have. Detached daemons write to
 * /dev/null, hence the file. Build: gcc -m32 -shared -fPIC -O1 -o segv_report.so segv_report.c
 */
#define _GNU_SOURCE
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

static void report(int sig, siginfo_t *info, void *context) {
  char name[64];
  snprintf(name, sizeof name, "/tmp/segv.%d", (int)getpid());
  int fd = open(name, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    char line[160];
    const ucontext_t *uc = context;
    int n = snprintf(line, sizeof line, "signal %d, address %p, eip %#lx, thread %d\n", sig,
                     info->si_addr, (unsigned long)uc->uc_mcontext.gregs[REG_EIP], (int)gettid());
    (void)!write(fd, line, n);
    void *frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), fd);
    int maps = open("/proc/self/maps", O_RDONLY);
    char buffer[4096];
    ssize_t got;
    while (maps >= 0 && (got = read(maps, buffer, sizeof buffer)) > 0)
      (void)!write(fd, buffer, got);
    if (maps >= 0) close(maps);
    close(fd);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

__attribute__((constructor)) static void install(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = report;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &action, NULL);
}
