#!/usr/bin/env bash
# Measures vrell against the limit of the machine and writes docs/benchmarks.md and
# docs/benchmarks.png. Builds in Release, starts vrell (10 and 25 service threads, capacity
# 1024, life time 3600) on temporary configurations, the baseline server and, where it can be
# installed, redis-server on Unix sockets, and runs vrell-bench at each concurrency against
# each of them in turn, three rounds, taking the median. Also runs the micro-benchmarks, reads
# the daemons' resident size and, where perf works, counts what a request costs the server.
#
# Usage: bench/run.sh [--before REV] [--seconds S]
#   --before REV  also measure vrell built from the commit REV (in a temporary worktree), so
#                 that a change is measured before and after in the same run
#   --seconds S   length of one measured run (default 2)
# Everything it starts it stops by pid; its temporary files are removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

before_rev=""
seconds=2
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before_rev=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    *) echo "usage: bench/run.sh [--before REV] [--seconds S]" >&2; exit 64 ;;
  esac
done

concurrencies=(1 4 16 64)
rounds=3
paths=1024
timeout_ms=5000

tools/deps.sh
tools/deps.sh gnuplot-nox || tools/deps.sh gnuplot
tools/deps.sh redis-server >/dev/null 2>&1 || echo "bench: redis-server cannot be installed; measured without it"

build=$root/build/bench-release
echo "=== bench: Release build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vrell vrell-bench baseline_server cache_bench request_bench \
  ini_bench
bench_tool=$build/tools/vrell-bench

tmp=$(mktemp -d /tmp/vrell-bench.XXXXXX)
pids=()
worktree=""
cleanup() {
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  if [ -n "$worktree" ]; then git -C "$root" worktree remove --force "$worktree" || true; fi
  rm -rf "$tmp"
}

# True while the process exists and has not ended (a child that has ended stays a zombie until
# it is waited for).
alive() {
  [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Ends one process this script started: SIGTERM, up to 10 s for it to go, then SIGKILL. The
# daemons have detached, so only the baseline and redis are children to wait for.
stop_pid() {
  local pid=$1
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      alive "$pid" || break
      sleep 0.1
    done
    alive "$pid" && kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null || true
}
trap cleanup EXIT

vrell_before=""
if [ -n "$before_rev" ]; then
  worktree=$tmp/before
  echo "=== bench: building vrell of $before_rev in $worktree"
  git worktree add --detach "$worktree" "$before_rev" >/dev/null
  cmake -S "$worktree" -B "$worktree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVRELL_BUILD_TESTS=OFF -DVRELL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$worktree/build" -j2 --target vrell
  vrell_before=$worktree/build/daemon/vrell
fi

# Waits until the server at the socket answers, at most 10 s. $2 is --redis for redis.
wait_ready() {
  for _ in $(seq 100); do
    if "$bench_tool" -s "$1" ${2:-} -n 1 -d 0 -t 1000 >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  echo "bench: nothing answers at $1" >&2
  return 1
}

# Targets, in the order of every round: name, socket, vrell-bench mode, pid.
names=()
sockets=()
modes=()
declare -A pid_of

# Starts a vrell binary ($2) as target $1 with $3 service threads; it detaches and writes its
# pid file.
start_vrell() {
  local name=$1 binary=$2 threads=$3
  local conf=$tmp/$name.ini
  cat >"$conf" <<EOF
#*END

[vrell]
    QXVrellSocket = "$tmp/$name.sock"
    QXVrellPid = "$tmp/$name.pid"
    service threads = "$threads"
    cache max entry = "1024"
    entry life time = "3600"
EOF
  "$binary" -c "$conf"
  for _ in $(seq 100); do [ -s "$tmp/$name.pid" ] && break; sleep 0.1; done
  local pid
  pid=$(cat "$tmp/$name.pid")
  pids+=("$pid")
  pid_of[$name]=$pid
  wait_ready "$tmp/$name.sock"
  # A full cache, as a daemon that has run for a while holds it.
  "$bench_tool" -s "$tmp/$name.sock" -p "$paths" --preload -n 1 -d 0 >/dev/null
  names+=("$name") sockets+=("$tmp/$name.sock") modes+=("")
}

echo "=== bench: starting the servers"
start_vrell vrell-10 "$build/daemon/vrell" 10
start_vrell vrell-25 "$build/daemon/vrell" 25
if [ -n "$vrell_before" ]; then
  start_vrell before-10 "$vrell_before" 10
  start_vrell before-25 "$vrell_before" 25
fi
"$build/bench/baseline_server" "$tmp/baseline.sock" &
pids+=($!)
pid_of[baseline]=$!
wait_ready "$tmp/baseline.sock"
names+=(baseline) sockets+=("$tmp/baseline.sock") modes+=("")
if command -v redis-server >/dev/null; then
  redis-server --port 0 --unixsocket "$tmp/redis.sock" --unixsocketperm 700 --save "" \
    --appendonly no --dir "$tmp" --logfile "$tmp/redis.log" &
  pids+=($!)
  pid_of[redis]=$!
  wait_ready "$tmp/redis.sock" --redis
  "$bench_tool" -s "$tmp/redis.sock" --redis -p "$paths" --preload -n 1 -d 0 >/dev/null
  names+=(redis) sockets+=("$tmp/redis.sock") modes+=(--redis)
fi

# One figure of vrell-bench's JSON line.
field() {
  sed -n "s/.*\"$2\": \([0-9.]*\).*/\1/p" "$1"
}
median() {
  sort -n | sed -n "$(((rounds + 1) / 2))p"
}

results=$tmp/results
mkdir -p "$results"
total=$((${#concurrencies[@]} * rounds * ${#names[@]}))
echo "=== bench: $total runs of $seconds s: ${names[*]}"
for c in "${concurrencies[@]}"; do
  for round in $(seq "$rounds"); do
    for i in "${!names[@]}"; do
      out=$results/${names[$i]}-$c-$round.json
      "$bench_tool" -s "${sockets[$i]}" ${modes[$i]} -c "$c" -d "$seconds" -p "$paths" \
        -t "$timeout_ms" --seed "$round" --json >"$out" || true
    done
  done
done

# median NAME C FIELD: the median over the rounds of one figure.
figure() {
  for round in $(seq "$rounds"); do field "$results/$1-$2-$round.json" "$3"; done | median
}

# What one request costs each server at concurrency 16, counted by perf on the server only.
# Software counters (CPU time, context switches) work everywhere perf does; instructions need
# hardware counters, which a virtual machine may not offer.
profile=$tmp/profile.txt
: >"$profile"
hardware_counters=0
if perf stat -x, -e instructions true 2>&1 | grep -qE '^[0-9]+,[^,]*,instructions'; then hardware_counters=1; fi
if perf stat -e task-clock true >/dev/null 2>&1; then
  echo "=== bench: perf counts at concurrency 16"
  for i in "${!names[@]}"; do
    name=${names[$i]}
    "$bench_tool" -s "${sockets[$i]}" ${modes[$i]} -c 16 -d 3 -p "$paths" --json \
      >"$tmp/perf-$name.json" &
    load=$!
    perf stat -x, -e task-clock,context-switches,instructions -p "${pid_of[$name]}" \
      -o "$tmp/perf-$name.csv" -- sleep 2 >/dev/null 2>&1 || true
    wait "$load" || true
    rate=$(field "$tmp/perf-$name.json" requests_per_second)
    awk -F, -v name="$name" -v rate="${rate:-0}" '
      $3 ~ /^task-clock/ { ms = $1 }
      $3 ~ /^context-switches/ { cs = $1 }
      $3 ~ /^instructions/ { ins = $1 }
      END {
        # perf counted 2 s of a 3 s run: per request over the requests of those 2 s.
        r = rate * 2
        if (r > 0) printf "| %s | %.0f | %.1f | %.2f | %s |\n", name, rate, ms * 1000 / r, cs / r,
          ins ~ /^[0-9]+$/ ? sprintf("%.0f", ins / r) : "not counted"
      }' "$tmp/perf-$name.csv" >>"$profile"
  done
fi

# Where vrell's own time goes: perf record where hardware counters work, else callgrind, which
# counts the instructions of the daemon's user space (not the kernel's work in its calls).
report=$tmp/profile-report.txt
: >"$report"
if [ "$hardware_counters" = 1 ]; then
  echo "=== bench: perf record of vrell-25 at concurrency 16"
  "$bench_tool" -s "$tmp/vrell-25.sock" -c 16 -d 4 -p "$paths" >/dev/null &
  load=$!
  perf record -q -o "$tmp/perf.data" -p "${pid_of[vrell-25]}" -- sleep 3 >/dev/null 2>&1 || true
  wait "$load" || true
  {
    echo "perf record of vrell-25 at concurrency 16, self time by shared object and symbol:"
    echo
    echo '```'
    perf report -q -i "$tmp/perf.data" --stdio --no-children --sort dso,symbol \
      --percent-limit 1.5 2>/dev/null | sed '/^$/d' | head -25 || true
    echo '```'
  } >"$report"
elif command -v valgrind >/dev/null; then
  echo "=== bench: callgrind of vrell with 25 threads"
  cg_requests=3000
  cat >"$tmp/callgrind.ini" <<EOF
#*END

[vrell]
    QXVrellSocket = "$tmp/cg.sock"
    QXVrellPid = "$tmp/cg.pid"
    service threads = "25"
    cache max entry = "1024"
    entry life time = "3600"
EOF
  valgrind -q --tool=callgrind --callgrind-out-file="$tmp/callgrind.%p" \
    "$build/daemon/vrell" -c "$tmp/callgrind.ini"
  for _ in $(seq 300); do [ -s "$tmp/cg.pid" ] && break; sleep 0.1; done
  cg_pid=$(cat "$tmp/cg.pid")
  pids+=("$cg_pid")
  for _ in $(seq 300); do
    "$bench_tool" -s "$tmp/cg.sock" -n 1 -d 0 -t 2000 >/dev/null 2>&1 && break
    sleep 0.1
  done
  "$bench_tool" -s "$tmp/cg.sock" -p "$paths" --preload -n 1 -d 0 -t 10000 >/dev/null
  "$bench_tool" -s "$tmp/cg.sock" -c 4 -n "$cg_requests" -d 0 -p "$paths" -t 10000 >/dev/null
  stop_pid "$cg_pid"
  if [ -s "$tmp/callgrind.$cg_pid" ]; then
    served=$((cg_requests + paths + 2))
    total=$(callgrind_annotate "$tmp/callgrind.$cg_pid" 2>/dev/null |
      sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,)
    {
      echo "callgrind of vrell (25 threads) over its whole life: start, about $served requests (a preload of $paths adds, then $cg_requests of the mix at concurrency 4), stop."
      echo "User-space instructions: ${total:-?} in all, about $(awk -v t="${total:-0}" -v n="$served" 'BEGIN { printf "%.0f", t / n }') per request. Self cost by function:"
      echo
      echo '```'
      callgrind_annotate --inclusive=no "$tmp/callgrind.$cg_pid" 2>/dev/null |
        awk '/^-+$/ { dashes++; next } dashes >= 3 && NF > 0' | head -20 || true
      echo '```'
    } >"$report"
  fi
fi

# Resident size of each daemon after all of the above: a full cache, every thread has served.
memory=$tmp/memory.txt
: >"$memory"
for name in "${names[@]}"; do
  status=/proc/${pid_of[$name]}/status
  [ -r "$status" ] || continue
  rss=$(awk '/^VmRSS/ { print $2 }' "$status")
  threads=$(awk '/^Threads/ { print $2 }' "$status")
  echo "| $name | $rss KiB ($(awk -v k="$rss" 'BEGIN { printf "%.2f", k / 1024 }') MiB) | $threads |" >>"$memory"
done

echo "=== bench: micro-benchmarks"
micro=$tmp/micro.txt
echo "Benchmark  Time  CPU  Iterations  Counters" >"$micro"
for b in cache_bench request_bench ini_bench; do
  "$build/bench/$b" --benchmark_min_time=0.2 2>/dev/null | grep '^BM_' >>"$micro"
done

for name in "${names[@]}"; do
  for c in "${concurrencies[@]}"; do
    echo "$c $(figure "$name" "$c" requests_per_second) $(figure "$name" "$c" p99)"
  done >"$tmp/plot-$name.dat"
done

doc=$root/docs/benchmarks.md
plot=$root/docs/benchmarks.png
{
  echo "# Benchmarks"
  echo
  echo "Written by \`bench/run.sh\` (\`make bench\`); do not edit by hand. The findings at the end come from \`bench/findings.md\`."
  echo
  echo "- When: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD)"
  echo "- Machine: $(nproc) cores ($(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)), Linux $(uname -r); shared with other work, so figures vary from run to run"
  echo "- Load: vrell-bench, one request per connection (connect, send, receive, close), 90% Q, 8% A, 2% D over $paths paths, each run $seconds s, $rounds rounds in alternation, medians"
  echo "- vrell: Release build, capacity 1024 (full before the runs), life time 3600, 10 or 25 service threads"
  echo "- baseline: \`bench/baseline_server\`, one thread: accept, one receive, a fixed reply with its NUL, close"
  [ -n "$vrell_before" ] && echo "- before-N: vrell built from commit $(git rev-parse --short "$before_rev"), N service threads"
  echo "- redis: redis-server $(redis-server --version 2>/dev/null | sed -n 's/.*v=\([^ ]*\).*/\1/p') on a Unix socket, SET with EX, GET and DEL, same loop"
  echo
  echo "## Throughput and latency"
  echo
  echo "| Server | Concurrency | Requests/s | p50 µs | p99 µs | Errors | vs baseline |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for name in "${names[@]}"; do
    for c in "${concurrencies[@]}"; do
      rps=$(figure "$name" "$c" requests_per_second)
      base=$(figure baseline "$c" requests_per_second)
      errors=$(for r in $(seq "$rounds"); do field "$results/$name-$c-$r.json" errors; done |
        awk '{ s += $1 } END { print s + 0 }')
      ratio=$(awk -v a="$rps" -v b="$base" 'BEGIN { if (b > 0) printf "%.2f", a / b }')
      echo "| $name | $c | $rps | $(figure "$name" "$c" p50) | $(figure "$name" "$c" p99) | $errors | $ratio |"
    done
  done
  echo
  echo "![Throughput and p99 latency against concurrency](benchmarks.png)"
  echo
  if [ -n "$vrell_before" ]; then
    echo "## Before and after"
    echo
    echo "Requests per second and p50 of vrell built from $(git rev-parse --short "$before_rev") (before) and from $(git rev-parse --short HEAD) (after), same run."
    echo
    echo "| Threads | Concurrency | Before req/s | After req/s | After / before | Before p50 µs | After p50 µs |"
    echo "|---:|---:|---:|---:|---:|---:|---:|"
    for t in 10 25; do
      for c in "${concurrencies[@]}"; do
        b=$(figure "before-$t" "$c" requests_per_second)
        a=$(figure "vrell-$t" "$c" requests_per_second)
        echo "| $t | $c | $b | $a | $(awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b }') | $(figure "before-$t" "$c" p50) | $(figure "vrell-$t" "$c" p50) |"
      done
    done
    echo
  fi
  echo "## Resident size"
  echo
  echo "VmRSS from /proc after every run above (full cache of 1024 entries, every thread has served)."
  echo
  echo "| Server | VmRSS | Threads |"
  echo "|---|---:|---:|"
  cat "$memory"
  echo
  echo "## Micro-benchmarks"
  echo
  echo "Google Benchmark, Release; the cache is full (100 or 1024 entries) and shared by the threads. Time is per operation and thread."
  echo
  echo '```'
  cat "$micro"
  echo '```'
  echo
  if [ -s "$profile" ]; then
    echo "## Cost per request on the server"
    echo
    echo "perf stat on the server process alone, at concurrency 16, divided by the requests answered."
    echo
    echo "| Server | Requests/s | CPU µs per request | Context switches per request | Instructions per request |"
    echo "|---|---:|---:|---:|---:|"
    cat "$profile"
    echo
  fi
  if [ -s "$report" ]; then
    cat "$report"
    echo
  fi
  echo "## Targets"
  echo
  p50=$(figure vrell-10 1 p50)
  base16=$(figure baseline 16 requests_per_second)
  v16=$(figure vrell-10 16 requests_per_second)
  e16=$(for r in $(seq "$rounds"); do field "$results/vrell-10-16-$r.json" errors; done | awk '{ s += $1 } END { print s + 0 }')
  rss25=$(sed -n 's/^| vrell-25 | \([0-9]*\) KiB.*/\1/p' "$memory")
  slowest=$(grep '^BM_cache_.*entries:1024/threads:1 ' "$micro" | awk '{ if ($3 == "ns") v = $2; else if ($3 == "us") v = $2 * 1000; if (v > m) m = v } END { print m + 0 }')
  verdict() { awk -v v="$1" -v l="$2" -v lower="${3:-}" 'BEGIN { ok = lower ? v >= l : v < l; print ok ? "met" : "missed" }'; }
  echo "| Target | Measured | |"
  echo "|---|---:|---|"
  echo "| one request to an idle daemon, p50 under 150 µs | $p50 µs (vrell-10, concurrency 1) | $(verdict "$p50" 150) |"
  echo "| concurrency 16: at least 0.5 of the baseline's requests/s, no errors | $(awk -v a="$v16" -v b="$base16" 'BEGIN { if (b > 0) printf "%.2f", a / b }') of the baseline, $e16 errors | $( [ "$e16" = 0 ] && verdict "$(awk -v a="$v16" -v b="$base16" 'BEGIN { if (b > 0) print a / b; else print 0 }')" 0.5 1 || echo missed) |"
  echo "| resident size with a full cache and 25 threads under 8 MiB | ${rss25:-?} KiB | $(verdict "${rss25:-99999999}" 8192) |"
  echo "| each cache operation under 1 µs at 1024 entries (one thread) | $slowest ns, the slowest | $(verdict "$slowest" 1000) |"
  if [ -f "$root/bench/findings.md" ]; then
    echo
    cat "$root/bench/findings.md"
  fi
} >"$doc"

term=png
gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo && term=pngcairo
{
  echo "set terminal $term size 1100,460"
  echo "set output '$plot'"
  echo "set multiplot layout 1,2 title 'vrell-bench, one request per connection ($seconds s runs, medians of $rounds)'"
  echo "set logscale x 2; set xrange [0.8:80]; set xtics (1, 4, 16, 64); set xlabel 'concurrency'; set key left top; set grid"
  echo "set title 'throughput'; set ylabel 'requests per second'; set yrange [0:*]"
  printf "plot "
  for name in "${names[@]}"; do printf "'%s' using 1:2 with linespoints title '%s', " "$tmp/plot-$name.dat" "$name"; done
  echo
  echo "set title 'p99 latency'; set ylabel 'microseconds'; set logscale y; set yrange [50:*]"
  printf "plot "
  for name in "${names[@]}"; do printf "'%s' using 1:3 with linespoints title '%s', " "$tmp/plot-$name.dat" "$name"; done
  echo
  echo "unset multiplot"
} | sed 's/, $//' | gnuplot
echo "=== bench: wrote $doc and $plot"
