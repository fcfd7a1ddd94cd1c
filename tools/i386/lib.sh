# Shared by the two routes of the 32-bit tests (tools/ci/50-i386.sh on an i386 kernel,
# tools/i386/quick.sh on this kernel): installing what is missing and building the 32-bit tree.
# Sourced from the checkout's root; sets root, build and gtest_build.
root=$PWD
build=$root/build/i386
gtest_build=$root/build/i386-gtest

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

# The i386 package lists, then the i386 GLib, which co-installs with the host's (Multi-Arch:
# same); nothing of amd64 is removed.
i386_install_build_tools() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    $sudo apt-get update -q
  fi
  install_missing g++-multilib libglib2.0-dev:i386 googletest cmake ninja-build
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
    -DCMAKE_CROSSCOMPILING_EMULATOR="$1" >/dev/null
  cmake --build "$build" -j2
  readelf -h "$build/daemon/vrell" | grep -q 'ELF32' || { echo "i386: vrell is not 32-bit" >&2; exit 1; }
}
