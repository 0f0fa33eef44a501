// AVX-512 path of the vector maths: sixteen lanes per call, the tail under a mask.
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
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(x + i, F(_mm512_loadu_ps(x + i)));\
    if (i < n) {                                                                   \
        const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1u);       \
        _mm512_mask_storeu_ps(x + i, mask, F(_mm512_maskz_loadu_ps(mask, x + i))); \
    }                                                                              \
}

ORVEX_ARRAY_ROUTINE(expArray, Sleef_expf16_u10avx512f)
ORVEX_ARRAY_ROUTINE(atanArray, Sleef_atanf16_u10avx512f)
ORVEX_ARRAY_ROUTINE(tanArray, Sleef_tanf16_u10avx512f)
#undef ORVEX_ARRAY_ROUTINE

}  // namespace

const VectorMath kAvx512Math = {SimdPath::Avx512, expArray, atanArray, tanArray};

}  // namespace orvex::simd
#endif
