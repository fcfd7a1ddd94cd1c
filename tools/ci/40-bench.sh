#!/usr/bin/env bash
# CI stage: builds the benchmarks and runs each for a moment, so that they cannot rot. The
# micro-benchmarks run with a tiny minimum time; vrell-bench runs about a second against the
# baseline server, against the real daemon (the usual mix and the scanner's load) and, where it
# is installed, against memcached. No figure is asserted: the stage fails only when
# something does not build, crashes, or a load run gets no answer at all.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/lib.sh

build=build/ci-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vrell vrell-bench baseline_server cache_bench request_bench \
  ini_bench

for b in cache_bench request_bench ini_bench; do
  "$build/bench/$b" --benchmark_min_time=0.01 >/dev/null
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vrell-ci-bench.XXXXXX")
pids=()
# Ends what this stage started, by pid: SIGTERM, up to 10 s, then SIGKILL. The daemon has
# detached, so only the baseline server and memcached are children to wait for.
cleanup() {
  for pid in "${pids[@]}"; do
    vrell_stop_pid "$pid" 10 || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

bench=$build/tools/vrell-bench
ready() {
  VRELL_WAIT_SECONDS=10 vrell_wait_for "$bench" -s "$1" -n 1 -d 0 -t 1000 && return 0
  echo "40-bench: nothing answers at $1" >&2
  return 1
}

"$build/bench/baseline_server" "$tmp/baseline.sock" &
pids+=($!)
ready "$tmp/baseline.sock"
"$bench" -s "$tmp/baseline.sock" -c 4 -d 1

vrell_write_config "$tmp/vrell.ini" "$tmp" 10 1024 3600
daemon_pid=$(VRELL_WAIT_SECONDS=10 vrell_start_daemon "$build/daemon/vrell" "$tmp/vrell.ini" \
  "$tmp/vrell.pid")
pids+=("$daemon_pid")
ready "$tmp/vrell.sock"
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --preload --json
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --scan --json

# The memcached mode, where memcached is installed already; the stage installs nothing for it.
if command -v memcached >/dev/null; then
  user=()
  [ "$(id -u)" = 0 ] && user=(-u root)
  memcached -s "$tmp/memcached.sock" -a 0700 "${user[@]}" &
  pids+=($!)
  VRELL_WAIT_SECONDS=10 vrell_wait_for "$bench" -s "$tmp/memcached.sock" --memcached -n 1 -d 0 \
    -t 1000 || true
  "$bench" -s "$tmp/memcached.sock" --memcached -c 4 -d 1 --preload --json
else
  echo "40-bench: memcached is not installed; its mode is not run"
fi
