// The input stage units, measured: gains with steady sines, delays, the noise-reduction cutoff,
// the equaliser bypass and the phase rotator against an independent all-pass run.
#include "dsp/input_stage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/blocks/sections.h"
#include "dsp/controls.h"
#include "dsp/frame.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

constexpr double kRate = 48000.0;

// Runs a span-limited unit over a whole signal in sub-blocks, as the frame does.
template <typename F>
void inChunks(std::size_t n, F&& f) {
    for (std::size_t at = 0; at < n; at += kSubBlock) {
        const int m = static_cast<int>(std::min<std::size_t>(kSubBlock, n - at));
        f(at, m);
    }
}

double gainDb(const std::vector<float>& out, double freq, std::size_t from) {
    return test::toDb(test::toneAmplitude(out, freq, kRate, from));
}

double kvlnGainDb(double freq) {
    KvlnEq eq;
    eq.setRate(makeRate(48000));
    eq.clear();
    const auto in = test::sine(freq, kRate, 96000);
    std::vector<float> out(in.size());
    inChunks(in.size(), [&](std::size_t at, int m) { eq.process(in.data() + at, out.data() + at, m, false); });
    return gainDb(out, freq, 48000);
}

TEST(KvlnEq, SteadyStateGainsAt48k) {
    struct Point {
        double freq, db;
    };
    for (const Point p : {Point{50, 6.0}, Point{1000, -0.4}, Point{2000, -3.5}, Point{3200, -5.8},
                          Point{4500, -15.2}, Point{7500, -10.9}, Point{10000, -9.9}})
        EXPECT_NEAR(kvlnGainDb(p.freq), p.db, 0.15) << p.freq << " Hz";
}

TEST(KvlnEq, BypassPassesTheInputButKeepsTheEqualiserRunning) {
    const auto in = test::musicLike(kRate, 20000, 5);
    KvlnEq a, b;
    for (KvlnEq* e : {&a, &b}) {
        e->setRate(makeRate(48000));
        e->clear();
    }
    std::vector<float> outA(in.size()), outB(in.size());
    // a is bypassed for the first part, b never; afterwards both equalise alike.
    const std::size_t split = 156 * kSubBlock;
    inChunks(in.size(), [&](std::size_t at, int m) {
        a.process(in.data() + at, outA.data() + at, m, at < split);
        b.process(in.data() + at, outB.data() + at, m, false);
    });
    for (std::size_t i = 0; i < split; ++i) ASSERT_EQ(outA[i], in[i]) << i;
    for (std::size_t i = split; i < in.size(); ++i) ASSERT_EQ(outA[i], outB[i]) << i;
    EXPECT_NE(outB[split / 2], in[split / 2]);
}

// The equaliser section after section, sample by sample, from the step functions of the plain
// sections: the wavefront must give these bits for any span split, at low and high rates.
TEST(KvlnEq, GivesTheBitsOfItsSectionsRunOneAfterAnother) {
    for (int rate : {22050, 48000, 96000}) {
        SCOPED_TRACE(rate);
        const Rate r = makeRate(rate);
        struct Plain {
            FirstOrderCoefs first;
            FirstOrderState low, high;
            BiquadCascade<3> lowSections, highSections;
            int sections = 0;
            float gain = 0.0f;
        } x[KvlnEq::kCrossovers];
        for (int i = 0; i < KvlnEq::kCrossovers; ++i) {
            const auto& d = KvlnEq::kCrossoverDefs[i];
            const float c = 1.0f / prewarp(r, d.cornerHz);
            x[i].first = firstOrder(c);
            x[i].sections = (d.order - 1) / 2;
            x[i].gain = d.highGain;
            for (int s = 0; s < x[i].sections; ++s) {
                x[i].lowSections.coefs[s] = butterworthLowpass(c, KvlnEq::dampings(d.order)[s]);
                x[i].highSections.coefs[s] = butterworthHighpass(c, KvlnEq::dampings(d.order)[s]);
            }
        }
        BiquadCascade<KvlnEq::kPeaks> peaks;
        for (int p = 0; p < KvlnEq::kPeaks; ++p) peaks.coefs[p] = KvlnEq::peak(r, p);

        std::vector<float> in = test::musicLike(rate, 6000, 3);
        in.resize(in.size() + 300, 0.0f);  // and the tails into silence
        std::vector<float> want(in.size());
        for (std::size_t i = 0; i < in.size(); ++i) {
            float y = in[i];
            for (auto& c : x) {
                float low = stepLowpass(c.first, c.low, y), high = stepHighpass(c.first, c.high, y);
                for (int s = 0; s < c.sections; ++s) {
                    low = step(c.lowSections.coefs[s], c.lowSections.state[s], low);
                    high = step(c.highSections.coefs[s], c.highSections.state[s], high);
                }
                y = low + c.gain * high;
            }
            want[i] = peaks.step(y);
        }
        KvlnEq eq;
        eq.setRate(r);
        eq.clear();
        std::vector<float> got(in.size());
        const int spans[] = {1, 15, 16, 17, 64, 200, 3, 64};
        std::size_t at = 0;
        for (int k = 0; at < in.size(); ++k) {
            const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(spans[k % 8]), in.size() - at));
            eq.process(in.data() + at, got.data() + at, n, false);
            at += static_cast<std::size_t>(n);
        }
        ASSERT_EQ(got, want);
    }
}

TEST(InputLowpass, GainsAt9700) {
    auto gain = [](double freq) {
        InputLowpass lp;
        lp.setRate(makeRate(48000));
        lp.setControls(9700.0f);
        lp.clear();
        auto buf = test::sine(freq, kRate, 48000);
        lp.process(buf.data(), static_cast<int>(buf.size()));
        return gainDb(buf, freq, 24000);
    };
    EXPECT_NEAR(gain(100), -0.2, 0.05);
    EXPECT_NEAR(gain(10000), -7.4, 0.15);
    EXPECT_LT(gain(15000), -150.0);
}

TEST(InputLowpass, NewCornerActsOnLiveMemories) {
    const auto in = test::noise(2000, 21, 0.5f);
    InputLowpass cont, fresh, same;
    for (InputLowpass* lp : {&cont, &fresh, &same}) {
        lp->setRate(makeRate(48000));
        lp->setControls(9700.0f);
        lp->clear();
    }
    std::vector<float> a(in.begin(), in.begin() + 1000), s = a;
    cont.process(a.data(), 1000);
    same.process(s.data(), 1000);
    cont.setControls(3000.0f);
    fresh.setControls(3000.0f);
    std::vector<float> b(in.begin() + 1000, in.end()), f = b, t = b;
    cont.process(b.data(), 1000);
    fresh.process(f.data(), 1000);
    same.process(t.data(), 1000);
    EXPECT_NE(b[0], t[0]);  // the first sample of the block already sees the new corner
    EXPECT_NE(b[0], f[0]);  // and the memories carried over
    // Once the old memories have died away the continued filter is the fresh one.
    EXPECT_NEAR(b[999], f[999], 1e-6);
}

TEST(InputLowpass, CornerAboveHalfTheRateStaysStable) {
    InputLowpass lp;
    lp.setRate(makeRate(8000));
    lp.setControls(15000.0f);
    lp.clear();
    // The corner is held just below 4000 Hz: poles close to the unit circle, but inside it, so
    // the response after the noise dies away, slowly.
    auto buf = test::noise(20000, 4, 1.0f);
    buf.resize(300000, 0.0f);
    lp.process(buf.data(), static_cast<int>(buf.size()));
    for (float v : buf) ASSERT_TRUE(std::isfinite(v));
    EXPECT_GT(test::rms(buf.data(), 20000), 0.1);
    EXPECT_LT(test::peak(buf, 290000), 1e-6);
}

// Runs lowpass, normaliser and noise reduction unit by unit.
struct FrontEnd {
    InputLowpass lp;
    LookaheadNormaliser norm;
    NoiseReduction dnr;
    explicit FrontEnd(int rate, float sensitivity = 300.0f, bool disabled = false) {
        const Rate r = makeRate(rate);
        lp.setRate(r);
        norm.setRate(r);
        dnr.setRate(r);
        lp.setControls(9700.0f);
        dnr.setControls(sensitivity, disabled);
        lp.clear();
        norm.clear();
        dnr.clear();
    }
    // Returns w; the normaliser's u and den on request.
    std::vector<float> run(const std::vector<float>& x, std::vector<float>* uOut = nullptr,
                           std::vector<float>* cutoffs = nullptr) {
        std::vector<float> b = x, u(x.size()), den(x.size()), w(x.size());
        inChunks(x.size(), [&](std::size_t at, int m) {
            lp.process(b.data() + at, m);
            norm.process(b.data() + at, u.data() + at, den.data() + at, m, static_cast<RingIndex>(at));
            dnr.process(u.data() + at, den.data() + at, w.data() + at, m, static_cast<RingIndex>(at));
            if (cutoffs) cutoffs->push_back(dnr.lastCutoff());
        });
        if (uOut) *uOut = u;
        return w;
    }
};

TEST(Normaliser, DelaysByTheLookaheadAndLevelsTheSignal) {
    FrontEnd quiet(48000), loud(48000);
    std::vector<float> xq(48000, 0.0f), xl(48000, 0.0f);
    const auto tone = test::sine(1000, kRate, 47000);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        xq[1000 + i] = 0.01f * tone[i];
        xl[1000 + i] = 0.7f * tone[i];
    }
    std::vector<float> uq, ul;
    quiet.run(xq, &uq);
    loud.run(xl, &ul);
    // Nothing leaves the look-ahead before the input has crossed it.
    for (std::size_t i = 0; i < 1000 + LookaheadNormaliser::kLookahead; ++i) ASSERT_EQ(ul[i], 0.0f) << i;
    EXPECT_NE(ul[1000 + LookaheadNormaliser::kLookahead + 2], 0.0f);
    // A level ratio of 37 dB in gives the same normalised level out, near full scale.
    const double pq = test::peak(uq, 24000), pl = test::peak(ul, 24000);
    EXPECT_NEAR(test::toDb(pq / pl), 0.0, 0.1);
    EXPECT_NEAR(pl, 1.0, 0.05);
}

TEST(Normaliser, SilenceDividesByTheFloorAndStaysSilent) {
    FrontEnd fe(48000);
    std::vector<float> u;
    const auto w = fe.run(std::vector<float>(2000, 0.0f), &u);
    for (std::size_t i = 0; i < w.size(); ++i) {
        ASSERT_EQ(u[i], 0.0f);
        ASSERT_EQ(w[i], 0.0f);
    }
}

std::vector<float> lastCutoffs(int rate, float sensitivity, bool disabled, const std::vector<float>& x) {
    FrontEnd fe(rate, sensitivity, disabled);
    std::vector<float> cut;
    fe.run(x, nullptr, &cut);
    return cut;
}

TEST(NoiseReduction, CutoffFollowsTheHighFrequencyContent) {
    const auto tone = test::sine(100, kRate, 48000, 0.5);
    // A low tone has almost nothing above 1 kHz: the cutoff sits on its floor with low
    // sensitivity and opens far with high sensitivity.
    const auto lo = lastCutoffs(48000, 10.0f, false, tone);
    const auto hi = lastCutoffs(48000, 300.0f, false, tone);
    EXPECT_EQ(lo.back(), NoiseReduction::kMinCutoff);
    EXPECT_GT(hi.back(), 3000.0f);
    // Bright noise drives it to the ceiling.
    const auto noisy = lastCutoffs(48000, 300.0f, false, test::noise(48000, 2, 0.5f));
    EXPECT_EQ(noisy.back(), NoiseReduction::kMaxCutoff);
}

TEST(NoiseReduction, DisableHoldsTheCutoffAtTheCeiling) {
    for (const auto& x : {std::vector<float>(5000, 0.0f), test::sine(100, kRate, 20000, 0.5)}) {
        for (float c : lastCutoffs(48000, 10.0f, true, x)) ASSERT_EQ(c, 22000.0f);
    }
    // Below 44100 Hz the ceiling would reach half the rate; it is held just below.
    for (float c : lastCutoffs(22050, 300.0f, true, test::noise(5000, 1, 0.5f)))
        ASSERT_EQ(c, guardCorner(makeRate(22050), 22000.0f));
    for (float c : lastCutoffs(44100, 300.0f, true, test::noise(5000, 1, 0.5f))) ASSERT_EQ(c, 22000.0f);
}

TEST(NoiseReduction, DisabledIsAFixedLowpassAt22k) {
    // With the switch on, the stage is a first-order lowpass at 22 kHz on the normalised signal,
    // late by the tap, times the divisor: a steady tone's gain is that lowpass's response.
    auto gain = [](double freq, float sensitivity, bool disabled) {
        FrontEnd fe(48000, sensitivity, disabled);
        const auto x = test::sine(freq, kRate, 48000, 0.5);
        std::vector<float> u;
        const auto w = fe.run(x, &u);
        std::vector<float> b = x;
        InputLowpass lp;
        lp.setRate(makeRate(48000));
        lp.setControls(9700.0f);
        lp.clear();
        lp.process(b.data(), static_cast<int>(b.size()));
        return test::toneAmplitude(w, freq, kRate, 24000) / test::toneAmplitude(b, freq, kRate, 24000);
    };
    const double c = 1.0 / std::tan(3.141592653589793 * 22000.0 / kRate);
    for (double f : {1000.0, 5000.0, 9000.0}) {
        const double wn = 2 * 3.141592653589793 * f / kRate;
        // |(1 + z^-1) / ((c + 1) + (1 - c) z^-1)| on the unit circle
        const double num = std::hypot(1 + std::cos(wn), std::sin(wn));
        const double den = std::hypot((c + 1) + (1 - c) * std::cos(wn), (1 - c) * std::sin(wn));
        EXPECT_NEAR(test::toDb(gain(f, 10.0f, true)), test::toDb(num / den), 0.05) << f;
    }
    // Without the switch and with low sensitivity the same 9 kHz tone is cut much more.
    EXPECT_LT(test::toDb(gain(9000, 10.0f, false)), test::toDb(gain(9000, 10.0f, true)) - 6.0);
}

TEST(NoiseReduction, LowpassReadsTheNormalisedSignalAtTheTap) {
    // With the cutoff pinned at the ceiling, an impulse in u leaves the lowpass 125 samples late.
    NoiseReduction dnr;
    dnr.setRate(makeRate(48000));
    dnr.setControls(300.0f, true);
    dnr.clear();
    std::vector<float> u(600, 0.0f), den(600, 1.0f), w(600);
    u[100] = 1.0f;
    inChunks(u.size(), [&](std::size_t at, int m) {
        dnr.process(u.data() + at, den.data() + at, w.data() + at, m, static_cast<RingIndex>(at));
    });
    for (std::size_t i = 0; i < 100 + NoiseReduction::kTap; ++i) ASSERT_EQ(w[i], 0.0f) << i;
    EXPECT_GT(w[100 + NoiseReduction::kTap], 0.0f);
    EXPECT_EQ(test::argMaxAbs(w), 100 + NoiseReduction::kTap);
}

class Stage : public ::testing::Test {
protected:
    static InputStage make(const InputControls& c) {
        InputStage s;
        s.setRate(makeRate(48000));
        s.setControls(c);
        s.clear();
        return s;
    }
    static void run(InputStage& s, const std::vector<float>& x, std::vector<float>& v, std::vector<float>& r,
                    int block = 64, RingIndex start = 0) {
        v.assign(x.size(), 0.0f);
        r.assign(x.size(), 0.0f);
        for (std::size_t at = 0; at < x.size(); at += static_cast<std::size_t>(block)) {
            const int m = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), x.size() - at));
            s.process(x.data() + at, v.data() + at, r.data() + at, m, start + static_cast<RingIndex>(at));
        }
    }
    const std::vector<float> music = test::musicLike(kRate, 24000, 12);
};

TEST_F(Stage, RotatedSignalIsVThroughSixtyAllPassesThreeHundredLate) {
    InputStage s = make({});
    std::vector<float> v, r;
    run(s, music, v, r, 1000);
    ASSERT_GT(test::rms(v, 5000), 1e-3);

    // An independent all-pass run over v.
    const float coefs[4] = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};
    std::vector<float> ap = v;
    for (int j = 0; j < 60; ++j) {
        const float a = coefs[j % 4];
        float x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (float& x : ap) {
            const float y = a * (x + y2) - x2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            x = y;
        }
    }
    for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(r[i], 0.0f) << i;
    for (std::size_t i = 300; i < r.size(); ++i) ASSERT_EQ(r[i], ap[i - 300]) << i;
}

TEST_F(Stage, RotationKeepsTheMagnitudeSpectrum) {
    InputStage s = make({});
    for (double f : {200.0, 2000.0, 7000.0}) {
        s.clear();
        std::vector<float> v, r;
        run(s, test::sine(f, kRate, 48000, 0.3), v, r);
        EXPECT_NEAR(test::toDb(test::toneAmplitude(r, f, kRate, 30000) / test::toneAmplitude(v, f, kRate, 30000)),
                    0.0, 0.02)
            << f;
    }
}

TEST_F(Stage, BypassedEqualiserLeavesTheNoiseReductionOutput) {
    InputControls c;
    c.kvlnBypass = true;
    InputStage s = make(c);
    std::vector<float> v, r;
    run(s, music, v, r, 200);
    FrontEnd fe(48000);
    const auto w = fe.run(music);
    ASSERT_GT(test::rms(w, 5000), 1e-3);
    EXPECT_EQ(v, w);

    InputStage eq = make({});
    std::vector<float> ve, re;
    run(eq, music, ve, re, 200);
    EXPECT_GT(test::rms(ve, 5000), 1e-3);
    EXPECT_NE(ve, w);
}

TEST_F(Stage, ControlsComeFromTheCells) {
    float cells[ctl::kCount] = {};
    cells[ctl::kLowpassFilter] = 4200.0f;
    cells[ctl::kDnrSensitivity] = 42.0f;
    cells[ctl::kDnrDisable] = 0.6f;
    cells[ctl::kDisableKvlnEq] = 0.5f;
    const InputControls c = inputControlsFrom(cells);
    EXPECT_EQ(c.lowpassHz, 4200.0f);
    EXPECT_EQ(c.dnrSensitivity, 42.0f);
    EXPECT_TRUE(c.dnrDisabled);
    EXPECT_TRUE(c.kvlnBypass);  // only below 0.5 does the equaliser stay in
    cells[ctl::kDnrDisable] = 0.5f;
    cells[ctl::kDisableKvlnEq] = 0.4999f;
    const InputControls d = inputControlsFrom(cells);
    EXPECT_FALSE(d.dnrDisabled);
    EXPECT_FALSE(d.kvlnBypass);
}

TEST_F(Stage, AnySpanAndStartIndexGiveTheSameBits) {
    InputStage a = make({}), b = make({});
    std::vector<float> va, ra, vb, rb;
    run(a, music, va, ra, 64);
    run(b, music, vb, rb, 1000, 0xFFFFFF00u);
    EXPECT_EQ(va, vb);
    EXPECT_EQ(ra, rb);
}

}  // namespace
}  // namespace orvex
