#!/usr/bin/env bash
# CI stage: builds the benchmarks and runs each for a moment, so that they cannot rot. The
# micro-benchmarks run with a tiny minimum time; vrell-bench runs about a second against the
# baseline server, against the real daemon (the usual mix and the scanner's load) and, where it
# is installed, against memcached. No figure is asserted: the stage fails only when
# something does not build, crashes, or a load run gets no answer at all.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build/ci-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vrell vrell-bench baseline_server cache_bench request_bench \
  ini_bench

for b in cache_bench request_bench ini_bench; do
  "$build/bench/$b" --benchmark_min_time=0.01 >/dev/null
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vrell-ci-bench.XXXXXX")
pids=()
# True while the process exists and has not ended (an ended child stays a zombie until waited).
alive() {
  [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}
# Ends what this stage started, by pid: SIGTERM, up to 10 s, then SIGKILL. The daemon has
# detached, so only the baseline server and memcached are children to wait for.
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

bench=$build/tools/vrell-bench
ready() {
  for _ in $(seq 100); do
    "$bench" -s "$1" -n 1 -d 0 -t 1000 >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "40-bench: nothing answers at $1" >&2
  return 1
}

"$build/bench/baseline_server" "$tmp/baseline.sock" &
pids+=($!)
ready "$tmp/baseline.sock"
"$bench" -s "$tmp/baseline.sock" -c 4 -d 1

cat >"$tmp/vrell.ini" <<EOF
#*END

[vrell]
    QXVrellSocket = "$tmp/vrell.sock"
    QXVrellPid = "$tmp/vrell.pid"
    service threads = "10"
    cache max entry = "1024"
    entry life time = "3600"
EOF
"$build/daemon/vrell" -c "$tmp/vrell.ini"
for _ in $(seq 100); do [ -s "$tmp/vrell.pid" ] && break; sleep 0.1; done
pids+=("$(cat "$tmp/vrell.pid")")
ready "$tmp/vrell.sock"
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --preload --json
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --scan --json

# The memcached mode, where memcached is installed already; the stage installs nothing for it.
if command -v memcached >/dev/null; then
  user=()
  [ "$(id -u)" = 0 ] && user=(-u root)
  memcached -s "$tmp/memcached.sock" -a 0700 "${user[@]}" &
  pids+=($!)
  for _ in $(seq 100); do
    "$bench" -s "$tmp/memcached.sock" --memcached -n 1 -d 0 -t 1000 >/dev/null 2>&1 && break
    sleep 0.1
  done
  "$bench" -s "$tmp/memcached.sock" --memcached -c 4 -d 1 --preload --json
else
  echo "40-bench: memcached is not installed; its mode is not run"
fi
