#pragma once
// Element-wise exp, atan and tan over float arrays, run by the widest instruction set the CPU
// offers.
//
// There are four paths: scalar, SSE2, AVX2 and AVX-512, all the same lane maths
// (dsp/simd/lane_math.h) at different widths. Every path returns the same bits for the same
// argument, within one ulp of the correctly rounded value, so the output of the processor is the
// same on every path and for every block split.
//
// The path is chosen once, when the program starts, from the CPU's feature flags; tests may
// force one (setDispatchForTest) to check each path on its own. The same choice selects the
// copy of the signal chain compiled for that instruction set (dsp/chain.h).
#include <atomic>

#include "dsp/blocks/isa.h"

namespace orvex {

enum class SimdPath : int { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };

struct VectorMath {
    SimdPath path;
    // In place over n >= 0 values.
    void (*exp)(float* x, int n);
    void (*atan)(float* x, int n);
    void (*tan)(float* x, int n);
};

namespace detail {
extern const VectorMath kScalarMath;
extern std::atomic<const VectorMath*> gVectorMath;
}  // namespace detail

inline namespace ORVEX_ISA_NS {
// The active path's functions. Audio thread safe: one relaxed atomic load.
inline const VectorMath& vectorMath() { return *detail::gVectorMath.load(std::memory_order_relaxed); }

// f over the first `live` of every `stride` values in n rows: the live values are packed
// together for the call, so padding lanes cost nothing.
inline void applyToLiveLanes(void (*f)(float*, int), float* rows, int n, int stride, int live) {
    float packed[64 * 16];
    for (int done = 0; done < n;) {
        const int m = n - done < 64 * 16 / live ? n - done : 64 * 16 / live;
        for (int i = 0; i < m; ++i)
            for (int l = 0; l < live; ++l) packed[i * live + l] = rows[(done + i) * stride + l];
        f(packed, m * live);
        for (int i = 0; i < m; ++i)
            for (int l = 0; l < live; ++l) rows[(done + i) * stride + l] = packed[i * live + l];
        done += m;
    }
}
}  // namespace ORVEX_ISA_NS

// The best path this CPU runs.
SimdPath bestSimdPath();
// True if this build has the path and this CPU runs it.
bool simdPathAvailable(SimdPath path);
// Forces a path (false, and nothing changes, when it is not available). Not while compute runs.
bool setDispatchForTest(SimdPath path);
const char* simdPathName(SimdPath path);

}  // namespace orvex
