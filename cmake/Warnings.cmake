# Project-wide warning set: everything we build is expected to be clean with these.
add_library(orvex_warnings INTERFACE)
target_compile_options(orvex_warnings INTERFACE -Wall -Wextra -Wshadow=local -Wno-unknown-pragmas)
option(ORVEX_WERROR "Treat warnings as errors" OFF)
if(ORVEX_WERROR)
  target_compile_options(orvex_warnings INTERFACE -Werror)
endif()
