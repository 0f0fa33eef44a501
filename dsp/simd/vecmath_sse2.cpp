// SSE2 path: two lanes per step of the lane maths (dsp/simd/lane_math.h).
#include "dsp/simd/vecmath_paths.h"

#if defined(__SSE2__)
#include "dsp/simd/lane_math.h"

namespace orvex::simd {

const VectorMath kSse2Math = {SimdPath::Sse2, lanemath::expArray<2>, lanemath::atanArray<2>, lanemath::tanArray<2>};

}  // namespace orvex::simd
#endif
