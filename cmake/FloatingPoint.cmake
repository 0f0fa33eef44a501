# Floating point: strict IEEE single precision. No fast-math (it removes the NaN handling and
# the floors), no contraction into FMA (so every instruction-set path rounds alike), and on
# 32-bit x86 SSE2 arithmetic instead of the x87 stack with its excess precision.
add_compile_options(-ffp-contract=off -fno-math-errno)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86|X86|AMD64|x86_64)$")
  add_compile_options(-msse2 -mfpmath=sse)
  if(WIN32)
    # 32-bit Windows hosts may call in with a stack aligned to 4 bytes only; vector spills need 16.
    add_compile_options(-mstackrealign)
  endif()
endif()
