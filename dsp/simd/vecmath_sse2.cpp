// SSE2 path of the vector maths: four lanes per call; a short tail goes through a padded copy.
#include "dsp/simd/vecmath_paths.h"

#if defined(ORVEX_HAVE_SLEEF)
#include <emmintrin.h>
#include <sleef.h>

namespace orvex::simd {
namespace {

// One array routine per function: full vectors, then the tail.
#define ORVEX_ARRAY_ROUTINE(NAME, F)                                               \
void NAME(float* x, int n) {                                                       \
    int i = 0;                                                                     \
    for (; i + 4 <= n; i += 4) _mm_storeu_ps(x + i, F(_mm_loadu_ps(x + i)));      \
    if (i < n) {                                                                   \
        alignas(16) float t[4] = {};                                               \
        for (int k = 0; k < n - i; ++k) t[k] = x[i + k];                           \
        _mm_store_ps(t, F(_mm_load_ps(t)));                                        \
        for (int k = 0; k < n - i; ++k) x[i + k] = t[k];                           \
    }                                                                              \
}

ORVEX_ARRAY_ROUTINE(expArray, Sleef_expf4_u10sse2)
ORVEX_ARRAY_ROUTINE(atanArray, Sleef_atanf4_u10sse2)
ORVEX_ARRAY_ROUTINE(tanArray, Sleef_tanf4_u10sse2)
#undef ORVEX_ARRAY_ROUTINE

}  // namespace

const VectorMath kSse2Math = {SimdPath::Sse2, expArray, atanArray, tanArray};

}  // namespace orvex::simd
#endif
