#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the suite in the normal build,
# under AddressSanitizer with UndefinedBehaviorSanitizer and under ThreadSanitizer, then every
# further check in tools/ci/ (one script each, run in name order).
# Usage: tools/test.sh [normal|asan|tsan|i386-quick|STAGE ...]   (default: all but i386-quick)
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

stages=()
for s in tools/ci/*.sh; do
  [ -e "$s" ] && stages+=("$(basename "$s" .sh)")
done

steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(normal asan tsan "${stages[@]}")

run_variant() {
  local name=$1
  local -a flags=()
  case "$name" in
    normal) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=address) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVRELL_SANITIZE=thread) ;;
  esac
  echo "=== $name: build"
  cmake -S . -B "build/$name" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "build/$name"
  echo "=== $name: test"
  (cd "build/$name" && ctest --output-on-failure -j2 --timeout 300)
}

for step in "${steps[@]}"; do
  start=$SECONDS
  case "$step" in
    normal | asan | tsan) run_variant "$step" ;;
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
