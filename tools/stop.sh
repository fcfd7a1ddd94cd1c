#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Stops the daemon that tools/run.sh started: SIGTERM to the pid in run/vrell.pid, then waits
# until it has ended. The daemon removes its pid file and socket node itself.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

pid_file=run/vrell.pid
if [ ! -s "$pid_file" ]; then
  echo "stop: vrell is not running (no $pid_file)" >&2
  exit 1
fi
pid=$(cat "$pid_file")

if ! vrell_alive "$pid"; then
  echo "stop: no process $pid; $pid_file and run/vrell.sock are leftovers, remove them" >&2
  exit 1
fi
kill -TERM "$pid"
# The stop waits for requests being served; an idle client is let go after 5 seconds.
if vrell_wait_gone "$pid" 30; then
  echo "vrell ($pid) stopped"
  exit 0
fi
echo "stop: vrell ($pid) is still running after 30 seconds" >&2
exit 1
