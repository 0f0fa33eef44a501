// Width stage driven with chosen levelled band signals: width factor, its ceiling, presence.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/band_width.h"

namespace orvex {
namespace {

constexpr int kRate = 48000;

struct WidthRun {
    std::vector<float> y1, y2;
    std::vector<std::vector<float>> width, presence;  // [band 3..12][sample]
};

// Plus and minus levelled signals of every band: a 1 kHz sine at amplitude plus / minus.
WidthRun runWidth(float plusAmp, float minusAmp, int samples) {
    static BandWidth stage;
    stage.setRate(makeRate(kRate));
    stage.clear();
    WidthRun out;
    out.width.assign(kWidthBands, {});
    out.presence.assign(kWidthBands, {});
    float lev[kBandBlock][kCellCount], line[kBandBlock][2] = {};
    float y1[kBandBlock], y2[kBandBlock];
    for (int pos = 0; pos < samples; pos += kBandBlock) {
        for (int i = 0; i < kBandBlock; ++i) {
            const float x = std::sin(2.0f * 3.14159265f * 1000.0f * static_cast<float>(pos + i) / kRate);
            for (int b = 0; b < kBandCount; ++b) {
                lev[i][b] = plusAmp * x;
                lev[i][kBandCount + b] = minusAmp * x;
            }
        }
        stage.process(lev, line, kBandBlock, static_cast<RingIndex>(pos), y1, y2);
        for (int i = 0; i < kBandBlock; ++i) {
            out.y1.push_back(y1[i]);
            out.y2.push_back(y2[i]);
            for (int b = 0; b < kWidthBands; ++b) {
                out.width[b].push_back(stage.width()[i][b]);
                out.presence[b].push_back(stage.presence()[i][b]);
            }
        }
    }
    return out;
}

TEST(BandWidth, EqualChannelLevelsLeaveNoWidth) {
    // Equal magnitudes in both channels, with either sign of the minus channel.
    for (float minus : {4.0f, -4.0f}) {
        const WidthRun run = runWidth(4.0f, minus, kRate);
        for (int b = 0; b < kWidthBands; ++b)
            for (float w : run.width[b]) ASSERT_EQ(w, 0.0f) << "band " << b + 3;
    }
}

TEST(BandWidth, LevelRatioOpensTheWidthUpToItsCeiling) {
    // A 2:1 level ratio between the channels: tan(2 - 1.1) = 1.26, +10 dB is above the ceiling.
    const WidthRun run = runWidth(4.0f, 2.0f, kRate);
    for (int b = 0; b < kWidthBands; ++b) {
        float top = 0.0f;
        for (float w : run.width[b]) {
            ASSERT_GE(w, 0.0f);
            ASSERT_LE(w, 1.7f);
            top = std::max(top, w);
        }
        EXPECT_EQ(top, 1.7f) << "band " << b + 3;
        EXPECT_EQ(run.width[b].back(), 1.7f) << "band " << b + 3;
    }
    // With width, the difference parts split the two sums.
    double diff = 0.0;
    for (std::size_t i = 0; i < run.y1.size(); ++i) diff = std::max(diff, double(std::fabs(run.y1[i] - run.y2[i])));
    EXPECT_GT(diff, 0.01);

    // A ratio of 1.05 stays below the 1.1 threshold.
    const WidthRun near = runWidth(4.0f, 4.0f / 1.05f, kRate);
    for (int b = 0; b < kWidthBands; ++b) EXPECT_EQ(near.width[b].back(), 0.0f) << "band " << b + 3;
}

TEST(BandWidth, PresenceRisesToOneEvenInSilence) {
    const WidthRun run = runWidth(0.0f, 0.0f, kRate / 2);
    for (int b = 0; b < kWidthBands; ++b) {
        EXPECT_LT(run.presence[b][10], 0.5f);  // starts from zero after a clear
        EXPECT_NEAR(run.presence[b].back(), 1.0f, 1e-3f) << "band " << b + 3;
    }
    for (std::size_t i = 0; i < run.y1.size(); ++i) ASSERT_EQ(run.y1[i], 0.0f);
}

TEST(BandWidth, SumsAppearAfterTheLineDelay) {
    const WidthRun run = runWidth(1.0f, 1.0f, 4096);
    for (std::size_t i = 0; i < 2048; ++i) ASSERT_EQ(run.y1[i], 0.0f);
    double later = 0.0;
    for (std::size_t i = 2049; i < run.y1.size(); ++i) later = std::max(later, double(std::fabs(run.y1[i])));
    EXPECT_GT(later, 0.1);
}

}  // namespace
}  // namespace orvex
