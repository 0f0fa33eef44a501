// Instruction-set paths: every path the CPU runs gives output that does not depend on the block
// split, every copy of the chain shares the baseline state layout, and all paths give the same
// output to the bit (the chain copies run the same arithmetic and the vector maths gives the same
// bits at every width).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/blocks/vecmath.h"
#include "dsp/chain.h"
#include "dsp/controls.h"
#include "dsp/mydsp.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512};

// Forces a path for one test and restores the CPU's best path afterwards.
struct ForcedPath {
    explicit ForcedPath(SimdPath p) : ok(setDispatchForTest(p)) {}
    ~ForcedPath() { setDispatchForTest(bestSimdPath()); }
    bool ok;
};

struct Stereo {
    std::vector<float> a, b;
    bool operator==(const Stereo&) const = default;
};

// Runs `in` through a fresh processor in blocks of the given sizes (cycled). With `vary`, the
// controls are moved every 3000 samples (at block boundaries that every split shares).
Stereo render(const std::vector<float>& in, const std::vector<int>& blocks, bool vary) {
    auto d = std::make_unique<mydsp>();
    d->init(48000);
    Stereo out{std::vector<float>(in.size()), std::vector<float>(in.size())};
    std::vector<float> x = in;
    std::uint32_t s = 99u;
    std::size_t at = 0, k = 0, nextChange = 0;
    while (at < in.size()) {
        if (vary && at == nextChange) {
            for (int c = 0; c < ctl::kCount; ++c) {
                s = s * 1664525u + 1013904223u;
                const ControlDef& def = kControlTable[c];
                const float u = static_cast<float>(s >> 8) / 16777216.0f;
                *d->control(c) = def.checkButton ? (u < 0.3f ? 1.0f : 0.0f) : def.min + u * (def.max - def.min);
            }
            nextChange += 3000;
        }
        std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(blocks[k++ % blocks.size()]), in.size() - at);
        if (vary) n = std::min(n, nextChange - at);
        float* ins[2] = {x.data() + at, nullptr};
        float* outs[2] = {out.a.data() + at, out.b.data() + at};
        d->compute(static_cast<int>(n), ins, outs);
        at += n;
    }
    return out;
}

double rmsDiff(const std::vector<float>& x, const std::vector<float>& y) {
    double s = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) s += (double(x[i]) - y[i]) * (double(x[i]) - y[i]);
    return std::sqrt(s / static_cast<double>(x.size()));
}

TEST(Dispatch, EveryPathIsBlockSplitInvariantAndGivesTheSameOutputToTheBit) {
    __builtin_cpu_init();
#if defined(ORVEX_SIMD_DISPATCH)
    // The wider copies must be there whenever the CPU runs them.
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        EXPECT_TRUE(simdPathAvailable(SimdPath::Avx2));
    }
    if (__builtin_cpu_supports("avx512f")) {
        EXPECT_TRUE(simdPathAvailable(SimdPath::Avx512));
    }
#else
    // Builds without the wider copies (32-bit x86) run the baseline on every CPU.
    EXPECT_FALSE(simdPathAvailable(SimdPath::Avx2));
    EXPECT_FALSE(simdPathAvailable(SimdPath::Avx512));
#endif
    const std::vector<float> in = test::musicLike(48000, 24000, 3);
    Stereo reference[2];
    int tested = 0;
    for (SimdPath p : kPaths) {
        ForcedPath forced(p);
        if (!forced.ok) continue;
        ++tested;
        SCOPED_TRACE(simdPathName(p));
        EXPECT_EQ(vectorMath().path, p);
        EXPECT_EQ(chainKernel().chainSize, sizeof(Chain));
        for (bool vary : {false, true}) {
            const Stereo whole = render(in, {24000}, vary);
            ASSERT_GT(test::rms(whole.a, mydsp::kChainLatency), 1e-3);
            EXPECT_EQ(render(in, {1, 63, 64, 65, 700, 17}, vary), whole);
            EXPECT_EQ(render(in, {512}, vary), whole);
            Stereo& ref = reference[vary];
            if (ref.a.empty()) {
                ref = whole;
            } else {
                EXPECT_TRUE(whole == ref) << "differs from the " << simdPathName(kPaths[0]) << " path by rms "
                                          << rmsDiff(whole.a, ref.a) << ", " << rmsDiff(whole.b, ref.b);
            }
        }
    }
#if defined(__SSE2__)
    EXPECT_GE(tested, 2);  // the scalar path and at least SSE2
#else
    EXPECT_GE(tested, 1);
#endif
}

TEST(Dispatch, UnavailablePathsAreRefused) {
    for (SimdPath p : kPaths) {
        if (simdPathAvailable(p)) continue;
        EXPECT_FALSE(setDispatchForTest(p));
    }
    EXPECT_TRUE(simdPathAvailable(SimdPath::Scalar));
    EXPECT_TRUE(simdPathAvailable(bestSimdPath()));
}

}  // namespace
}  // namespace orvex
