#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian packages of vrell with dpkg-buildpackage (debian/): vrell, libvrell-client0,
# libvrell-client-dev and their -dbgsym packages, for each architecture given; by default this
# machine's, and on amd64 i386 too, the product's own platform. Each architecture is built from
# a copy of the checkout in build/package/src-ARCH, since dpkg-buildpackage writes into its
# source tree and beside it; the packages, .changes and .buildinfo land in build/package and
# the build's output in build/package/build-ARCH.log. Installs what is missing first.
# Prints the path of every package built.
# Usage: tools/package.sh [ARCH...]
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh build-essential dpkg-dev debhelper gzip
native=$(dpkg --print-architecture)
archs=("$@")
if [ ${#archs[@]} -eq 0 ]; then
  archs=("$native")
  [ "$native" = amd64 ] && archs+=(i386)
fi
for arch in "${archs[@]}"; do
  case "$native-$arch" in
    "$native-$native") ;;
    # debian/rules builds it with the 32-bit toolchain of the i386 tests, against their i386
    # sysroot (the host's dpkg keeps one architecture); dh_strip wants the i686 binutils.
    amd64-i386)
      source tools/i386/lib.sh
      i386_install_build_tools
      vrell_install_missing binutils-i686-linux-gnu
      ;;
    *)
      echo "package: cannot build for $arch on $native" >&2
      exit 64
      ;;
  esac
done

out=build/package
mkdir -p "$out"
rm -rf "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo "$out"/src-*
# Rebuilds are cheap where ccache is installed; the packages are the same either way.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
for arch in "${archs[@]}"; do
  src=$out/src-$arch
  mkdir -p "$src"
  tar -c --exclude=./build --exclude=./.git --exclude=./run -f - . | tar -x -C "$src" -f -
  flags=(-us -uc -b)
  if [ "$arch" != "$native" ]; then
    # The i386 build dependencies are in the sysroot, which dpkg does not know of; so are the
    # libraries the programs need, whose packages debian/shlibs.local names, each at the
    # version unpacked there.
    flags+=("-a$arch" -d)
    for lib in libc.so.6:libc6 libm.so.6:libc6 libstdc++.so.6:libstdc++6 \
      libgcc_s.so.1:libgcc-s1 libglib-2.0.so.0:libglib2.0-0; do
      soname=${lib%%:*} package=${lib#*:}
      version=$(awk -v p="$package" '$1 == p { print $2 }' "$sysroot/packages")
      [ -n "$version" ] || { echo "package: $package is not in $sysroot" >&2; exit 1; }
      echo "${soname%%.so.*} ${soname##*.so.} $package (>= ${version%%-*})"
    done >"$src/debian/shlibs.local"
  fi
  echo "package: building for $arch" >&2
  if ! (cd "$src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage "${flags[@]}") >"$out/build-$arch.log" 2>&1; then
    tail -n 40 "$out/build-$arch.log" >&2
    echo "package: the $arch build failed; its output is in $out/build-$arch.log" >&2
    exit 1
  fi
done
ls "$out"/*.deb
