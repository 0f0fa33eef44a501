// The vector maths over every float the processor can give it: each result within one ulp of the
// correctly rounded value (from the C library's double-precision function), and the same bits
// on every instruction-set path.
//
// The ranges, from the stages that call it:
//  - exp: release coefficients -T/(xi + tau0) of the level followers, xi in [0, 1], when the
//    series does not hold (T/tau0 > 1/64). Rates run from 1 Hz to 192 kHz and tau0 is 0.03 s
//    (width channels), 0.25 s or 2 s (band levels), so the arguments lie in
//    [-1/0.03, -(0.03/64)/1.03] = [-33.4, -4.6e-4]; swept: [-40, -2^-12].
//  - atan: the smoothed gate levels of the band levels, in [0, 1].
//  - tan: the noise reduction's pre-warp pi*f/fs with f from 1 kHz to just below fs/2, in
//    (0.016, pi/2); and the width stage's level ratio above its threshold, which the low floor
//    (-50 dB) keeps below 1/0.0031623 per unit of band level: swept (0, 4096].
// Below 2^-12 atan(x) and tan(x) differ from x by less than x^3/3 and the double reference is that
// series (exact to far below a float ulp), which keeps the sweep over the billion small floats
// quick. Sanitizer builds run every 61st float (the instrumented loops are slow).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/blocks/vecmath.h"

namespace orvex {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kStride = 61;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr std::uint32_t kStride = 61;
#else
constexpr std::uint32_t kStride = 1;
#endif
#else
constexpr std::uint32_t kStride = 1;
#endif

constexpr SimdPath kPaths[] = {SimdPath::Scalar, SimdPath::Sse2, SimdPath::Avx2, SimdPath::Avx512};

struct ForcedPath {
    explicit ForcedPath(SimdPath p) : ok(setDispatchForTest(p)) {}
    ~ForcedPath() { setDispatchForTest(bestSimdPath()); }
    bool ok;
};

struct SweepResult {
    std::uint64_t count = 0, correctlyRounded = 0, beyondOneUlp = 0;
    float firstBad = 0.0f, firstBadGot = 0.0f;
    double firstBadWant = 0.0;
};

// Every kStride-th float with bit pattern in [from, to] (positive or negative patterns, walking
// away from zero), in chunks: the active path's function on the chunk, then the reference.
template <typename Reference>
SweepResult sweep(void (*f)(float*, int), std::uint32_t from, std::uint32_t to, Reference ref) {
    constexpr int kChunk = 1 << 14;
    std::vector<std::uint32_t> pattern(kChunk);
    std::vector<float> x(kChunk), y(kChunk);
    std::vector<double> want(kChunk);
    SweepResult r;
    for (std::uint64_t first = from; first <= to;) {
        const std::uint64_t left = (to - first) / kStride + 1;
        const int n = left < kChunk ? static_cast<int>(left) : kChunk;
        const auto base = static_cast<std::uint32_t>(first);
        for (int i = 0; i < n; ++i) pattern[i] = base + static_cast<std::uint32_t>(i) * kStride;
        std::memcpy(x.data(), pattern.data(), sizeof(float) * static_cast<std::size_t>(n));
        std::memcpy(y.data(), pattern.data(), sizeof(float) * static_cast<std::size_t>(n));
        first += static_cast<std::uint64_t>(n) * kStride;
        f(y.data(), n);
        ref(x.data(), want.data(), n);
        // Distance in representable floats to the correctly rounded value (the ranges hold one
        // sign each, where the bit patterns are in order); a branch-free pass, then the details.
        std::uint64_t exact = 0, beyond = 0;
        for (int i = 0; i < n; ++i) {
            std::int64_t d = static_cast<std::int64_t>(std::bit_cast<std::uint32_t>(y[i])) -
                             static_cast<std::int64_t>(std::bit_cast<std::uint32_t>(static_cast<float>(want[i])));
            d = d < 0 ? -d : d;
            exact += d == 0;
            beyond += d > 1;
        }
        r.correctlyRounded += exact;
        if (beyond != 0 && r.beyondOneUlp == 0) {
            for (int i = 0; i < n; ++i) {
                const float cr = static_cast<float>(want[i]);
                if (y[i] != cr && y[i] != std::nextafter(cr, INFINITY) && y[i] != std::nextafter(cr, -INFINITY)) {
                    r.firstBad = x[i];
                    r.firstBadGot = y[i];
                    r.firstBadWant = want[i];
                    break;
                }
            }
        }
        r.beyondOneUlp += beyond;
        r.count += static_cast<std::uint64_t>(n);
    }
    return r;
}

std::uint32_t bitsOf(float x) { return std::bit_cast<std::uint32_t>(x); }

void expect(const SweepResult& r, std::uint64_t atLeast) {
    EXPECT_GE(r.count, atLeast);
    EXPECT_EQ(r.beyondOneUlp, 0u) << "first at x = " << r.firstBad << ": got " << r.firstBadGot << ", want "
                                  << r.firstBadWant;
    // Evaluated in double and rounded once: all but a handful are correctly rounded.
    EXPECT_GE(static_cast<double>(r.correctlyRounded), 0.99999 * static_cast<double>(r.count));
    std::printf("%llu arguments, %llu correctly rounded, the rest within one ulp\n",
                static_cast<unsigned long long>(r.count), static_cast<unsigned long long>(r.correctlyRounded));
}

TEST(VectorMath, ExpIsWithinOneUlpOverTheFollowersArguments) {
    // Negative floats: the pattern grows with the magnitude.
    const SweepResult r = sweep(vectorMath().exp, bitsOf(-0x1p-12f), bitsOf(-40.0f), [](const float* x, double* w, int n) {
        for (int i = 0; i < n; ++i) w[i] = std::exp(static_cast<double>(x[i]));
    });
    expect(r, (bitsOf(-40.0f) - bitsOf(-0x1p-12f)) / kStride);
}

TEST(VectorMath, AtanIsWithinOneUlpOverTheGateLevels) {
    const SweepResult r = sweep(vectorMath().atan, 0u, bitsOf(1.0f), [](const float* x, double* w, int n) {
        if (x[n - 1] < 0x1p-12f) {
            for (int i = 0; i < n; ++i) w[i] = x[i] - static_cast<double>(x[i]) * x[i] * x[i] * (1.0 / 3.0);
        } else {
            for (int i = 0; i < n; ++i) w[i] = std::atan(static_cast<double>(x[i]));
        }
    });
    expect(r, bitsOf(1.0f) / kStride);
}

TEST(VectorMath, TanIsWithinOneUlpOverThePrewarpsAndWidthArguments) {
    const SweepResult r = sweep(vectorMath().tan, 0u, bitsOf(4096.0f), [](const float* x, double* w, int n) {
        if (x[n - 1] < 0x1p-12f) {
            for (int i = 0; i < n; ++i) w[i] = x[i] + static_cast<double>(x[i]) * x[i] * x[i] * (1.0 / 3.0);
        } else {
            for (int i = 0; i < n; ++i) w[i] = std::tan(static_cast<double>(x[i]));
        }
    });
    expect(r, bitsOf(4096.0f) / kStride);
}

TEST(VectorMath, EveryPathGivesTheSameBitsForEveryKindOfArgument) {
    // Floats spread over the whole range, both signs, with zeros, infinities, NaN, subnormals,
    // the arguments tan hands to the C library, and lengths that leave every kind of tail.
    std::vector<float> args;
    for (std::uint64_t b = 0; b <= 0xffffffffu; b += 4093) args.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
    for (float x : {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1e-45f, -1e-45f, 0x1p20f, -0x1p20f, 88.72f, 89.0f, -103.9f, -104.0f})
        args.push_back(x);
    std::vector<float> want[3];
    int compared = 0;
    for (SimdPath p : kPaths) {
        ForcedPath forced(p);
        if (!forced.ok) continue;
        SCOPED_TRACE(simdPathName(p));
        ASSERT_EQ(vectorMath().path, p);
        void (*fs[3])(float*, int) = {vectorMath().exp, vectorMath().atan, vectorMath().tan};
        for (int k = 0; k < 3; ++k) {
            std::vector<float> got = args;
            // Uneven pieces: every width meets full vectors and tails of every length.
            for (std::size_t at = 0, len = 1; at < got.size(); at += len, len = len % 37 + 1)
                fs[k](got.data() + at, static_cast<int>(std::min(len, got.size() - at)));
            if (want[k].empty()) {
                want[k] = got;
                continue;
            }
            ASSERT_EQ(got.size(), want[k].size());
            EXPECT_EQ(std::memcmp(got.data(), want[k].data(), got.size() * sizeof(float)), 0) << "function " << k;
        }
        ++compared;
    }
    EXPECT_GE(compared, 1);
    // A few known values, so that all paths agreeing on nonsense cannot pass.
    EXPECT_EQ(want[0][args.size() - 13], 1.0f);                  // exp(0)
    EXPECT_TRUE(std::isinf(want[0][args.size() - 11]));          // exp(inf)
    EXPECT_EQ(want[0][args.size() - 10], 0.0f);                  // exp(-inf)
    EXPECT_TRUE(std::signbit(want[1][args.size() - 12]));        // atan(-0)
    EXPECT_EQ(want[1][args.size() - 11], static_cast<float>(M_PI / 2));
    EXPECT_TRUE(std::isnan(want[2][args.size() - 9]));           // tan(nan)
    EXPECT_EQ(want[2][args.size() - 6], static_cast<float>(std::tan(0x1p20)));
}

}  // namespace
}  // namespace orvex
