// AVX2 + FMA path of the vector maths: eight lanes per call, the tail under a mask.
#include "dsp/simd/vecmath_paths.h"

#if defined(ORVEX_HAVE_SLEEF)
#include <immintrin.h>
#include <sleef.h>

namespace orvex::simd {
namespace {

// One array routine per function: full vectors, then the tail.
#define ORVEX_ARRAY_ROUTINE(NAME, F)                                               \
void NAME(float* x, int n) {                                                       \
    int i = 0;                                                                     \
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, F(_mm256_loadu_ps(x + i)));\
    if (i < n) {                                                                   \
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);            \
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(n - i), lane);   \
        _mm256_maskstore_ps(x + i, mask, F(_mm256_maskload_ps(x + i, mask)));      \
    }                                                                              \
}

ORVEX_ARRAY_ROUTINE(expArray, Sleef_expf8_u10avx2)
ORVEX_ARRAY_ROUTINE(atanArray, Sleef_atanf8_u10avx2)
ORVEX_ARRAY_ROUTINE(tanArray, Sleef_tanf8_u10avx2)
#undef ORVEX_ARRAY_ROUTINE

}  // namespace

const VectorMath kAvx2Math = {SimdPath::Avx2, expArray, atanArray, tanArray};

}  // namespace orvex::simd
#endif
