# Shared part of the MinGW-w64 toolchain files: set ORVEX_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR, then include this file.
#
# The posix-threads variant of the compiler is preferred: its C++ library is complete
# (threads, mutexes), and with the static link below its thread runtime goes into the DLL, so
# the plug-in depends on system libraries only.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${ORVEX_MINGW_TRIPLE}-gcc-posix ${ORVEX_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ORVEX_MINGW_TRIPLE}-g++-posix ${ORVEX_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ORVEX_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${ORVEX_MINGW_TRIPLE}-gcc-ar-posix ${ORVEX_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${ORVEX_MINGW_TRIPLE}-gcc-ranlib-posix ${ORVEX_MINGW_TRIPLE}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (and the thread runtime) are linked in statically.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
