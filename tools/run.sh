#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds vrell, starts the daemon with its socket and pid file in run/, and prints its status
# line and the commands that reach it. Extra arguments go to the daemon (tools/run.sh -t 5 -l 60).
# tools/stop.sh (make stop) stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

tools/build.sh vrell vrell-cli
mkdir -p run
# etc/vrell.ini names its socket and pid file through $(VRELL_RUN_DIR). The daemon runs on a
# copy with the paths filled in, and saves the settings it starts with into it (-v), so that
# vrell-cli -c run/vrell.ini finds the socket from any shell.
conf=run/vrell.ini
sed "s|\$(VRELL_RUN_DIR)|$PWD/run|g" etc/vrell.ini >"$conf"
# The daemon detaches: this returns once it runs in the background, or with its start-up error.
build/normal/daemon/vrell -c "$conf" -v "$@"
cli=(build/normal/tools/vrell-cli -c "$conf")
if VRELL_WAIT_SECONDS=10 vrell_wait_for "${cli[@]}" status; then
  "${cli[@]}" status
  echo "vrell serves on $(sed -n 's/^ *QXVrellSocket = "\(.*\)"$/\1/p' "$conf"). Ask it with:"
  echo "  ${cli[*]} status        (or: make cli ARGS=stats)"
  echo "Stop it with: tools/stop.sh"
  exit 0
fi
echo "run: vrell does not answer; its settings are in $conf" >&2
exit 1
