#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer harnesses with clang and runs each for SECONDS (default 600), two at a
# time, starting from the seeds in fuzz/corpus/NAME/. Fails when any run ends in a crash, a
# leak, a time-out or a sanitizer report; the input that caused it is kept in
# build/fuzz-artifacts/. Inputs found along the way go to FUZZ_CORPUS_DIR (default
# build/fuzz-corpus, kept between runs), never into fuzz/corpus/.
# Usage: fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
fuzzers=(request handler ini symtab)
build=build/fuzz-clang
corpus_root=${FUZZ_CORPUS_DIR:-build/fuzz-corpus}
artifacts=build/fuzz-artifacts

tools/deps.sh
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVRELL_FUZZ=ON -DVRELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target "${fuzzers[@]/%/_fuzz}"
mkdir -p "$artifacts" "$corpus_root"

# Runs one fuzzer; its log goes to $artifacts/NAME.log.
run_one() {
  local name=$1
  local corpus=$corpus_root/$name
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$name"/* "$corpus"/
  "$build/fuzz/${name}_fuzz" "$corpus" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" >"$artifacts/$name.log" 2>&1
}

# The figures of one run, from libFuzzer's final statistics.
report() {
  local name=$1 status=$2 log=$artifacts/$1.log
  local runs speed
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  if [ "$status" -ne 0 ] || grep -qE 'runtime error|ERROR: (Address|Leak|libFuzzer|Undefined)' "$log"; then
    echo "fuzz: $name FAILED (status $status); log and input in $artifacts/"
    grep -E 'invariant broken|runtime error|ERROR:|SUMMARY' "$log" | head -n 5
    return 1
  fi
  echo "fuzz: $name passed: ${runs:-?} runs in ${seconds} s, ${speed:-?} per second"
}

failed=0
for ((i = 0; i < ${#fuzzers[@]}; i += 2)); do
  pids=()
  names=("${fuzzers[@]:i:2}")
  for name in "${names[@]}"; do
    run_one "$name" &
    pids+=($!)
  done
  for j in "${!names[@]}"; do
    status=0
    wait "${pids[j]}" || status=$?
    report "${names[j]}" "$status" || failed=1
  done
done
exit "$failed"
