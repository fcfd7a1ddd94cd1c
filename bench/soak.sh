#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# A soak: the scanner's load of the benchmarks (vrell-bench --scan: 4 scanners, 500 files of
# Zipf-like popularity and 30 % one-off paths, on a table of 100 entries that live 2 s) against
# a Release daemon with 10 service threads for a set time, while one more client keeps
# connecting and vanishing mid-request (half a request, or nothing, then close) and two connect
# and stay silent until the daemon answers them 208 after its 5 s. Every 10 s it samples the
# daemon's resident size, open descriptors, threads and counters into a CSV; then
# bench/report.py soak checks the samples and plots them:
#   - after the first minute, none of resident size, descriptors and threads goes beyond the
#     first minute's largest value and a small slack (the slacks are explained in report.py)
#   - idle after the load, the daemon holds as many descriptors and threads as before it
#   - no failed exchange and no error reply but the silent clients' expected time-outs
#   - the daemon's counters equal the clients' own tallies, reply code by reply code
# and the daemon stops on SIGTERM at the end. Exits 0 when every check passed, else 1 with a
# line for each failed check.
#
# Usage: bench/soak.sh [--minutes N] [--out DIR] [--build DIR] [--stamp TEXT]
#   --minutes N  length of the load, whole minutes, at least 2 (default 60)
#   --out DIR    where the samples (soak.csv), vrell-bench's report (bench.json), the daemon's
#                log, the verdict (verdict.txt), the plot (soak.png) and the section of
#                docs/benchmarks.md (part.md, targets.md) go; replaced (default build/soak)
#   --build DIR  the Release build directory to configure and build (default build/bench-release)
#   --stamp TEXT the section's line on when and where it was measured (bench/run.sh gives it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source tools/lib.sh

usage="usage: bench/soak.sh [--minutes N] [--out DIR] [--build DIR] [--stamp TEXT]"
minutes=60
out=build/soak
build=build/bench-release
stamp="Measured $(date -u '+%Y-%m-%d %H:%M UTC') on commit $(git rev-parse --short HEAD), $(nproc) cores, Linux $(uname -r)."
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || { echo "$usage" >&2; exit 64; }
  case "$1" in
    --minutes) minutes=$2 ;;
    --out) out=$2 ;;
    --build) build=$2 ;;
    --stamp) stamp=$2 ;;
    *) echo "$usage" >&2; exit 64 ;;
  esac
  shift 2
done
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || [ "$minutes" -lt 2 ] || [ -z "$out" ] || [ -z "$build" ]; then
  echo "$usage" >&2
  exit 64
fi

# The load: the scan section's of bench/run.sh, and the misbehaving clients beside it.
threads=10
capacity=100
life=2
scanners=4
files=500
once=30
vanish=1
silent=2
every=10

tools/deps.sh python3 python3-matplotlib
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vrell vrell-bench vrell-cli >/dev/null
cli=$build/tools/vrell-cli

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
csv=$out/soak.csv
# The socket lies in a short path of its own; a socket path holds at most 107 characters.
tmp=$(mktemp -d /tmp/vrell-soak.XXXXXX)
pid=""
bench_pid=""
cleanup() {
  if [ -n "$bench_pid" ]; then vrell_stop_pid "$bench_pid" 5 || true; fi
  if [ -n "$pid" ]; then vrell_stop_pid "$pid" || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

vrell_write_config "$tmp/vrell.ini" "$tmp" "$threads" "$capacity" "$life"
pid=$(VRELL_LOG_FILE=$out/vrell.log vrell_start_daemon "$build/daemon/vrell" "$tmp/vrell.ini" \
  "$tmp/vrell.pid") || { echo "soak: the daemon did not start" >&2; exit 1; }
VRELL_WAIT_SECONDS=10 vrell_wait_for "$cli" -s "$tmp/vrell.sock" status ||
  { echo "soak: the daemon does not answer" >&2; exit 1; }

# One row: seconds since the load began, 1 while it runs, the daemon's resident size and the
# memory it holds from the kernel for its data (VmData: heap, malloc arenas, stacks), in KiB,
# its descriptors and threads (tasks: the counters have a "threads" of their own, the workers),
# then its counters in the order the daemon gives them. The
# descriptors are counted before the counters are asked for, so the asking connection is not
# among them. Every row costs the daemon one connection, which the check allows for.
started=""
sample() {
  local load=$1 status=/proc/$pid/status stats rss data fds threads_now seconds=0
  if ! vrell_alive "$pid"; then
    echo "soak: FAIL the daemon (pid $pid) has ended"
    return 1
  fi
  rss=$(awk '/^VmRSS:/ { print $2 }' "$status")
  data=$(awk '/^VmData:/ { print $2 }' "$status")
  threads_now=$(awk '/^Threads:/ { print $2 }' "$status")
  fds=$(ls "/proc/$pid/fd" | wc -l)
  if ! stats=$("$cli" -s "$tmp/vrell.sock" stats); then
    echo "soak: FAIL the daemon gave no counters"
    return 1
  fi
  [ -z "$started" ] || seconds=$(awk -v a="$EPOCHREALTIME" -v b="$started" 'BEGIN { printf "%.1f", a - b }')
  if [ ! -s "$csv" ]; then
    echo "seconds,load,rss_kib,data_kib,fds,tasks,$(awk '{ print $1 }' <<<"$stats" | paste -sd,)" >"$csv"
  fi
  echo "$seconds,$load,$rss,$data,$fds,$threads_now,$(awk '{ print $2 }' <<<"$stats" | paste -sd,)" >>"$csv"
}
# A counter of the last row.
last() {
  awk -F, -v name="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == name) c = i } END { print $c }' "$csv"
}

sample 0
echo "=== soak: $minutes min of the scanner's load on $tmp/vrell.sock, samples in $csv"
started=$EPOCHREALTIME
"$build/tools/vrell-bench" -s "$tmp/vrell.sock" --scan -c "$scanners" -d $((minutes * 60)) \
  --files "$files" --once "$once" -t 5000 --vanish "$vanish" --silent "$silent" \
  --server-pid "$pid" --json >"$out/bench.json" &
bench_pid=$!
# The load ends on its own after its minutes and the silent clients' last wait; the bound
# leaves a minute more for a load that hangs.
next=$every
limit=$((minutes * 60 + 60))
while vrell_alive "$bench_pid"; do
  now=$(awk -v a="$EPOCHREALTIME" -v b="$started" 'BEGIN { print int(a - b) }')
  if [ "$now" -ge "$limit" ]; then
    echo "soak: FAIL the load did not end within $limit s"
    exit 1
  fi
  if [ "$now" -ge "$next" ]; then
    sample 1
    next=$((next + every))
  fi
  sleep 0.5
done
bench_status=0
wait "$bench_pid" || bench_status=$?
bench_pid=""

# Idle: every connection the clients made has been served and counted once only this row's
# own is being served and none waits.
for _ in $(seq 50); do
  sample 0
  [ "$(last busy)" = 1 ] && [ "$(last queued)" = 0 ] && break
  sleep 0.2
done

stopped=yes
vrell_stop_pid "$pid" || stopped=no
pid=""

status=0
/usr/bin/python3 bench/report.py soak --csv "$csv" --bench "$out/bench.json" \
  --plot "$out/soak.png" --clients "$((scanners + vanish + silent + 1))" \
  --bench-status "$bench_status" --stopped "$stopped" --stamp "$stamp" --part "$out/part.md" \
  --targets "$out/targets.md" | tee "$out/verdict.txt" || status=1
echo "=== soak: samples, report, log, verdict and plot in $out"
exit "$status"
