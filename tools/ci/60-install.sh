#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# CI stage: the Debian packages and the install tree. Builds the packages of amd64 and i386 with
# tools/package.sh (dpkg-buildpackage), checks each package's files and control data, runs
# lintian (no tag of any level but overridden ones) and hardening-check on them, and checks that
# both client libraries give the C interface only. Checks the staged install tree (the build's
# own DESTDIR install), the configuration, the man pages and the unit, and runs the staged
# daemon on a temporary configuration. Last, boots a Debian 12 guest with systemd as PID 1
# (systemd-nspawn on a root made once per machine, tools/install/image.sh), where
# tools/install/in-guest.sh installs the amd64 packages, checks the service and its journal,
# upgrades them and removes and purges them.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/lib.sh

tools/deps.sh man-db groff-base dpkg-dev lintian devscripts systemd-container

fail() {
  echo "install: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/vrell-install.XXXXXX")
daemon_pid=""
guest_pid=""
cleanup() {
  [ -z "$daemon_pid" ] || vrell_stop_pid "$daemon_pid" 5 || true
  [ -z "$guest_pid" ] || vrell_stop_pid "$guest_pid" 20 || true
  rm -rf "$work"
}
trap cleanup EXIT

version=$(dpkg-parsechangelog -S Version)
upstream=$(sed -n 's/^project(vrell VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ "${version%-*}" = "$upstream" ] ||
  fail "debian/changelog is at $version, the CMake project at $upstream"

echo "--- packages"
tools/package.sh amd64 i386
out=build/package
# expect_files PACKAGE < LIST: the files (all but directories) of PACKAGE of $arch are LIST.
expect_files() {
  local deb=$out/$1_${version}_$arch.deb found
  found=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
  [ "$found" = "$(sort)" ] || fail "$deb holds:
$found"
}
for arch in amd64 i386; do
  ma=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  expect_files vrell <<LIST
lib/systemd/system/vrell.service
usr/bin/vrell-cli
usr/bin/vrell-scan
usr/sbin/vrell
usr/share/doc/vrell/README.Debian
usr/share/doc/vrell/README.md.gz
usr/share/doc/vrell/changelog.Debian.gz
usr/share/doc/vrell/copyright
usr/share/lintian/overrides/vrell
usr/share/man/man1/vrell-cli.1.gz
usr/share/man/man1/vrell-scan.1.gz
usr/share/man/man5/vrell.ini.5.gz
usr/share/man/man8/vrell.8.gz
usr/share/vrell/vrell.ini
LIST
  expect_files libvrell-client0 <<LIST
usr/lib/$ma/libvrell_client.so.0
usr/lib/$ma/libvrell_client.so.0.1.0
usr/share/doc/libvrell-client0/changelog.Debian.gz
usr/share/doc/libvrell-client0/copyright
usr/share/lintian/overrides/libvrell-client0
LIST
  expect_files libvrell-client-dev <<LIST
usr/include/vrell/client.h
usr/lib/$ma/libvrell_client.a
usr/lib/$ma/libvrell_client.so
usr/lib/$ma/pkgconfig/vrell-client.pc
usr/share/doc/libvrell-client-dev/changelog.Debian.gz
usr/share/doc/libvrell-client-dev/copyright
usr/share/doc/libvrell-client-dev/examples/known_verdict.c
usr/share/lintian/overrides/libvrell-client-dev
usr/share/man/man3/vrell_client.3.gz
LIST
  deb=$out/vrell_${version}_$arch.deb
  dpkg-deb --info "$deb"
  # The daemon rewrites its file, so dpkg must not hold it as a conffile.
  ! dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx './conffiles' || fail "$deb has conffiles"
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | tr -d '\\\n' |
    grep -q 'adduser --system[^;]* _vrell' ||
    fail "$deb: postinst does not create the user _vrell"
  # A 32-bit build on a 64-bit host links the multilib runtime, which must not be named.
  ! dpkg-deb -f "$deb" Depends | grep -q 'lib32' || fail "$deb depends on a multilib package"

  echo "--- lintian $arch"
  if ! tags=$(lintian --fail-on error,warning,info,pedantic -I -E --pedantic \
    "$out/vrell_${version}_$arch.changes" 2>&1); then
    grep -v 'running with root privileges' <<<"$tags" >&2
    fail "lintian found tags in the $arch packages"
  fi
  echo "lintian: no tags in the $arch packages and their .changes and .buildinfo"

  echo "--- hardening-check $arch"
  root=$work/root-$arch
  for package in vrell libvrell-client0 libvrell-client-dev; do
    dpkg-deb -x "$out/${package}_${version}_$arch.deb" "$root"
  done
  # Debian 12's C start files carry no CET property, so no program linked there can show one.
  hardening-check --nocfprotection "$root/usr/sbin/vrell" "$root/usr/bin/vrell-cli" \
    "$root/usr/bin/vrell-scan" \
    "$root/usr/lib/$ma/libvrell_client.so.0.1.0" || fail "hardening-check failed on $arch"

  # Only the C interface is global in either library; i386 objects also carry the compiler's
  # own mergeable PIC helpers.
  exported=$(nm -D --defined-only "$root/usr/lib/$ma/libvrell_client.so" | awk '{print $3}')
  ! grep -qv '^vrell_client_' <<<"$exported" ||
    fail "the $arch shared client library exports more than its C interface"
  archived=$(nm -g --defined-only "$root/usr/lib/$ma/libvrell_client.a" | awk 'NF == 3 {print $3}')
  ! grep -qv -e '^vrell_client_' -e '^__x86\.get_pc_thunk\.' <<<"$archived" ||
    fail "the $arch client archive defines more than its C interface globally:
$(grep -v '^vrell_client_' <<<"$archived")"
  [ "$(grep -c '^vrell_client_' <<<"$archived")" = "$(grep -c '^vrell_client_' <<<"$exported")" ] ||
    fail "the $arch archive and shared library define different calls"
  echo "client libraries ($arch): only vrell_client_* global"
done

echo "--- install tree"
stage=$out/src-amd64/debian/tmp
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expected=$(sort <<LIST
etc/vrell/vrell.ini
lib/systemd/system/vrell.service
usr/bin/vrell-cli
usr/bin/vrell-scan
usr/include/vrell/client.h
usr/lib/$ma/libvrell_client.a
usr/lib/$ma/libvrell_client.so
usr/lib/$ma/libvrell_client.so.0
usr/lib/$ma/libvrell_client.so.0.1.0
usr/lib/$ma/pkgconfig/vrell-client.pc
usr/sbin/vrell
usr/share/doc/vrell/README.md
usr/share/man/man1/vrell-cli.1.gz
usr/share/man/man1/vrell-scan.1.gz
usr/share/man/man3/vrell_client.3.gz
usr/share/man/man5/vrell.ini.5.gz
usr/share/man/man8/vrell.8.gz
usr/share/vrell/vrell.ini
LIST
)
found=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] || fail "install tree differs:
$(diff <(echo "$expected") <(echo "$found"))"
for program in usr/sbin/vrell usr/bin/vrell-cli usr/bin/vrell-scan; do
  [ -x "$stage/$program" ] || fail "$program is not executable"
  said=$("$stage/$program" --version) || fail "$program --version failed"
  [ "$said" = "$(basename "$program") $upstream" ] || fail "$program --version: $said"
done
cmp -s "$stage/etc/vrell/vrell.ini" "$stage/usr/share/vrell/vrell.ini" ||
  fail "the configuration under /etc is not the default under share"

echo "--- configuration"
conf=$stage/usr/share/vrell/vrell.ini
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
unit=$stage/lib/systemd/system/vrell.service
for line in Type=notify RuntimeDirectory=vrell RuntimeDirectoryMode=0750 User=_vrell \
  Group=_vrell 'ExecStart=/usr/sbin/vrell -f -c /etc/vrell/vrell.ini' Restart=always \
  TimeoutStartSec=10s WatchdogSec=30s ProtectSystem=strict ReadWritePaths=/etc/vrell; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
grep -q '^SystemCallArchitectures=' "$unit" && fail "the unit limits system call architectures"
# The unit is verified as installed, its ExecStart pointed at the staged binary. A trivial unit
# that fails too means systemd-analyze cannot work here.
mkdir "$work/units"
sed "s|/usr/sbin/vrell|$PWD/$stage/usr/sbin/vrell|" "$unit" >"$work/units/vrell.service"
printf '[Service]\nExecStart=/bin/true\n' >"$work/units/vrell-probe.service"
if systemd-analyze verify --man=no "$work/units/vrell-probe.service" >/dev/null 2>&1; then
  # An ignored setting is only a warning to systemd, but one here means the unit is not the
  # one written.
  verified=$(systemd-analyze verify --man=no "$work/units/vrell.service" 2>&1) &&
    [ -z "$verified" ] || fail "the unit does not verify cleanly: $verified"
  echo "vrell.service: verified"
else
  echo "vrell.service: systemd-analyze cannot run here; not verified"
fi

echo "--- staged daemon"
run=$work/run
mkdir "$run"
sed "s|/run/vrell/|$run/|" "$conf" >"$run/vrell.ini"
said=$("$stage/usr/sbin/vrell" --check -c "$run/vrell.ini") ||
  fail "vrell --check on the installed configuration: $said"
[ "$said" = "$run/vrell.ini: OK" ] || fail "vrell --check said: $said"
before=$(sed '/^#\*END$/q' "$run/vrell.ini")
cli=("$stage/usr/bin/vrell-cli" -s "$run/vrell.sock")
# The save option shows that the installed comments survive a save.
daemon_pid=$(vrell_start_daemon "$stage/usr/sbin/vrell" "$run/vrell.ini" "$run/vrell.pid" -v) ||
  fail "the daemon did not start"
vrell_wait_for "${cli[@]}" status || fail "the daemon does not answer"
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
vrell_stop_pid "$daemon_pid" 20 || fail "the daemon did not stop on SIGTERM"
daemon_pid=""
[ ! -e "$run/vrell.pid" ] && [ ! -e "$run/vrell.sock" ] || fail "the stop left its files"
echo "staged daemon: started, answered, refused a wrong server uid, stopped"

echo "--- C programs"
# Built against the packages' own files, as a scanner component would be; the guest runs them.
mkdir "$work/guest" "$work/guest/bin" "$work/guest/debs" "$work/guest/upgrade"
root=$work/root-amd64
cc -Wall -Werror -I"$root/usr/include" tools/install/component.c \
  "$root/usr/lib/$ma/libvrell_client.a" -o "$work/guest/bin/component-static" ||
  fail "a C program does not link the client archive alone"
pc=(env PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/lib/$ma/pkgconfig" pkg-config)
"${pc[@]}" --exists vrell-client || fail "pkg-config does not find vrell-client"
# shellcheck disable=SC2046
cc -Wall -Werror $("${pc[@]}" --cflags vrell-client) tools/install/component.c \
  $("${pc[@]}" --libs vrell-client) -o "$work/guest/bin/component-shared" ||
  fail "a C program does not link the shared client library through pkg-config"
root32=$work/root-i386
cc -m32 -Wall -Werror -I"$root32/usr/include" tools/install/component.c \
  "$root32/usr/lib/i386-linux-gnu/libvrell_client.a" -o "$work/component-i386" ||
  fail "a 32-bit C program does not link the i386 client archive alone"
echo "C programs: linked with the archive, through pkg-config, and with the i386 archive"
# The guest holds the service's workers for good with the tests' preloaded library, to see the
# watchdog restart a daemon that serves nothing.
cc -shared -fPIC -Wall -Werror tests/preload/fail_preload.c -o "$work/guest/bin/fail_preload.so" \
  -ldl || fail "the preloaded library of the tests does not build"

echo "--- upgrade packages"
# The upgrade is to these packages repacked at a higher version with another default life time:
# the same programs and maintainer scripts, without a second build.
next=${version%-*}-$((${version##*-} + 1))
for package in vrell libvrell-client0 libvrell-client-dev; do
  deb=$out/${package}_${version}_amd64.deb
  cp "$deb" "$work/guest/debs/"
  tree=$work/repack-$package
  dpkg-deb -R "$deb" "$tree"
  sed -i "s/^Version: $version\$/Version: $next/; s/(= $version)/(= $next)/" "$tree/DEBIAN/control"
  if [ "$package" = vrell ]; then
    sed -i 's/^    entry life time = "10"$/    entry life time = "20"/' "$tree/usr/share/vrell/vrell.ini"
    grep -qx '    entry life time = "20"' "$tree/usr/share/vrell/vrell.ini" ||
      fail "the default life time is not 10"
    (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
      xargs -0 md5sum >DEBIAN/md5sums)
  fi
  dpkg-deb --root-owner-group -b "$tree" "$work/guest/upgrade/${package}_${next}_amd64.deb" >/dev/null
done
echo "$next" >"$work/guest/upgrade/version"
echo "upgrade packages: $version to $next"

echo "--- earlier package"
# As the package before the Debian packaging was: version 0.1.0, the configuration a conffile of
# root's, and a postinst that made the group vrell, which its unit gave the socket to.
earlier=$work/earlier
mkdir -p "$earlier/DEBIAN" "$earlier/etc/vrell" "$work/guest/earlier"
cp "$work/root-amd64/usr/share/vrell/vrell.ini" "$earlier/etc/vrell/vrell.ini"
cat >"$earlier/DEBIAN/control" <<CONTROL
Package: vrell
Version: 0.1.0
Architecture: amd64
Maintainer: vrell maintainers <root@localhost>
Depends: adduser
Description: in-memory cache of the anti-virus scanner's verdicts
 The package as it was before the Debian packaging.
CONTROL
echo /etc/vrell/vrell.ini >"$earlier/DEBIAN/conffiles"
cat >"$earlier/DEBIAN/postinst" <<'POSTINST'
#!/bin/sh
set -e
[ "$1" != configure ] || getent group vrell >/dev/null || addgroup --system --quiet vrell
POSTINST
chmod 0755 "$earlier/DEBIAN/postinst"
dpkg-deb --root-owner-group -b "$earlier" "$work/guest/earlier/vrell_0.1.0_amd64.deb" >/dev/null
echo "earlier package: vrell 0.1.0 with the group vrell"

echo "--- systemd guest"
guest=$(bash tools/install/image.sh | tail -n 1)
rm -f "$work/guest/status"
# systemd as PID 1 on a volatile overlay of the cached root; the checks run as a unit and power
# the guest off. The host has no systemd to register the container with.
timeout -k 10 420 systemd-nspawn --quiet --register=no --keep-unit --volatile=overlay \
  --directory="$guest" --bind-ro="$PWD:/check/src" --bind="$work/guest:/check/work" \
  --bind-ro="$PWD/tools/install/install-check.service:/etc/systemd/system/install-check.service" \
  --boot systemd.wants=install-check.service systemd.show_status=no </dev/null \
  >"$work/guest.log" 2>&1 &
guest_pid=$!
wait "$guest_pid" || true
guest_pid=""
tr -d '\r' <"$work/guest.log" | grep -v '^Attempted to remove disk file system' || true
[ "$(cat "$work/guest/status" 2>/dev/null)" = 0 ] || fail "the checks in the systemd guest failed"
