# SPDX-License-Identifier: BSD-2-Clause
# Toolchain for the production platform, 32-bit x86 Linux, built on an x86-64 Debian host with
# g++ -m32. long and time_t have 32 bits there, so this build is where overflow at 2^31 shows.
#
# The i386 GLib comes from VRELL_I386_SYSROOT (a cache variable, or the environment), a
# directory of unpacked i386 packages that tools/i386/lib.sh makes, so that the host's dpkg
# needs no second architecture. Without it, the host's own i386 multiarch GLib is used
# (libglib2.0-dev:i386).
#
# A 32-bit GoogleTest is not packaged: build it from /usr/src/googletest with this same
# toolchain and pass its install prefix in CMAKE_PREFIX_PATH. Where the kernel cannot run 32-bit
# programs, either register qemu-i386 with binfmt_misc (then every exec works, the process
# tests' included) or pass -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386 (then CTest runs the test
# binaries through it, but a test that executes the daemon itself cannot).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-m32 -D_FILE_OFFSET_BITS=64")

if(NOT VRELL_I386_SYSROOT AND DEFINED ENV{VRELL_I386_SYSROOT})
  set(VRELL_I386_SYSROOT "$ENV{VRELL_I386_SYSROOT}")
endif()
set(VRELL_I386_SYSROOT "${VRELL_I386_SYSROOT}" CACHE PATH "Unpacked i386 packages with GLib")
# try_compile projects read this file again, with only these variables of the caller's.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VRELL_I386_SYSROOT)

set(link_flags -m32)
if(VRELL_I386_SYSROOT)
  # pkg-config answers with the sysroot's GLib; the linker finds what that GLib needs there, and
  # programs run in the build tree find it through runtime/ (a directory the guest lacks, so
  # there its own libraries serve).
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VRELL_I386_SYSROOT}")
  set(ENV{PKG_CONFIG_LIBDIR}
      "${VRELL_I386_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig:${VRELL_I386_SYSROOT}/usr/share/pkgconfig")
  string(APPEND link_flags " -Wl,-rpath-link,${VRELL_I386_SYSROOT}/usr/lib/i386-linux-gnu"
         " -Wl,-rpath-link,${VRELL_I386_SYSROOT}/lib/i386-linux-gnu")
  set(CMAKE_BUILD_RPATH "${VRELL_I386_SYSROOT}/runtime")
else()
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
  set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
endif()
set(ENV{PKG_CONFIG_PATH} "")
# The plain pkg-config answers for i386 through the variables above; a cross wrapper that a
# package build names (i686-linux-gnu-pkg-config) would look for a multiarch GLib instead.
find_program(vrell_pkg_config NAMES pkg-config REQUIRED)
set(PKG_CONFIG_EXECUTABLE "${vrell_pkg_config}" CACHE FILEPATH "pkg-config" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${link_flags}")

# Libraries come from the i386 directories or the prefixes the caller names; programs run on
# the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
