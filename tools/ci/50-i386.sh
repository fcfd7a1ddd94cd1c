#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The production platform, 32-bit x86, on a 32-bit kernel: builds the whole project with
# g++ -m32 against the i386 multiarch GLib, then boots Debian's i386 kernel under
# qemu-system-i386 and runs every test of that build inside it: the unit tests, the process
# tests of the real daemon and the fuzz corpus replay. The guest (tools/i386/image.sh, made
# once per machine) reads this checkout over 9p at the same path as here, since the build tree
# holds absolute paths, and writes ctest's exit status back into build/i386/guest/. The run has
# one bound; a test that fails once fails the stage. Installs what is missing first; does
# nothing twice. Software emulation (TCG) unless a KVM guest is seen to boot here.
# Usage: tools/ci/50-i386.sh   (from anywhere; builds into build/i386*)
#   VRELL_I386_RUN=repeat VRELL_I386_FILTER=Suite.Case VRELL_I386_REPS=N runs those daemon test
#   cases N times (default all, 100) instead of the suite; VRELL_I386_TIMEOUT (s) changes the
#   bound.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/i386/lib.sh
start=$SECONDS
run=${VRELL_I386_RUN:-suite}
bound=${VRELL_I386_TIMEOUT:-900}

i386_install_build_tools
vrell_install_missing qemu-system-x86
i386_build ""
guest=$(bash tools/i386/image.sh | tail -n 1)

# The kernel command line carries the checkout's path as one word.
case "$root" in
  *[[:space:]]*) echo "i386: the checkout's path must not hold blanks: $root" >&2; exit 1 ;;
esac
results=$build/guest
mkdir -p "$results"
rm -f "$results/status"
qemu_pid=""
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true' EXIT
trap 'exit 1' INT TERM HUP

# Boots the guest with accelerator $1 within $2 seconds, the console on standard output; the
# further arguments go to its init.
boot() {
  local accel=$1,thread=multi seconds=$2 cpu=qemu32
  [ "$1" = kvm ] && accel=kvm cpu=host
  shift 2
  # The console's line ends lose their carriage returns on the way, line by line.
  exec 3> >(sed -u 's/\r$//')
  local console=$!
  nice timeout -k 10 "$seconds" qemu-system-i386 -accel "$accel" -cpu "$cpu" \
    -smp 2 -m 512 -nodefaults -display none -no-reboot -serial stdio \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 $*" \
    -virtfs "local,path=$guest/root,mount_tag=vrellsys,security_model=none,readonly=on" \
    -virtfs "local,path=$root,mount_tag=vrellsrc,security_model=none" \
    </dev/null >&3 2>&1 &
  qemu_pid=$!
  exec 3>&-
  local status=0
  wait "$qemu_pid" || status=$?
  qemu_pid=""
  wait "$console" || true
  return $status
}

accel=tcg
if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
  # KVM has hung early in some guests; it is used only where a guest is seen to come up.
  boot kvm 60 VRELL_RUN=probe >"$results/kvm-probe.log" || true
  if grep -q 'guest: probe ok' "$results/kvm-probe.log"; then
    accel=kvm
  fi
fi
echo "=== i386: test on $(cat "$guest/kernel"), qemu-system-i386 ($accel), bound ${bound} s"
words=(VRELL_CHECKOUT="$root" VRELL_RUN="$run")
[ "$run" = repeat ] &&
  words+=(VRELL_FILTER="${VRELL_I386_FILTER:-*}" VRELL_REPS="${VRELL_I386_REPS:-100}")
booted=$SECONDS
boot "$accel" "$bound" "${words[@]}" || true
if [ ! -s "$results/status" ]; then
  echo "i386: the guest gave no result (it crashed, or ran past ${bound} s)" >&2
  exit 1
fi
status=$(cat "$results/status")
echo "i386: guest finished in $((SECONDS - booted)) s, status $status; stage $((SECONDS - start)) s"
if [ "$status" != 0 ]; then
  echo "i386: tests failed on the i386 kernel; their output is above" >&2
  exit 1
fi
