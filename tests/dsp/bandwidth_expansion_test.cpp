#include "dsp/bandwidth_expansion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/signals.h"

namespace orvex {
namespace {

using test::sine;
using test::toneAmplitude;

struct Stereo {
    std::vector<float> a, b;
};

// Runs a fresh unit over whole signals in chunks of `chunk` samples.
Stereo run(const BandwidthExpansion::Controls& c, int rate, const std::vector<float>& uA,
           const std::vector<float>& uB, int chunk = 64) {
    BandwidthExpansion be;
    be.setRate(makeRate(rate));
    be.setControls(c);
    be.clear();
    Stereo z{std::vector<float>(uA.size()), std::vector<float>(uA.size())};
    for (std::size_t i = 0; i < uA.size(); i += chunk) {
        const int n = static_cast<int>(std::min<std::size_t>(chunk, uA.size() - i));
        be.process(uA.data() + i, uB.data() + i, z.a.data() + i, z.b.data() + i, n);
    }
    return z;
}

std::vector<float> add(std::vector<float> x, const std::vector<float>& y) {
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += y[i];
    return x;
}

BandwidthExpansion::Controls randomControls(std::mt19937& g) {
    auto uni = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g); };
    BandwidthExpansion::Controls c;
    c.inputHpf = uni(2000, 8000);
    c.limiterThreshold = uni(-96, 20);
    c.hfDetectFreq = uni(5000, 10000);
    c.hfDetectGain = uni(0, 50);
    c.level = uni(-96, 24);
    c.lowpass = uni(1000, 15000);
    return c;
}

// Shelf computed independently in double precision: first-order bilinear lowpass plus
// 0.25118864 times the matching highpass, both at 5 kHz.
std::vector<double> referenceShelf(const std::vector<float>& u, double rate) {
    const double c = 1.0 / std::tan(3.141592653589793 * 5000.0 / rate);
    std::vector<double> s(u.size());
    double x1 = 0, lo1 = 0, hi1 = 0;
    for (std::size_t i = 0; i < u.size(); ++i) {
        const double x = u[i];
        const double lo = (x + x1 - (1 - c) * lo1) / (c + 1);
        const double hi = (c * x - c * x1 - (1 - c) * hi1) / (c + 1);
        s[i] = lo + 0.25118864 * hi;
        x1 = x;
        lo1 = lo;
        hi1 = hi;
    }
    return s;
}

TEST(BandwidthExpansion, SilenceAndZeroChannelsGiveExactZeros) {
    BandwidthExpansion::Controls c;
    const std::size_t n = 4096;
    const std::vector<float> zero(n, 0.0f);
    const Stereo z = run(c, 48000, zero, zero);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(z.a[i], 0.0f) << i;
        ASSERT_EQ(z.b[i], 0.0f) << i;
    }

    // Loud programme, then clear: silence afterwards is exactly silent, and a signal after the
    // clear gives what a fresh unit gives.
    BandwidthExpansion be;
    be.setRate(makeRate(48000));
    be.setControls(c);
    be.clear();
    const auto loud = test::noise(n, 7, 3.0f);
    std::vector<float> za(n), zb(n);
    for (std::size_t i = 0; i < n; i += 64) be.process(&loud[i], &loud[i], &za[i], &zb[i], 64);
    be.clear();
    for (std::size_t i = 0; i < n; i += 64) be.process(&zero[i], &zero[i], &za[i], &zb[i], 64);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(za[i], 0.0f) << i;
    be.clear();
    const auto prog = test::musicLike(48000, n);
    for (std::size_t i = 0; i < n; i += 64) be.process(&prog[i], &prog[i], &za[i], &zb[i], 64);
    const Stereo fresh = run(c, 48000, prog, prog);
    EXPECT_EQ(za, fresh.a);
}

TEST(BandwidthExpansion, AtLowestLevelOutputIsTheShelfTwoSamplesLate) {
    BandwidthExpansion::Controls c;
    c.level = -96.0f;
    const std::size_t n = 24000;
    const auto u = add(test::musicLike(48000, n, 3), sine(7000, 48000, n, 0.2));
    const Stereo z = run(c, 48000, u, u);
    const auto s = referenceShelf(u, 48000);
    // Error against the reference at lags 1, 2 and 3: only lag 2 is tiny.
    double err[4] = {};
    for (int lag = 1; lag <= 3; ++lag)
        for (std::size_t i = 3; i < n; ++i) err[lag] = std::max(err[lag], std::fabs(z.a[i] - s[i - lag]));
    EXPECT_LT(err[2], 1e-4);
    EXPECT_GT(err[1], 1e-2);
    EXPECT_GT(err[3], 1e-2);
    EXPECT_EQ(BandwidthExpansion::kShelfDelay, 2);

    // At the default level the synthesised band is clearly there on the same signal.
    const Stereo zd = run(BandwidthExpansion::Controls{}, 48000, u, u);
    double dmax = 0;
    for (std::size_t i = 3; i < n; ++i) dmax = std::max(dmax, std::fabs(zd.a[i] - s[i - 2]));
    EXPECT_GT(dmax, 100 * err[2]);
}

// Source band 4000 .. 6400 Hz (lowpass control 6000), HF detection above 10 kHz: a 5 kHz sine
// feeds the generator, a 12 kHz tone sets the HF detector.
class Synthesis : public ::testing::Test {
protected:
    static constexpr int kRate = 48000;
    static constexpr std::size_t kLen = 48000;
    static BandwidthExpansion::Controls controls(float levelDb) {
        BandwidthExpansion::Controls c;
        c.inputHpf = 4000.0f;
        c.lowpass = 6000.0f;
        c.hfDetectFreq = 10000.0f;
        c.hfDetectGain = 20.0f;
        c.level = levelDb;
        c.limiterThreshold = -60.0f;
        return c;
    }
    // Level of the synthesised 10 kHz component over the second half.
    static double doubled(double sineLevel, double hfLevel, float levelDb) {
        auto u = sine(5000, kRate, kLen, sineLevel);
        if (hfLevel > 0) u = add(u, sine(12000, kRate, kLen, hfLevel));
        const Stereo z = run(controls(levelDb), kRate, u, u);
        return toneAmplitude(z.a, 10000, kRate, kLen / 2);
    }
};

TEST_F(Synthesis, DoubledComponentFollowsHfAndLevelNotSineLevel) {
    const double ref = doubled(0.1, 0.01, -20.0f);
    ASSERT_GT(ref, 1e-4);
    // Independent of the source level (quadrupling it moves the component by well under 1 dB).
    EXPECT_NEAR(test::toDb(doubled(0.4, 0.01, -20.0f) / ref), 0.0, 0.5);
    EXPECT_NEAR(test::toDb(doubled(0.025, 0.01, -20.0f) / ref), 0.0, 0.5);
    // Proportional to the HF content (hf = 0.1 and 0.2, below saturation).
    EXPECT_NEAR(test::toDb(doubled(0.1, 0.02, -20.0f) / ref), 6.02, 0.5);
    // Proportional to the level control.
    EXPECT_NEAR(test::toDb(doubled(0.1, 0.01, -14.0f) / ref), 6.0, 0.05);
    // Strong HF content saturates the detector at 1: doubling it changes nothing more.
    const double sat = doubled(0.1, 0.3, -20.0f);
    EXPECT_NEAR(test::toDb(doubled(0.1, 0.6, -20.0f) / sat), 0.0, 0.1);
    EXPECT_GT(test::toDb(sat / ref), 15.0);
}

TEST_F(Synthesis, NoContentAboveDetectionGivesNoBand) {
    const double with = doubled(0.3, 0.01, 0.0f);
    const double without = doubled(0.3, 0.0, 0.0f);
    EXPECT_LT(without, 0.02 * with);

    // Without HF content the output stays the plain shelf at unity level: what remains is the
    // source's own leakage through the detector's elliptic stopband (about -80 dB).
    const auto u = sine(5000, kRate, kLen, 0.3);
    BandwidthExpansion::Controls c = controls(0.0f);
    const Stereo z = run(c, kRate, u, u);
    const auto s = referenceShelf(u, kRate);
    double err = 0, sig = 0;
    for (std::size_t i = kLen / 2; i < kLen; ++i) {
        err = std::max(err, std::fabs(z.a[i] - s[i - 2]));
        sig = std::max(sig, std::fabs(s[i]));
    }
    EXPECT_LT(err, 0.005 * sig);
}

TEST(BandwidthExpansion, ChannelsKeepSeparateState) {
    const std::size_t n = 6000;
    const auto uA = test::musicLike(48000, n, 5);
    const Stereo one = run({}, 48000, uA, test::noise(n, 1, 1.0f));
    const Stereo two = run({}, 48000, uA, sine(9000, 48000, n, 0.5));
    EXPECT_EQ(one.a, two.a);
    // The same routine serves both: swapping the inputs swaps the outputs.
    const Stereo swapped = run({}, 48000, test::noise(n, 1, 1.0f), uA);
    EXPECT_EQ(swapped.b, one.a);
    EXPECT_EQ(swapped.a, one.b);
}

TEST(BandwidthExpansion, BlockSplitsAreBitIdentical) {
    std::mt19937 g(11);
    for (int trial = 0; trial < 4; ++trial) {
        const auto c = randomControls(g);
        const std::size_t n = 9000;
        const auto uA = add(test::musicLike(48000, n, 9 + trial), sine(8500, 48000, n, 0.2));
        const auto uB = test::noise(n, 3 + trial, 0.5f);
        const Stereo whole = run(c, 48000, uA, uB, 64);

        BandwidthExpansion be;
        be.setRate(makeRate(48000));
        be.setControls(c);
        be.clear();
        std::vector<float> za(n), zb(n);
        std::uniform_int_distribution<int> len(1, 64);
        for (std::size_t i = 0; i < n;) {
            const int k = static_cast<int>(std::min<std::size_t>(len(g), n - i));
            be.process(&uA[i], &uB[i], &za[i], &zb[i], k);
            i += k;
        }
        EXPECT_EQ(za, whole.a) << trial;
        EXPECT_EQ(zb, whole.b) << trial;
        // One call longer than a sub-block gives the same again.
        const Stereo once = run(c, 48000, uA, uB, static_cast<int>(n));
        EXPECT_EQ(once.a, whole.a) << trial;
        EXPECT_EQ(once.b, whole.b) << trial;
    }
}

TEST(BandwidthExpansion, InPlaceOnTheInputBuffers) {
    const std::size_t n = 3000;
    const auto uA = test::musicLike(48000, n, 2);
    const auto uB = test::noise(n, 4, 0.4f);
    const Stereo ref = run({}, 48000, uA, uB);
    BandwidthExpansion be;
    be.setRate(makeRate(48000));
    be.setControls({});
    be.clear();
    auto a = uA, b = uB;
    for (std::size_t i = 0; i < n; i += 50) {
        const int k = static_cast<int>(std::min<std::size_t>(50, n - i));
        be.process(&a[i], &b[i], &a[i], &b[i], k);
    }
    EXPECT_EQ(a, ref.a);
    EXPECT_EQ(b, ref.b);
}

TEST(BandwidthExpansion, FiniteAtExtremeRatesWithRandomControls) {
    std::mt19937 g(5);
    for (int rate : {8000, 22050, 44100, 192000}) {
        for (int trial = 0; trial < 6; ++trial) {
            const auto c = randomControls(g);
            const std::size_t n = 6000;
            std::vector<float> uA = test::noise(n, 20 + trial, 10.0f);
            std::vector<float> uB(n);
            for (std::size_t i = 0; i < n; ++i) uB[i] = (i % 2 ? 1e6f : -1e6f) * (i > 1000);
            const Stereo z = run(c, rate, uA, uB);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(std::isfinite(z.a[i])) << rate << " " << trial << " " << i;
                ASSERT_TRUE(std::isfinite(z.b[i])) << rate << " " << trial << " " << i;
            }
        }
    }
}

}  // namespace
}  // namespace orvex
