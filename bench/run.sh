#!/usr/bin/env bash
# Measures vrell against the limit of the machine and against its peers, and writes
# docs/benchmarks.md with its plots. Builds in Release and runs these sections:
#   peers   vrell (10 and 25 service threads, capacity 1024, life time 3600), the baseline
#           server, redis-server and memcached on Unix sockets; vrell-bench at each concurrency
#           against each of them in turn, three rounds, the median (docs/benchmarks.png)
#   cost    what one request costs each server: perf stat, and callgrind of vrell
#   memory  the resident size of each server with a full cache, every thread having served
#   micro   the Google Benchmark cases of the cache, the request parser and the INI reader
#   scan    a scanner's load on a small table (capacity 100, life time 2 s) for 60 s, on vrell
#           built from an earlier commit and on this tree, one after the other
#           (docs/benchmarks-scan.png)
#   counters what the operator's counters cost: vrell of a commit without them against this
#           tree at concurrency 1 and 16, in alternation, more rounds than peers
# Each section replaces its own part of docs/benchmarks.md and its rows of the targets; the
# parts of the sections not run keep what an earlier run wrote.
#
# Usage: bench/run.sh [--before REV] [--scan-before REV] [--counters-before REV] [--seconds S]
#                     [SECTION...]
#   SECTION            one or more of peers, cost, memory, micro, scan, counters (default: all)
#   --before REV       peers also measures vrell built from the commit REV, so that a change is
#                      measured before and after in the same run
#   --scan-before REV  the commit the scan section measures beside this tree (default: the
#                      last one whose table does not yet drop dead entries when it is full;
#                      also VRELL_SCAN_BEFORE)
#   --counters-before REV  the commit without the counters that the counters section measures
#                      beside this tree (default: the pool as it was before the counters came)
#   --seconds S        length of one measured run of peers and counters (default 2)
# Builds of other commits are kept in build/bench-before/ for later runs. Everything it
# starts it stops by pid; its temporary files are removed at the end, the reports of vrell-bench
# kept in build/bench-release/bench-results/. The whole run takes
# about ten minutes on two cores.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

all_sections=(peers cost memory micro scan counters)
usage="usage: bench/run.sh [--before REV] [--scan-before REV] [--counters-before REV] [--seconds S] [${all_sections[*]}]"
before_rev=""
scan_before=${VRELL_SCAN_BEFORE:-117dfdf7a5fd0f85f292c043e6a40f092462b059}
counters_before=c24c07ed2d71f77a76f221636a6aba8c04c711af
seconds=2
sections=()
while [ $# -gt 0 ]; do
  case "$1" in
    --before) before_rev=$2; shift 2 ;;
    --scan-before) scan_before=$2; shift 2 ;;
    --counters-before) counters_before=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    peers | cost | memory | micro | scan | counters) sections+=("$1"); shift ;;
    *) echo "$usage" >&2; exit 64 ;;
  esac
done
[ ${#sections[@]} -gt 0 ] || sections=("${all_sections[@]}")
want() {
  local s
  for s in "${sections[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}

concurrencies=(1 4 16 64)
rounds=3
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

tools/deps.sh
tools/deps.sh gnuplot-nox || tools/deps.sh gnuplot
for peer in redis-server memcached; do
  tools/deps.sh "$peer" >/dev/null 2>&1 || echo "bench: $peer cannot be installed; measured without it"
done

build=$root/build/bench-release
echo "=== bench: Release build in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRELL_BUILD_TESTS=OFF >/dev/null
targets=(vrell vrell-bench baseline_server)
want micro && targets+=(cache_bench request_bench ini_bench)
cmake --build "$build" -j2 --target "${targets[@]}"
bench_tool=$build/tools/vrell-bench

tmp=$(mktemp -d /tmp/vrell-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  rm -rf "$tmp"
}

# True while the process exists and has not ended (a child that has ended stays a zombie until
# it is waited for).
alive() {
  [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Ends one process this script started: SIGTERM, up to 10 s for it to go, then SIGKILL. The
# daemons have detached, so only the baseline and the peers are children to wait for.
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

# Starts a vrell binary ($2) as server $1 with $3 service threads, capacity $4 and life time
# $5; it detaches and writes its pid file.
start_vrell() {
  local name=$1 binary=$2 threads=$3 capacity=$4 life=$5
  local conf=$tmp/$name.ini
  cat >"$conf" <<EOF
#*END

[vrell]
    QXVrellSocket = "$tmp/$name.sock"
    QXVrellPid = "$tmp/$name.pid"
    service threads = "$threads"
    cache max entry = "$capacity"
    entry life time = "$life"
EOF
  "$binary" -c "$conf"
  for _ in $(seq 100); do [ -s "$tmp/$name.pid" ] && break; sleep 0.1; done
  local pid
  pid=$(cat "$tmp/$name.pid")
  pids+=("$pid")
  pid_of[$name]=$pid
  wait_ready "$tmp/$name.sock"
}

# Starts vrell as one of the compared servers, with a full cache, as a daemon that has run for a
# while holds it.
start_compared_vrell() {
  start_vrell "$1" "$2" "$3" "$paths" 3600
  "$bench_tool" -s "$tmp/$1.sock" -p "$paths" --preload -n 1 -d 0 >/dev/null
  names+=("$1") sockets+=("$tmp/$1.sock") modes+=("")
}

# Starts every compared server once: vrell, the baseline, and the peers that are installed.
servers_started=0
start_servers() {
  [ "$servers_started" = 0 ] || return 0
  servers_started=1
  echo "=== bench: starting the servers"
  start_compared_vrell vrell-10 "$build/daemon/vrell" 10
  start_compared_vrell vrell-25 "$build/daemon/vrell" 25
  if [ -n "$before_rev" ]; then
    local before
    before=$(build_rev "$before_rev")
    start_compared_vrell before-10 "$before" 10
    start_compared_vrell before-25 "$before" 25
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
  if command -v memcached >/dev/null; then
    # memcached refuses to run as root unless told which user to stay.
    local user=()
    [ "$(id -u)" = 0 ] && user=(-u root)
    memcached -s "$tmp/memcached.sock" -a 0700 "${user[@]}" >"$tmp/memcached.log" 2>&1 &
    pids+=($!)
    pid_of[memcached]=$!
    wait_ready "$tmp/memcached.sock" --memcached
    "$bench_tool" -s "$tmp/memcached.sock" --memcached -p "$paths" --preload -n 1 -d 0 >/dev/null
    names+=(memcached) sockets+=("$tmp/memcached.sock") modes+=(--memcached)
  fi
}
if want peers || want cost || want memory; then start_servers; fi

# One figure of vrell-bench's JSON line.
field() {
  sed -n "s/.*\"$2\": \([0-9.]*\).*/\1/p" "$1"
}
median() {
  sort -n | sed -n "$(((rounds + 1) / 2))p"
}
ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b }'
}
# verdict VALUE LIMIT [lower]: met when VALUE is under LIMIT (at least LIMIT with lower).
verdict() {
  awk -v v="$1" -v l="$2" -v lower="${3:-}" 'BEGIN { ok = lower ? v >= l : v < l; print ok ? "met" : "missed" }'
}

# Each section writes its part of the page to $tmp/part-NAME.md and its rows of the targets
# ("| NAME | target | measured | met or missed |") to $tmp/targets-NAME.md.
results=$tmp/results
mkdir -p "$results"

# median NAME C FIELD: the median over the rounds of one figure.
figure() {
  for round in $(seq "$rounds"); do field "$results/$1-$2-$round.json" "$3"; done | median
}
errors_of() {
  for r in $(seq "$rounds"); do field "$results/$1-$2-$r.json" errors; done |
    awk '{ s += $1 } END { print s + 0 }'
}

peers_section() {
  local total=$((${#concurrencies[@]} * rounds * ${#names[@]}))
  echo "=== bench: peers, $total runs of $seconds s: ${names[*]}"
  for c in "${concurrencies[@]}"; do
    for round in $(seq "$rounds"); do
      for i in "${!names[@]}"; do
        "$bench_tool" -s "${sockets[$i]}" ${modes[$i]} -c "$c" -d "$seconds" -p "$paths" \
          -t "$timeout_ms" --seed "$round" --json >"$results/${names[$i]}-$c-$round.json" || true
      done
    done
  done
  for name in "${names[@]}"; do
    for c in "${concurrencies[@]}"; do
      echo "$c $(figure "$name" "$c" requests_per_second) $(figure "$name" "$c" p99)"
    done >"$tmp/plot-$name.dat"
  done

  local plot=$root/docs/benchmarks.png term=png
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

  local has_redis=0 has_memcached=0 has_before=0
  [ -n "${pid_of[redis]:-}" ] && has_redis=1
  [ -n "${pid_of[memcached]:-}" ] && has_memcached=1
  [ -n "$before_rev" ] && has_before=1
  {
    echo "## Throughput and latency"
    echo
    stamp
    echo
    echo "- Load: vrell-bench, one request per connection (connect, send, receive, close), 90% Q, 8% A, 2% D over $paths paths, each run $seconds s, $rounds rounds in alternation, medians"
    echo "- vrell: Release build, capacity 1024 (full before the runs), life time 3600, 10 or 25 service threads"
    echo "- baseline: \`bench/baseline_server\`, one thread: accept, one receive, a fixed reply with its NUL, close"
    [ "$has_before" = 1 ] && echo "- before-N: vrell built from commit $(git rev-parse --short "$before_rev"), N service threads"
    [ "$has_redis" = 1 ] && echo "- redis: redis-server $(redis-server --version 2>/dev/null | sed -n 's/.*v=\([^ ]*\).*/\1/p') on a Unix socket, SET with EX, GET and DEL, same loop"
    [ "$has_memcached" = 1 ] && echo "- memcached: memcached $(memcached -V 2>/dev/null | awk '{ print $2 }') on a Unix socket, set with an expiry, get and delete, same loop"
    echo
    echo "Requests per second as a share of the baseline's, side by side:"
    echo
    local head="| Concurrency | vrell-10" rule="|---:|---:"
    [ "$has_before" = 1 ] && head+=" | before-10" rule+="|---:"
    [ "$has_redis" = 1 ] && head+=" | redis" rule+="|---:"
    [ "$has_memcached" = 1 ] && head+=" | memcached" rule+="|---:"
    echo "$head | baseline req/s | vrell-10 p50 µs | baseline p50 µs |"
    echo "$rule|---:|---:|---:|"
    for c in "${concurrencies[@]}"; do
      local base row
      base=$(figure baseline "$c" requests_per_second)
      row="| $c | $(ratio "$(figure vrell-10 "$c" requests_per_second)" "$base")"
      [ "$has_before" = 1 ] && row+=" | $(ratio "$(figure before-10 "$c" requests_per_second)" "$base")"
      [ "$has_redis" = 1 ] && row+=" | $(ratio "$(figure redis "$c" requests_per_second)" "$base")"
      [ "$has_memcached" = 1 ] && row+=" | $(ratio "$(figure memcached "$c" requests_per_second)" "$base")"
      echo "$row | $base | $(figure vrell-10 "$c" p50) | $(figure baseline "$c" p50) |"
    done
    echo
    echo "| Server | Concurrency | Requests/s | p50 µs | p99 µs | Errors | vs baseline |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for name in "${names[@]}"; do
      for c in "${concurrencies[@]}"; do
        local rps
        rps=$(figure "$name" "$c" requests_per_second)
        echo "| $name | $c | $rps | $(figure "$name" "$c" p50) | $(figure "$name" "$c" p99) | $(errors_of "$name" "$c") | $(ratio "$rps" "$(figure baseline "$c" requests_per_second)") |"
      done
    done
    echo
    echo "![Throughput and p99 latency against concurrency](benchmarks.png)"
    if [ "$has_before" = 1 ]; then
      echo
      echo "### Before and after"
      echo
      echo "Requests per second and p50 of vrell built from $(git rev-parse --short "$before_rev") (before) and from $(this_tree) (after), same run."
      echo
      echo "| Threads | Concurrency | Before req/s | After req/s | After / before | Before p50 µs | After p50 µs |"
      echo "|---:|---:|---:|---:|---:|---:|---:|"
      for t in 10 25; do
        for c in "${concurrencies[@]}"; do
          local b a
          b=$(figure "before-$t" "$c" requests_per_second)
          a=$(figure "vrell-$t" "$c" requests_per_second)
          echo "| $t | $c | $b | $a | $(ratio "$a" "$b") | $(figure "before-$t" "$c" p50) | $(figure "vrell-$t" "$c" p50) |"
        done
      done
    fi
  } >"$tmp/part-peers.md"

  local p50 bp50 r1 r16 e16 ahead="" behind=""
  p50=$(figure vrell-10 1 p50)
  bp50=$(figure baseline 1 p50)
  r1=$(ratio "$(figure vrell-10 1 requests_per_second)" "$(figure baseline 1 requests_per_second)")
  r16=$(ratio "$(figure vrell-10 16 requests_per_second)" "$(figure baseline 16 requests_per_second)")
  e16=$(errors_of vrell-10 16)
  for c in "${concurrencies[@]}"; do
    local v best=0 peer
    v=$(figure vrell-10 "$c" requests_per_second)
    for peer in redis memcached; do
      [ -n "${pid_of[$peer]:-}" ] || continue
      best=$(awk -v a="$best" -v b="$(figure "$peer" "$c" requests_per_second)" 'BEGIN { print (b > a ? b : a) }')
    done
    if awk -v v="$v" -v b="$best" 'BEGIN { exit !(v > b) }'; then ahead+=" $c"; else behind+=" $c"; fi
  done
  {
    echo "| peers | one request to an idle daemon, p50 under 150 µs | $p50 µs (vrell-10, concurrency 1) | $(verdict "$p50" 150) |"
    echo "| peers | concurrency 1: at least 0.8 of the baseline's requests/s, p50 at most 1.25 times the baseline's | $r1 of the baseline, p50 $p50 µs against $bp50 µs | $([ "$(verdict "$r1" 0.8 1)" = met ] && verdict "$p50" "$(awk -v b="$bp50" 'BEGIN { print b * 1.25 + 0.001 }')" || echo missed) |"
    echo "| peers | concurrency 16: at least 0.85 of the baseline's requests/s, no errors | $r16 of the baseline, $e16 errors | $([ "$e16" = 0 ] && verdict "$r16" 0.85 1 || echo missed) |"
    if [ "$has_redis" = 1 ] && [ "$has_memcached" = 1 ]; then
      echo "| peers | ahead of redis and memcached at concurrency 1, 4, 16 and 64 (vrell-10) | ahead at:${ahead:- none}; behind at:${behind:- none} | $([ -z "$behind" ] && echo met || echo missed) |"
    fi
  } >"$tmp/targets-peers.md"
}

cost_section() {
  # What one request costs each server at concurrency 16, counted by perf on the server only.
  # Software counters (CPU time, context switches) work everywhere perf does; instructions need
  # hardware counters, which a virtual machine may not offer.
  local profile=$tmp/profile.txt hardware_counters=0
  : >"$profile"
  if perf stat -x, -e instructions true 2>&1 | grep -qE '^[0-9]+,[^,]*,instructions'; then hardware_counters=1; fi
  if perf stat -e task-clock true >/dev/null 2>&1; then
    echo "=== bench: cost, perf counts at concurrency 16"
    for i in "${!names[@]}"; do
      local name=${names[$i]} load rate
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
  else
    echo "bench: perf does not work here; the cost section has no perf counts"
  fi

  # Where vrell's own time goes: perf record where hardware counters work, else callgrind,
  # which counts the instructions of the daemon's user space (not the kernel's work in its
  # calls).
  local report=$tmp/profile-report.txt
  : >"$report"
  if [ "$hardware_counters" = 1 ]; then
    echo "=== bench: cost, perf record of vrell-25 at concurrency 16"
    "$bench_tool" -s "$tmp/vrell-25.sock" -c 16 -d 4 -p "$paths" >/dev/null &
    local load=$!
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
    echo "=== bench: cost, callgrind of vrell with 25 threads"
    local cg_requests=3000 cg_pid served total
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
  {
    echo "## Cost per request on the server"
    echo
    stamp
    if [ -s "$profile" ]; then
      echo
      echo "perf stat on the server process alone, at concurrency 16, divided by the requests answered."
      echo
      echo "| Server | Requests/s | CPU µs per request | Context switches per request | Instructions per request |"
      echo "|---|---:|---:|---:|---:|"
      cat "$profile"
    fi
    if [ -s "$report" ]; then
      echo
      cat "$report"
    fi
  } >"$tmp/part-cost.md"
  : >"$tmp/targets-cost.md"
}

memory_section() {
  echo "=== bench: memory"
  # Every service thread must have served once, as after a while in use; the peers section
  # has seen to that when it ran.
  if ! want peers; then
    for i in "${!names[@]}"; do
      "$bench_tool" -s "${sockets[$i]}" ${modes[$i]} -c 64 -d 1 -p "$paths" >/dev/null || true
    done
  fi
  local memory=$tmp/memory.txt rss25
  : >"$memory"
  for name in "${names[@]}"; do
    local status=/proc/${pid_of[$name]}/status rss threads
    [ -r "$status" ] || continue
    rss=$(awk '/^VmRSS/ { print $2 }' "$status")
    threads=$(awk '/^Threads/ { print $2 }' "$status")
    echo "| $name | $rss KiB ($(awk -v k="$rss" 'BEGIN { printf "%.2f", k / 1024 }') MiB) | $threads |" >>"$memory"
  done
  {
    echo "## Resident size"
    echo
    stamp
    echo
    echo "VmRSS from /proc after the servers have served at concurrency 64 (vrell with a full cache of 1024 entries, every thread has served)."
    echo
    echo "| Server | VmRSS | Threads |"
    echo "|---|---:|---:|"
    cat "$memory"
  } >"$tmp/part-memory.md"
  rss25=$(sed -n 's/^| vrell-25 | \([0-9]*\) KiB.*/\1/p' "$memory")
  echo "| memory | resident size with a full cache and 25 threads under 8 MiB | ${rss25:-?} KiB | $(verdict "${rss25:-99999999}" 8192) |" >"$tmp/targets-memory.md"
}

micro_section() {
  echo "=== bench: micro-benchmarks"
  local micro=$tmp/micro.txt slowest room full sweep
  echo "Benchmark  Time  CPU  Iterations  Counters" >"$micro"
  for b in cache_bench request_bench ini_bench; do
    "$build/bench/$b" --benchmark_min_time=0.2 2>/dev/null | grep '^BM_' >>"$micro"
  done
  {
    echo "## Micro-benchmarks"
    echo
    stamp
    echo
    echo "Google Benchmark, Release; the cache is full (100 or 1024 entries) and shared by the threads. Time is per operation and thread."
    echo
    echo '```'
    cat "$micro"
    echo '```'
  } >"$tmp/part-micro.md"
  slowest=$(grep '^BM_cache_.*entries:1024/threads:1 ' "$micro" | awk '{ if ($3 == "ns") v = $2; else if ($3 == "us") v = $2 * 1000; if (v > m) m = v } END { print m + 0 }')
  echo "| micro | each cache operation under 1 µs at 1024 entries (one thread) | $slowest ns, the slowest | $(verdict "$slowest" 1000) |" >"$tmp/targets-micro.md"
  # Batches of 1024 new paths at 1024 entries: into a full table of valid entries, which must
  # not walk the table, against a table with room; and one sweep of 1024 expired entries.
  room=$(ns_of "$micro" 'BM_cache_add_new_with_room/entries:1024')
  full=$(ns_of "$micro" 'BM_cache_add_new_full_valid/entries:1024')
  sweep=$(ns_of "$micro" 'BM_cache_sweep_expired/entries:1024')
  echo "| micro | a new path into a full table of valid entries within 2× of one into a table with room | $full ns against $room ns a batch of 1024 | $(verdict "$full" "$(awk -v r="$room" 'BEGIN { print 2 * r }')") |" >>"$tmp/targets-micro.md"
  echo "| micro | one sweep of 1024 expired entries, with the add that triggers it | $sweep ns | reported |" >>"$tmp/targets-micro.md"
}

# ns_of FILE NAME: the time of one benchmark in nanoseconds.
ns_of() {
  awk -v n="$2" '$1 == n || index($1, n "/") == 1 { v = $2; if ($3 == "us") v *= 1000; if ($3 == "ms") v *= 1000000; print v; exit }' "$1"
}

# array FILE NAME: the numbers of one array of vrell-bench's JSON report, one a line.
array() {
  grep -o "\"$2\": \[[^]]*\]" "$1" | sed 's/.*\[//; s/\]//' | tr ',' '\n' | tr -d ' '
}
# window FILE FROM TO: the hit rate over the seconds FROM to TO (whole seconds from the start).
window() {
  paste <(array "$1" queries_per_second) <(array "$1" hits_per_second) |
    awk -v a="$2" -v b="$3" 'NR > a && NR <= b { q += $1; h += $2 } END { printf "%.3f", (q > 0 ? h / q : 0) }'
}
# replies FILE: the count of each reply at the end of a scan run.
replies() {
  sed -n 's/.*"replies": {\([^}]*\)}.*/\1/p' "$1" | tr -d '"'
}

scan_section() {
  local before
  before=$(build_rev "$scan_before")
  local short
  short=$(git rev-parse --short "$scan_before")
  echo "=== bench: scan, ${scan_seconds} s on vrell of $short, then on this tree"
  start_vrell scan-before "$before" 10 "$scan_capacity" "$scan_life"
  start_vrell scan-after "$build/daemon/vrell" 10 "$scan_capacity" "$scan_life"
  for run in before after; do
    "$bench_tool" -s "$tmp/scan-$run.sock" --scan -c "$scan_clients" -d "$scan_seconds" \
      --files "$scan_files" --once "$scan_once" -t "$timeout_ms" --json >"$results/scan-$run.json" ||
      true
    stop_pid "${pid_of[scan-$run]}"
  done
  paste <(array "$results/scan-before.json" hit_rate_per_second) \
    <(array "$results/scan-after.json" hit_rate_per_second) | awk '{ print NR, $1, $2 }' >"$tmp/scan.dat"

  local plot=$root/docs/benchmarks-scan.png term=png
  gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo && term=pngcairo
  gnuplot <<EOF
set terminal $term size 900,420
set output '$plot'
set title 'Hit rate under a scanner''s load: capacity $scan_capacity, life time $scan_life s, $scan_clients clients, $scan_once % one-off paths'
set xlabel 'second'; set ylabel 'queries answered from the cache'; set yrange [0:1]; set grid
set key right top
plot '$tmp/scan.dat' using 1:2 with lines lw 2 title 'before ($short)', '$tmp/scan.dat' using 1:3 with lines lw 2 title 'after ($(git rev-parse --short HEAD))'
EOF

  local n early late
  n=$(array "$results/scan-after.json" queries_per_second | wc -l)
  early=$(window "$results/scan-after.json" 5 20)
  late=$(window "$results/scan-after.json" $((n - 20)) "$n")
  {
    echo "## A scanner's load on a small table"
    echo
    stamp
    echo
    echo "vrell with capacity $scan_capacity, life time $scan_life s and 10 service threads; \`vrell-bench --scan\` for $scan_seconds s: $scan_clients clients, each queries a path and adds it when the reply is not a verdict (205 or 206), over $scan_files files of Zipf-like popularity plus $scan_once % of queries for paths seen only once. Before: vrell built from $short; after: $(this_tree). One after the other in the same run."
    echo
    echo "| Hit rate, seconds | 0–5 | 5–10 | 10–15 | 15–20 | 20–40 | last 20 |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for run in before after; do
      local f=$results/scan-$run.json m
      m=$(array "$f" queries_per_second | wc -l)
      echo "| $run | $(window "$f" 0 5) | $(window "$f" 5 10) | $(window "$f" 10 15) | $(window "$f" 15 20) | $(window "$f" 20 40) | $(window "$f" $((m - 20)) "$m") |"
    done
    echo
    echo "![Hit rate each second, before and after](benchmarks-scan.png)"
    echo
    echo "Replies over the whole run (Q: queries, A: adds):"
    echo
    for run in before after; do echo "- $run: $(replies "$results/scan-$run.json")"; done
  } >"$tmp/part-scan.md"
  echo "| scan | after: hit rate of the last 20 s at least 90 % of that of seconds 5 to 20 | $late against $early | $(verdict "$late" "$(awk -v e="$early" 'BEGIN { print e * 0.9 }')" 1) |" >"$tmp/targets-scan.md"
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
    "$bench_tool" -s "$tmp/counters-$n.sock" -p "$paths" --preload -n 1 -d 0 >/dev/null
  done
  for round in $(seq "$counters_rounds"); do
    # Each goes first in every other round, so neither gains from its place.
    order="without with"
    [ $((round % 2)) = 0 ] && order="with without"
    for c in 1 16; do
      for n in $order; do
        "$bench_tool" -s "$tmp/counters-$n.sock" -c "$c" -d "$seconds" -p "$paths" -t "$timeout_ms" \
          --seed "$round" --json >"$results/counters-$n-$c-$round.json" || true
      done
    done
  done
  for n in without with; do stop_pid "${pid_of[counters-$n]}"; done
  cfigure() {
    for round in $(seq "$counters_rounds"); do field "$results/counters-$1-$2-$round.json" "$3"; done |
      sort -n | sed -n "$(((counters_rounds + 1) / 2))p"
  }
  local r1 r16
  r1=$(awk -v a="$(cfigure with 1 requests_per_second)" -v b="$(cfigure without 1 requests_per_second)" 'BEGIN { if (b > 0) printf "%.3f", a / b }')
  r16=$(awk -v a="$(cfigure with 16 requests_per_second)" -v b="$(cfigure without 16 requests_per_second)" 'BEGIN { if (b > 0) printf "%.3f", a / b }')
  {
    echo "## What the counters cost"
    echo
    stamp
    echo
    echo "vrell-10 built from $short, the pool before the counters came (without), and from $(this_tree) (with); capacity $paths, full, life time 3600; the load of the peers section, $seconds s runs, $counters_rounds rounds in alternation, medians."
    echo
    echo "| Concurrency | Without req/s | With req/s | With / without | Without p50 µs | With p50 µs |"
    echo "|---:|---:|---:|---:|---:|---:|"
    for c in 1 16; do
      echo "| $c | $(cfigure without "$c" requests_per_second) | $(cfigure with "$c" requests_per_second) | $([ "$c" = 1 ] && echo "$r1" || echo "$r16") | $(cfigure without "$c" p50) | $(cfigure with "$c" p50) |"
    done
  } >"$tmp/part-counters.md"
  local both
  both=$(awk -v a="$r1" -v b="$r16" 'BEGIN { print (a < b ? a : b) }')
  echo "| counters | throughput at concurrency 1 and 16 within 2 % of the daemon without counters | $r1 and $r16 of it | $(verdict "$both" 0.98 1) |" >"$tmp/targets-counters.md"
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
