// SPDX-License-Identifier: BSD-2-Clause
#include "tools/clamd.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/unix_socket.h"

namespace {

constexpr char NO_REPLY[] = "No reply from clamd";

bool ends_with_word(std::string_view reply, std::string_view word, std::string_view *before) {
  if (reply == word) {
    *before = {};
    return true;
  }
  if (reply.size() <= word.size() || !reply.ends_with(word)) return false;
  std::string_view rest = reply.substr(0, reply.size() - word.size());
  if (rest.back() != ' ') return false;
  rest.remove_suffix(1);
  *before = rest;
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

}  // namespace

clamd_verdict clamd_parse_reply(std::string_view replies) {
  clamd_verdict found, error;
  bool any = false, all_ok = true;
  while (!replies.empty()) {
    size_t end = replies.find_first_of(std::string_view("\0\n", 2));
    std::string_view reply = trim(replies.substr(0, end));
    replies = end == std::string_view::npos ? std::string_view() : replies.substr(end + 1);
    if (reply.empty()) continue;
    any = true;
    // The label names what was scanned; a signature's name or a message may hold ": " itself.
    if (reply.starts_with("fd[")) {
      size_t label = reply.find("]: ");
      if (label != std::string_view::npos) reply.remove_prefix(label + 3);
    }
    std::string_view text;
    if (ends_with_word(reply, "FOUND", &text)) {
      if (found.result != CLAMD_FOUND) found = {CLAMD_FOUND, std::string(text)};
      all_ok = false;
    } else if (reply != "OK") {
      // An error, or a reply that is none of the three (an unknown command, a queue that is
      // full): either way nothing was scanned.
      if (error.text.empty()) {
        bool is_error = ends_with_word(reply, "ERROR", &text);
        error.text = std::string(is_error && !text.empty() ? text : reply);
      }
      all_ok = false;
    }
  }
  if (found.result == CLAMD_FOUND) return found;
  if (!error.text.empty()) return error;
  if (any && all_ok) return {CLAMD_OK, ""};
  return {CLAMD_ERROR, NO_REPLY};
}

std::string clamd_conf_socket(std::string_view conf_text) {
  std::string socket_path;
  while (!conf_text.empty()) {
    size_t end = conf_text.find('\n');
    std::string_view line = trim(conf_text.substr(0, end));
    conf_text = end == std::string_view::npos ? std::string_view() : conf_text.substr(end + 1);
    if (line.empty() || line.front() == '#') continue;
    size_t gap = line.find_first_of(" \t");
    if (gap == std::string_view::npos || line.substr(0, gap) != "LocalSocket") continue;
    std::string_view value = trim(line.substr(gap));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    socket_path = value;
  }
  return socket_path;
}

int clamd_socket_from_conf(const char *path, std::string *socket_path) {
  socket_path->clear();
  // Non-blocking, so that a FIFO at the path cannot hold the caller; fstat then refuses it.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  unix_socket_guard guard(fd);
  struct stat status;
  if (fstat(fd, &status) != 0) return -1;
  if (!S_ISREG(status.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  if (status.st_size > static_cast<off_t>(CLAMD_CONF_MAX)) {
    errno = EFBIG;
    return -1;
  }
  std::string text;
  char block[4096];
  ssize_t got;
  while ((got = read(fd, block, sizeof block)) != 0) {
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    text.append(block, static_cast<size_t>(got));
    if (text.size() > CLAMD_CONF_MAX) {
      errno = EFBIG;
      return -1;
    }
  }
  *socket_path = clamd_conf_socket(text);
  return socket_path->empty() ? -2 : 0;
}
