// Cascades run as wavefronts: the same bits as the section-after-section recursion, for every
// span length (including spans shorter than the cascade) and across consecutive spans.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "dsp/blocks/design.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/wavefront.h"
#include "dsp/phase_rotator.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

const std::vector<int> kSpans = {1, 2, 3, 7, 8, 9, 16, 33, 64, 100, 5, 1, 64};

// Lowpass and highpass sections at spread corners, so neighbouring lanes hold different values.
BiquadCoefs sectionFor(int i) {
    const Rate r = makeRate(48000);
    const float c = 1.0f / prewarp(r, 60.0f * static_cast<float>(1 + 3 * i));
    return i % 2 ? butterworthHighpass(c, kButterworth12[i % 6]) : butterworthLowpass(c, kButterworth12[i % 6]);
}

template <int Count>
void expectCascadeMatches() {
    SCOPED_TRACE(Count);
    WavefrontBiquads<Count> wave;
    BiquadCascade<Count> plain;
    for (int i = 0; i < Count; ++i) {
        wave.set(i, sectionFor(i));
        plain.coefs[i] = sectionFor(i);
    }
    const std::vector<float> x = test::noise(4000, 11, 0.5f);
    std::vector<float> got = x, want(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) want[i] = plain.step(x[i]);
    std::size_t at = 0;
    for (int k = 0; at < x.size(); ++k) {
        const int n = std::min<int>(kSpans[static_cast<std::size_t>(k) % kSpans.size()], static_cast<int>(x.size() - at));
        wave.process(got.data() + at, n);
        at += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, want);
}

TEST(Wavefront, CascadeGivesTheSectionAfterSectionBits) {
    expectCascadeMatches<1>();
    expectCascadeMatches<4>();
    expectCascadeMatches<9>();
    expectCascadeMatches<17>();  // more sections than the widest vector has lanes
}

// Each lane of a lane cascade against its own section-after-section cascade; rows wider than
// the lanes keep their other columns.
template <int Count, int L, int Stride>
void expectLaneCascadeMatches() {
    SCOPED_TRACE(testing::Message() << Count << " sections x " << L << " lanes, rows of " << Stride);
    WavefrontLaneCascade<Count, L> wave;
    BiquadCascade<Count> plain[L];
    for (int i = 0; i < Count; ++i)
        for (int c = 0; c < L; ++c) {
            wave.set(i, c, sectionFor(i + 3 * c));
            plain[c].coefs[i] = sectionFor(i + 3 * c);
        }
    constexpr std::size_t kRows = 1500;
    const std::vector<float> x = test::noise(kRows * Stride, 21, 0.5f);
    std::vector<float> got = x, want = x;
    for (std::size_t j = 0; j < kRows; ++j)
        for (int c = 0; c < L; ++c) want[j * Stride + c] = plain[c].step(x[j * Stride + c]);
    std::size_t at = 0;
    for (int k = 0; at < kRows; ++k) {
        const int n = std::min<int>(kSpans[static_cast<std::size_t>(k) % kSpans.size()], static_cast<int>(kRows - at));
        wave.template process<Stride>(got.data() + at * Stride, n);
        at += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, want);
}

TEST(Wavefront, LaneCascadeGivesEachLanesSectionAfterSectionBits) {
    expectLaneCascadeMatches<6, 2, 2>();
    expectLaneCascadeMatches<6, 2, 4>();
    expectLaneCascadeMatches<4, 4, 4>();
    expectLaneCascadeMatches<4, 4, 8>();
    expectLaneCascadeMatches<3, 1, 1>();
    expectLaneCascadeMatches<9, 4, 4>();  // more lanes than the widest vector
}

TEST(Wavefront, RotatorIsSixtyAllPassesThenTheDelay) {
    const std::vector<float> v = test::musicLike(48000, 5000, 2);
    AllPassState sections[PhaseRotator::kSections];
    std::vector<float> rotated(v.size()), want(v.size(), 0.0f);
    for (std::size_t i = 0; i < v.size(); ++i) {
        float x = v[i];
        for (int k = 0; k < PhaseRotator::kSections; ++k) x = stepAllPass(PhaseRotator::kCoefs[k % 4], sections[k], x);
        rotated[i] = x;
        if (i + PhaseRotator::kDelay < v.size()) want[i + PhaseRotator::kDelay] = x;
    }
    PhaseRotator rot;
    rot.clear();
    std::vector<float> got(v.size());
    std::size_t at = 0;
    const RingIndex start = 0xFFFFFF00u;  // across the wrap of the shared index
    for (int k = 0; at < v.size(); ++k) {
        const int n = std::min<int>(kSpans[static_cast<std::size_t>(k) % kSpans.size()] * 3, static_cast<int>(v.size() - at));
        rot.process(v.data() + at, got.data() + at, n, start + static_cast<RingIndex>(at));
        at += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, want);
    ASSERT_GT(test::rms(got, PhaseRotator::kDelay), 1e-3);
}

}  // namespace
}  // namespace orvex
