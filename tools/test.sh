#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the suite in the normal build,
# under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer; builds the
# whole tree in Release with g++ and with clang, where optimisation-only warnings show, and
# runs the suite once there; then every further check in tools/ci/ (one script each, run in
# name order). Warnings are errors in every build here.
# Usage: tools/test.sh [normal|asan|tsan|release-gcc|release-clang|i386-quick|STAGE ...]
#        (default: everything but i386-quick)
set -euo pipefail
cd "$(dirname "$0")/.."

# clamd and clamdscan: vrell-scan's tests start clamd on a database of their own.
tools/deps.sh clamav-daemon clamdscan

stages=()
for s in tools/ci/*.sh; do
  [ -e "$s" ] && stages+=("$(basename "$s" .sh)")
done

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(normal asan tsan release-gcc release-clang "${stages[@]}")

run_variant() {
  local name=$1
  local -a flags=(-DVRELL_WERROR=ON)
  local test=yes
  case "$name" in
    normal) flags+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) flags+=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=address) ;;
    tsan) flags+=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=thread) ;;
    # The g++ Release build differs from the normal one only in its optimisation, so its
    # warnings are what it adds; the suite runs once, in the clang build.
    release-gcc)
      flags+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)
      test=no
      ;;
    release-clang)
      flags+=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang-14
              -DCMAKE_CXX_COMPILER=clang++-14)
      ;;
  esac
  echo "=== $name: build"
  cmake -S . -B "build/$name" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "build/$name"
  [ "$test" = yes ] || return 0
  echo "=== $name: test"
  (cd "build/$name" && ctest --output-on-failure -j2 --timeout 300)
}

for step in "${steps[@]}"; do
  start=$SECONDS
  case "$step" in
    normal | asan | tsan | release-gcc | release-clang) run_variant "$step" ;;
    # The 32-bit build on this machine's own kernel; not part of the default run.
    i386-quick) bash tools/i386/quick.sh ;;
    *)
      script=$(ls tools/ci/*"$step".sh 2>/dev/null | head -n 1)
      [ -n "$script" ] || { echo "unknown step $step" >&2; exit 64; }
      echo "=== $step"
      bash "$script"
      ;;
  esac
  echo "=== $step: done in $((SECONDS - start)) s"
done
echo "=== all passed: ${steps[*]}"
