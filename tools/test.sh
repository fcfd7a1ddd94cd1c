#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, then builds and runs every test: the suite in the normal build,
# under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer; builds the
# whole tree in Release with g++ and with clang, where optimisation-only warnings show, and
# runs the suite once there; then every further check in tools/ci/ (one script each, run in
# name order). Warnings are errors in every build here.
# A step that fails does not stop the others: each is named at the end with its log
# (build/logs/STEP.log) and the command that runs it alone.
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

# One step, in a subshell of its own so that its first failing command ends it.
run_step() {
  case "$1" in
    normal | asan | tsan | release-gcc | release-clang) run_variant "$1" ;;
    # The 32-bit build on this machine's own kernel; not part of the default run.
    i386-quick) bash tools/i386/quick.sh ;;
    *)
      script=$(find tools/ci -name "*$1.sh" | sort | head -n 1)
      [ -n "$script" ] || { echo "unknown step $1" >&2; exit 64; }
      echo "=== $1"
      bash "$script"
      ;;
  esac
}

# A failed step is named with the end of its log and the command that runs it alone; the run
# goes on with the others, so that one broken step hides none, and fails at the end.
mkdir -p build/logs
failed=()
for step in "${steps[@]}"; do
  start=$SECONDS
  log=build/logs/$step.log
  set +e
  (
    set -e
    run_step "$step"
  ) 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" = 0 ]; then
    echo "=== $step: done in $((SECONDS - start)) s"
    continue
  fi
  failed+=("$step")
  echo "=== $step: FAILED (status $status) after $((SECONDS - start)) s; the end of $log:"
  tail -n 25 "$log" | sed 's/^/    /'
  echo "=== $step: to run it alone: tools/test.sh $step"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "=== failed: ${failed[*]} (of ${steps[*]}); each log is in build/logs/"
  exit 1
fi
echo "=== all passed: ${steps[*]}"
