/* SPDX-License-Identifier: BSD-2-Clause */
// What vrell-scan reads from ClamAV's clamd without a socket: the engine's socket path from its
// configuration file, and the verdict in the replies to one scan. Kept apart from the socket
// exchange so that tests can feed them captured replies and configuration texts.
//
// Thread safety: every call is independent; any number of threads may call at once. Never
// prints.
#ifndef VRELL_TOOLS_CLAMD_H_
#define VRELL_TOOLS_CLAMD_H_

#include <stddef.h>

#include <string>
#include <string_view>

// The engine's configuration file of a Debian system, where its LocalSocket is found.
constexpr char CLAMD_CONF_DEFAULT[] = "/etc/clamav/clamd.conf";

// The most bytes of replies read for one scan. One reply is a label, a signature name or a
// message and a status word; with every signature reported (AllMatchScan) several come.
constexpr size_t CLAMD_REPLY_MAX = 8192;

// A configuration file longer than this is not read.
constexpr size_t CLAMD_CONF_MAX = 1 << 20;

// What a scan found.
enum clamd_result {
  CLAMD_OK = 0,     // nothing found
  CLAMD_FOUND = 1,  // a signature matched; the text is its name
  CLAMD_ERROR = 2,  // the engine could not scan; the text is its message
};

struct clamd_verdict {
  clamd_result result = CLAMD_ERROR;
  std::string text;  // the signature's name (CLAMD_FOUND) or the message (CLAMD_ERROR)
};

// Reads the replies of one scan, as received until the engine closed the connection: one or
// more lines "LABEL: OK", "LABEL: NAME FOUND" or "LABEL: MESSAGE ERROR", each ended by a NUL
// (the z form of the commands) or a newline, LABEL being "fd[N]" for a descriptor. A match in
// any reply wins, then an error; OK only when every reply says OK. Anything else, nothing
// included, is CLAMD_ERROR with the text received (or a fixed message) as its text.
clamd_verdict clamd_parse_reply(std::string_view replies);

// Reads the value of the LocalSocket option from the text of a clamd configuration file: lines
// of an option name and its value, '#' lines and empty lines ignored, the value's surrounding
// double quotes removed; the last such line counts. Returns the path, or "" when there is none.
std::string clamd_conf_socket(std::string_view conf_text);

// Reads the configuration file at path (a regular file after following links, never opened in a
// way that blocks; at most CLAMD_CONF_MAX bytes) and returns its LocalSocket in *socket_path.
// Returns 0; -1 with errno set when the file cannot be read (EINVAL when it is not a regular
// file, EFBIG when it is too long); -2 when it names no LocalSocket.
int clamd_socket_from_conf(const char *path, std::string *socket_path);

#endif  // VRELL_TOOLS_CLAMD_H_
