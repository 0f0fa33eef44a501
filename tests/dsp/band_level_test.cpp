// Band level control driven with chosen envelopes: window maximum, release shaping, gate
// law, divisor and gain linking. Also the output lines of bands 1 and 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "dsp/band_level.h"
#include "dsp/blocks/follower.h"
#include "dsp/blocks/window_max.h"
#include "dsp/multiband.h"

namespace orvex {
namespace {

constexpr int kRate = 48000;

TEST(WindowMax, SpikeHoldsForTheWindowWidthAcrossTheWrap) {
    WindowMaxBank<3, 64, 44> w;
    // Start just below the wrap of the index so the spike's window straddles it.
    const RingIndex start = 0xFFFFFFFFu - 20u;
    std::vector<int> held(3, 0);
    for (int i = 0; i < 200; ++i) {
        const float in[3] = {i == 30 ? 5.0f : 1.0f, 0.5f, i == 100 ? -0.25f : -1.0f};
        float out[3];
        w.push(start + static_cast<RingIndex>(i), in, out);
        if (out[0] == 5.0f) {
            ++held[0];
            EXPECT_GE(i, 30);
            EXPECT_LT(i, 30 + 44);
        } else {
            EXPECT_EQ(out[0], 1.0f);
        }
        EXPECT_EQ(out[1], 0.5f);
        if (out[2] == -0.25f) ++held[2];
    }
    EXPECT_EQ(held[0], 44);
    EXPECT_EQ(held[2], 44);
}

// Lane counts of whole vectors take the vector form, others the loop over lanes.
template <int Lanes>
void expectPlainScan() {
    WindowMaxBank<Lanes, 64, 44> w;
    std::vector<std::vector<float>> hist(Lanes);
    std::uint32_t seed = 7;
    const RingIndex start = 0xFFFFFF00u;
    for (int i = 0; i < 3000; ++i) {
        float in[Lanes], out[Lanes];
        for (int l = 0; l < Lanes; ++l) {
            seed = seed * 1664525u + 1013904223u;
            // Mostly falling runs with occasional jumps, so the maximum changes often.
            in[l] = (seed >> 8) % 17 == 0 ? static_cast<float>(seed >> 20) : 0.001f * static_cast<float>(i % 97);
            hist[l].push_back(in[l]);
        }
        w.push(start + static_cast<RingIndex>(i), in, out);
        for (int l = 0; l < Lanes; ++l) {
            float m = 0.0f;  // the ring starts cleared: older entries count as zeros
            for (int age = 0; age < 44 && age <= i; ++age) m = std::max(m, hist[l][i - age]);
            ASSERT_EQ(out[l], m) << Lanes << " lanes, lane " << l << " sample " << i;
        }
    }
}

TEST(WindowMax, MatchesAPlainScanOfTheNewestValues) {
    expectPlainScan<5>();
    expectPlainScan<16>();
}

// Time constant (seconds) of the peak's release over `samples` samples.
double releaseTau(float before, float after, int samples = 1) {
    return -samples / double(kRate) / std::log(double(after) / before);
}

TEST(Follower, ReleaseSlowsAfterARiseThenSettlesToTau0) {
    const Rate rate = makeRate(kRate);
    FollowerBank<2> f;
    f.configure(0, rate, 2.0f, 0.25f, 66.666664f);  // the fast band level
    f.configure(1, rate, 0.25f, 2.0f, 2.0f);        // the slow band level
    float q[2] = {1.0f, 1.0f}, y[2];
    for (int i = 0; i < 3 * kRate; ++i) f.step(q, y);
    EXPECT_NEAR(y[0], 1.0f, 1e-4f);
    EXPECT_NEAR(y[1], 1.0f, 0.003f);

    // The input falls: right after the last rise the release runs at tau0 + 1 s.
    q[0] = q[1] = 0.0f;
    std::vector<float> p0, p1;
    for (int i = 0; i < 4 * kRate; ++i) {
        f.step(q, y);
        p0.push_back(f.peak(0));
        p1.push_back(f.peak(1));
    }
    EXPECT_NEAR(releaseTau(p0[0], p0[1]), 1.25, 0.02);
    EXPECT_NEAR(releaseTau(p1[0], p1[1]), 3.0, 0.1);
    // The hold decays below one half after ln 2 / h seconds; from then on the release is tau0.
    const std::size_t late0 = static_cast<std::size_t>(0.4 * kRate);
    EXPECT_NEAR(releaseTau(p0[late0], p0[late0 + 100], 100), 0.25, 0.005);
    const std::size_t late1 = static_cast<std::size_t>(3.0 * kRate);
    EXPECT_NEAR(releaseTau(p1[late1], p1[late1 + 100], 100), 2.0, 0.05);
    const std::size_t early0 = static_cast<std::size_t>(0.3 * kRate);
    EXPECT_GT(releaseTau(p0[early0], p0[early0 + 100], 100), 0.3);  // still shaped at 0.3 s
    // The output smoother follows the peak.
    EXPECT_LT(y[0], 1e-6f);
}

TEST(Follower, AttackIsInstantOnThePeak) {
    FollowerBank<1> f;
    f.configure(0, makeRate(kRate), 2.0f, 0.25f, 66.666664f);
    float q = -0.7f, y;
    f.step(&q, &y);
    EXPECT_EQ(f.peak(0), 0.7f);  // magnitude of the input, at once
    EXPECT_GT(y, 0.0f);
    EXPECT_LT(y, 0.7f);
}

// Runs the level control over `count` samples of steady per-band envelopes (band signals 1
// when `signal` is set, else 0); returns the taps of the last sample.
struct LevelTaps {
    float gate[kBandCount], divisor[kBandCount], gain[kBandCount], slow[kBandCount], linked[kBandCount];
};

BandLevel& freshLevel(const BandLevel::Settings& s) {
    static BandLevel level;
    level.setRate(makeRate(kRate));
    level.setSettings(s);
    level.clear();
    return level;
}

LevelTaps runSteady(BandLevel& level, const float (&env)[kBandCount], int count, RingIndex& index) {
    float e[kBandBlock][kBandCount];
    float d[kBandBlock][kCellCount] = {};
    for (auto& row : e)
        for (int b = 0; b < kBandCount; ++b) row[b] = env[b];
    for (int done = 0; done < count; done += kBandBlock) {
        level.process(e, d, kBandBlock, index);
        index += kBandBlock;
    }
    LevelTaps t;
    const int last = kBandBlock - 1;
    for (int b = 0; b < kBandCount; ++b) {
        t.gate[b] = level.gate()[last][b];
        t.divisor[b] = level.divisor()[last][b];
        t.gain[b] = level.gain()[last][b];
        t.slow[b] = level.slowLevel()[last][b];
        t.linked[b] = level.linkedLevel()[last][b];
    }
    return t;
}

BandLevel::Settings defaults() { return MultibandSection::levelSettings(MultibandSection::defaultControls()); }

TEST(BandLevel, BandsSixAndSevenFollowTheLoudestOfFiveToEight) {
    BandLevel::Settings s = defaults();
    s.link5678 = 1.0f;  // 0 dB
    const float quiet = 0.05f, loud = 0.5f;
    for (int loudBand : {4, 5, 6, 7}) {
        BandLevel& level = freshLevel(s);
        float env[kBandCount];
        for (float& e : env) e = quiet;
        env[loudBand] = loud;
        RingIndex index = 0;
        const LevelTaps t = runSteady(level, env, 8 * kRate, index);
        SCOPED_TRACE(testing::Message() << "loud band " << loudBand + 1);
        for (int b = 4; b < 8; ++b) {
            const bool follows = b == loudBand || b == 5 || b == 6;
            EXPECT_NEAR(t.linked[b], follows ? loud : quiet, 0.01 * (follows ? loud : quiet)) << "band " << b + 1;
        }
        // The loud band divides by its own level, a follower by -2 dB of the loud one.
        EXPECT_NEAR(t.divisor[loudBand], loud, 0.01 * loud);
        for (int b : {5, 6}) {
            if (b == loudBand) continue;
            EXPECT_NEAR(t.divisor[b], 0.7943282f * loud, 0.01 * loud) << "band " << b + 1;
        }
        for (int b : {4, 7}) {
            if (b == loudBand) continue;
            EXPECT_NEAR(t.divisor[b], quiet, 0.01 * quiet) << "band " << b + 1;
        }
        EXPECT_NEAR(t.divisor[3], quiet, 0.01 * quiet);  // outside the group
        EXPECT_NEAR(t.divisor[8], quiet, 0.01 * quiet);
    }
}

TEST(BandLevel, BandOneFollowsBandTwoOnlyBeyondTheLinkLevel) {
    BandLevel::Settings s = defaults();
    s.link2to1 = std::pow(10.0f, -24.0f / 20.0f);
    s.threshold[0] = 1e-4f;
    const float band1 = 0.01f;
    for (double diffDb : {20.0, 23.0, 25.0, 30.0}) {
        BandLevel& level = freshLevel(s);
        float env[kBandCount];
        for (float& e : env) e = 0.02f;
        env[0] = band1;
        env[1] = band1 * static_cast<float>(std::pow(10.0, diffDb / 20.0));
        RingIndex index = 0;
        const LevelTaps t = runSteady(level, env, 12 * kRate, index);
        SCOPED_TRACE(testing::Message() << diffDb << " dB");
        const float expected = diffDb > 24.0 ? s.link2to1 * t.slow[1] : t.slow[0];
        EXPECT_FLOAT_EQ(t.linked[0], expected);
        if (diffDb < 24.0) {
            EXPECT_NEAR(t.linked[0], band1, 0.02 * band1);
        }
        EXPECT_EQ(t.linked[1], t.slow[1]);  // band 2 is not linked back
    }
}

TEST(BandLevel, LinksReadTheSlowLevelsOfTheSameSample) {
    BandLevel::Settings s = defaults();
    s.link11to12 = 1.0f;
    s.link2to1 = 1.0f;
    BandLevel& level = freshLevel(s);
    float e[kBandBlock][kBandCount], d[kBandBlock][kCellCount] = {};
    for (int i = 0; i < kBandBlock; ++i)
        for (int b = 0; b < kBandCount; ++b) e[i][b] = (b == 10 || b == 1) && i >= 10 ? 0.9f : 0.01f;
    level.process(e, d, kBandBlock, 0);
    for (int i = 0; i < kBandBlock; ++i) {
        EXPECT_EQ(level.linkedLevel()[i][11], std::max(level.slowLevel()[i][11], level.slowLevel()[i][10]));
        EXPECT_EQ(level.linkedLevel()[i][0], std::max(level.slowLevel()[i][0], level.slowLevel()[i][1]));
    }
    EXPECT_GT(level.linkedLevel()[10][11], level.linkedLevel()[9][11]);  // the step shows at once
}

TEST(BandLevel, BelowThresholdTheDivisorRestsAtTheThreshold) {
    const BandLevel::Settings s = defaults();
    BandLevel& level = freshLevel(s);
    float env[kBandCount];
    for (float& e : env) e = 0.006f;  // below both thresholds (0.1 and 0.0178)
    RingIndex index = 0;
    const LevelTaps t = runSteady(level, env, 4 * kRate, index);
    for (int b = 0; b < kBandCount; ++b) {
        EXPECT_NEAR(t.divisor[b], s.threshold[b], 1e-3 * s.threshold[b]) << "band " << b + 1;
        EXPECT_NEAR(t.gain[b], t.gate[b] / s.threshold[b], 1e-3 * t.gain[b]) << "band " << b + 1;
    }
}

TEST(BandLevel, GateGainsStepByTheScalePerBand) {
    // A steady envelope well below the gate's knee: tan(gate) measures k_b * env.
    for (float scale : {0.0f, 1.0f}) {
        MultibandSection::Controls c = MultibandSection::defaultControls();
        c.gateScale = scale;
        c.masterGate = 30.0f;
        BandLevel& level = freshLevel(MultibandSection::levelSettings(c));
        float env[kBandCount];
        for (float& e : env) e = 1e-3f;
        RingIndex index = 0;
        const LevelTaps t = runSteady(level, env, kRate, index);
        SCOPED_TRACE(testing::Message() << "scale " << scale);
        EXPECT_NEAR(20.0 * std::log10(std::tan(double(t.gate[1])) / 1e-3), 30.0 - scale, 0.01);
        for (int b = 2; b < kBandCount; ++b) {
            const double stepDb = 20.0 * std::log10(std::tan(double(t.gate[b - 1])) / std::tan(double(t.gate[b])));
            EXPECT_NEAR(stepDb, scale, 0.01) << "band " << b + 1;
        }
        // Band 1: master gain plus trim (-15 dB).
        EXPECT_NEAR(20.0 * std::log10(std::tan(double(t.gate[0])) / 1e-3), 15.0, 0.01);
    }
}

TEST(BandLevel, GateFactorIsBoundedByAQuarterPi) {
    BandLevel& level = freshLevel(defaults());
    float env[kBandCount];
    for (float& e : env) e = 50.0f;
    RingIndex index = 0;
    const LevelTaps t = runSteady(level, env, kRate, index);
    for (int b = 0; b < kBandCount; ++b) {
        EXPECT_NEAR(t.gate[b], 0.78539816f, 5e-5f);  // the smoother's float fixpoint sits just below 1
        EXPECT_LE(t.gate[b], 0.78539819f);
    }
}

TEST(BandLevel, OutputLinesCarryScaledBandsTwoThousandSamplesLate) {
    MultibandSection::Controls c = MultibandSection::defaultControls();
    c.band1Level = 0.0f;
    BandLevel& level = freshLevel(MultibandSection::levelSettings(c));
    float e[kBandBlock][kBandCount], d[kBandBlock][kCellCount];
    std::vector<float> in1, in2, out1, out2, gain1, gain2;
    RingIndex index = 0xFFFFF000u;  // crosses the wrap
    for (int block = 0; block < 80; ++block) {
        for (int i = 0; i < kBandBlock; ++i) {
            const float x = std::sin(0.01f * static_cast<float>(block * kBandBlock + i));
            for (int b = 0; b < kBandCount; ++b) e[i][b] = 0.05f;
            for (int l = 0; l < kCellCount; ++l) d[i][l] = x * (l < kBandCount ? 1.0f : 0.5f);
        }
        level.process(e, d, kBandBlock, index);
        index += kBandBlock;
        for (int i = 0; i < kBandBlock; ++i) {
            in1.push_back(d[i][0] + d[i][kBandCount]);
            in2.push_back(d[i][1] + d[i][kBandCount + 1]);
            gain1.push_back(level.gain()[i][0]);
            gain2.push_back(level.gain()[i][1]);
            out1.push_back(level.lineOut()[i][0]);
            out2.push_back(level.lineOut()[i][1]);
        }
    }
    for (std::size_t i = 0; i < 2048; ++i) {
        ASSERT_EQ(out1[i], 0.0f);
        ASSERT_EQ(out2[i], 0.0f);
    }
    // Band 1 at 0 dB level: -26 dB and inverted, the same size as band 2's fixed -26 dB.
    for (std::size_t i = 2048 + 100; i < out1.size(); i += 37) {
        const std::size_t k = i - 2048;
        EXPECT_NEAR(out1[i], -0.050118722f * gain1[k] * in1[k], 1e-5f * gain1[k]);
        EXPECT_NEAR(out2[i], 0.050118722f * gain2[k] * in2[k], 1e-5f * gain2[k]);
    }
}

}  // namespace
}  // namespace orvex
