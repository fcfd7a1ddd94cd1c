#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Tests of tools/ci/shape.py on a throw-away repository: a checker that passes everything would
keep no shape."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CHECKOUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(CHECKOUT, "tools", "ci"))
import shape  # noqa: E402


class ShapeTest(unittest.TestCase):
    def test_includes_against_the_floors_and_circles(self):
        files = {
            "base/low.cpp": '#include "service/log.h"\n',
            "cache/cache.cpp": '#include "config/file.h"\n#include "base/wire.h"\n',
            "client/lookup.cpp": '#include "cache/cache.h"\n#include "config/ini.h"\n',
            "service/stats.cpp": '#include "service/pool.h"\n#include "service/log.h"\n',
            "service/extra.cpp": '#include "service/log.h"\n',
            "daemon/main.cpp": '#include "client/client.h"\n#include "service/pool.h"\n',
            "config/a.h": '#include "config/b.h"\n',
            "config/b.cpp": '#include "config/a.h"\n',
            "tools/cli.cpp": '#include "tools/file_key.h"\n#include "daemon/flags.h"\n',
            "examples/demo.c": '#include <vrell/client.h>\n#include "client/client.h"\n',
            "tests/any_test.cpp": '#include "daemon/main.h"\n',
            "odd/x.cpp": '#include "base/wire.h"\n',
        }
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "docs"))
            shutil.copy(os.path.join(CHECKOUT, shape.ARCHITECTURE), os.path.join(root, "docs"))
            for path, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as f:
                    f.write(text)
            subprocess.run(["git", "init", "-q", root], check=True)
            subprocess.run(["git", "-C", root, "add", "."], check=True)
            found = shape.Shape()
            floors = shape.read_floors(root, found)
            shape.check_includes(root, shape.tracked(root), floors, found)
        self.assertEqual(
            sorted((f.rule, f.path, f.line) for f in found.findings),
            [("circle", "config/a.h", 1), ("floors", "base/low.cpp", 1),
             ("floors", "cache/cache.cpp", 1), ("floors", "client/lookup.cpp", 1),
             ("floors", "daemon/main.cpp", 1), ("floors", "examples/demo.c", 2),
             ("floors", "odd/x.cpp", 1), ("floors", "service/extra.cpp", 1),
             ("floors", "service/stats.cpp", 1), ("floors", "tools/cli.cpp", 2)])

    def test_function_lengths(self):
        text = """\
namespace {
constexpr row TABLE[] = {{1, "}"},
                         {2, "{"}};
struct timespec now(void) {
  return {};
}
}  // namespace
struct record {
  int (*call)(int);
};
int one(void) { return 1; }
extern "C" int exported(const char *a,
                        int b) {
  if (b) {
    return 0;
  }
  return -1;
}
"""
        found = shape.functions("x.cpp", text.split("\n"))
        self.assertEqual([(f.name, f.line, f.lines) for f in found],
                         [("now", 4, 3), ("exported", 12, 7)])


if __name__ == "__main__":
    unittest.main()
