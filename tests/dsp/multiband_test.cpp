// The whole multiband section: exact channel symmetries, polarity and alignment of the bands,
// block-split and index-wrap identity, clearing, and finite output at every rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dsp/multiband.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

constexpr int kRate = 48000;

struct Render {
    std::vector<float> y1, y2;
    std::vector<MultibandSection::Taps> taps;  // filled when asked for
};

std::unique_ptr<MultibandSection> makeSection(int rate = kRate,
                                              MultibandSection::Controls c = MultibandSection::defaultControls()) {
    auto s = std::make_unique<MultibandSection>();
    s->setRate(makeRate(rate));
    s->setControls(c);
    s->clear();
    return s;
}

// Runs v and r through the section in blocks whose sizes come from `blockSize` (called per block).
Render render(MultibandSection& s, const std::vector<float>& v, const std::vector<float>& r,
              const std::function<int()>& blockSize = [] { return MultibandSection::kMaxBlock; },
              RingIndex index0 = 0, bool withTaps = false) {
    Render out;
    out.y1.resize(v.size());
    out.y2.resize(v.size());
    std::size_t pos = 0;
    while (pos < v.size()) {
        const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(blockSize()), v.size() - pos));
        s.process(&v[pos], &r[pos], &out.y1[pos], &out.y2[pos], n, index0 + static_cast<RingIndex>(pos));
        if (withTaps)
            for (int i = 0; i < n; ++i) out.taps.push_back(s.taps(i));
        pos += static_cast<std::size_t>(n);
    }
    return out;
}

TEST(Multiband, VAloneGivesEqualSums) {
    auto s = makeSection();
    const auto v = test::musicLike(kRate, 3 * kRate, 11);
    const std::vector<float> r(v.size(), 0.0f);
    const Render out = render(*s, v, r);
    EXPECT_EQ(out.y1, out.y2);
    EXPECT_GT(test::rms(out.y1, 3072), 1e-3);
}

TEST(Multiband, RAloneGivesOppositeSums) {
    auto s = makeSection();
    const auto r = test::musicLike(kRate, 3 * kRate, 12);
    const std::vector<float> v(r.size(), 0.0f);
    const Render out = render(*s, v, r, [] { return MultibandSection::kMaxBlock; }, 0, true);
    for (std::size_t i = 0; i < out.y1.size(); ++i) ASSERT_EQ(out.y2[i], -out.y1[i]) << "sample " << i;
    // Both channels carry r at equal levels, so no band opens its width.
    for (const auto& t : out.taps)
        for (int b = 2; b < kBandCount; ++b) ASSERT_EQ(t.width[b], 0.0f);
}

TEST(Multiband, WidthCarriesTheRotatedSignalIntoTheDifference) {
    // r is v with a part of it in phase: the plus channel is louder than the minus channel.
    auto s = makeSection();
    const auto v = test::musicLike(kRate, 3 * kRate, 13);
    std::vector<float> r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) r[i] = 0.4f * v[i];
    const Render out = render(*s, v, r, [] { return MultibandSection::kMaxBlock; }, 0, true);
    int opened = 0;
    for (const auto& t : out.taps)
        for (int b = 2; b < kBandCount; ++b) {
            ASSERT_GE(t.width[b], 0.0f);
            ASSERT_LE(t.width[b], 1.7f);
            opened += t.width[b] > 0.0f;
        }
    EXPECT_GT(opened, 0);
    std::vector<float> diff(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) diff[i] = out.y1[i] - out.y2[i];
    EXPECT_GT(test::rms(diff, 3072), 1e-4);
}

// Correlation of a band's part of Y1 (of Y1 itself for band -1) with the input 3072 samples
// earlier.
double bandCorrelation(double freq, int band) {
    auto s = makeSection();
    const std::size_t n = 2 * kRate;
    const auto v = test::sine(freq, kRate, n, 0.3);
    const std::vector<float> r(n, 0.0f);
    const Render out = render(*s, v, r, [] { return MultibandSection::kMaxBlock; }, 0, true);
    double acc = 0.0, part2 = 0.0, in2 = 0.0;
    for (std::size_t i = n / 2; i < n; ++i) {
        const double p = band < 0 ? out.y1[i] : out.taps[i].part[band], x = v[i - 3072];
        acc += p * x;
        part2 += p * p;
        in2 += x * x;
    }
    return acc / std::sqrt(part2 * in2);
}

TEST(Multiband, NeighbouringBandsLeaveWithOppositePolarity) {
    // At its geometric centre a band-pass cell is free of phase shift, so the band's part is
    // the input, scaled and signed, 3072 samples late.
    const double c3 = bandCorrelation(std::sqrt(200.0 * 300.0), 2);
    const double c4 = bandCorrelation(std::sqrt(300.0 * 450.0), 3);
    EXPECT_LT(c3, -0.95);
    EXPECT_GT(c4, 0.95);
    // The neighbours carry some of each tone too, but the whole sum keeps the band's sign.
    EXPECT_LT(bandCorrelation(std::sqrt(200.0 * 300.0), -1), -0.5);
    EXPECT_GT(bandCorrelation(std::sqrt(300.0 * 450.0), -1), 0.5);
    // Band 2 (not inverted) and band 1 (inverted) leave through their output lines.
    EXPECT_GT(bandCorrelation(std::sqrt(80.0 * 200.0), 1), 0.95);
    EXPECT_LT(bandCorrelation(std::sqrt(10.0 * 80.0), 0), -0.95);
}

TEST(Multiband, EveryBandReachesTheSumsAfterTheSameDelay) {
    auto s = makeSection();
    const std::size_t at = 6000, n = at + 3072 + 64;
    const std::vector<float> v = test::impulse(n, at, 0.5f);
    const std::vector<float> r = test::impulse(n, at, 0.25f);
    const Render out = render(*s, v, r, [] { return MultibandSection::kMaxBlock; }, 0, true);
    for (int b = 0; b < kBandCount; ++b) {
        for (std::size_t i = 0; i < at + 3072; ++i) ASSERT_EQ(out.taps[i].part[b], 0.0f) << "band " << b + 1 << " at " << i;
        EXPECT_NE(out.taps[at + 3072].part[b], 0.0f) << "band " << b + 1;
    }
    for (std::size_t i = 0; i < at + 3072; ++i) ASSERT_EQ(out.y1[i], 0.0f);
    EXPECT_NE(out.y1[at + 3072], 0.0f);
}

TEST(Multiband, BlockSplitAndIndexWrapDoNotChangeABit) {
    const auto v = test::musicLike(kRate, 2 * kRate, 21);
    std::vector<float> r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) r[i] = 0.5f * v[(i * 7) % v.size()];

    auto s = makeSection();
    const Render whole = render(*s, v, r);

    s->clear();
    std::uint32_t seed = 99;
    const Render split = render(*s, v, r, [&] {
        seed = seed * 1664525u + 1013904223u;
        return 1 + static_cast<int>((seed >> 16) % MultibandSection::kMaxBlock);
    });
    EXPECT_EQ(split.y1, whole.y1);
    EXPECT_EQ(split.y2, whole.y2);

    // Spans longer than a sub-block, with empty calls in between.
    s->clear();
    Render longSpans;
    longSpans.y1.resize(v.size());
    longSpans.y2.resize(v.size());
    for (std::size_t pos = 0; pos < v.size(); pos += 1000) {
        const int n = static_cast<int>(std::min<std::size_t>(1000, v.size() - pos));
        s->process(&v[pos], &r[pos], &longSpans.y1[pos], &longSpans.y2[pos], 0, static_cast<RingIndex>(pos));
        s->process(&v[pos], &r[pos], &longSpans.y1[pos], &longSpans.y2[pos], n, static_cast<RingIndex>(pos));
    }
    EXPECT_EQ(longSpans.y1, whole.y1);
    EXPECT_EQ(longSpans.y2, whole.y2);

    s->clear();
    const Render wrapped = render(*s, v, r, [] { return 48; }, 0xFFFFFFFFu - 30000u);
    EXPECT_EQ(wrapped.y1, whole.y1);
    EXPECT_EQ(wrapped.y2, whole.y2);
}

TEST(Multiband, ClearRestoresTheFreshSection) {
    const auto v = test::musicLike(kRate, kRate, 31);
    const auto r = test::noise(v.size(), 5, 0.2f);
    auto fresh = makeSection();
    const Render a = render(*fresh, v, r);

    auto used = makeSection();
    render(*used, test::noise(v.size(), 9, 0.9f), v);
    used->clear();
    const Render b = render(*used, v, r);
    EXPECT_EQ(a.y1, b.y1);
    EXPECT_EQ(a.y2, b.y2);
    for (std::size_t i = 0; i < 3072; ++i) ASSERT_EQ(a.y1[i], 0.0f);
}

TEST(Multiband, FiniteAtEveryRate) {
    for (int rate : {8000, 22050, 44100, 96000, 192000}) {
        auto s = makeSection(rate);
        auto v = test::musicLike(rate, static_cast<std::size_t>(rate), 41);
        for (std::size_t i = v.size() / 2; i < v.size(); ++i) v[i] *= 8.0f;  // hot passage
        auto r = test::noise(v.size(), 17, 0.3f);
        v.resize(v.size() + 2 * static_cast<std::size_t>(rate), 0.0f);  // and a silent tail
        r.resize(v.size(), 0.0f);
        const Render out = render(*s, v, r);
        for (std::size_t i = 0; i < v.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out.y1[i])) << "rate " << rate << " sample " << i;
            ASSERT_TRUE(std::isfinite(out.y2[i])) << "rate " << rate << " sample " << i;
        }
        EXPECT_GT(test::rms(out.y1, 3072), 1e-4) << "rate " << rate;
        EXPECT_LT(std::fabs(out.y1.back()), 1e-3f) << "rate " << rate;
    }
}

}  // namespace
}  // namespace orvex
