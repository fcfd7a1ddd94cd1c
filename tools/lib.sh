#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Shell helpers shared by the install, bench, CI and stop scripts: apt-get that waits and
# retries, a test configuration, a daemon started and waited for, a process stopped and waited
# for. Source it; it defines functions only and changes no shell option.

# apt-get as every install step runs it: not interactive, and waiting up to five minutes for
# another apt or dpkg to let go of its lock instead of failing at once.
vrell_apt_get() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"
}

# True when package $1 is installed.
vrell_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs those of the packages "$@" that are missing. A mirror in mid-sync or a lock held
# too long fails one try, not the caller: up to three tries with a pause, each naming what
# failed. A package list that cannot be fetched (another architecture's, or a security list
# out of step) is named and passed over; the install then says whether what it needs is there.
vrell_install_missing() {
  local -a missing=()
  local p try
  for p in "$@"; do vrell_installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "deps: installing ${missing[*]}"
  for try in 1 2 3; do
    vrell_apt_get update ||
      echo "deps: apt-get update failed (try $try of 3); going on with the lists as they are" >&2
    vrell_apt_get install -y --no-install-recommends "${missing[@]}" && return 0
    echo "deps: apt-get install ${missing[*]} failed (try $try of 3)" >&2
    [ "$try" = 3 ] || sleep $((try * 20))
  done
  echo "deps: cannot install ${missing[*]}" >&2
  return 1
}

# True while process $1 exists and has not ended (an ended child stays a zombie until it is
# waited for, and a zombie still answers kill -0).
vrell_alive() {
  [ -r "/proc/$1/stat" ] && [ "$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Writes a configuration file $1 whose socket and pid file lie in directory $2, with
# $3 service threads (default 10), capacity $4 (default 1024) and life time $5 (default 3600).
vrell_write_config() {
  cat >"$1" <<CONF
#*END

[vrell]
    QXVrellSocket = "$2/vrell.sock"
    QXVrellPid = "$2/vrell.pid"
    service threads = "${3:-10}"
    cache max entry = "${4:-1024}"
    entry life time = "${5:-3600}"
CONF
}

# Runs the command "$@" every 0.1 s until it succeeds, for at most VRELL_WAIT_SECONDS (default
# 30). Returns 0 once it succeeded, 1 when the time ran out.
vrell_wait_for() {
  local tries=$((${VRELL_WAIT_SECONDS:-30} * 10))
  for _ in $(seq "$tries"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# Starts the daemon binary $1 on configuration $2 (further arguments go to the daemon), waits
# until its pid file $3 names a process, and prints that pid. The daemon detaches, so the pid
# is its detached child's. Returns 1, printing nothing, when it fails to start or to write its
# pid file in time.
vrell_start_daemon() {
  local daemon=$1 conf=$2 pid_file=$3
  shift 3
  "$daemon" -c "$conf" "$@" || return 1
  vrell_wait_for test -s "$pid_file" || return 1
  cat "$pid_file"
}

# Waits up to $2 seconds (default 10) for process $1 to end. Returns 0 once it has ended (or
# was gone already), 1 while it is still there.
vrell_wait_gone() {
  local pid=$1 limit=$((${2:-10} * 10))
  for _ in $(seq "$limit"); do
    vrell_alive "$pid" || return 0
    sleep 0.1
  done
  ! vrell_alive "$pid"
}

# Ends process $1: SIGTERM, up to $2 seconds (default 10) for it to go, then SIGKILL; reaps it
# when it is a child of this shell. Returns 0 when it ended on SIGTERM (or was gone already),
# 1 when it had to be killed.
vrell_stop_pid() {
  local pid=$1 forced=0
  if vrell_alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! vrell_wait_gone "$pid" "${2:-10}"; then
      kill -KILL "$pid" 2>/dev/null || true
      forced=1
    fi
  fi
  wait "$pid" 2>/dev/null || true
  return $forced
}
