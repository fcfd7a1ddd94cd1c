#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Measures vrell against the limit of the machine and against its peers, and writes
# docs/benchmarks.md with its plots. Builds in Release and runs these sections:
#   peers   vrell (10 and 25 service threads, capacity 1024, life time 3600), the baseline
#           server, redis-server and memcached on Unix sockets; vrell-bench at each concurrency
#           against each of them, in rounds: each round runs every server once at each
#           concurrency, in alternating order, and reads each server's CPU time and context
#           switches from /proc around its run. bench/report.py takes each server's ratio to the
#           baseline round by round and gives the median with its range (docs/benchmarks.png)
#   cost    what one request costs each server: perf stat, and callgrind of vrell
#   memory  the resident size of each server with a full cache, every thread having served
#   micro   the Google Benchmark cases of the cache, the request parser and the INI reader
#   scan    a scanner's load on a small table (capacity 100, life time 2 s) for 60 s, on vrell
#           built from an earlier commit and on this tree, one after the other
#           (docs/benchmarks-scan.png)
#   counters what the operator's counters cost: vrell of a commit without them against this
#           tree at concurrency 1 and 16, in alternation, more rounds than peers
#   clamd   vrell-scan in front of ClamAV's clamd: a tree of --clamd-files files of 1 KiB to
#           1 MiB scanned by clamdscan alone (and with --fdpass), by vrell-scan with an empty
#           cache and by vrell-scan again, in --clamd-rounds rounds: wall time, files per
#           second, clamd's CPU time
#   silent  a scanner that sends Q every 100 ms for 15 s while K other connections connect and
#           say nothing (re-opened whenever the server ends one), K = 0, 10, 50, 500, 2000,
#           against vrell-10 (and before-10 with --before), redis-server and memcached: the
#           answers of the 151, their median and worst latency
#   soak    bench/soak.sh for --soak-minutes under the scanner's load with vanishing and silent
#           clients, its checks and its plot (docs/benchmarks-soak.png)
# Each section replaces its own part of docs/benchmarks.md and its rows of the targets; the
# parts of the sections not run keep what an earlier run wrote.
#
# Usage: bench/run.sh [--before REV] [--scan-before REV] [--counters-before REV] [--rounds N]
#                     [--seconds S] [--soak-minutes N] [--clamd-files N] [--clamd-rounds N]
#                     [--silent-ks LIST] [--silent-seconds S] [SECTION...]
#   SECTION            one or more of peers, cost, memory, micro, scan, counters, clamd, silent,
#                      soak (default: peers, cost, memory, micro, clamd and silent, and scan and
#                      counters when a commit to compare with is given; soak, which takes an
#                      hour, only when named)
#   --before REV       peers also measures vrell built from the commit REV, so that a change is
#                      measured before and after in the same run; scan and counters compare this
#                      tree with REV unless given a commit of their own
#   --scan-before REV  the commit the scan section measures beside this tree, for instance the
#                      last one whose table did not yet drop dead entries when full
#   --counters-before REV  the commit without the counters that the counters section measures
#                      beside this tree
#   --rounds N         rounds of the peers section (default 8)
#   --seconds S        length of one measured run of peers and counters (default 2)
#   --soak-minutes N   length of the soak (default 60)
#   --clamd-files N    files in the tree of the clamd section (default 2000)
#   --clamd-rounds N   rounds of the clamd section, each of the four runs once (default 3)
#   --silent-ks LIST   the counts of idle connections of the silent section, comma-separated
#                      (default 0,10,50,500,2000)
#   --silent-seconds S length of each run of the silent section (default 15)
#   --servers LIST     start only these of the compared servers, a comma-separated list of
#                      vrell-10, vrell-25, before-10, before-25, baseline, redis, memcached
#                      (default: all); the baseline is always started. A quick A/B of one change:
#                      --before REV --servers vrell-10,before-10 peers
# Builds of other commits are kept in build/bench-before/ for later runs. Everything it
# starts it stops by pid; its temporary files are removed at the end, the reports of vrell-bench
# and the counts that bench/report.py reads kept in build/bench-release/bench-results/. Without
# the soak, the whole run takes about twenty minutes on two cores. The soft limit of open files
# is raised to the hard limit for every server alike, so that 2000 idle connections fit each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source tools/lib.sh

all_sections=(peers cost memory micro scan counters clamd silent soak)
usage="usage: bench/run.sh [--before REV] [--scan-before REV] [--counters-before REV] [--rounds N] [--seconds S] [--soak-minutes N] [--servers LIST] [--clamd-files N] [--clamd-rounds N] [--silent-ks LIST] [--silent-seconds S] [${all_sections[*]}]"
before_rev=""
scan_before=""
counters_before=""
rounds=8
seconds=2
soak_minutes=60
clamd_files=2000
clamd_rounds=3
only_servers=""
silent_ks_list=0,10,50,500,2000
silent_seconds=15
sections=()
while [ $# -gt 0 ]; do
  case "$1" in
    --before | --scan-before | --counters-before | --rounds | --seconds | --soak-minutes | --servers | \
      --clamd-files | --clamd-rounds | --silent-ks | --silent-seconds)
      [ $# -ge 2 ] || { echo "$usage" >&2; exit 64; }
      case "$1" in
        --before) before_rev=$2 ;;
        --scan-before) scan_before=$2 ;;
        --counters-before) counters_before=$2 ;;
        --rounds) rounds=$2 ;;
        --seconds) seconds=$2 ;;
        --soak-minutes) soak_minutes=$2 ;;
        --servers) only_servers=",$2,baseline," ;;
        --clamd-files) clamd_files=$2 ;;
        --clamd-rounds) clamd_rounds=$2 ;;
        --silent-ks) silent_ks_list=$2 ;;
        --silent-seconds) silent_seconds=$2 ;;
      esac
      shift 2
      ;;
    peers | cost | memory | micro | scan | counters | clamd | silent | soak) sections+=("$1"); shift ;;
    *) echo "$usage" >&2; exit 64 ;;
  esac
done
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --rounds takes a whole number of rounds" >&2; exit 64; }
[[ "$clamd_files" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --clamd-files takes a whole number of files" >&2; exit 64; }
[[ "$clamd_rounds" =~ ^[1-9][0-9]*$ ]] || { echo "bench: --clamd-rounds takes a whole number of rounds" >&2; exit 64; }
scan_before=${scan_before:-$before_rev}
counters_before=${counters_before:-$before_rev}
if [ ${#sections[@]} -eq 0 ]; then
  sections=(peers cost memory micro clamd silent)
  [ -n "$scan_before" ] && sections+=(scan)
  [ -n "$counters_before" ] && sections+=(counters)
fi
want() {
  local s
  for s in "${sections[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}
if want scan && [ -z "$scan_before" ]; then
  echo "bench: the scan section compares with an earlier commit: give --scan-before REV or --before REV" >&2
  exit 64
fi
if want counters && [ -z "$counters_before" ]; then
  echo "bench: the counters section compares with a commit without them: give --counters-before REV or --before REV" >&2
  exit 64
fi
for rev in "$before_rev" "$scan_before" "$counters_before"; do
  if [ -n "$rev" ] && ! git rev-parse --verify -q "$rev^{commit}" >/dev/null; then
    echo "bench: $rev names no commit" >&2
    exit 64
  fi
done

concurrencies=(1 4 16 64)
paths=1024
timeout_ms=5000
# The scanner's load: a small table whose entries expire quickly, four scanners.
scan_seconds=60
scan_capacity=100
scan_life=2
scan_clients=4
scan_files=500
scan_once=30
# The counters cost little, so their section takes more rounds to see past the noise.
counters_rounds=9
# Silent clients: a paced scanner beside K idle connections, on each compared server.
IFS=, read -r -a silent_ks <<<"$silent_ks_list"
silent_interval_ms=100
# Long enough to see a reply that waited for a worker held by a silent client (5 s).
silent_timeout_ms=10000
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
report_py=(/usr/bin/python3 "$root/bench/report.py")

tools/deps.sh python3 python3-matplotlib
for peer in redis-server memcached; do
  tools/deps.sh "$peer" >/dev/null 2>&1 || echo "bench: $peer cannot be installed; measured without it"
done
! want clamd || tools/deps.sh clamav-daemon clamdscan

build=$root/build/bench-release
echo "=== bench: Release build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
targets=(vrell vrell-bench baseline_server)
want micro && targets+=(cache_bench request_bench ini_bench)
want clamd && targets+=(vrell-scan vrell-cli)
cmake --build "$build" -j2 --target "${targets[@]}"
bench_tool=$build/tools/vrell-bench

tmp=$(mktemp -d /tmp/vrell-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do vrell_stop_pid "$pid" || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
# Stops one of the processes started here and forgets it, so that the end does not signal a
# later process that was given the same pid.
stop_started() {
  local pid=$1 kept=() p
  vrell_stop_pid "$pid" "${2:-10}" || true
  for p in "${pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
  pids=("${kept[@]}")
}

# Builds vrell of the commit $1 once into build/bench-before/ and prints the binary's path.
# The sources come from git archive, so no worktree is left behind.
build_rev() {
  local sha dir
  sha=$(git rev-parse --verify "$1^{commit}")
  dir=$root/build/bench-before/$sha
  if [ ! -x "$dir/build/daemon/vrell" ]; then
    echo "=== bench: building vrell of $1 in $dir" >&2
    rm -rf "$dir/src"
    mkdir -p "$dir/src"
    git archive "$sha" | tar -x -C "$dir/src"
    cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DVRELL_BUILD_TESTS=OFF -DVRELL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir/build" -j2 --target vrell >&2
  fi
  echo "$dir/build/daemon/vrell"
}

# The commit of this tree, marked when it has changes not yet committed.
this_tree() {
  echo "$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!docs' 2>/dev/null || echo ' with changes')"
}
stamp() {
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on commit $(this_tree), $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)), Linux $(uname -r)."
}

# Waits until the server at the socket answers, at most 10 s. $2 is the vrell-bench mode.
wait_ready() {
  local mode_args=()
  [ -z "${2:-}" ] || mode_args=("$2")
  VRELL_WAIT_SECONDS=10 vrell_wait_for "$bench_tool" -s "$1" "${mode_args[@]}" -n 1 -d 0 -t 1000 ||
    { echo "bench: nothing answers at $1" >&2; return 1; }
}

# Targets, in the order of every round: name, socket, vrell-bench mode, pid.
names=()
sockets=()
modes=()
declare -A pid_of socket_of

# Starts a vrell binary ($2) as server $1 with $3 service threads, capacity $4 and life time
# $5, its socket and pid file in $tmp/$1/; it detaches and writes its pid file.
start_vrell() {
  local name=$1 binary=$2 threads=$3 capacity=$4 life=$5 dir=$tmp/$1 pid
  mkdir -p "$dir"
  vrell_write_config "$dir/vrell.ini" "$dir" "$threads" "$capacity" "$life"
  pid=$(vrell_start_daemon "$binary" "$dir/vrell.ini" "$dir/vrell.pid") ||
    { echo "bench: $name did not start" >&2; return 1; }
  pids+=("$pid")
  pid_of[$name]=$pid
  socket_of[$name]=$dir/vrell.sock
  wait_ready "$dir/vrell.sock"
}

# Starts vrell as one of the compared servers, with a full cache, as a daemon that has run for a
# while holds it.
start_compared_vrell() {
  start_vrell "$1" "$2" "$3" "$paths" 3600
  "$bench_tool" -s "${socket_of[$1]}" -p "$paths" --preload -n 1 -d 0 >/dev/null
  names+=("$1") sockets+=("${socket_of[$1]}") modes+=("")
}

# Whether server $1 is among those of --servers.
kept() {
  [ -z "$only_servers" ] || [[ "$only_servers" == *",$1,"* ]]
}

# Starts every compared server once: vrell, the baseline, and the peers that are installed.
servers_started=0
start_servers() {
  [ "$servers_started" = 0 ] || return 0
  servers_started=1
  echo "=== bench: starting the servers"
  ! kept vrell-10 || start_compared_vrell vrell-10 "$build/daemon/vrell" 10
  ! kept vrell-25 || start_compared_vrell vrell-25 "$build/daemon/vrell" 25
  if [ -n "$before_rev" ]; then
    local before
    before=$(build_rev "$before_rev")
    ! kept before-10 || start_compared_vrell before-10 "$before" 10
    ! kept before-25 || start_compared_vrell before-25 "$before" 25
  fi
  "$build/bench/baseline_server" "$tmp/baseline.sock" &
  pids+=($!)
  pid_of[baseline]=$!
  socket_of[baseline]=$tmp/baseline.sock
  wait_ready "$tmp/baseline.sock"
  names+=(baseline) sockets+=("$tmp/baseline.sock") modes+=("")
  if kept redis && command -v redis-server >/dev/null; then
    redis-server --port 0 --unixsocket "$tmp/redis.sock" --unixsocketperm 700 --save "" \
      --appendonly no --dir "$tmp" --logfile "$tmp/redis.log" &
    pids+=($!)
    pid_of[redis]=$!
    socket_of[redis]=$tmp/redis.sock
    wait_ready "$tmp/redis.sock" --redis
    "$bench_tool" -s "$tmp/redis.sock" --redis -p "$paths" --preload -n 1 -d 0 >/dev/null
    names+=(redis) sockets+=("$tmp/redis.sock") modes+=(--redis)
  fi
  if kept memcached && command -v memcached >/dev/null; then
    # memcached refuses to run as root unless told which user to stay.
    local user=()
    [ "$(id -u)" = 0 ] && user=(-u root)
    # -c: room for the silent section's idle connections (its default is 1024).
    memcached -s "$tmp/memcached.sock" -a 0700 -c 4096 "${user[@]}" >"$tmp/memcached.log" 2>&1 &
    pids+=($!)
    pid_of[memcached]=$!
    socket_of[memcached]=$tmp/memcached.sock
    wait_ready "$tmp/memcached.sock" --memcached
    "$bench_tool" -s "$tmp/memcached.sock" --memcached -p "$paths" --preload -n 1 -d 0 >/dev/null
    names+=(memcached) sockets+=("$tmp/memcached.sock") modes+=(--memcached)
  fi
}
if want peers || want cost || want memory || want silent; then start_servers; fi

# Each section writes its part of the page to $tmp/part-NAME.md and its rows of the targets
# ("| NAME | target | measured | met or missed |") to $tmp/targets-NAME.md.
results=$tmp/results
mkdir -p "$results"

# run_bench NAME MODE OUTPUT ARGS...: one run of vrell-bench against server NAME, with the
# server's usage read from /proc around it. A run that fails leaves its report out, and the
# report counts the round as missing for that server.
run_bench() {
  local name=$1 mode=$2 output=$3
  shift 3
  local extra=()
  [ -z "$mode" ] || extra+=("$mode")
  [ -z "${pid_of[$name]:-}" ] || extra+=(--server-pid "${pid_of[$name]}")
  "$bench_tool" -s "${socket_of[$name]}" "${extra[@]}" "$@" --json >"$output.part" &&
    mv "$output.part" "$output" || rm -f "$output.part"
}

peers_section() {
  local total=$((${#concurrencies[@]} * rounds * ${#names[@]})) round c i order
  echo "=== bench: peers, $total runs of $seconds s in $rounds rounds: ${names[*]}"
  for round in $(seq "$rounds"); do
    # Every other round runs the servers the other way round, so none gains from its place.
    order=("${!names[@]}")
    if [ $((round % 2)) = 0 ]; then
      order=()
      for ((i = ${#names[@]} - 1; i >= 0; i--)); do order+=("$i"); done
    fi
    for c in "${concurrencies[@]}"; do
      for i in "${order[@]}"; do
        run_bench "${names[$i]}" "${modes[$i]}" "$results/${names[$i]}-$c-$round.json" \
          -c "$c" -d "$seconds" -p "$paths" -t "$timeout_ms" --seed "$round"
      done
    done
  done
  local extra=()
  [ -n "$before_rev" ] && extra+=(--before "$(git rev-parse --short "$before_rev")")
  [ -n "${pid_of[redis]:-}" ] &&
    extra+=(--redis-version "$(redis-server --version 2>/dev/null | sed -n 's/.*v=\([^ ]*\).*/\1/p')")
  [ -n "${pid_of[memcached]:-}" ] &&
    extra+=(--memcached-version "$(memcached -V 2>/dev/null | awk '{ print $2 }')")
  "${report_py[@]}" peers --results "$results" --servers "$(IFS=,; echo "${names[*]}")" \
    --rounds "$rounds" --concurrencies "$(IFS=,; echo "${concurrencies[*]}")" \
    --seconds "$seconds" --paths "$paths" --stamp "$(stamp)" --this-tree "$(this_tree)" \
    "${extra[@]}" --part "$tmp/part-peers.md" --targets "$tmp/targets-peers.md" \
    --plot "$root/docs/benchmarks.png"
}

cost_section() {
  # What one request costs each server at concurrency 16, counted by perf on the server only.
  # Software counters (CPU time, context switches) work everywhere perf does; instructions need
  # hardware counters, which a virtual machine may not offer. bench/report.py divides the
  # counts by the requests answered.
  local hardware_counters=0 cg_requests=3000
  if perf stat -x, -e instructions true 2>&1 | grep -qE '^[0-9]+,[^,]*,instructions'; then hardware_counters=1; fi
  if perf stat -e task-clock true >/dev/null 2>&1; then
    echo "=== bench: cost, perf counts at concurrency 16"
    for i in "${!names[@]}"; do
      local name=${names[$i]} load
      "$bench_tool" -s "${sockets[$i]}" ${modes[$i]:+"${modes[$i]}"} -c 16 -d 3 -p "$paths" \
        --json >"$results/cost-$name.json" &
      load=$!
      perf stat -x, -e task-clock,context-switches,instructions -p "${pid_of[$name]}" \
        -o "$results/cost-$name.csv" -- sleep 2 >/dev/null 2>&1 || true
      wait "$load" || true
    done
  else
    echo "bench: perf does not work here; the cost section has no perf counts"
  fi

  # Where vrell's own time goes: perf record where hardware counters work, else callgrind,
  # which counts the instructions of the daemon's user space (not the kernel's work in its
  # calls).
  if [ "$hardware_counters" = 1 ]; then
    echo "=== bench: cost, perf record of vrell-25 at concurrency 16"
    "$bench_tool" -s "${socket_of[vrell-25]}" -c 16 -d 4 -p "$paths" >/dev/null &
    local load=$!
    perf record -q -o "$tmp/perf.data" -p "${pid_of[vrell-25]}" -- sleep 3 >/dev/null 2>&1 || true
    wait "$load" || true
    perf report -q -i "$tmp/perf.data" --stdio --no-children --sort dso,symbol \
      --percent-limit 1.5 >"$results/cost-perf-report.txt" 2>/dev/null || true
  elif command -v valgrind >/dev/null; then
    echo "=== bench: cost, callgrind of vrell with 25 threads"
    local cg_pid cg=$tmp/cg
    mkdir -p "$cg"
    vrell_write_config "$cg/vrell.ini" "$cg" 25 1024 3600
    valgrind -q --tool=callgrind --callgrind-out-file="$tmp/callgrind.%p" \
      "$build/daemon/vrell" -c "$cg/vrell.ini"
    vrell_wait_for test -s "$cg/vrell.pid" || { echo "bench: vrell under callgrind did not start" >&2; return 1; }
    cg_pid=$(cat "$cg/vrell.pid")
    pids+=("$cg_pid")
    vrell_wait_for "$bench_tool" -s "$cg/vrell.sock" -n 1 -d 0 -t 2000 ||
      { echo "bench: vrell under callgrind does not answer" >&2; return 1; }
    "$bench_tool" -s "$cg/vrell.sock" -p "$paths" --preload -n 1 -d 0 -t 10000 >/dev/null
    "$bench_tool" -s "$cg/vrell.sock" -c 4 -n "$cg_requests" -d 0 -p "$paths" -t 10000 >/dev/null
    stop_started "$cg_pid" 30
    if [ -s "$tmp/callgrind.$cg_pid" ]; then
      callgrind_annotate "$tmp/callgrind.$cg_pid" >"$results/cost-callgrind-totals.txt" \
        2>/dev/null || true
      callgrind_annotate --inclusive=no "$tmp/callgrind.$cg_pid" \
        >"$results/cost-callgrind-self.txt" 2>/dev/null || true
    fi
  fi
  "${report_py[@]}" cost --results "$results" --servers "$(IFS=,; echo "${names[*]}")" \
    --paths "$paths" --callgrind-requests "$cg_requests" --stamp "$(stamp)" \
    --part "$tmp/part-cost.md" --targets "$tmp/targets-cost.md"
}

memory_section() {
  echo "=== bench: memory"
  # Every service thread must have served once, as after a while in use; the peers section
  # has seen to that when it ran.
  if ! want peers; then
    for i in "${!names[@]}"; do
      "$bench_tool" -s "${sockets[$i]}" ${modes[$i]:+"${modes[$i]}"} -c 64 -d 1 -p "$paths" \
        >/dev/null || true
    done
  fi
  local name
  for name in "${names[@]}"; do
    cat "/proc/${pid_of[$name]}/status" >"$results/memory-$name.txt" 2>/dev/null ||
      rm -f "$results/memory-$name.txt"
  done
  "${report_py[@]}" memory --results "$results" --servers "$(IFS=,; echo "${names[*]}")" \
    --stamp "$(stamp)" --part "$tmp/part-memory.md" --targets "$tmp/targets-memory.md"
}

micro_section() {
  echo "=== bench: micro-benchmarks"
  local micro=$results/micro.txt b
  echo "Benchmark  Time  CPU  Iterations  Counters" >"$micro"
  for b in cache_bench request_bench ini_bench; do
    "$build/bench/$b" --benchmark_min_time=0.2 2>/dev/null | grep '^BM_' >>"$micro"
  done
  "${report_py[@]}" micro --results "$results" --stamp "$(stamp)" --part "$tmp/part-micro.md" \
    --targets "$tmp/targets-micro.md"
}

scan_section() {
  local before short run
  before=$(build_rev "$scan_before")
  short=$(git rev-parse --short "$scan_before")
  echo "=== bench: scan, ${scan_seconds} s on vrell of $short, then on this tree"
  start_vrell scan-before "$before" 10 "$scan_capacity" "$scan_life"
  start_vrell scan-after "$build/daemon/vrell" 10 "$scan_capacity" "$scan_life"
  for run in before after; do
    run_bench "scan-$run" --scan "$results/scan-$run.json" -c "$scan_clients" -d "$scan_seconds" \
      --files "$scan_files" --once "$scan_once" -t "$timeout_ms"
    stop_started "${pid_of[scan-$run]}"
  done
  "${report_py[@]}" scan --results "$results" --seconds "$scan_seconds" --capacity "$scan_capacity" \
    --life "$scan_life" --clients "$scan_clients" --files "$scan_files" --once "$scan_once" \
    --before "$short" --this-tree "$(this_tree)" --stamp "$(stamp)" \
    --part "$tmp/part-scan.md" --targets "$tmp/targets-scan.md" \
    --plot "$root/docs/benchmarks-scan.png"
}

counters_section() {
  local without short n c round order
  without=$(build_rev "$counters_before")
  short=$(git rev-parse --short "$counters_before")
  echo "=== bench: counters, vrell of $short (without) against this tree (with), $counters_rounds rounds"
  for n in without with; do
    local binary=$without
    [ "$n" = with ] && binary=$build/daemon/vrell
    start_vrell "counters-$n" "$binary" 10 "$paths" 3600
    "$bench_tool" -s "${socket_of[counters-$n]}" -p "$paths" --preload -n 1 -d 0 >/dev/null
  done
  for round in $(seq "$counters_rounds"); do
    # Each goes first in every other round, so neither gains from its place.
    order="without with"
    [ $((round % 2)) = 0 ] && order="with without"
    for c in 1 16; do
      for n in $order; do
        run_bench "counters-$n" "" "$results/counters-$n-$c-$round.json" -c "$c" -d "$seconds" \
          -p "$paths" -t "$timeout_ms" --seed "$round"
      done
    done
  done
  for n in without with; do stop_started "${pid_of[counters-$n]}"; done
  "${report_py[@]}" counters --results "$results" --rounds "$counters_rounds" --concurrencies 1,16 \
    --seconds "$seconds" --before "$short" --this-tree "$(this_tree)" --stamp "$(stamp)" \
    --part "$tmp/part-counters.md" --targets "$tmp/targets-counters.md"
}

# CPU seconds of process $1 so far: utime and stime of /proc/PID/stat, counted after the name,
# which may hold spaces.
cpu_seconds() {
  awk -v tck="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / tck }' "/proc/$1/stat"
}

clamd_section() {
  local dir=$tmp/clamd tree=$tmp/clamd/tree conf=$tmp/clamd/clamd.conf sock=$tmp/clamd/clamd.sock
  local eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*'
  local infected=$((clamd_files / 500 + 1)) clamd_pid vrell_socket round run
  echo "=== bench: clamd, $clamd_files files, $clamd_rounds rounds"
  mkdir -p "$dir/db" "$tree"
  # Sizes spread evenly over the logarithm from 1 KiB to 1 MiB, as file sizes tend to be; the
  # same tree for the same count. Random bytes, so that nothing is cheaper to scan than usual.
  /usr/bin/python3 - "$tree" "$clamd_files" "$infected" "$eicar" <<'PY'
import math, os, random, sys
tree, files, infected, eicar = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(2000)
step = files // infected
for i in range(files):
    sub = os.path.join(tree, "d%02d" % (i % 40))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "f%05d" % i), "wb") as out:
        if i % step == 0:
            out.write(eicar.encode())
        else:
            out.write(rng.randbytes(int(1024 * 2 ** (rng.random() * 10))))
PY
  local bytes
  bytes=$(du -sb "$tree" | awk '{ print $1 }')
  printf '%s' "$eicar" | md5sum | awk -v n=${#eicar} '{ print $1 ":" n ":Eicar-Test-Signature" }' >"$dir/db/test.hdb"
  # clamd's own cache of clean files is off, so that every run scans what it is given and the
  # order of the runs does not decide.
  cat >"$conf" <<CONF
Foreground yes
LocalSocket $sock
DatabaseDirectory $dir/db
TemporaryDirectory $dir
DisableCache yes
CONF
  clamd -c "$conf" >"$dir/clamd.log" 2>&1 &
  clamd_pid=$!
  pids+=("$clamd_pid")
  VRELL_WAIT_SECONDS=120 vrell_wait_for clamdscan -c "$conf" --ping 1 ||
    { echo "bench: clamd did not start: $(cat "$dir/clamd.log")" >&2; return 1; }
  # A table that holds the whole tree, and verdicts that last the whole run.
  start_vrell clamd-vrell "$build/daemon/vrell" 10 $((clamd_files + 100)) 3600
  vrell_socket=${socket_of[clamd-vrell]}
  # A verdict is stored only for a file whose status is 2 s old.
  sleep 3
  # A row per run: the run, the round, wall µs, clamd's CPU s, infected found, from the cache.
  local rows=$results/clamd-rows.txt
  : >"$rows"
  for round in $(seq "$clamd_rounds"); do
    "$build/tools/vrell-cli" -s "$vrell_socket" clear >/dev/null
    for run in clamdscan fdpass empty again; do
      local cmd=("$build/tools/vrell-scan" -s "$vrell_socket" --clamd "$sock" "$tree")
      [ "$run" = clamdscan ] && cmd=(clamdscan -c "$conf" "$tree")
      [ "$run" = fdpass ] && cmd=(clamdscan -c "$conf" --fdpass "$tree")
      local cpu0 cpu1 t0 t1 out
      cpu0=$(cpu_seconds "$clamd_pid")
      t0=$(date +%s%N)
      out=$("${cmd[@]}" 2>"$dir/$run.err") || true
      t1=$(date +%s%N)
      cpu1=$(cpu_seconds "$clamd_pid")
      echo "$run $round $(((t1 - t0) / 1000)) $(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { printf "%.3f", b - a }') $(sed -n 's/^Infected files: //p' <<<"$out") $(sed -n 's/^From cache: //p' <<<"$out")" >>"$rows"
    done
  done
  stop_started "$clamd_pid" 20
  stop_started "${pid_of[clamd-vrell]}"
  local version
  version=$(clamd --version 2>/dev/null | sed 's|/.*||')
  "${report_py[@]}" clamd --results "$results" --files "$clamd_files" --infected "$infected" \
    --bytes "$bytes" --version "$version" --rounds "$clamd_rounds" --stamp "$(stamp)" \
    --part "$tmp/part-clamd.md" --targets "$tmp/targets-clamd.md"
}

silent_section() {
  local i k shown=()
  for i in "${!names[@]}"; do
    case "${names[$i]}" in vrell-10 | before-10 | redis | memcached) shown+=("$i") ;; esac
  done
  local list=() ks
  for i in "${shown[@]}"; do list+=("${names[$i]}"); done
  ks=$(IFS=,; echo "${silent_ks[*]}")
  echo "=== bench: silent, Q every $silent_interval_ms ms for $silent_seconds s beside K = $ks idle connections: ${list[*]}"
  for k in "${silent_ks[@]}"; do
    for i in "${shown[@]}"; do
      run_bench "${names[$i]}" "${modes[$i]}" "$results/silent-${names[$i]}-$k.json" -c 1 \
        --interval "$silent_interval_ms" -d "$silent_seconds" -m 100,0,0 -p "$paths" \
        -t "$silent_timeout_ms" --idle "$k"
    done
  done
  local extra=()
  [ -n "$before_rev" ] && extra+=(--before "$(git rev-parse --short "$before_rev")")
  "${report_py[@]}" silent --results "$results" --servers "$(IFS=,; echo "${list[*]}")" \
    --ks "$ks" --seconds "$silent_seconds" --interval "$silent_interval_ms" --stamp "$(stamp)" \
    --this-tree "$(this_tree)" "${extra[@]}" --part "$tmp/part-silent.md" \
    --targets "$tmp/targets-silent.md"
}

soak_section() {
  echo "=== bench: soak, $soak_minutes min"
  # A failed check is part of the record, so the page is written all the same.
  bench/soak.sh --minutes "$soak_minutes" --build "$build" --out "$build/soak" \
    --stamp "$(stamp)" || true
  if [ -s "$build/soak/part.md" ]; then
    cp "$build/soak/part.md" "$tmp/part-soak.md"
    cp "$build/soak/targets.md" "$tmp/targets-soak.md"
    cp "$build/soak/soak.png" "$root/docs/benchmarks-soak.png"
  fi
}

for s in "${all_sections[@]}"; do
  if want "$s"; then "${s}_section"; fi
done

# The page: every section's part, new or from the page as an earlier run left it, then the
# targets, then the findings.
doc=$root/docs/benchmarks.md
old=$tmp/old.md
if [ -f "$doc" ]; then cp "$doc" "$old"; else : >"$old"; fi
old_part() {
  awk -v n="$1" '$0 == "<!-- bench:" n " -->" { on = 1; next } $0 == "<!-- /bench:" n " -->" { on = 0 } on' "$old"
}
old_targets() {
  awk -v n="$1" '/^## / { on = $0 == "## Targets" } on && index($0, "| " n " |") == 1' "$old"
}
{
  echo "# Benchmarks"
  echo
  echo "Written by \`bench/run.sh\` (\`make bench\`); do not edit by hand. Each section says when and on which commit it was measured; \`bench/run.sh SECTION...\` measures some again and keeps the others. The findings at the end come from \`bench/findings.md\`."
  echo
  for s in "${all_sections[@]}"; do
    echo "<!-- bench:$s -->"
    if [ -f "$tmp/part-$s.md" ]; then cat "$tmp/part-$s.md"; else old_part "$s"; fi
    echo "<!-- /bench:$s -->"
    echo
  done
  echo "## Targets"
  echo
  echo "| Section | Target | Measured | |"
  echo "|---|---|---:|---|"
  for s in "${all_sections[@]}"; do
    if [ -f "$tmp/targets-$s.md" ]; then cat "$tmp/targets-$s.md"; else old_targets "$s"; fi
  done
  if [ -f "$root/bench/findings.md" ]; then
    echo
    cat "$root/bench/findings.md"
  fi
} >"$doc"
# The raw reports stay for a closer look, until the next run.
rm -rf "$build/bench-results"
cp -r "$results" "$build/bench-results"
echo "=== bench: wrote $doc; the reports of vrell-bench are in $build/bench-results"
