// AVX2 path: four lanes per step of the lane maths (dsp/simd/lane_math.h).
#include "dsp/simd/vecmath_paths.h"

#if defined(__AVX2__)
#include "dsp/simd/lane_math.h"

namespace orvex::simd {

const VectorMath kAvx2Math = {SimdPath::Avx2, lanemath::expArray<4>, lanemath::atanArray<4>, lanemath::tanArray<4>};

}  // namespace orvex::simd
#endif
