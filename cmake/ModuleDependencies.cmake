# Shared-library dependencies of the plug-in modules. A module copied onto another machine must
# load there, so it may need the C library, libm and the loader only; the build fails when a
# module links anything else (checked after every link from the module's dynamic section).
# Sanitizer builds bring their runtimes and are not checked; nor are Windows DLLs (they link their
# runtime statically and their imports are checked by the Windows tests).
set(ORVEX_MODULE_NEEDED_ALLOWED "^(libc\\.so\\.6|libm\\.so\\.6|ld-linux[-a-zA-Z0-9_.]*\\.so\\.[0-9]+)$")

function(orvex_check_module_dependencies target)
  if(WIN32 OR ORVEX_SANITIZE)
    return()
  endif()
  find_program(ORVEX_READELF NAMES ${CMAKE_READELF} readelf)
  if(NOT ORVEX_READELF)
    message(FATAL_ERROR "readelf (binutils) is needed to check the modules' dependencies")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DREADELF=${ORVEX_READELF}
            "-DALLOWED=${ORVEX_MODULE_NEEDED_ALLOWED}" -P ${PROJECT_SOURCE_DIR}/cmake/check_needed.cmake
    VERBATIM)
endfunction()
