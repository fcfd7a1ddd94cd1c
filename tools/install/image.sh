#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Makes the Debian 12 root that the install stage boots with systemd-nspawn, systemd as its
# PID 1: debootstrap's minimal system with systemd, D-Bus (which systemd-analyze security
# needs), adduser and the libraries of vrell. Built once per machine into a cache outside the
# checkout, keyed by this script, so that every clone finds it and a change to it makes a new
# one; the stage boots it with a volatile overlay, so it is never changed. Installs what it
# needs first.
# Usage: tools/install/image.sh   (prints the root's directory on its last line)
#   VRELL_GUEST_MIRROR overrides the Debian mirror (default that of apt's sources, else
#   http://deb.debian.org/debian).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${VRELL_GUEST_CACHE:-/var/cache/vrell-guest}
stamp=$(sha256sum <"$here/image.sh" | cut -c1-16)
guest=$cache/$stamp

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo mkdir -p "$cache"

# One builder at a time; a second run waits and then finds the root made.
exec 9>"$cache/lock"
flock 9
if [ -e "$guest/done" ]; then
  touch "$guest/done"
  echo "$guest/root"
  exit 0
fi
# Left by a builder that was killed.
$sudo rm -rf "$cache"/make.*

"$here/../deps.sh" debootstrap systemd-container
mirror=${VRELL_GUEST_MIRROR:-$(sed -n 's|^URIs: *\(http[^ ]*/debian\)/*$|\1|p' \
  /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)}
mirror=${mirror:-http://deb.debian.org/debian}

echo "guest: making the Debian 12 root in $guest from $mirror" >&2
work=$(mktemp -d "$cache/make.XXXXXX")
trap '$sudo rm -rf "$work"' EXIT
$sudo debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,adduser,procps,libglib2.0-0 \
  bookworm "$work/root" "$mirror" >&2
root=$work/root
$sudo rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/*
echo vrell-guest | $sudo tee "$root/etc/hostname" >/dev/null
# Each boot makes its own machine id; a login prompt on the console would only add noise.
$sudo truncate -s 0 "$root/etc/machine-id"
$sudo ln -sf /dev/null "$root/etc/systemd/system/console-getty.service"

mkdir -p "$work/guest"
$sudo mv "$root" "$work/guest/root"
mv "$work/guest" "$guest"
touch "$guest/done"
# Roots of other versions of this script that no run has used for a week.
find "$cache" -mindepth 2 -maxdepth 2 -name 'done' -mtime +7 -printf '%h\n' | xargs -r $sudo rm -rf
echo "guest: root made, $(du -sh "$guest" | cut -f1)" >&2
echo "$guest/root"
