// SPDX-License-Identifier: BSD-2-Clause
// The main of a harness's replay test: feeds every file named on the command line, and every
// file of every directory named there, to the harness once, in name order, so that the seed
// corpus runs in the normal test suite without libFuzzer.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/check.h"

namespace {

bool is_directory(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Returns the regular files of the directory in name order; false when it cannot be read.
bool list_files(const std::string &directory, std::vector<std::string> *files) {
  DIR *dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  for (dirent *entry; (entry = readdir(dir)) != nullptr;) {
    std::string path = directory + "/" + entry->d_name;
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) files->push_back(path);
  }
  closedir(dir);
  std::sort(files->begin(), files->end());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!is_directory(argv[i])) {
      files.push_back(argv[i]);
    } else if (!list_files(argv[i], &files)) {
      fprintf(stderr, "replay: cannot read %s\n", argv[i]);
      return 1;
    }
  }
  // An empty corpus would make the test pass without testing anything.
  if (files.empty()) {
    fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  for (const std::string &path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      return 1;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  }
  printf("replay: %zu inputs\n", files.size());
  return 0;
}
