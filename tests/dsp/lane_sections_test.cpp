#include "dsp/blocks/lane_sections.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dsp/blocks/sections.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

// Lane banks must give exactly the bits of the scalar sections, lane by lane, however the signal
// is cut into sub-blocks and wherever the lanes sit inside wider rows.
TEST(LaneSections, BiquadCascadeMatchesScalarSectionsBitForBit) {
    const Rate r = makeRate(48000);
    constexpr int kLanes = 4, kStride = 6, kOffset = 1;
    BiquadLaneCascade<3, kLanes> bank;
    BiquadCascade<3> scalar[kLanes];
    const float corners[kLanes] = {40.0f, 900.0f, 5000.0f, 15000.0f};
    for (int l = 0; l < kLanes; ++l)
        for (int i = 0; i < 3; ++i) {
            const BiquadCoefs k = designSection(kEllipticHighpass[i], 1.0f / prewarp(r, corners[l]));
            bank.set(i, l, k);
            scalar[l].coefs[i] = k;
        }
    const std::size_t n = 5000;
    std::vector<float> x[kLanes];
    for (int l = 0; l < kLanes; ++l) x[l] = test::noise(n, 1 + l, 2.0f);
    std::vector<float> rows(n * kStride, -7.0f);
    for (std::size_t j = 0; j < n; ++j)
        for (int l = 0; l < kLanes; ++l) rows[j * kStride + kOffset + l] = x[l][j];
    std::mt19937 g(2);
    for (std::size_t j = 0; j < n;) {
        const int k = static_cast<int>(std::min<std::size_t>(std::uniform_int_distribution<int>(1, 64)(g), n - j));
        bank.process<kStride>(&rows[j * kStride + kOffset], k);
        j += k;
    }
    for (int l = 0; l < kLanes; ++l)
        for (std::size_t j = 0; j < n; ++j) {
            ASSERT_EQ(rows[j * kStride + kOffset + l], scalar[l].step(x[l][j])) << l << " " << j;
            ASSERT_EQ(rows[j * kStride], -7.0f);  // columns outside the lanes are untouched
        }
}

TEST(LaneSections, SingleSectionAndAllPassChainMatchScalar) {
    const Rate r = makeRate(44100);
    BiquadLaneCascade<1, 2> one;
    BiquadCoefs k[2] = {butterworthLowpass(1.0f / prewarp(r, 100.0f), 1.4142135f),
                        butterworthHighpass(1.0f / prewarp(r, 3000.0f), 0.76536685f)};
    one.set(0, 0, k[0]);
    one.set(0, 1, k[1]);
    BiquadState st[2];

    const float a[2][3] = {{0.6923878f, 0.93606544f, 0.9882295f}, {0.40219212f, 0.8561711f, 0.97229093f}};
    AllPassLaneChain<3, 2> chain;
    AllPassChain<3> ref[2];
    for (int i = 0; i < 3; ++i)
        for (int l = 0; l < 2; ++l) chain.section[i].a[l] = a[l][i];

    const std::size_t n = 3000;
    const auto x = test::noise(n, 5, 1.0f);
    std::vector<float> b1(2 * n), b2(2 * n);
    for (std::size_t j = 0; j < n; ++j) b1[2 * j] = b1[2 * j + 1] = b2[2 * j] = b2[2 * j + 1] = x[j];
    for (std::size_t j = 0; j < n; j += 37) {
        const int len = static_cast<int>(std::min<std::size_t>(37, n - j));
        one.process(&b1[2 * j], len);
        chain.process(&b2[2 * j], len);
    }
    for (std::size_t j = 0; j < n; ++j)
        for (int l = 0; l < 2; ++l) {
            ASSERT_EQ(b1[2 * j + l], step(k[l], st[l], x[j])) << l << " " << j;
            ASSERT_EQ(b2[2 * j + l], ref[l].step(a[l], x[j])) << l << " " << j;
        }
    // Clearing restores the fresh response.
    one.clear();
    chain.clear();
    float row[2] = {1.0f, 1.0f}, row2[2] = {1.0f, 1.0f};
    one.process(row, 1);
    chain.process(row2, 1);
    BiquadState fresh;
    EXPECT_EQ(row[0], step(k[0], fresh, 1.0f));
    EXPECT_EQ(row2[1], a[1][0] * a[1][1] * a[1][2]);
}

}  // namespace
}  // namespace orvex
