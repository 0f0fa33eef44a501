// Conformance of the input stage with the reference render of the default settings.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/mydsp.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

double relativeDiffDb(const std::vector<float>& ours, const std::vector<float>& ref) {
    double e = 0.0, s = 0.0;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        const double d = static_cast<double>(ours[i]) - ref[i];
        e += d * d;
        s += static_cast<double>(ref[i]) * ref[i];
    }
    return 10.0 * std::log10(std::max(e, 1e-300) / std::max(s, 1e-300));
}

TEST(GoldenInputStage, DefaultsMatchTheReferenceRender) {
    const auto g = test::loadGolden("mix48k_default_stages");
    if (!g.loaded())
        GTEST_SKIP() << "golden render mix48k_default_stages.f32 not found in " << test::goldenDir()
                     << "; input-stage conformance not checked";
    const auto in = g.column("in"), refV = g.column("v"), refR = g.column("r");
    ASSERT_FALSE(in.empty());
    ASSERT_EQ(refV.size(), in.size());
    ASSERT_EQ(refR.size(), in.size());

    mydsp d;
    d.init(48000);
    std::vector<float> v(in.size()), r(in.size()), a(512), b(512);
    StageTap tap{.v = v.data(), .r = r.data(), .capacity = in.size()};
    d.attachTap(&tap);
    std::vector<float> x = in;
    for (std::size_t at = 0; at < x.size(); at += 512) {
        const int n = static_cast<int>(std::min<std::size_t>(512, x.size() - at));
        float* ins[2] = {x.data() + at, nullptr};
        float* outs[2] = {a.data(), b.data()};
        d.compute(n, ins, outs);
    }
    ASSERT_EQ(tap.written, in.size());
    EXPECT_LE(relativeDiffDb(v, refV), -50.0);
    EXPECT_LE(relativeDiffDb(r, refR), -50.0);

    // Per second, for diagnosis of where the renders part.
    for (std::size_t s = 0; s + 48000 <= in.size(); s += 48000) {
        const std::vector<float> ov(v.begin() + s, v.begin() + s + 48000), gv(refV.begin() + s, refV.begin() + s + 48000);
        if (test::rms(gv) > 1e-4) {
            EXPECT_LE(relativeDiffDb(ov, gv), -30.0) << "second " << s / 48000;
        }
    }
}

TEST(GoldenInputStage, StandaloneStageMatchesTheTap) {
    // The stage unit fed from the processor's own cells gives what the processor computes.
    mydsp d;
    d.init(48000);
    const auto in = test::musicLike(48000, 20000, 3);
    std::vector<float> v(in.size()), r(in.size()), a(in.size()), b(in.size()), x = in;
    StageTap tap{.v = v.data(), .r = r.data(), .capacity = in.size()};
    d.attachTap(&tap);
    float* ins[2] = {x.data(), nullptr};
    float* outs[2] = {a.data(), b.data()};
    d.compute(static_cast<int>(in.size()), ins, outs);

    InputStage s;
    s.setRate(makeRate(48000));
    float cells[ctl::kCount];
    for (int i = 0; i < ctl::kCount; ++i) cells[i] = *d.control(i);
    s.setControls(inputControlsFrom(cells));
    s.clear();
    std::vector<float> sv(in.size()), sr(in.size());
    s.process(in.data(), sv.data(), sr.data(), static_cast<int>(in.size()), 0);
    EXPECT_EQ(sv, v);
    EXPECT_EQ(sr, r);
}

}  // namespace
}  // namespace orvex
