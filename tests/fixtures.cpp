// SPDX-License-Identifier: BSD-2-Clause
#include "fixtures.h"

#include <stdlib.h>

saved_env::saved_env(const char *variable) : name(variable) {
  if (const char *text = getenv(variable)) value = text;
}

saved_env::~saved_env() {
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

int flaky_skip = 0;
int flaky_refuse = 0;

namespace {

// True when this request is to be refused; counts it either way.
bool refuse_this() {
  if (flaky_skip > 0) {
    flaky_skip--;
    return false;
  }
  if (flaky_refuse > 0) {
    flaky_refuse--;
    return true;
  }
  return false;
}

}  // namespace

void *flaky_alloc(size_t size) {
  return refuse_this() ? nullptr : malloc(size);
}

void *flaky_resize(void *block, size_t size) {
  return refuse_this() ? nullptr : realloc(block, size);
}
