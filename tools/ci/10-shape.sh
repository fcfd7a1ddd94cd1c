#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: the shape of the tree, in seconds and without a build (tools/ci/shape.py): includes
# against the floors of docs/architecture.md and no include circle, every C and C++ file as
# clang-format-14 formats it, no shellcheck warning in any shell script, and no product function
# over the length limit. Each finding is named with its file and line; fails on any.
set -euo pipefail
cd "$(dirname "$0")/../.."

tools/deps.sh python3 clang-format-14 shellcheck
# The checker's own tests first: a checker that passes everything would keep no shape.
tested=$(/usr/bin/python3 tests/shape_test.py 2>&1) || { echo "$tested"; exit 1; }
/usr/bin/python3 tools/ci/shape.py
