/* SPDX-License-Identifier: BSD-2-Clause */
/* A scanner component as the install stage builds it against the packaged client library: it
   finds the socket as vrell-cli does and asks for the status line. Prints the socket path and
   the reply's code; exits 0 on the status line. */
#include <stdio.h>
#include <vrell/client.h>

int main(void) {
  char socket_path[256], line[VRELL_CLIENT_REPLY_MAX];
  if (vrell_client_find_socket(NULL, NULL, socket_path, sizeof socket_path) != 0) return 1;
  int code = vrell_client_status(socket_path, line, sizeof line, 10000);
  printf("%s %d\n", socket_path, code);
  return code == VRELL_CLIENT_STATUS ? 0 : 1;
}
