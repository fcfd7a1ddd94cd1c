#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The install stage's checks in its systemd guest, run by install-check.service with systemd as
# PID 1 and no terminal: installs the packages with dpkg, checks the service they start (its
# user, its socket for a member of _vrell and for another user, the C programs, the journal,
# the sandbox's exposure, the restart after a crash and by the watchdog), lets the daemon's --save rewrite its file, upgrades to the packages
# of a higher version with a changed default, then removes and purges; last, installs the earlier
# package (version 0.1.0, group vrell) and upgrades it to these. Writes 0 to WORK/status
# when every check passed, 1 otherwise.
# Usage: in-guest.sh SRC WORK   (SRC the checkout; WORK holds debs/, upgrade/ and bin/)
set -euo pipefail
src=$1 work=$2
source "$src/tools/lib.sh"
export DEBIAN_FRONTEND=noninteractive
exec </dev/null 2>&1

passed=1
trap 'echo "$passed" >"$work/status"' EXIT

fail() {
  echo "guest: $*"
  exit 1
}
step() { echo "--- guest: $*"; }
as() {
  local user=$1
  shift
  runuser -u "$user" -- "$@"
}
expect_reply() {
  local user=$1 want=$2 got
  shift 2
  got=$(as "$user" vrell-cli "$@" | tr -d '\r') || fail "vrell-cli $* as $user failed"
  [[ $got == "$want"* ]] || fail "vrell-cli $* as $user: '$got', not '$want'"
}
owner() { stat -c '%U:%G %a' "$1"; }
main_pid() { systemctl show -p MainPID --value vrell.service; }
# The journal of the unit as "PRIORITY MESSAGE" lines.
journal() {
  journalctl -u vrell.service -o json --output-fields=PRIORITY,MESSAGE |
    sed -n 's/.*"PRIORITY":"\([0-7]\)".*"MESSAGE":"\([^"]*\)".*/\1 \2/p;
            s/.*"MESSAGE":"\([^"]*\)".*"PRIORITY":"\([0-7]\)".*/\2 \1/p'
}
logged() { journal | grep -q "^$1 $2"; }
running() { systemctl is-active --quiet vrell.service; }
# Through a pipe, so that dpkg draws no progress on the console.
run_dpkg() { dpkg "$@" | cat; }

step "install without a terminal"
run_dpkg -i "$work"/debs/*.deb || fail "dpkg -i failed"
[ "$(getent passwd _vrell | cut -d: -f6-)" = /nonexistent:/usr/sbin/nologin ] ||
  fail "_vrell is not a system user without a home and a shell: $(getent passwd _vrell)"
[ "$(id -gn _vrell)" = _vrell ] || fail "the group of _vrell is $(id -gn _vrell)"
[ -z "$(dpkg-query -W -f='${Conffiles}' vrell)" ] || fail "vrell has conffiles"
cmp -s /etc/vrell/vrell.ini /usr/share/vrell/vrell.ini || fail "/etc/vrell/vrell.ini is not the default"
[ "$(owner /etc/vrell/vrell.ini)" = "_vrell:_vrell 644" ] ||
  fail "/etc/vrell/vrell.ini is $(owner /etc/vrell/vrell.ini)"
[ "$(owner /etc/vrell)" = "root:root 755" ] || fail "/etc/vrell is $(owner /etc/vrell)"

step "the service"
vrell_wait_for running || fail "vrell.service is not active: $(systemctl status vrell.service)"
systemctl is-enabled --quiet vrell.service || fail "vrell.service is not enabled"
pid=$(main_pid)
[ "$(stat -c %U "/proc/$pid")" = _vrell ] || fail "the daemon runs as $(stat -c %U "/proc/$pid")"
[ "$(owner /run/vrell)" = "_vrell:_vrell 750" ] || fail "/run/vrell is $(owner /run/vrell)"
[ "$(cat /run/vrell/vrell.pid)" = "$pid" ] || fail "the pid file does not name the main process"
said=$(runuser -u _vrell -- vrell --check -c /etc/vrell/vrell.ini) ||
  fail "vrell --check as _vrell on the running service's file: $said"
[ "$said" = "/etc/vrell/vrell.ini: OK" ] || fail "vrell --check said: $said"
useradd --system --no-create-home --groups _vrell scanner
useradd --system --no-create-home outsider
expect_reply scanner "101-OK: Cache running;" status
expect_reply scanner "101-OK: Cache running;" -u _vrell status
expect_reply scanner "201-File added successfully" add 1000 clean /srv/a
expect_reply scanner "205-File is marked clean in cache" query 1000 /srv/a
as scanner vrell-cli stats | grep -qx 'entries 1' || fail "vrell-cli stats: no 'entries 1'"
for program in component-static component-shared; do
  as scanner "$work/bin/$program" | grep -qx '/run/vrell/vrell.sock 101' ||
    fail "the C program $program did not find the service"
done
code=0
said=$(as outsider vrell-cli status 2>&1 >/dev/null) || code=$?
[ "$code" = 4 ] || fail "a user outside _vrell reached the socket (status $code)"
[ "$said" = "vrell-cli: /run/vrell/vrell.sock: permission denied: is this user in group _vrell?" ] ||
  fail "vrell-cli told a user outside _vrell: $said"
code=0
as scanner vrell-cli -u root status >/dev/null 2>&1 || code=$?
[ "$code" = 77 ] || fail "vrell-cli -u root took a daemon of _vrell (status $code)"
exposure=$(systemd-analyze security vrell.service |
  sed -n 's/.*Overall exposure level for vrell.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: exposure $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 1.5) }' || fail "exposure $exposure above 1.5"
vrell_wait_for logged 6 "serving: pid $pid, socket /run/vrell/vrell.sock," ||
  fail "the journal has no serving line of priority 6"
journalctl -u vrell.service _TRANSPORT=stdout -o cat | grep -q '^serving: ' ||
  fail "the serving line did not come from the daemon's standard error"
# A crash leaves its pid file and socket node; the restart finds the run directory made anew.
kill -KILL "$pid"
vrell_wait_for eval '[ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ] && running' ||
  fail "vrell.service did not restart after the daemon was killed"
pid=$(main_pid)
expect_reply scanner "101-OK: Cache running;" status

step "the watchdog restarts a daemon that serves nothing"
# The tests' preloaded library holds every reply's send for good, so each worker that serves a
# request hangs; the process lives on. A short watchdog keeps the wait short.
dropin=/run/systemd/system/vrell.service.d
mkdir -p "$dropin"
printf '[Service]\nEnvironment=LD_PRELOAD=%s VRELL_FAIL=send_reply\nWatchdogSec=4s\n' \
  "$work/bin/fail_preload.so" >"$dropin/stall.conf"
systemctl daemon-reload
systemctl restart vrell.service
vrell_wait_for running || fail "vrell.service did not start with its workers to be held"
pid=$(main_pid)
# Ten workers held, and one more request that waits in the queue.
for _ in $(seq 11); do as scanner vrell-cli status >/dev/null 2>&1 & done
vrell_wait_for eval '[ "$(main_pid)" != "$pid" ] && [ "$(main_pid)" != 0 ] && running' ||
  fail "the watchdog did not restart the daemon that served nothing"
journalctl -u vrell.service -o cat | grep -q 'Watchdog timeout' ||
  fail "the journal does not say the watchdog ran out"
wait
rm -r "$dropin"
systemctl daemon-reload
systemctl restart vrell.service
vrell_wait_for running || fail "vrell.service did not start again without the held workers"
pid=$(main_pid)
expect_reply scanner "101-OK: Cache running;" status
echo "the watchdog ran out on the daemon whose workers were held and systemd restarted it"
systemctl stop vrell.service
! vrell_alive "$pid" || fail "the daemon runs on after the stop"
vrell_wait_for logged 6 "stopped: uptime=" || fail "the journal has no stopped line of priority 6"
[ ! -e /run/vrell ] || fail "/run/vrell stays after the stop"
echo "journalctl -u vrell (priority, message):"
journal | sed 's/^/  /'
! journal | grep -q 'vrell\.service:[0-9]*: ' || fail "systemd ignored lines of the unit"

step "the daemon's --save rewrites its file"
install -d -o _vrell -g _vrell -m 0750 /run/vrell
inode=$(stat -c %i /etc/vrell/vrell.ini)
as _vrell /usr/sbin/vrell -c /etc/vrell/vrell.ini -v -l 60 || fail "vrell -v did not start"
vrell_wait_for test -s /run/vrell/vrell.pid || fail "vrell -v wrote no pid file"
vrell_stop_pid "$(cat /run/vrell/vrell.pid)" || fail "vrell -v did not stop on SIGTERM"
rmdir /run/vrell
grep -qx '    entry life time = "60"' /etc/vrell/vrell.ini || fail "the save did not write the life time"
[ "$(owner /etc/vrell/vrell.ini)" = "_vrell:_vrell 644" ] ||
  fail "the save left /etc/vrell/vrell.ini as $(owner /etc/vrell/vrell.ini)"
# /etc/vrell takes no new file from _vrell, so the save rewrites the file in place.
[ "$(stat -c %i /etc/vrell/vrell.ini)" = "$inode" ] || fail "the save replaced the file"
saved=$(sha256sum </etc/vrell/vrell.ini)
echo "vrell -v -l 60 as _vrell rewrote /etc/vrell/vrell.ini in place: entry life time = \"60\""
systemctl start vrell.service
vrell_wait_for running || fail "vrell.service did not start again"
pid=$(main_pid)

step "upgrade without a terminal"
run_dpkg -i "$work"/upgrade/*.deb || fail "the upgrade failed"
[ "$(dpkg-query -W -f='${Version}' vrell)" = "$(cat "$work/upgrade/version")" ] ||
  fail "vrell is at $(dpkg-query -W -f='${Version}' vrell) after the upgrade"
grep -qx '    entry life time = "20"' /usr/share/vrell/vrell.ini || fail "the new default is not in place"
[ "$(sha256sum </etc/vrell/vrell.ini)" = "$saved" ] || fail "the upgrade changed /etc/vrell/vrell.ini"
vrell_wait_for running || fail "vrell.service is not active after the upgrade"
[ "$(main_pid)" != "$pid" ] || fail "the upgrade did not restart the daemon"
pid=$(main_pid)
vrell_wait_for logged 6 "serving: pid $pid, .* life time 60 s" ||
  fail "the restarted daemon does not run on the operator's file"
expect_reply scanner "101-OK: Cache running;" status
echo "upgraded to $(dpkg-query -W -f='${Version}' vrell) without a question:" \
  "/etc/vrell/vrell.ini kept (life time 60), the new default says 20, the daemon restarted as" \
  "pid $pid"

step "remove"
run_dpkg -r libvrell-client-dev libvrell-client0 vrell || fail "dpkg -r failed"
! vrell_alive "$pid" || fail "the daemon runs on after remove"
[ -z "$(pgrep -u _vrell || true)" ] || fail "processes of _vrell run on: $(pgrep -a -u _vrell)"
! running || fail "vrell.service is active after remove"
[ "$(systemctl is-enabled vrell.service 2>/dev/null || true)" != masked ] &&
  [ ! -L /etc/systemd/system/vrell.service ] || fail "remove left vrell.service masked"
[ ! -e /run/vrell ] || fail "/run/vrell stays after remove"
[ -f /etc/vrell/vrell.ini ] || fail "remove took the configuration"

step "purge"
# The libraries have no configuration, so remove purged them already.
run_dpkg -P vrell || fail "dpkg -P failed"
! dpkg-query -W 'vrell' 'libvrell*' >/dev/null 2>&1 || fail "dpkg still knows: $(dpkg -l 'vrell' 'libvrell*')"
left=$(find / /run /tmp /var/tmp -xdev -path /check -prune -o -name '*vrell*' -print)
[ -z "$left" ] || fail "purge left: $left"
step "upgrade from the earlier package"
# The earlier package's service gave the socket to the group vrell; its members move along.
run_dpkg -i "$work"/earlier/*.deb || fail "the earlier package does not install"
getent group vrell >/dev/null || fail "the earlier package made no group vrell"
useradd --system --no-create-home --groups vrell oldscanner
said=$(run_dpkg -i "$work"/debs/*.deb) || fail "the upgrade from the earlier package failed"
echo "$said"
grep -qx 'vrell: oldscanner, of the group vrell that reached the socket before, is now in _vrell' \
  <<<"$said" || fail "the upgrade did not say that oldscanner joined _vrell"
id -nG oldscanner | tr ' ' '\n' | grep -qx _vrell || fail "oldscanner is not in _vrell"
[ "$(owner /etc/vrell/vrell.ini)" = "_vrell:_vrell 644" ] ||
  fail "the earlier conffile is $(owner /etc/vrell/vrell.ini) after the upgrade"
vrell_wait_for running || fail "vrell.service is not active after the upgrade from 0.1.0"
expect_reply oldscanner "101-OK: Cache running;" status
run_dpkg -P libvrell-client-dev libvrell-client0 vrell || fail "dpkg -P after the earlier upgrade failed"
left=$(find / /run /tmp /var/tmp -xdev -path /check -prune -o -name '*vrell*' -print)
[ -z "$left" ] || fail "purge after the earlier upgrade left: $left"
echo "upgraded from vrell 0.1.0: oldscanner, of the group vrell, now in _vrell reaches the socket"

passed=0
echo "guest: installed, served, logged, watched, upgraded (also from 0.1.0), removed and purged"
