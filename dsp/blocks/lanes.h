#pragma once
// Loops over lanes stay loops: a short loop of constant count is otherwise unrolled before the
// vectoriser runs, and its selects (max, min, floors) then come out as scalar code.
#define ORVEX_LANE_LOOP _Pragma("GCC unroll 1")
