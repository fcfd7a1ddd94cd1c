#!/usr/bin/env bash
# CI stage: the package and the install tree. Builds the package(s) with tools/package.sh, lists
# their content, stages the install tree in a DESTDIR and checks that every file is where it
# belongs, that the man pages render without warnings and that the unit verifies, then runs the
# staged daemon on a temporary configuration and talks to it with the staged vrell-cli. Last,
# the package's own files are put in place in a private mount namespace (its /etc/vrell over
# the host's /etc, an empty /run), where the daemon starts as the unit starts it and vrell-cli
# and a C program linked with the client library find it without being told where.
set -euo pipefail
cd "$(dirname "$0")/../.."

tools/deps.sh man-db groff-base dpkg-dev

fail() {
  echo "install: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vrell-install.XXXXXX")
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then kill -KILL "$daemon_pid"; fi
  # The daemon of the mount namespace writes its pid here for this purpose.
  if [ -s "$work/root-daemon.pid" ]; then
    pid=$(cat "$work/root-daemon.pid")
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "--- package"
tools/package.sh
build=build/package
debs=("$build"/*.deb)
[ -f "${debs[0]}" ] || fail "no package in $build"
[ -d build/package-i386 ] && debs+=(build/package-i386/*.deb)
for deb in "${debs[@]}"; do
  echo "--- $deb"
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  [ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/vrell/vrell.ini ] ||
    fail "$deb: /etc/vrell/vrell.ini is not its only conffile"
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q 'addgroup --system' ||
    fail "$deb: postinst does not create the group"
done

echo "--- install tree"
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >/dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
expected=$(sort <<LIST
etc/vrell/vrell.ini
usr/bin/vrell-cli
usr/include/vrell/client.h
usr/$libdir/libvrell_client.a
usr/$libdir/libvrell_client.so
usr/$libdir/libvrell_client.so.0
usr/$libdir/libvrell_client.so.0.1.0
usr/lib/systemd/system/vrell.service
usr/sbin/vrell
usr/share/doc/vrell/README.md
usr/share/man/man1/vrell-cli.1.gz
usr/share/man/man3/vrell_client.3.gz
usr/share/man/man5/vrell.ini.5.gz
usr/share/man/man8/vrell.8.gz
LIST
)
found=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "install tree differs:
$(diff <(echo "$expected") <(echo "$found"))"
packaged=$(dpkg-deb --contents "${debs[0]}" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
[ "$packaged" = "$expected" ] || fail "package content differs from the install tree:
$(diff <(echo "$expected") <(echo "$packaged"))"
for program in usr/sbin/vrell usr/bin/vrell-cli; do
  [ -x "$stage/$program" ] || fail "$program is not executable"
done

echo "--- configuration"
conf=$stage/etc/vrell/vrell.ini
prologue() { sed '/^#\*END$/q' "$1" | grep -c ''; }
[ "$(prologue "$conf")" = "$(prologue etc/vrell.ini)" ] ||
  fail "the installed configuration has other lines above #*END than etc/vrell.ini"
grep -q 'VRELL_RUN_DIR' "$conf" && fail "the installed configuration still names VRELL_RUN_DIR"
grep -qx '    QXVrellSocket = "/run/vrell/vrell.sock"' "$conf" || fail "socket path not in /run/vrell"
grep -qx '    QXVrellPid = "/run/vrell/vrell.pid"' "$conf" || fail "pid path not in /run/vrell"

echo "--- man pages"
for page in "$stage"/usr/share/man/man*/*.gz; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $(basename "$page"): $warnings"
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
  [ -z "$warnings" ] || fail "groff $(basename "$page"): $warnings"
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^SEE ALSO' || fail "$page renders no SEE ALSO"
  echo "$(basename "$page"): renders cleanly"
done
MANWIDTH=80 man -l "$stage/usr/share/man/man8/vrell.8.gz" | sed -n '/^SECURITY/,/^SEE ALSO/p' |
  tr -s ' \n' ' ' | grep -q 'reported clean' || fail "vrell(8) has no SECURITY section on clean verdicts"

echo "--- systemd unit"
unit=$stage/usr/lib/systemd/system/vrell.service
for line in Type=forking PIDFile=/run/vrell/vrell.pid RuntimeDirectory=vrell \
  RuntimeDirectoryMode=0750 Group=vrell 'ExecStart=/usr/sbin/vrell -c /etc/vrell/vrell.ini' \
  Restart=on-failure TimeoutStartSec=10s ProtectSystem=strict ReadWritePaths=/etc/vrell; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
grep -q '^SystemCallArchitectures=' "$unit" && fail "the unit limits system call architectures"
if command -v systemd-analyze >/dev/null; then
  # The unit is verified as installed, its ExecStart pointed at the staged binary. A trivial
  # unit that fails too means systemd-analyze cannot work here.
  mkdir "$work/units"
  sed "s|/usr/sbin/vrell|$stage/usr/sbin/vrell|" "$unit" >"$work/units/vrell.service"
  printf '[Service]\nExecStart=/bin/true\n' >"$work/units/vrell-probe.service"
  if systemd-analyze verify --man=no "$work/units/vrell-probe.service" >/dev/null 2>&1; then
    systemd-analyze verify --man=no "$work/units/vrell.service" || fail "the unit does not verify"
    echo "vrell.service: verified"
  else
    echo "vrell.service: systemd-analyze cannot run here; not verified"
  fi
else
  echo "vrell.service: no systemd-analyze; not verified"
fi

echo "--- staged daemon"
run=$work/run
mkdir "$run"
sed "s|/run/vrell/|$run/|" "$conf" >"$run/vrell.ini"
before=$(sed '/^#\*END$/q' "$run/vrell.ini")
cli=("$stage/usr/bin/vrell-cli" -s "$run/vrell.sock")
# The daemon detaches: the launcher returns 0 once the detached child exists, and the child
# writes its pid file. The save option shows that the installed comments survive a save.
timeout 20 "$stage/usr/sbin/vrell" -v -c "$run/vrell.ini" || fail "the daemon did not start ($?)"
for _ in $(seq 200); do
  [ -s "$run/vrell.pid" ] && "${cli[@]}" status >/dev/null 2>&1 && break
  sleep 0.05
done
[ -s "$run/vrell.pid" ] || fail "no pid file"
daemon_pid=$(cat "$run/vrell.pid")
[ "$(sed '/^#\*END$/q' "$run/vrell.ini")" = "$before" ] || fail "the save changed the comments"

expect() {
  local want=$1 got
  shift
  got=$("${cli[@]}" "$@" | tr -d '\r') || fail "vrell-cli $* failed"
  [[ $got == "$want"* ]] || fail "vrell-cli $*: '$got', not '$want'"
}
expect "101-OK: Cache running;" status
expect "201-File added successfully" add 1000 clean /srv/a
expect "205-File is marked clean in cache" query 1000 /srv/a
expect "101-OK: Cache running;" -u "$(id -u)" status
cli=("$stage/usr/bin/vrell-cli" -c "$run/vrell.ini")
expect "101-OK: Cache running;" status
stats=$("${cli[@]}" stats) || fail "vrell-cli stats failed"
grep -qx 'entries 1' <<<"$stats" || fail "vrell-cli stats: no 'entries 1' in: $stats"
grep -qx 'added 1' <<<"$stats" || fail "vrell-cli stats: no 'added 1' in: $stats"
[ "$(grep -c '' <<<"$stats")" = "$(grep -cx '[a-z_]* [0-9]*' <<<"$stats")" ] ||
  fail "vrell-cli stats: not one 'name value' per line: $stats"
json=$("${cli[@]}" stats --json) || fail "vrell-cli stats --json failed"
grep -qx '{"[a-z_]*": [0-9]*\(, "[a-z_]*": [0-9]*\)*}' <<<"$json" ||
  fail "vrell-cli stats --json: not an object of numbers: $json"
grep -q '"entries": 1[,}]' <<<"$json" || fail "vrell-cli stats --json: no entries 1 in: $json"
other=65534
[ "$(id -u)" = "$other" ] && other=0
status=0
"${cli[@]}" -u "$other" status >/dev/null 2>&1 || status=$?
[ "$status" = 77 ] || fail "vrell-cli -u $other took a daemon of uid $(id -u) (status $status)"

kill -TERM "$daemon_pid"
for _ in $(seq 400); do
  kill -0 "$daemon_pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$daemon_pid" 2>/dev/null && fail "the daemon did not stop on SIGTERM"
daemon_pid=""
[ ! -e "$run/vrell.pid" ] && [ ! -e "$run/vrell.sock" ] || fail "the stop left its files"
echo "staged daemon: started, answered, refused a wrong server uid, stopped"

echo "--- installed package"
# A C scanner component: the socket is found as vrell-cli finds it.
cat >"$work/component.c" <<'C'
#include <stdio.h>
#include <vrell/client.h>
int main(void) {
  char socket_path[256], line[VRELL_CLIENT_REPLY_MAX];
  if (vrell_client_find_socket(NULL, NULL, socket_path, sizeof socket_path) != 0) return 1;
  int code = vrell_client_status(socket_path, line, sizeof line, 10000);
  printf("%s %d\n", socket_path, code);
  return code == VRELL_CLIENT_STATUS ? 0 : 1;
}
C
cc -Wall -Werror -I"$stage/usr/include" "$work/component.c" "$stage/usr/$libdir/libvrell_client.a" \
  -o "$work/component-static" || fail "a C program does not link the client archive alone"
cc -Wall -Werror -I"$stage/usr/include" "$work/component.c" -L"$stage/usr/$libdir" -lvrell_client \
  -o "$work/component-shared" || fail "a C program does not link the shared client library"
exported=$(nm -D --defined-only "$stage/usr/$libdir/libvrell_client.so" | awk '$2 == "T" {print $3}')
[ -z "$(grep -v '^vrell_client_' <<<"$exported")" ] ||
  fail "the shared client library exports more than its C interface"

if ! unshare -m true 2>/dev/null; then
  echo "installed package: no mount namespace here; not checked"
  exit 0
fi
root=$work/root
dpkg-deb -x "${debs[0]}" "$root"
cat >"$work/in-root.sh" <<'SCRIPT'
set -euo pipefail
root=$1 work=$2 libdir=$3
fail() {
  echo "install: $*" >&2
  exit 1
}
# The package's configuration where it is installed, the host's /etc beside it, and the run
# directory the unit would create; all of it private to this namespace. The daemon wants its
# configuration writable, so changes go to a layer on a tmpfs.
mkdir "$work/layer"
mount -t tmpfs tmpfs "$work/layer"
mkdir "$work/layer/upper" "$work/layer/work"
mount -t overlay overlay \
  -o "lowerdir=$root/etc:/etc,upperdir=$work/layer/upper,workdir=$work/layer/work" /etc
mount -t tmpfs tmpfs /run
mkdir -m 0750 /run/vrell
# As the unit starts it.
timeout 20 "$root/usr/sbin/vrell" -c /etc/vrell/vrell.ini || fail "the installed daemon did not start"
cli=$root/usr/bin/vrell-cli
for _ in $(seq 200); do
  [ -s /run/vrell/vrell.pid ] && "$cli" status >/dev/null 2>&1 && break
  sleep 0.05
done
[ -s /run/vrell/vrell.pid ] || fail "the installed daemon wrote no pid file"
pid=$(cat /run/vrell/vrell.pid)
echo "$pid" >"$work/root-daemon.pid"
got=$("$cli" status | tr -d '\r') || fail "vrell-cli status without options failed"
[[ $got == "101-OK: Cache running;"* ]] || fail "vrell-cli status without options: '$got'"
"$cli" stats | grep -qx 'entries 0' || fail "vrell-cli stats without options failed"
"$work/component-static" | grep -qx '/run/vrell/vrell.sock 101' ||
  fail "the C program linked with the archive did not find the installed daemon"
LD_LIBRARY_PATH=$root/usr/$libdir "$work/component-shared" | grep -qx '/run/vrell/vrell.sock 101' ||
  fail "the C program linked with the shared library did not find the installed daemon"
kill -TERM "$pid"
for _ in $(seq 400); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill -0 "$pid" 2>/dev/null && fail "the installed daemon did not stop on SIGTERM"
rm -f "$work/root-daemon.pid"
SCRIPT
unshare -m bash "$work/in-root.sh" "$root" "$work" "$libdir" || fail "the installed package check failed"
echo "installed package: vrell-cli and a C program found the daemon without options"
