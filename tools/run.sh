#!/usr/bin/env bash
# Builds vrell, starts the daemon on etc/vrell.ini with its socket and pid file in run/, and
# prints its status line. Extra arguments go to the daemon (tools/run.sh -t 5 -l 60).
# tools/stop.sh (make stop) stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

tools/build.sh vrell vrell-cli
mkdir -p run
# etc/vrell.ini names its socket and pid file through $(VRELL_RUN_DIR).
export VRELL_RUN_DIR="$PWD/run"
# The daemon detaches: this returns once it runs in the background, or with its start-up error.
build/normal/daemon/vrell -c etc/vrell.ini "$@"
cli=(build/normal/tools/vrell-cli -s run/vrell.sock)
if VRELL_WAIT_SECONDS=10 vrell_wait_for "${cli[@]}" status; then
  "${cli[@]}" status
  exit 0
fi
echo "run: vrell does not answer on run/vrell.sock" >&2
exit 1
