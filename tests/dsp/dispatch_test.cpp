// Instruction-set paths: every path the CPU runs gives output that does not depend on the block
// split, every copy of the chain shares the baseline state layout, and the vector maths stays
// within a rounding step of the C library, so the paths agree with one another to rounding.
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

TEST(Dispatch, EveryPathIsBlockSplitInvariantAndAgreesWithTheOthers) {
    const std::vector<float> in = test::musicLike(48000, 24000, 3);
    Stereo reference;
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
            if (!vary && reference.a.empty()) reference = whole;
            if (!vary) {
                // Rounding differences only: far below the signal (a wrong path is near 0 dB).
                EXPECT_LT(rmsDiff(whole.a, reference.a), 3e-3);
                EXPECT_LT(rmsDiff(whole.b, reference.b), 3e-3);
            }
        }
    }
    EXPECT_GE(tested, 1);
}

TEST(Dispatch, WithoutTheVectorMathsLibraryEveryCopyOfTheChainGivesTheScalarOutput) {
#if defined(ORVEX_HAVE_SLEEF)
    GTEST_SKIP() << "this build has the vector maths library; its paths differ in the last bit";
#else
    // The wider copies then differ from the baseline only in the instructions the compiler
    // picked for the same arithmetic, so they must agree to the bit.
#if defined(ORVEX_SIMD_DISPATCH)
    __builtin_cpu_init();
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
    const std::vector<float> in = test::musicLike(44100, 30000, 5);
    Stereo scalar;
    {
        ForcedPath forced(SimdPath::Scalar);
        ASSERT_TRUE(forced.ok);
        scalar = render(in, {30000}, true);
    }
    for (SimdPath p : {SimdPath::Avx2, SimdPath::Avx512}) {
        ForcedPath forced(p);
        if (!forced.ok) continue;
        SCOPED_TRACE(simdPathName(p));
        EXPECT_EQ(chainKernel().path, p);
        EXPECT_EQ(render(in, {30000}, true), scalar);
    }
#endif
}

TEST(Dispatch, VectorMathStaysWithinARoundingStepOfTheCLibrary) {
    // Arguments as the processor meets them: exp of small negatives, atan of gate levels, tan of
    // width arguments up to and across the poles, and of noise-reduction pre-warps.
    std::vector<float> args;
    for (int i = 0; i < 20000; ++i) args.push_back(-std::ldexp(1.0f, -30 + i % 31) * (1.0f + 0.37f * (i % 7)));
    const std::size_t expEnd = args.size();
    for (int i = 0; i < 20000; ++i) args.push_back(static_cast<float>(i) * 0.013f);
    for (SimdPath p : kPaths) {
        ForcedPath forced(p);
        if (!forced.ok) continue;
        SCOPED_TRACE(simdPathName(p));
        std::vector<float> e(args.begin(), args.begin() + static_cast<long>(expEnd));
        std::vector<float> a(args.begin() + static_cast<long>(expEnd), args.end());
        std::vector<float> t = a;
        vectorMath().exp(e.data(), static_cast<int>(e.size()));
        vectorMath().atan(a.data(), static_cast<int>(a.size()));
        vectorMath().tan(t.data(), static_cast<int>(t.size()));
        auto ulps = [](float got, double want) {
            if (static_cast<float>(want) == 0.0f) return got == 0.0f ? 0.0 : HUGE_VAL;  // no exponent to scale by
            const double ulp = std::ldexp(1.0, std::ilogb(static_cast<float>(want)) - 23);
            return std::fabs(got - want) / ulp;
        };
        double worst = 0.0;
        for (std::size_t i = 0; i < e.size(); ++i) worst = std::max(worst, ulps(e[i], std::exp(double(args[i]))));
        for (std::size_t i = 0; i < a.size(); ++i) {
            const double x = args[expEnd + i];
            worst = std::max(worst, ulps(a[i], std::atan(x)));
            worst = std::max(worst, ulps(t[i], std::tan(x)));
        }
        EXPECT_LE(worst, 1.0);
    }
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
