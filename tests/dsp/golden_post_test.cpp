// Stage-by-stage comparison of the post-band chain with the golden render: the golden band sums
// into the bandwidth expansion, the golden expansion outputs into the output stage. Each stage
// gets the reference input, so a difference names the stage it comes from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "dsp/bandwidth_expansion.h"
#include "dsp/output_stage.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

constexpr int kRate = 48000;
const char* const kRender = "mix48k_default_stages";

struct Columns {
    std::vector<float> y1, y2, zA, zB, outA, outB;
};

bool loadColumns(Columns& c) {
    const test::GoldenRender g = test::loadGolden(kRender);
    if (!g.loaded()) return false;
    c.y1 = g.column("Y1");
    c.y2 = g.column("Y2");
    c.zA = g.column("z_A");
    c.zB = g.column("z_B");
    c.outA = g.column("out_A");
    c.outB = g.column("out_B");
    return !c.y1.empty() && !c.y2.empty() && !c.zA.empty() && !c.zB.empty() && !c.outA.empty() &&
           !c.outB.empty();
}

#define SKIP_WITHOUT_GOLDEN(cols)                                                                  \
    Columns cols;                                                                                  \
    if (!loadColumns(cols))                                                                        \
    GTEST_SKIP() << "golden render " << kRender << ".f32 not found in " << test::goldenDir()       \
                 << ": stage comparison not run"

// Relative RMS of the difference in dB, with the first sample that parts by more than `loose`
// of the signal's RMS and the worst one-second segment, for diagnosis.
void compare(const std::vector<float>& ours, const std::vector<float>& golden, const std::string& what) {
    ASSERT_EQ(ours.size(), golden.size());
    double err = 0, sig = 0;
    for (std::size_t i = 0; i < ours.size(); ++i) {
        const double d = double(ours[i]) - golden[i];
        err += d * d;
        sig += double(golden[i]) * golden[i];
    }
    const double rel = test::toDb(std::sqrt(err / std::max(sig, 1e-30)));
    const double sigRms = std::sqrt(sig / ours.size());
    std::size_t firstApart = ours.size();
    for (std::size_t i = 0; i < ours.size() && firstApart == ours.size(); ++i)
        if (std::fabs(double(ours[i]) - golden[i]) > 0.1 * sigRms) firstApart = i;
    double worst = -1000;
    std::size_t worstAt = 0;
    for (std::size_t s = 0; s + kRate <= ours.size(); s += kRate) {
        double e = 0, g = 0;
        for (std::size_t i = s; i < s + kRate; ++i) {
            const double d = double(ours[i]) - golden[i];
            e += d * d;
            g += double(golden[i]) * golden[i];
        }
        if (g > 0 && test::toDb(std::sqrt(e / g)) > worst) {
            worst = test::toDb(std::sqrt(e / g));
            worstAt = s / kRate;
        }
    }
    EXPECT_LE(rel, -40.0) << what << ": relative RMS " << rel << " dB; first sample apart by 10% of RMS: "
                          << firstApart << "; worst second " << worstAt << " at " << worst << " dB";
    std::printf("%s: relative RMS %.1f dB, worst second %zu at %.1f dB\n", what.c_str(), rel, worstAt, worst);
}

TEST(GoldenPost, BandwidthExpansionFromGoldenBandSums) {
    SKIP_WITHOUT_GOLDEN(g);
    BandwidthExpansion be;
    be.setRate(makeRate(kRate));
    be.setControls(BandwidthExpansion::Controls{});
    be.clear();
    const std::size_t n = g.y1.size();
    std::vector<float> zA(n), zB(n);
    for (std::size_t i = 0; i < n; i += BandwidthExpansion::kMaxBlock) {
        const int k = static_cast<int>(std::min<std::size_t>(BandwidthExpansion::kMaxBlock, n - i));
        be.process(&g.y1[i], &g.y2[i], &zA[i], &zB[i], k);
    }
    compare(zA, g.zA, "z_A");
    compare(zB, g.zB, "z_B");
}

TEST(GoldenPost, OutputStageFromGoldenExpansion) {
    SKIP_WITHOUT_GOLDEN(g);
    OutputStage os;
    os.setRate(makeRate(kRate));
    os.setControls(OutputStage::Controls{});
    os.clear();
    const std::size_t n = g.zA.size();
    std::vector<float> a(n), b(n);
    for (std::size_t i = 0; i < n; i += OutputStage::kMaxBlock) {
        const int k = static_cast<int>(std::min<std::size_t>(OutputStage::kMaxBlock, n - i));
        os.process(&g.zA[i], &g.zB[i], &a[i], &b[i], k, static_cast<RingIndex>(i));
    }
    compare(a, g.outA, "out_A");
    compare(b, g.outB, "out_B");
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_LE(std::fabs(a[i]), OutputStage::kCeiling);
        ASSERT_LE(std::fabs(b[i]), OutputStage::kCeiling);
    }
}

}  // namespace
}  // namespace orvex
