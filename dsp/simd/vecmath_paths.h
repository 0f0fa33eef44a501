#pragma once
// The per-instruction-set function tables; each lives in a unit compiled for its instruction set.
#include "dsp/blocks/vecmath.h"

namespace orvex::simd {
#if defined(__SSE2__)
extern const VectorMath kSse2Math;
#endif
#if defined(ORVEX_SIMD_DISPATCH)
extern const VectorMath kAvx2Math;
extern const VectorMath kAvx512Math;
#endif
}  // namespace orvex::simd
