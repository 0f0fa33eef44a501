// AVX-512 path: eight lanes per step of the lane maths (dsp/simd/lane_math.h).
#include "dsp/simd/vecmath_paths.h"

#if defined(__AVX512F__)
#include "dsp/simd/lane_math.h"

namespace orvex::simd {

const VectorMath kAvx512Math = {SimdPath::Avx512, lanemath::expArray<8>, lanemath::atanArray<8>, lanemath::tanArray<8>};

}  // namespace orvex::simd
#endif
