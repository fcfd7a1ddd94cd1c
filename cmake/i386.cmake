# Toolchain for the production platform, 32-bit x86 Linux, built on an x86-64 Debian host with
# g++ -m32 and the i386 multiarch libraries (libglib2.0-dev:i386). long and time_t have 32 bits
# there, so this build is where overflow at 2^31 shows.
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
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

# pkg-config must answer with the i386 GLib, never the host's.
find_program(PKG_CONFIG_EXECUTABLE NAMES i686-linux-gnu-pkg-config REQUIRED)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Libraries come from the i386 directories or the prefixes the caller names; programs run on
# the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
