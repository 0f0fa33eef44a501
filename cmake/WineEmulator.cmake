# The emulator of a Windows cross build: wine runs the test programs for CTest.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR to <build>/wine-run.sh (from cmake/wine-run.sh.in), which
# runs a program under ORVEX_WINE in the prefix <build>/wine-prefix. ORVEX_WINE defaults to the
# loader that matches the target: wine's 64-bit loader (Debian package wine64) or its 32-bit
# one (wine32:i386). Without one the tests still build, and CTest cannot run them.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(ORVEX_WINE NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_DEFAULT_PATH)
  find_program(ORVEX_WINE NAMES wine64)
  set(ORVEX_WINE_ARCH win64)
else()
  find_program(ORVEX_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  set(ORVEX_WINE_ARCH win32)
endif()
set(ORVEX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
if(ORVEX_WINE)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
  message(STATUS "Windows test programs run under ${ORVEX_WINE} (prefix ${ORVEX_WINE_PREFIX})")
else()
  message(STATUS "No wine loader for ${ORVEX_WINE_ARCH} found: the tests build, but CTest cannot run them (set ORVEX_WINE)")
endif()
