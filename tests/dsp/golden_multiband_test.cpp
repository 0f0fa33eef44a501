// The multiband section fed with the reference render's input-stage outputs, compared with the
// reference band sums.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "dsp/flush_to_zero.h"
#include "dsp/multiband.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

constexpr int kRate = 48000;

// RMS of (ours - reference) relative to the reference's RMS, in dB, over [from, to).
double relativeDiffDb(const std::vector<float>& ours, const std::vector<float>& ref, std::size_t from, std::size_t to) {
    double d2 = 0.0, r2 = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        const double d = double(ours[i]) - ref[i];
        d2 += d * d;
        r2 += double(ref[i]) * ref[i];
    }
    if (r2 == 0.0) return d2 == 0.0 ? -300.0 : 300.0;
    return 10.0 * std::log10(d2 / r2);
}

TEST(GoldenMultiband, BandSumsFollowTheReferenceRender) {
    const test::GoldenRender g = test::loadGolden("mix48k_default_stages");
    if (!g.loaded())
        GTEST_SKIP() << "reference render mix48k_default_stages.f32 is not in " << test::goldenDir()
                     << "; multiband conformance not checked";
    const auto v = g.column("v"), r = g.column("r"), y1Ref = g.column("Y1"), y2Ref = g.column("Y2");
    ASSERT_FALSE(v.empty() || r.empty() || y1Ref.empty() || y2Ref.empty()) << "columns missing";

    // The reference ran with flush-to-zero on, as the plug-in's audio thread does.
    std::optional<FlushToZero> flush(std::in_place);
    auto s = std::make_unique<MultibandSection>();
    s->setRate(makeRate(kRate));
    s->setControls(MultibandSection::defaultControls());
    s->clear();
    const std::size_t n = v.size();
    std::vector<float> y1(n), y2(n);
    for (std::size_t pos = 0; pos < n; pos += MultibandSection::kMaxBlock) {
        const int len = static_cast<int>(std::min<std::size_t>(MultibandSection::kMaxBlock, n - pos));
        s->process(&v[pos], &r[pos], &y1[pos], &y2[pos], len, static_cast<RingIndex>(pos));
    }
    flush.reset();

    EXPECT_LE(relativeDiffDb(y1, y1Ref, 0, n), -40.0);
    EXPECT_LE(relativeDiffDb(y2, y2Ref, 0, n), -40.0);
    for (std::size_t from = 0; from + kRate <= n; from += kRate) {
        double ref2 = 0.0;
        for (std::size_t i = from; i < from + kRate; ++i) ref2 += double(y1Ref[i]) * y1Ref[i];
        if (ref2 < 1e-12 * kRate) continue;  // a silent second: nothing to compare against
        EXPECT_LE(relativeDiffDb(y1, y1Ref, from, from + kRate), -30.0) << "second " << from / kRate;
        EXPECT_LE(relativeDiffDb(y2, y2Ref, from, from + kRate), -30.0) << "second " << from / kRate;
    }
}

}  // namespace
}  // namespace orvex
