#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, then builds vrell in build/normal: everything, or only the targets
# given (tools/build.sh vrell vrell-cli).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if [ $# -gt 0 ]; then
  cmake --build build/normal --target "$@"
else
  cmake --build build/normal
fi
