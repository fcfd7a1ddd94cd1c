#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: the daemon of the normal build under valgrind memcheck, through a short load of every
# kind of request and an orderly stop on SIGTERM. Fails on any invalid access, any use of
# uninitialised memory and any block definitely or indirectly lost, in the process that was
# started as much as in the child it detaches into.
set -euo pipefail
cd "$(dirname "$0")/../.."
. tools/lib.sh

tools/deps.sh valgrind
build=build/normal
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target vrell vrell-cli

repo=$PWD
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vrell-ci-valgrind.XXXXXX")
daemon_pid=""
# Ends the daemon this stage started, by its pid, if it is still there.
cleanup() {
  if [ -n "$daemon_pid" ] && vrell_alive "$daemon_pid"; then kill -KILL "$daemon_pid" || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

vrell_write_config "$tmp/vrell.ini" "$tmp" 5 64 60

# The daemon forks once to detach. Memcheck follows a fork by itself, and %p gives the child a
# log of its own under its own pid, so the parent's log and the serving process's log are apart.
(cd "$tmp" && valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --track-origins=yes --log-file="$tmp/memcheck.%p" \
  "$repo/$build/daemon/vrell" -c "$tmp/vrell.ini")

cli() { "$build/tools/vrell-cli" -s "$tmp/vrell.sock" "$@" >/dev/null; }
VRELL_WAIT_SECONDS=30 vrell_wait_for cli status || true
daemon_pid=$(cat "$tmp/vrell.pid")
cli status

# A few hundred requests: adds up to a full table, queries fresh and stale, deletes, clears,
# and requests the daemon refuses.
for i in $(seq 100); do
  cli add "$i" $((i % 2)) "/valgrind/file $i"
  cli query "$i" "/valgrind/file $i"
  cli query $((i + 1)) "/valgrind/file $((i / 2))"
  if [ $((i % 5)) -eq 0 ]; then cli delete "/valgrind/file $((i - 1))"; fi
  if [ $((i % 10)) -eq 0 ]; then cli raw "A 1 2 /valgrind/bad verdict"; cli raw "Q"; cli raw "x"; fi
  if [ $((i % 40)) -eq 0 ]; then cli clear; fi
done

kill -TERM "$daemon_pid"
if ! vrell_wait_gone "$daemon_pid" 60; then
  echo "valgrind: the daemon did not stop within 60 s" >&2
  exit 1
fi
[ ! -e "$tmp/vrell.pid" ] && [ ! -e "$tmp/vrell.sock" ] || {
  echo "valgrind: the stop left the pid file or the socket node" >&2
  exit 1
}

failed=0
logs=("$tmp"/memcheck.*)
if [ ${#logs[@]} -ne 2 ] || [ ! -e "$tmp/memcheck.$daemon_pid" ]; then
  echo "valgrind: expected the logs of the launcher and of $daemon_pid, found ${logs[*]}" >&2
  failed=1
fi
for log in "${logs[@]}"; do
  if ! grep -q "ERROR SUMMARY: 0 errors" "$log" ||
    grep -Eq "(definitely|indirectly) lost: [1-9]" "$log"; then
    echo "valgrind: errors in $(basename "$log"):" >&2
    cat "$log" >&2
    failed=1
  fi
done
if [ $failed -eq 0 ]; then echo "valgrind: no error, no leak in ${#logs[@]} processes"; fi
exit $failed
