#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: once in the normal build, once
# under AddressSanitizer with UndefinedBehaviorSanitizer and once under ThreadSanitizer.
# Usage: tools/test.sh [normal|asan|tsan ...]   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

variants=("$@")
[ ${#variants[@]} -gt 0 ] || variants=(normal asan tsan)

run_variant() {
  local name=$1
  local -a flags=()
  case "$name" in
    normal) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=address) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=thread) ;;
    *) echo "unknown variant $name" >&2; return 64 ;;
  esac
  echo "=== $name: build"
  cmake -S . -B "build/$name" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "build/$name"
  echo "=== $name: test"
  (cd "build/$name" && ctest --output-on-failure -j2 --timeout 300)
}

for v in "${variants[@]}"; do
  run_variant "$v"
done
echo "=== all variants passed: ${variants[*]}"
