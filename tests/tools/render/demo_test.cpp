// The demonstration programme has the sections it promises, measured per stretch of time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/support/signals.h"
#include "tools/render/demo.h"

namespace {

using orvex::tools::kDemoRate;

double rmsDb(const std::vector<float>& x, double from, double to) {
    const auto a = static_cast<std::size_t>(from * kDemoRate), b = static_cast<std::size_t>(to * kDemoRate);
    return orvex::test::toDb(orvex::test::rms(x.data() + a, b - a));
}

TEST(DemoProgramme, SectionsAndLevels) {
    const std::vector<float> x = orvex::tools::synthesiseDemo();
    ASSERT_EQ(x.size(), 30u * kDemoRate);
    EXPECT_EQ(x, orvex::tools::synthesiseDemo());  // the same on every run

    // Speech: loud overall, with pauses: some 50 ms stretches are silent, most are not.
    int pauses = 0, voiced = 0;
    for (double t = 0.2; t < 8.9; t += 0.05) (rmsDb(x, t, t + 0.05) < -60.0 ? pauses : voiced) += 1;
    EXPECT_GT(pauses, 10);
    EXPECT_GT(voiced, 2 * pauses);
    EXPECT_NEAR(rmsDb(x, 0.0, 9.0), -21.0, 0.5);

    // Music: continuous (no silent stretch) and quieter than the speech.
    double quietest = 0.0;
    for (double t = 9.1; t < 19.8; t += 0.05) quietest = std::min(quietest, rmsDb(x, t, t + 0.05));
    EXPECT_GT(quietest, -45.0);
    EXPECT_LT(rmsDb(x, 9.0, 15.9), -25.0);

    // The transient near 16 s is by far the loudest moment, and nothing clips.
    const std::size_t loudest = orvex::test::argMaxAbs(x);
    EXPECT_NEAR(static_cast<double>(loudest) / kDemoRate, 16.0, 0.05);
    EXPECT_GT(std::fabs(x[loudest]), 0.7f);
    EXPECT_LT(std::fabs(x[loudest]), 1.0f);

    // Near-silence, then quieter speech.
    EXPECT_NEAR(rmsDb(x, 20.0, 25.0), -70.0, 1.0);
    EXPECT_NEAR(rmsDb(x, 25.0, 30.0), -33.0, 0.5);
}

}  // namespace
