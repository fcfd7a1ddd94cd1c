#!/usr/bin/env bash
# Builds the Debian package of vrell: a release build with the prefix /usr in build/package,
# then CPack's DEB generator. Where the 32-bit build build/i386 exists, the i386 package is
# built the same way in build/package-i386, with that build's toolchain and prefix path.
# Prints the path of every package built.
# Usage: tools/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh dpkg-dev gzip

# package_in DIR [CMAKE ARGUMENTS...]: configures and builds DIR for packaging, runs CPack.
package_in() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DVRELL_BUILD_TESTS=OFF -DVRELL_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j2
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  ls "$dir"/*.deb
}

package_in build/package

# The 32-bit build tells which toolchain and prefixes it was made with; the package build takes
# them over and leaves build/i386 itself alone.
cache=build/i386/CMakeCache.txt
if [ -f "$cache" ]; then
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$cache")
  prefix_path=$(sed -n 's/^CMAKE_PREFIX_PATH:[A-Z]*=//p' "$cache")
  if [ -n "$toolchain" ]; then
    # GNUInstallDirs finds no multiarch directory for a cross build; Debian's is named here.
    package_in build/package-i386 -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_INSTALL_LIBDIR=lib/i386-linux-gnu ${prefix_path:+-DCMAKE_PREFIX_PATH="$prefix_path"}
  else
    echo "package: build/i386 has no toolchain file; no i386 package" >&2
  fi
fi
