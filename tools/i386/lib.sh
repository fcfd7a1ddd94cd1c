#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Shared by the 32-bit routes (tools/ci/50-i386.sh on an i386 kernel, tools/i386/quick.sh on
# this kernel, tools/package.sh for the i386 packages): the host's tools, the i386 packages
# they build against, and the 32-bit build. Sourced from the checkout's root; sets root,
# build, gtest_build, i386_cache and, after i386_install_build_tools, sysroot.
#
# The i386 packages are fetched with a package state of their own under i386_cache and unpacked
# into a directory (the sysroot): the host's dpkg never gets a second architecture, so its own
# apt-get update cannot fail on an i386 list, and a run that is killed leaves nothing behind.
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
root=$PWD
build=$root/build/i386
gtest_build=$root/build/i386-gtest
i386_cache=${VRELL_I386_CACHE:-/var/cache/vrell-i386}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# apt-get on the i386 package lists kept in i386_cache, the host's sources and an empty
# package state: dependencies are resolved as for an empty i386 system, and only downloaded.
# The caller holds the cache's lock, so apt's own locks are left out.
i386_apt_opts=(-o APT::Architecture=i386 -o APT::Architectures::=i386
  -o Dir::State::Lists="$i386_cache/apt/lists" -o Dir::State::status="$i386_cache/apt/status"
  -o Dir::State::extended_states="$i386_cache/apt/extended_states"
  -o Dir::Cache::archives="$i386_cache/apt/archives" -o Dir::Cache::pkgcache=
  -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
i386_apt_get() {
  mkdir -p "$i386_cache/apt/lists/partial" "$i386_cache/apt/archives/partial"
  [ -e "$i386_cache/apt/status" ] || : >"$i386_cache/apt/status"
  apt-get -q "${i386_apt_opts[@]}" "$@"
}

# Brings the i386 package lists up to date. A list that cannot be fetched (a mirror in mid-sync)
# is named and passed over after three tries: what is needed may still be in the others, and the
# download that follows says so when it is not.
i386_apt_update() {
  local try
  for try in 1 2 3; do
    i386_apt_get update >&2 && return 0
    echo "i386: apt-get update of the i386 lists failed (try $try of 3)" >&2
    [ "$try" = 3 ] || sleep $((try * 20))
  done
  echo "i386: going on with the i386 lists as they are" >&2
}

# Downloads the i386 packages "$@" with every dependency into directory $DEBS (made by the
# caller), after bringing the lists up to date; three tries.
i386_download() {
  local try
  i386_apt_update
  for try in 1 2 3; do
    i386_apt_get -y --download-only --no-install-recommends \
      -o Dir::Cache::archives="$DEBS" install "$@" >&2 && return 0
    echo "i386: downloading the i386 packages $* failed (try $try of 3)" >&2
    [ "$try" = 3 ] || sleep $((try * 20))
    i386_apt_update
  done
  return 1
}

# The i386 GLib and C++ runtime with their dependencies, unpacked once per machine into $i386_cache/sysroot-STAMP
# (keyed by what it holds), where the toolchain file finds them through VRELL_I386_SYSROOT.
# packages in it lists each package unpacked with its version; runtime/ in it holds the libraries a 32-bit program of this build needs beyond the C and C++
# runtimes of the host's multilib compiler, so that they can run on this machine too.
i386_sysroot() {
  local stamp work lib runtime=(libglib-2.0.so.0 libpcre2-8.so.0)
  stamp=$(echo "libglib2.0-dev libstdc++6 ${runtime[*]} packages" | sha256sum | cut -c1-16)
  sysroot=$i386_cache/sysroot-$stamp
  export VRELL_I386_SYSROOT=$sysroot
  [ -e "$sysroot/done" ] && return 0
  $sudo mkdir -p "$i386_cache"
  $sudo chown "$(id -u):$(id -g)" "$i386_cache"
  (
    exec 9>"$i386_cache/lock"
    flock 9
    [ -e "$sysroot/done" ] && exit 0
    echo "i386: unpacking the i386 GLib into $sysroot" >&2
    rm -rf "$sysroot" "$i386_cache"/make-sysroot.*
    work=$(mktemp -d "$i386_cache/make-sysroot.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/debs/partial" "$work/root/runtime"
    DEBS=$work/debs i386_download libglib2.0-dev libstdc++6
    for deb in "$work"/debs/*.deb; do
      dpkg-deb -x "$deb" "$work/root"
      dpkg-deb -W --showformat='${Package} ${Version}\n' "$deb" >>"$work/root/packages"
    done
    for lib in "${runtime[@]}"; do
      ln -s "$(cd "$work/root" && find usr/lib/i386-linux-gnu lib/i386-linux-gnu \
        -name "$lib" 2>/dev/null | head -n 1 | sed 's|^|../|')" "$work/root/runtime/$lib"
      [ -e "$work/root/runtime/$lib" ] || { echo "i386: no $lib among the packages" >&2; exit 1; }
    done
    mv "$work/root" "$sysroot"
    touch "$sysroot/done"
    # Sysroots of other contents that no run has used for a week.
    find "$i386_cache" -mindepth 2 -maxdepth 2 -path '*/sysroot-*/done' -mtime +7 \
      -printf '%h\n' | xargs -r rm -rf
  )
  touch "$sysroot/done"
}

# The host's 32-bit compiler and tools, then the i386 sysroot.
i386_install_build_tools() {
  vrell_install_missing g++-multilib googletest cmake ninja-build pkgconf binutils
  i386_sysroot
}

# Builds the whole project with g++ -m32 into build/i386, against a 32-bit GoogleTest built
# once from the packaged sources. $1 is the program through which CTest starts the test
# binaries, empty for none; it is always given, so that a build directory configured for the
# other route does not keep its value.
i386_build() {
  if [ ! -e "$gtest_build/install/lib/libgtest.a" ]; then
    echo "=== i386: GoogleTest"
    cmake -S /usr/src/googletest -B "$gtest_build/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest_build/install" >/dev/null
    cmake --build "$gtest_build/build" -j2 >/dev/null
    cmake --install "$gtest_build/build" >/dev/null
  fi

  echo "=== i386: build"
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i386.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRELL_WERROR=ON -DCMAKE_PREFIX_PATH="$gtest_build/install" \
    -DVRELL_I386_SYSROOT="$sysroot" -DCMAKE_CROSSCOMPILING_EMULATOR="$1" >/dev/null
  cmake --build "$build" -j2
  readelf -h "$build/daemon/vrell" | grep -q 'ELF32' || { echo "i386: vrell is not 32-bit" >&2; exit 1; }
}
