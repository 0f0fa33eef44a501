# Cross build for 64-bit ARM Linux (Raspberry Pi 4 and 5, ARM servers) with Debian's cross
# compiler (package g++-aarch64-linux-gnu). Usage:
#   cmake -S . -B build-cross/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux-gnu.cmake
#
# The baseline is ARMv8-A, whose Advanced SIMD (NEON) every 64-bit ARM processor has; the
# processor's vector code takes its generic form there and the maths come from the C library.
# Contraction into fused multiply-add stays off as everywhere (cmake/FloatingPoint.cmake), so
# the ARM build rounds as the x86 builds do.
#
# Programs built here run through qemu-aarch64 (package qemu-user) with the target's C library
# from /usr/aarch64-linux-gnu: CTest runs the tests that way and the build runs the LV2
# description generator that way. ORVEX_AARCH64_EMULATOR overrides the command (a ;-separated
# list; empty: none, e.g. on an ARM machine with its own aarch64 loader).
#
# Libraries are looked for in the target's trees only (/usr/aarch64-linux-gnu and Debian's
# multiarch folders for arm64), so the build machine's x86-64 libraries cannot slip in. Without
# arm64 packages of libsndfile and libebur128 the renderer reads and writes WAV files with its own
# code and measures loudness with its own meter, as the Windows build does; orvex-live needs
# JACK and is left out. Google Benchmark is not built for a cross target; GoogleTest is built from
# Debian's sources (/usr/src/googletest, package googletest) when the target has none.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ORVEX_AARCH64_TRIPLE aarch64-linux-gnu)

find_program(CMAKE_C_COMPILER NAMES ${ORVEX_AARCH64_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ORVEX_AARCH64_TRIPLE}-g++ REQUIRED)
set(CMAKE_C_FLAGS_INIT "-march=armv8-a")
set(CMAKE_CXX_FLAGS_INIT "-march=armv8-a")
set(CMAKE_LIBRARY_ARCHITECTURE ${ORVEX_AARCH64_TRIPLE})

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_AARCH64_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's arm64 packages (dpkg --add-architecture arm64), where installed, put their libraries
# and package files in the multiarch folders of the build machine's own tree.
list(APPEND CMAKE_FIND_ROOT_PATH /)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake /lib/x86_64-linux-gnu
    /usr/lib/i386-linux-gnu /usr/lib32 /usr/lib64)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ORVEX_AARCH64_TRIPLE}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

if(DEFINED ENV{ORVEX_AARCH64_EMULATOR})
  set(CMAKE_CROSSCOMPILING_EMULATOR "$ENV{ORVEX_AARCH64_EMULATOR}")
else()
  find_program(ORVEX_QEMU_AARCH64 qemu-aarch64)
  if(ORVEX_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEX_QEMU_AARCH64} -L /usr/${ORVEX_AARCH64_TRIPLE})
  endif()
endif()
