// SPDX-License-Identifier: BSD-2-Clause
#include "tools/file_key.h"

#include <limits.h>
#include <unistd.h>

#include <string_view>

bool file_key_absolute(const char *typed, std::string *out) {
  std::string joined;
  if (typed[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    joined = cwd;
    joined += '/';
  }
  joined += typed;
  out->clear();
  std::string_view rest = joined;
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    out->push_back('/');
    out->append(part);
  }
  // The root alone; push_back, since g++ 12 at -O3 takes an assignment here for an overlap.
  if (out->empty()) out->push_back('/');
  return true;
}
