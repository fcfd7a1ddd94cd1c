#!/usr/bin/env bash
# Stops the daemon that tools/run.sh started: SIGTERM to the pid in run/vrell.pid, then waits
# until it has ended. The daemon removes its pid file and socket node itself.
set -euo pipefail
cd "$(dirname "$0")/.."

pid_file=run/vrell.pid
if [ ! -s "$pid_file" ]; then
  echo "stop: vrell is not running (no $pid_file)" >&2
  exit 1
fi
pid=$(cat "$pid_file")

# A process that has ended but is not yet reaped still answers kill -0.
running() {
  local state
  state=$(ps -o stat= -p "$pid" 2>/dev/null) || return 1
  [[ $state != Z* ]]
}

if ! running; then
  echo "stop: no process $pid; $pid_file and run/vrell.sock are leftovers, remove them" >&2
  exit 1
fi
kill -TERM "$pid"
# The stop waits for requests being served; an idle client is let go after 5 seconds.
for _ in $(seq 300); do
  if ! running; then
    echo "vrell ($pid) stopped"
    exit 0
  fi
  sleep 0.1
done
echo "stop: vrell ($pid) is still running after 30 seconds" >&2
exit 1
