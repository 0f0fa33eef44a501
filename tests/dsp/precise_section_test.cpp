// Low-frequency sections at high rates: the float recursion cannot place poles that close to
// z = 1, so those sections run in double precision. The switch must leave the common rates on
// the float form and give sound sections where it takes over.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/blocks/precise_section.h"
#include "dsp/blocks/sections.h"
#include "tests/support/signals.h"

namespace orvex {
namespace {

const Prototype kLowpass{kButterworth2[0], 1.0f, 0.0f, 0.0f, 1.0f};

TEST(PreciseSection, TakesOverOnlyWhereSinglePrecisionCannotResolveTheSection) {
    for (int rate : {44100, 48000}) EXPECT_FALSE(needsPreciseSection(kLowpass, makeRate(rate), 10.0f)) << rate;
    for (int rate : {96000, 192000}) EXPECT_TRUE(needsPreciseSection(kLowpass, makeRate(rate), 10.0f)) << rate;
    // Higher corners stay on the float form even at the top rate.
    EXPECT_FALSE(needsPreciseSection(kLowpass, makeRate(192000), 100.0f));
}

TEST(PreciseSection, TenHertzLowpassAtTheTopRateHasUnityGainAndStaysBounded) {
    const Rate r = makeRate(192000);
    PreciseBiquad s;
    s.design(kLowpass, r, 10.0f);
    // A DC level of 1e-5 (the noise-reduction detector's floor) for ten seconds.
    float y = 0.0f;
    for (int i = 0; i < 10 * 192000; ++i) y = s.step(1.0e-5f);
    EXPECT_NEAR(y, 1.0e-5f, 1.0e-9f);

    // -3 dB at the corner, as a second-order Butterworth section has.
    s.clear();
    const std::vector<float> tone = test::sine(10.0, 192000.0, 192000 * 3);
    std::vector<float> out(tone.size());
    for (std::size_t i = 0; i < tone.size(); ++i) out[i] = s.step(tone[i]);
    EXPECT_NEAR(test::toDb(test::toneAmplitude(out, 10.0, 192000.0, 192000)), -3.01, 0.05);
}

TEST(PreciseSection, MatchesTheFloatSectionWhereBothAreSound) {
    // At 48 kHz a 100 Hz section is inside float resolution: both forms agree down to the float
    // form's own rounding noise (about -65 dB); a design slip would show near 0 dB.
    const Rate r = makeRate(48000);
    PreciseBiquad precise;
    precise.design(kLowpass, r, 100.0f);
    const BiquadCoefs k = butterworthLowpass(1.0f / prewarp(r, 100.0f), kButterworth2[0]);
    BiquadState st;
    const std::vector<float> x = test::noise(48000, 5, 0.5f);
    double err = 0.0, ref = 0.0;
    for (float v : x) {
        const float a = precise.step(v), b = step(k, st, v);
        err += (a - b) * double(a - b);
        ref += double(a) * a;
    }
    EXPECT_LT(10.0 * std::log10(err / ref), -55.0);
}

}  // namespace
}  // namespace orvex
