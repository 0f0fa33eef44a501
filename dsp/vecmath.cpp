#include "dsp/blocks/vecmath.h"

#include <initializer_list>

#include "dsp/simd/chain_paths.h"
#include "dsp/simd/lane_math.h"
#include "dsp/simd/vecmath_paths.h"

namespace orvex {

namespace {

const VectorMath* table(SimdPath path) {
    switch (path) {
#if defined(__SSE2__)
        case SimdPath::Sse2: return &simd::kSse2Math;
#endif
#if defined(ORVEX_SIMD_DISPATCH)
        case SimdPath::Avx2: return &simd::kAvx2Math;
        case SimdPath::Avx512: return &simd::kAvx512Math;
#endif
        default: return &detail::kScalarMath;
    }
}

bool cpuRuns(SimdPath path) {
    switch (path) {
        case SimdPath::Scalar: return true;
#if defined(__SSE2__)
        case SimdPath::Sse2: return true;  // every x86 build is compiled for SSE2
#else
        case SimdPath::Sse2: return false;
#endif
#if defined(ORVEX_SIMD_DISPATCH)
        case SimdPath::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case SimdPath::Avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f");
#else
        case SimdPath::Avx2:
        case SimdPath::Avx512: return false;
#endif
    }
    return false;
}

const VectorMath* chooseBest() { return table(bestSimdPath()); }

}  // namespace

namespace detail {
const VectorMath kScalarMath = {SimdPath::Scalar, lanemath::expArray<1>, lanemath::atanArray<1>, lanemath::tanArray<1>};
// Constant-initialised to the path every build has, then raised to the CPU's best path during
// static initialisation, before any processor can run.
std::atomic<const VectorMath*> gVectorMath{&kScalarMath};
namespace {
const bool gChosen = (gVectorMath.store(chooseBest(), std::memory_order_relaxed), true);
}  // namespace
}  // namespace detail

SimdPath bestSimdPath() {
    for (SimdPath p : {SimdPath::Avx512, SimdPath::Avx2, SimdPath::Sse2})
        if (cpuRuns(p)) return p;
    return SimdPath::Scalar;
}

bool simdPathAvailable(SimdPath path) { return cpuRuns(path); }

bool setDispatchForTest(SimdPath path) {
    if (!cpuRuns(path)) return false;
    detail::gVectorMath.store(table(path), std::memory_order_relaxed);
    return true;
}

const ChainKernel& chainKernelFor(SimdPath path) {
    switch (path) {
#if defined(ORVEX_SIMD_DISPATCH)
        case SimdPath::Avx2: return simd::kChainAvx2;
        case SimdPath::Avx512: return simd::kChainAvx512;
#endif
        default: return simd::kChainBase;
    }
}

const ChainKernel& chainKernel() { return chainKernelFor(vectorMath().path); }

const char* simdPathName(SimdPath path) {
    switch (path) {
        case SimdPath::Scalar: return "scalar";
        case SimdPath::Sse2: return "sse2";
        case SimdPath::Avx2: return "avx2";
        case SimdPath::Avx512: return "avx512";
    }
    return "?";
}

}  // namespace orvex
