// The lane banks that run a whole sub-block with their state in registers: the release
// coefficient's series, the follower bank against a plain model of its equations, and the
// quadrature bank's block run against its sample-by-sample step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/blocks/follower.h"
#include "dsp/blocks/quadrature.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

// Distance of a float from the exact value, in units of the float spacing there.
double ulpError(float got, double exact) {
    const float lower = std::nextafter(static_cast<float>(exact), 0.0f);
    const double spacing = std::fabs(static_cast<double>(static_cast<float>(exact)) - lower);
    return std::fabs(got - exact) / spacing;
}

TEST(ReleaseSeries, WithinOneUlpOfTheExponentialOverItsWholeRange) {
    using Bank = FollowerBank<16>;
    // Every 61st float from -1/64 up to the smallest normal below zero.
    std::uint32_t from, to;
    const float lo = -Bank::kSeriesLimit, hi = -1.1754944e-38f;
    std::memcpy(&from, &lo, 4);
    std::memcpy(&to, &hi, 4);
    double worst = 0.0;
    float worstAt = 0.0f;
    std::int64_t checked = 0, notNearest = 0;
    for (std::uint32_t bits = from; bits > to; bits -= 61) {
        float u;
        std::memcpy(&u, &bits, 4);
        const double exact = std::exp(static_cast<double>(u));
        const float got = Bank::expSeries(u);
        const double e = ulpError(got, exact);
        if (e > worst) {
            worst = e;
            worstAt = u;
        }
        if (got != static_cast<float>(exact)) ++notNearest;
        ++checked;
    }
    RecordProperty("worst_ulp", std::to_string(worst));
    std::printf("series: %lld arguments, worst %.3f ulp at %.9g, %lld not the nearest float\n",
                static_cast<long long>(checked), worst, worstAt, static_cast<long long>(notNearest));
    EXPECT_LE(worst, 1.0);  // the vector maths library's bound
    EXPECT_LT(notNearest, checked / 1000);
}

// The follower's equations, one lane, one sample at a time, with the C library's exponential.
struct ModelFollower {
    float eh, omh, tau0, ek, omk, T;
    float H = 0.0f, P = 0.0f, Y = 0.0f;
    ModelFollower(const Rate& rate, float h, float tau, float k)
        : eh(smoothing(rate, h)), omh(1.0f - eh), tau0(tau), ek(smoothing(rate, k)), omk(1.0f - ek), T(rate.T) {}
    float step(float q) {
        const float r = q > Y ? 1.0f : 0.0f;
        H = std::max(r, omh * r + eh * H);
        const float xi = std::max(2.0f * (H - 0.5f), 0.0f);
        const float c = std::exp(-T / (xi + tau0));
        const float a = std::fabs(q);
        P = std::max(a, (1.0f - c) * a + c * P);
        Y = omk * P + ek * Y;
        return Y;
    }
};

TEST(FollowerBank, BlockRunsFollowThePlainEquationsAtEveryRate) {
    // Three kinds of follower (the band levels' fast and slow ones and the width stage's), each
    // over 12 live lanes of 16, on a programme with rises and long releases.
    struct Kind {
        float h, tau0, k;
    };
    const Kind kinds[3] = {{2.0f, 0.25f, 66.666664f}, {0.25f, 2.0f, 2.0f}, {16.666666f, 0.03f, 1000.0f}};
    for (int rateHz : {1000, 8000, 44100, 48000, 96000, 192000}) {
        const Rate rate = makeRate(rateHz);
        for (const Kind& kind : kinds) {
            FollowerBank<32> bank;
            std::vector<ModelFollower> model;
            for (int l = 0; l < 32; ++l) {
                bank.configure(l, rate, kind.h, kind.tau0, kind.k);
                model.emplace_back(rate, kind.h, kind.tau0, kind.k);
            }
            bank.setLiveLanes(16, 12);
            const std::size_t n = static_cast<std::size_t>(rateHz) * 3 / 2;
            const auto x = test::musicLike(rateHz, n, 3);
            std::vector<float> in(n * 32), out(n * 32);
            for (std::size_t i = 0; i < n; ++i)
                for (int l = 0; l < 32; ++l) in[i * 32 + l] = x[i] * (0.2f + 0.05f * static_cast<float>(l % 16));
            // Ragged runs, some longer than a sub-block.
            for (std::size_t done = 0, k = 0; done < n; ++k) {
                const int m = static_cast<int>(std::min<std::size_t>(n - done, 1 + (k * 37) % 90));
                bank.process(reinterpret_cast<const float(*)[32]>(&in[done * 32]),
                             reinterpret_cast<float(*)[32]>(&out[done * 32]), m);
                done += static_cast<std::size_t>(m);
            }
            double worst = 0.0;
            for (std::size_t i = 0; i < n; ++i)
                for (int l = 0; l < 32; ++l) {
                    if (l % 16 >= 12) continue;  // padding lanes: nobody reads them
                    const float want = model[static_cast<std::size_t>(l)].step(in[i * 32 + l]);
                    const double rel = std::fabs(out[i * 32 + l] - want) / std::max(std::fabs(want), 1e-30f);
                    worst = std::max(worst, rel);
                }
            // Both exponentials are within an ulp; the recursion keeps the difference at the
            // level of float rounding.
            EXPECT_LT(worst, 1e-5) << rateHz << " Hz, h " << kind.h;
        }
    }
}

TEST(QuadratureBank, BlockRunEqualsTheSampleBySampleStepToTheBit) {
    constexpr int kLanes = 32;
    QuadratureBank<kLanes> stepped, blocked;
    const std::size_t n = 3000;
    std::vector<float> in(n * kLanes);
    const auto x = test::noise(n * kLanes, 11, 0.8f);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = x[i] * (i % 7 == 0 ? 40.0f : 1.0f);
    std::vector<float> a(n * kLanes), b(n * kLanes);
    for (std::size_t i = 0; i < n; ++i) stepped.step(&in[i * kLanes], &a[i * kLanes]);
    // Block runs of 1, 2, 63, 64 and 130 samples, the output written over the input.
    b = in;
    const int runs[] = {1, 2, 63, 64, 130, 5};
    for (std::size_t done = 0, k = 0; done < n; ++k) {
        const int m = static_cast<int>(std::min<std::size_t>(n - done, static_cast<std::size_t>(runs[k % 6])));
        auto* rows = reinterpret_cast<float(*)[kLanes]>(&b[done * kLanes]);
        blocked.process(rows, rows, m);
        done += static_cast<std::size_t>(m);
    }
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << "sample " << i / kLanes << " lane " << i % kLanes;
}

// The multiband units store their lanes in groups of sixteen but run only the lanes in use,
// rounded up to the vector width. Such a bank must give those lanes exactly what the full bank
// gives them, and leave the rest of its rows (the caller's other values) alone: at a rate below
// the follower's series too, where it takes the vector maths' exponential.
TEST(LaneBanks, RunningFewerLanesThanStoredChangesNoBitOfThemAndNothingElse) {
    constexpr int kLanes = 32, kRun = 20, kStride = 28;
    constexpr float kUntouched = -123.0f;
    for (int rateHz : {1000, 48000}) {
        const Rate rate = makeRate(rateHz);
        FollowerBank<kLanes> fullF;
        FollowerBank<kLanes, kRun> partF;
        QuadratureBank<kLanes> fullQ;
        QuadratureBank<kLanes, kRun> partQ;
        for (int l = 0; l < kLanes; ++l) {
            fullF.configure(l, rate, 16.666666f, 0.03f, 1000.0f);
            partF.configure(l, rate, 16.666666f, 0.03f, 1000.0f);
        }
        fullF.setLiveLanes(kLanes, kRun);
        partF.setLiveLanes(kLanes, kRun);
        const std::size_t n = 1500;
        const auto x = test::musicLike(rateHz, n, 7);
        std::vector<float> full(n * kLanes, 0.0f), part(n * kStride, kUntouched);
        for (std::size_t i = 0; i < n; ++i)
            for (int l = 0; l < kRun; ++l)
                full[i * kLanes + l] = part[i * kStride + l] = x[i] * (0.1f + 0.07f * static_cast<float>(l));
        for (std::size_t done = 0, k = 0; done < n; ++k) {
            const int m = static_cast<int>(std::min<std::size_t>(n - done, 1 + (k * 29) % 70));
            auto* f = reinterpret_cast<float(*)[kLanes]>(&full[done * kLanes]);
            auto* p = reinterpret_cast<float(*)[kStride]>(&part[done * kStride]);
            fullQ.process(f, f, m);
            partQ.process(p, p, m);
            fullF.process(f, f, m);
            partF.process(p, p, m);
            done += static_cast<std::size_t>(m);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (int l = 0; l < kRun; ++l)
                ASSERT_EQ(part[i * kStride + l], full[i * kLanes + l]) << rateHz << " Hz, sample " << i << " lane " << l;
            for (int l = kRun; l < kStride; ++l) ASSERT_EQ(part[i * kStride + l], kUntouched) << "sample " << i;
        }
    }
}

}  // namespace
}  // namespace orvex
