#include "dsp/blocks/vecmath.h"

#include <cmath>

#include "dsp/simd/chain_paths.h"
#include "dsp/simd/vecmath_paths.h"

namespace orvex {

namespace {

void scalarExp(float* x, int n) {
    for (int i = 0; i < n; ++i) x[i] = std::exp(x[i]);
}
void scalarAtan(float* x, int n) {
    for (int i = 0; i < n; ++i) x[i] = std::atan(x[i]);
}
void scalarTan(float* x, int n) {
    for (int i = 0; i < n; ++i) x[i] = std::tan(x[i]);
}

#if !defined(ORVEX_HAVE_SLEEF) && defined(ORVEX_SIMD_DISPATCH)
// Without the vector maths library the wider copies of the chain still pay for their filters,
// followers and envelopes; their exp, atan and tan are the C library's.
const VectorMath kAvx2LibraryMath = {SimdPath::Avx2, scalarExp, scalarAtan, scalarTan};
const VectorMath kAvx512LibraryMath = {SimdPath::Avx512, scalarExp, scalarAtan, scalarTan};
#endif

const VectorMath* table(SimdPath path) {
    switch (path) {
#if defined(ORVEX_HAVE_SLEEF)
        case SimdPath::Sse2: return &simd::kSse2Math;
        case SimdPath::Avx2: return &simd::kAvx2Math;
        case SimdPath::Avx512: return &simd::kAvx512Math;
#elif defined(ORVEX_SIMD_DISPATCH)
        case SimdPath::Avx2: return &kAvx2LibraryMath;
        case SimdPath::Avx512: return &kAvx512LibraryMath;
#endif
        default: return &detail::kScalarMath;
    }
}

bool cpuRuns(SimdPath path) {
#if defined(ORVEX_HAVE_SLEEF) || defined(ORVEX_SIMD_DISPATCH)
    __builtin_cpu_init();
    switch (path) {
        case SimdPath::Scalar: return true;
#if defined(ORVEX_HAVE_SLEEF)
        case SimdPath::Sse2: return __builtin_cpu_supports("sse2");
#else
        case SimdPath::Sse2: return false;  // the four-lane routines come from the library
#endif
        case SimdPath::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case SimdPath::Avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return path == SimdPath::Scalar;
#endif
}

const VectorMath* chooseBest() { return table(bestSimdPath()); }

}  // namespace

namespace detail {
const VectorMath kScalarMath = {SimdPath::Scalar, scalarExp, scalarAtan, scalarTan};
// Constant-initialised to the path every build has, then raised to the CPU's best path during
// static initialisation, before any processor can run.
std::atomic<const VectorMath*> gVectorMath{&kScalarMath};
namespace {
const bool gChosen = (gVectorMath.store(chooseBest(), std::memory_order_relaxed), true);
}  // namespace
}  // namespace detail

SimdPath bestSimdPath() {
    // Below AVX2 the four-lane routines are no faster than the C library's scalar functions (and
    // the chain is the baseline copy either way), so such CPUs keep the C library.
    for (SimdPath p : {SimdPath::Avx512, SimdPath::Avx2})
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
