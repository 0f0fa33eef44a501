# 32-bit x86 Linux build on an x86-64 Debian machine with the multilib GCC (g++-multilib):
#   cmake -S . -B build-cross/m32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-i686.cmake
#
# It exercises the 32-bit record layout, 4-byte pointers and SSE2 single-precision maths (no x87
# excess precision) on Linux, where the tests can run. The system name is left alone, so CMake
# does not consider this a cross build and the test tree is configured; the kernel runs the
# 32-bit programs directly (IA-32 emulation). On a kernel without it, set ORVEX_M32_EMULATOR,
# e.g. to "qemu-i386;-L;/", and CTest runs every test program through it.
#
# Debian ships no i386 GoogleTest with the amd64 tools; .ci/platforms.sh builds one from
# /usr/src/googletest with this file and passes -DGTest_DIR. Google Benchmark and the libraries
# of the command-line tools are 64-bit only here: configure with -DORVEX_BUILD_BENCH=OFF
# -DORVEX_BUILD_TOOLS=OFF.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB64_PATHS OFF)
# Keep the 64-bit libraries and their package files out of reach.
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake /lib/x86_64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig)

if(DEFINED ENV{ORVEX_M32_EMULATOR} AND NOT "$ENV{ORVEX_M32_EMULATOR}" STREQUAL "")
  set(CMAKE_CROSSCOMPILING_EMULATOR "$ENV{ORVEX_M32_EMULATOR}")
endif()
