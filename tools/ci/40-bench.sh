#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: builds the benchmarks and runs each for a moment, so that they cannot rot. The
# micro-benchmarks run with a tiny minimum time; vrell-bench runs about a second against the
# baseline server, against the real daemon (the usual mix with the server's usage from /proc,
# the scanner's load with vanishing and silent clients, and a paced client beside idle
# connections) and, where it is installed, against memcached; bench/report.py makes its tables
# and plot of two short rounds. No figure is
# asserted: the stage fails only when something does not build, crashes, or a load run gets no
# answer at all.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/lib.sh

tools/deps.sh python3 python3-matplotlib
build=build/ci-bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vrell vrell-bench baseline_server cache_bench request_bench \
  ini_bench

for b in cache_bench request_bench ini_bench; do
  "$build/bench/$b" --benchmark_min_time=0.01 >/dev/null
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vrell-ci-bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do vrell_stop_pid "$pid" || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

bench=$build/tools/vrell-bench
ready() {
  VRELL_WAIT_SECONDS=10 vrell_wait_for "$bench" -s "$1" "${@:2}" -n 1 -d 0 -t 1000 ||
    { echo "40-bench: nothing answers at $1" >&2; return 1; }
}

"$build/bench/baseline_server" "$tmp/baseline.sock" &
baseline_pid=$!
pids+=("$baseline_pid")
ready "$tmp/baseline.sock"
"$bench" -s "$tmp/baseline.sock" -c 4 -d 1

vrell_write_config "$tmp/vrell.ini" "$tmp" 10 1024 3600
vrell_pid=$(vrell_start_daemon "$build/daemon/vrell" "$tmp/vrell.ini" "$tmp/vrell.pid")
pids+=("$vrell_pid")
ready "$tmp/vrell.sock"
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --preload --server-pid "$vrell_pid" --json
"$bench" -s "$tmp/vrell.sock" -c 4 -d 1 --scan --vanish 1 --silent 1 --json

# Two rounds of a tenth of a second each, through the report of the peers section.
mkdir -p "$tmp/results"
for round in 1 2; do
  for c in 1 4; do
    "$bench" -s "$tmp/baseline.sock" -c "$c" -d 0.1 --server-pid "$baseline_pid" --json \
      >"$tmp/results/baseline-$c-$round.json"
    "$bench" -s "$tmp/vrell.sock" -c "$c" -d 0.1 --server-pid "$vrell_pid" --json \
      >"$tmp/results/vrell-10-$c-$round.json"
  done
done
/usr/bin/python3 bench/report.py peers --results "$tmp/results" --servers vrell-10,baseline \
  --rounds 2 --concurrencies 1,4 --seconds 0.1 --part "$tmp/peers.md" \
  --targets "$tmp/targets.md" --plot "$tmp/peers.png"
head -n 20 "$tmp/peers.md"

# A paced client beside idle connections, through the report of the silent section.
for k in 0 20; do
  "$bench" -s "$tmp/vrell.sock" -c 1 -d 1 --interval 100 -m 100,0,0 --idle "$k" --json \
    >"$tmp/results/silent-vrell-10-$k.json"
done
/usr/bin/python3 bench/report.py silent --results "$tmp/results" --servers vrell-10 --ks 0,20 \
  --seconds 1 --interval 100 --part "$tmp/silent.md" --targets "$tmp/silent-targets.md"
cat "$tmp/silent.md" "$tmp/silent-targets.md"

# The memcached mode, where memcached is installed already; the stage installs nothing for it.
if command -v memcached >/dev/null; then
  user=()
  [ "$(id -u)" = 0 ] && user=(-u root)
  memcached -s "$tmp/memcached.sock" -a 0700 "${user[@]}" &
  memcached_pid=$!
  pids+=("$memcached_pid")
  ready "$tmp/memcached.sock" --memcached
  "$bench" -s "$tmp/memcached.sock" --memcached -c 4 -d 1 --preload --server-pid "$memcached_pid" \
    --json
else
  echo "40-bench: memcached is not installed; its mode is not run"
fi
