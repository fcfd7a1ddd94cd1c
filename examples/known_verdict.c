/* SPDX-License-Identifier: BSD-2-Clause */
/* Asks the vrell daemon, as a scanner does before it scans, for the known verdict on each file
 * named on the command line, and prints one line per file: "clean", "infected" or "scan" (no
 * valid verdict: scan it), then the name.
 *
 *   known_verdict [-s SOCKET] FILE...
 *
 * Without -s the socket is the one the installed configuration names. Build it with
 *   cc known_verdict.c $(pkg-config --cflags --libs vrell-client) */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <vrell/client.h>

/* The known verdict on path (absolute, as the scanner stores it), or -1 when it must be
 * scanned. The stamp comes from the open file, so a scan that follows reads the same bytes;
 * a scanner keeps the descriptor open for that scan. */
int known_verdict(const char *socket, const char *path) {
  int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int verdict;
  switch (vrell_client_query_fd(socket, path, fd, 1000)) {
    case VRELL_CLIENT_CLEAN:
      verdict = VRELL_CLIENT_VERDICT_CLEAN;
      break;
    case VRELL_CLIENT_INFECTED:
      verdict = VRELL_CLIENT_VERDICT_INFECTED;
      break;
    default: /* not found, stale, not a regular file, a path it cannot key, no daemon */
      verdict = -1;
  }
  close(fd);
  return verdict;
}

int main(int argc, char **argv) {
  const char *given = NULL;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-s") == 0) {
    given = argv[2];
    first = 3;
  }
  char socket[256];
  int found = vrell_client_find_socket(given, NULL, socket, sizeof socket);
  if (found < 0) {
    fprintf(stderr, "known_verdict: %s\n", vrell_client_strerror(found));
    return 1;
  }
  for (int i = first; i < argc; ++i) {
    int verdict = known_verdict(socket, argv[i]);
    const char *word = verdict == VRELL_CLIENT_VERDICT_CLEAN      ? "clean"
                       : verdict == VRELL_CLIENT_VERDICT_INFECTED ? "infected"
                                                                  : "scan";
    printf("%s %s\n", word, argv[i]);
  }
  return 0;
}
