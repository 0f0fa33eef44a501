#include "dsp/output_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/bandwidth_expansion.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

using test::sine;

struct Stereo {
    std::vector<float> a, b;
};

// Runs a fresh output stage over whole signals, ring index starting at `index0`.
Stereo runOutput(const OutputStage::Controls& c, int rate, const std::vector<float>& zA,
                 const std::vector<float>& zB, RingIndex index0 = 0, int chunk = 64) {
    OutputStage os;
    os.setRate(makeRate(rate));
    os.setControls(c);
    os.clear();
    Stereo out{std::vector<float>(zA.size()), std::vector<float>(zA.size())};
    for (std::size_t i = 0; i < zA.size(); i += chunk) {
        const int n = static_cast<int>(std::min<std::size_t>(chunk, zA.size() - i));
        os.process(zA.data() + i, zB.data() + i, out.a.data() + i, out.b.data() + i, n,
                   index0 + static_cast<RingIndex>(i));
    }
    return out;
}

// The whole post-band chain, as the frame runs it: bandwidth expansion, then the output stage.
Stereo runChain(const BandwidthExpansion::Controls& bc, const OutputStage::Controls& oc, int rate,
                const std::vector<float>& uA, const std::vector<float>& uB) {
    BandwidthExpansion be;
    OutputStage os;
    const Rate r = makeRate(rate);
    be.setRate(r);
    be.setControls(bc);
    be.clear();
    os.setRate(r);
    os.setControls(oc);
    os.clear();
    Stereo out{std::vector<float>(uA.size()), std::vector<float>(uA.size())};
    float za[64], zb[64];
    for (std::size_t i = 0; i < uA.size(); i += 64) {
        const int n = static_cast<int>(std::min<std::size_t>(64, uA.size() - i));
        be.process(uA.data() + i, uB.data() + i, za, zb, n);
        os.process(za, zb, out.a.data() + i, out.b.data() + i, n, static_cast<RingIndex>(i));
    }
    return out;
}

// The channel signal leaving the delay, from an independent filter path.
std::vector<float> delayedFilter(const OutputStage::Controls& c, int rate, const std::vector<float>& z) {
    OutputFilter f;
    f.setRate(makeRate(rate));
    f.setShelf(c.finalShelf);
    f.clear();
    std::vector<float> o(z.size()), od(z.size(), 0.0f), dummy(64);
    for (std::size_t i = 0; i < z.size(); i += 64) {
        const int n = static_cast<int>(std::min<std::size_t>(64, z.size() - i));
        f.process(&z[i], &z[i], &o[i], dummy.data(), n);
    }
    for (std::size_t i = OutputStage::kOutputDelay; i < z.size(); ++i) od[i] = o[i - OutputStage::kOutputDelay];
    return od;
}

// Signals no gain control may let above the ceiling.
std::vector<std::vector<float>> loudSignals(int rate, std::size_t n) {
    std::vector<std::vector<float>> s;
    std::vector<float> square(n), dc(n), alt(n), clicks(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        square[i] = (i / (rate / 200)) % 2 ? 1.0f : -1.0f;
        dc[i] = i < n / 3 ? 0.0f : (i < 2 * n / 3 ? 1.0f : -0.3f);
        alt[i] = i % 2 ? 1e6f : -1e6f;
    }
    for (std::size_t i = 500; i < n; i += 2777) clicks[i] = i % 2 ? 1.0f : -50.0f;
    s.push_back(square);
    s.push_back(dc);
    s.push_back(alt);
    s.push_back(clicks);
    s.push_back(test::noise(n, 9, 17.32f));  // uniform: RMS 10, +20 dBFS
    s.push_back(test::impulse(n, 300, 1.0f));
    auto burst = sine(1000, rate, n, 0.001);
    for (std::size_t i = n / 2; i < n / 2 + 50; ++i) burst[i] = 8.0f;
    s.push_back(burst);
    return s;
}

TEST(OutputStage, NoInputExceedsTheCeiling) {
    std::mt19937 g(3);
    auto uni = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g); };
    const std::size_t n = 12000;
    std::size_t checked = 0;
    float largest = 0.0f;
    for (int rate : {44100, 48000, 96000}) {
        const auto sigs = loudSignals(rate, n);
        for (std::size_t i = 0; i < sigs.size(); ++i) {
            for (std::size_t k = 0; k < sigs.size(); k += 3) {
                const auto& a = sigs[i];
                const auto& b = sigs[(i + k) % sigs.size()];
                OutputStage::Controls oc{uni(-12, 0), uni(-12, 3)};
                BandwidthExpansion::Controls bc{uni(2000, 8000), uni(-96, 20), uni(5000, 10000),
                                                uni(0, 50),      uni(-96, 24), uni(1000, 15000)};
                for (const Stereo& out : {runOutput(oc, rate, a, b), runChain(bc, oc, rate, a, b)}) {
                    for (std::size_t j = 0; j < n; ++j) {
                        ASSERT_LE(std::fabs(out.a[j]), OutputStage::kCeiling) << rate << " " << i << " " << j;
                        ASSERT_LE(std::fabs(out.b[j]), OutputStage::kCeiling) << rate << " " << i << " " << j;
                        largest = std::max({largest, std::fabs(out.a[j]), std::fabs(out.b[j])});
                        ++checked;
                    }
                }
            }
        }
    }
    // The bound is reached, not just respected by a silent output.
    EXPECT_EQ(largest, OutputStage::kCeiling);
    EXPECT_GT(checked, 0u);
}

TEST(OutputStage, ZerosInZerosOutAlsoAfterClear) {
    const std::size_t n = 2048;
    const std::vector<float> zero(n, 0.0f);
    const Stereo out = runOutput({}, 48000, zero, zero);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out.a[i], 0.0f);
        ASSERT_EQ(out.b[i], 0.0f);
    }
    // Loud signal, clear, silence: exact zeros, and the stage behaves as fresh afterwards.
    OutputStage os;
    os.setRate(makeRate(48000));
    os.setControls({});
    os.clear();
    const auto loud = test::noise(n, 2, 5.0f);
    std::vector<float> a(n), b(n);
    for (std::size_t i = 0; i < n; i += 64) os.process(&loud[i], &loud[i], &a[i], &b[i], 64, i);
    os.clear();
    for (std::size_t i = 0; i < n; i += 64) os.process(&zero[i], &zero[i], &a[i], &b[i], 64, i);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(a[i], 0.0f) << i;
    os.clear();
    const auto prog = test::musicLike(48000, n);
    for (std::size_t i = 0; i < n; i += 64) os.process(&prog[i], &loud[i], &a[i], &b[i], 64, i);
    const Stereo fresh = runOutput({}, 48000, prog, loud);
    EXPECT_EQ(a, fresh.a);
    EXPECT_EQ(b, fresh.b);
}

// Response of the filter path's sections, evaluated in double precision from the coefficients
// the unit runs: q = x - (a1 q1 + a2 q2) N, y = N (b0 q + b1 q1 + b2 q2).
double highpassGainDb(const OutputFilter& f, double freq, double rate) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * 3.141592653589793 * freq / rate);
    std::complex<double> h = 1.0;
    for (int i = 0; i < OutputFilter::kSections; ++i) {
        const BiquadCoefs k = f.section(i);
        const std::complex<double> num = double(k.N) * (double(k.b0) + double(k.b1) * z1 + double(k.b2) * z1 * z1);
        const std::complex<double> den = 1.0 + double(k.N) * (double(k.a1) * z1 + double(k.a2) * z1 * z1);
        h *= num / den;
    }
    return test::toDb(std::abs(h));
}

TEST(OutputFilter, FortyHertzHighpassPassbandAndStopband) {
    OutputFilter f;
    f.setRate(makeRate(48000));
    f.setShelf(0.0f);  // flat shelf: the path is the highpass alone
    f.clear();

    // Passband, measured with sines through the unit.
    for (double freq : {100.0, 150.0, 300.0, 1000.0, 5000.0, 12000.0, 20000.0}) {
        f.clear();
        const std::size_t n = 48000;
        const auto x = sine(freq, 48000, n);
        std::vector<float> y(n), dummy(64);
        for (std::size_t i = 0; i < n; i += 64) f.process(&x[i], &x[i], &y[i], dummy.data(), 64);
        const double g = test::toDb(test::toneAmplitude(y, freq, 48000, n / 2));
        EXPECT_GE(g, -0.4) << freq;
        EXPECT_LE(g, 0.05) << freq;
        EXPECT_NEAR(highpassGainDb(f, freq, 48000), g, 0.01) << freq;
    }
    // Deep stopband, from the coefficients (the float recursion's own rounding noise lies far
    // above -145 dB). 20 Hz sits just above a transmission zero near 19.2 Hz.
    EXPECT_LE(highpassGainDb(f, 20.0, 48000), -145.0);
    EXPECT_LE(highpassGainDb(f, 19.22, 48000), -160.0);
    EXPECT_LE(highpassGainDb(f, 10.0, 48000), -140.0);
    // The corner region: well down at 30 Hz, between the two.
    EXPECT_LT(highpassGainDb(f, 30.0, 48000), -20.0);

    // The sections reported are the ones that run: the unit's impulse response matches them.
    f.clear();
    const std::size_t n = 4096;
    const auto imp = test::impulse(n, 0, 1.0f);
    std::vector<float> y(n), dummy(64);
    for (std::size_t i = 0; i < n; i += 64) f.process(&imp[i], &imp[i], &y[i], dummy.data(), 64);
    std::vector<double> ref(n);
    for (std::size_t i = 0; i < n; ++i) ref[i] = imp[i];
    for (int s = 0; s < OutputFilter::kSections; ++s) {
        const BiquadCoefs k = f.section(s);
        double q1 = 0, q2 = 0;
        for (auto& v : ref) {
            const double q = v - (double(k.a1) * q1 + double(k.a2) * q2) * k.N;
            v = k.N * (k.b0 * q + k.b1 * q1 + k.b2 * q2);
            q2 = q1;
            q1 = q;
        }
    }
    double err = 0, sig = 0;
    for (std::size_t i = 0; i < n; ++i) {
        err += (y[i] - ref[i]) * (y[i] - ref[i]);
        sig += ref[i] * ref[i];
    }
    EXPECT_LT(test::toDb(std::sqrt(err / sig)), -40.0);
}

TEST(OutputFilter, FinalShelfCutsAboveTwoKilohertz) {
    for (float db : {-12.0f, -6.0f}) {
        OutputFilter f;
        f.setRate(makeRate(48000));
        f.setShelf(db);
        const std::size_t n = 24000;
        auto gain = [&](double freq) {
            f.clear();
            const auto x = sine(freq, 48000, n);
            std::vector<float> y(n), dummy(64);
            for (std::size_t i = 0; i < n; i += 64) f.process(&x[i], &x[i], &y[i], dummy.data(), 64);
            return test::toDb(test::toneAmplitude(y, freq, 48000, n / 2));
        };
        EXPECT_NEAR(gain(300), 0.0, 0.5) << db;
        EXPECT_NEAR(gain(18000), db, 0.6) << db;
    }
}

TEST(OutputStage, QuietToneSettlesToTheFixedGain) {
    const std::size_t n = 30000;
    for (float agc : {-12.0f, -4.0f, 3.0f}) {
        const OutputStage::Controls c{-6.0f, agc};
        const auto z = sine(1000, 48000, n, 1e-3);
        const Stereo out = runOutput(c, 48000, z, z);
        const auto od = delayedFilter(c, 48000, z);
        const double expected = OutputStage::kCeiling / std::pow(10.0, agc / 20.0);
        for (std::size_t i = 20000; i < n; i += 97) {
            if (std::fabs(od[i]) < 1e-5) continue;
            ASSERT_NEAR(out.a[i] / od[i], expected, 2e-4 * expected) << agc << " " << i;
            ASSERT_EQ(out.b[i], out.a[i]);
        }
    }
}

TEST(OutputStage, TransientOnOneChannelLowersBothAhead) {
    const std::size_t n = 12000, at = 8000;
    const auto zA = sine(1000, 48000, n, 0.01);
    std::vector<float> quietB(n, 0.0f), hitB(n, 0.0f);
    for (std::size_t i = at; i < at + 20; ++i) hitB[i] = 4.0f;
    const Stereo ref = runOutput({}, 48000, zA, quietB);
    const Stereo hit = runOutput({}, 48000, zA, hitB);
    // Channel A is untouched before the transient enters the delay, then its gain drops at once.
    for (std::size_t i = 0; i < at; ++i) ASSERT_EQ(hit.a[i], ref.a[i]) << i;
    EXPECT_NE(hit.a[at], ref.a[at]);
    // (A step of 4 through the shelf and highpass against a threshold near 0.63: the gain falls
    // to under half at once and stays there while the transient passes the delay.)
    for (std::size_t i = at; i < at + OutputStage::kOutputDelay + 40; ++i) {
        if (std::fabs(ref.a[i]) > 1e-3f) {
            ASSERT_LT(std::fabs(hit.a[i]), 0.5f * std::fabs(ref.a[i])) << i;
        }
    }
    // The transient itself reaches output B exactly one delay later, held at the ceiling.
    for (std::size_t i = 0; i < at + OutputStage::kOutputDelay; ++i) ASSERT_EQ(hit.b[i], 0.0f) << i;
    EXPECT_NE(hit.b[at + OutputStage::kOutputDelay], 0.0f);
    const double pk = test::peak(hit.b);
    EXPECT_GT(pk, 0.85);
    EXPECT_LE(pk, OutputStage::kCeiling);
}

TEST(OutputStage, BlockSplitsAndIndexWrapAreBitIdentical) {
    const std::size_t n = 20000;
    const auto zA = test::musicLike(48000, n, 4);
    auto zB = test::noise(n, 8, 0.3f);
    for (std::size_t i = 9000; i < 9100; ++i) zB[i] = 3.0f;
    const OutputStage::Controls c{-9.0f, -2.0f};
    const Stereo whole = runOutput(c, 48000, zA, zB);
    const Stereo once = runOutput(c, 48000, zA, zB, 0, static_cast<int>(n));  // one long call
    EXPECT_EQ(once.a, whole.a);
    EXPECT_EQ(once.b, whole.b);

    std::mt19937 g(17);
    std::uniform_int_distribution<int> len(1, 64);
    for (RingIndex index0 : {RingIndex{0}, RingIndex{0xFFFFFFFFu - 7000u}, RingIndex{0x7FFFFFFFu - 3000u}}) {
        OutputStage os;
        os.setRate(makeRate(48000));
        os.setControls(c);
        os.clear();
        Stereo out{std::vector<float>(n), std::vector<float>(n)};
        for (std::size_t i = 0; i < n;) {
            const int k = static_cast<int>(std::min<std::size_t>(len(g), n - i));
            os.process(&zA[i], &zB[i], &out.a[i], &out.b[i], k, index0 + static_cast<RingIndex>(i));
            i += k;
        }
        EXPECT_EQ(out.a, whole.a) << index0;
        EXPECT_EQ(out.b, whole.b) << index0;
    }
}

// The peak normaliser written out plainly, sample by sample over the filter's output: 132
// samples of delay, the rising threshold, the candidate over the samples entering and leaving the
// delay, the largest candidate of the last 44 samples, the envelope and the ratio. The stage must
// give these bits for any split into calls.
TEST(OutputStage, PeakNormaliserIsTheWindowMaximumOfItsCandidates) {
    const int rate = 48000;
    const std::size_t n = 12000;
    auto zA = test::musicLike(rate, n, 6);
    auto zB = test::noise(n, 9, 0.2f);
    for (std::size_t i = 5000; i < 5030; ++i) zA[i] = 2.5f;  // a burst on one channel
    const OutputStage::Controls c{-6.0f, -3.0f};

    OutputFilter f;
    f.setRate(makeRate(rate));
    f.setShelf(c.finalShelf);
    f.clear();
    std::vector<float> oA(n), oB(n);
    f.process(zA.data(), zB.data(), oA.data(), oB.data(), static_cast<int>(n));

    const float e20 = smoothing(makeRate(rate), 20.0f), e20c = 1.0f - e20;
    const float thrIn = 0.001f * std::pow(10.0f, c.agcThreshold / 20.0f);
    std::vector<float> peaks(n), wantA(n), wantB(n);
    float thr = 0.0f, env = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float odA = i >= 132 ? oA[i - 132] : 0.0f, odB = i >= 132 ? oB[i - 132] : 0.0f;
        thr = thrIn + 0.999f * thr;
        float pk = std::max({std::fabs(odA), std::fabs(odB), std::fabs(oA[i]), std::fabs(oB[i])});
        if (pk < thr) pk = thr;
        peaks[i] = pk;
        float m = 0.0f;
        for (std::size_t d = 0; d < 44 && d <= i; ++d) m = std::max(m, peaks[i - d]);
        env = e20 * env + e20c * m;
        if (env <= m) env = m;
        wantA[i] = OutputStage::kCeiling * (odA / env);
        wantB[i] = OutputStage::kCeiling * (odB / env);
    }
    for (int chunk : {1, 43, 64, 500}) {
        const Stereo got = runOutput(c, rate, zA, zB, 0xFFFFFF00u, chunk);
        EXPECT_EQ(got.a, wantA) << chunk;
        EXPECT_EQ(got.b, wantB) << chunk;
    }
}

TEST(OutputStage, InPlaceOnTheChannelBuffers) {
    const std::size_t n = 5000;
    const auto zA = test::musicLike(48000, n, 6);
    const auto zB = test::noise(n, 6, 0.5f);
    const Stereo ref = runOutput({}, 48000, zA, zB);
    OutputStage os;
    os.setRate(makeRate(48000));
    os.setControls({});
    os.clear();
    auto a = zA, b = zB;
    for (std::size_t i = 0; i < n; i += 64) {
        const int k = static_cast<int>(std::min<std::size_t>(64, n - i));
        os.process(&a[i], &b[i], &a[i], &b[i], k, i);
    }
    EXPECT_EQ(a, ref.a);
    EXPECT_EQ(b, ref.b);
}

TEST(PostBandChain, FiniteAndBoundedAtExtremeRates) {
    std::mt19937 g(23);
    auto uni = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(g); };
    for (int rate : {8000, 22050, 192000}) {
        const auto sigs = loudSignals(rate, 8000);
        for (std::size_t i = 0; i < sigs.size(); ++i) {
            OutputStage::Controls oc{uni(-12, 0), uni(-12, 3)};
            BandwidthExpansion::Controls bc{uni(2000, 8000), uni(-96, 20), uni(5000, 10000),
                                            uni(0, 50),      uni(-96, 24), uni(1000, 15000)};
            const auto& b = sigs[(i + 1) % sigs.size()];
            const Stereo out = runChain(bc, oc, rate, sigs[i], b);
            for (std::size_t j = 0; j < out.a.size(); ++j) {
                ASSERT_TRUE(std::isfinite(out.a[j]) && std::isfinite(out.b[j])) << rate << " " << i << " " << j;
                ASSERT_LE(std::fabs(out.a[j]), OutputStage::kCeiling);
                ASSERT_LE(std::fabs(out.b[j]), OutputStage::kCeiling);
            }
        }
    }
}

}  // namespace
}  // namespace orvex
