// The port list as the adapter and the description generator both build it from the
// processor's declarations: symbols, ranges, units and switches.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <set>

#include "dsp/mydsp.h"
#include "lv2/adapter.h"
#include "lv2/ports.h"

namespace orvex::lv2 {
namespace {

std::vector<ControlPort> declared() {
    auto processor = std::make_unique<mydsp>();
    ControlCollector collector;
    processor->declareControls(&collector);
    return collector.controls();
}

TEST(Lv2Symbols, ReadableLowerCaseAndStable) {
    EXPECT_EQ(symbolFor("Lowpass Filter"), "lowpass_filter");
    EXPECT_EQ(symbolFor("Band 2 -> 1 Gain Linking dB"), "band_2_to_1_gain_linking_db");
    EXPECT_EQ(symbolFor("Bands 11 -> 12 Gain Linking dB"), "bands_11_to_12_gain_linking_db");
    EXPECT_EQ(symbolFor("Final 2k HF Shelf"), "final_2k_hf_shelf");
    EXPECT_EQ(symbolFor("  Trailing -- Dashes--  "), "trailing_dashes");
    EXPECT_EQ(symbolFor("2k Shelf"), "_2k_shelf");
    EXPECT_EQ(symbolFor("->"), "to");
    EXPECT_EQ(symbolFor("%%%"), "_");
}

TEST(Lv2Symbols, EveryControlHasAUniqueValidSymbol) {
    const auto controls = declared();
    ASSERT_EQ(controls.size(), static_cast<std::size_t>(ctl::kCount));
    std::set<std::string> seen = {"in", "out_a", "out_b", "latency"};
    for (const auto& c : controls) {
        EXPECT_TRUE(isValidSymbol(c.symbol)) << c.symbol;
        EXPECT_TRUE(seen.insert(c.symbol).second) << "duplicate symbol " << c.symbol;
        for (char ch : c.symbol) EXPECT_FALSE(ch >= 'A' && ch <= 'Z') << c.symbol;
    }
    EXPECT_FALSE(isValidSymbol("1abc"));
    EXPECT_FALSE(isValidSymbol("a-b"));
    EXPECT_FALSE(isValidSymbol(""));
}

TEST(Lv2Ports, RangesDefaultsUnitsAndSwitchesComeFromTheControlTable) {
    const auto controls = declared();
    int db = 0, hz = 0;
    for (int i = 0; i < ctl::kCount; ++i) {
        const ControlPort& c = controls[static_cast<std::size_t>(i)];
        const ControlDef& t = kControlTable[i];
        EXPECT_EQ(c.label, t.label);
        EXPECT_EQ(c.toggle, t.checkButton) << t.label;
        if (t.checkButton) {
            EXPECT_EQ(c.min, 0.0f);
            EXPECT_EQ(c.max, 1.0f);
            EXPECT_EQ(c.init, 0.0f);
        } else {
            EXPECT_EQ(c.min, t.min) << t.label;
            EXPECT_EQ(c.max, t.max) << t.label;
            EXPECT_EQ(c.init, t.init) << t.label;
        }
        db += c.unit == Unit::Db;
        hz += c.unit == Unit::Hz;
        // A label that names its unit gets it.
        if (c.label.find("dB") != std::string::npos) {
            EXPECT_EQ(c.unit, Unit::Db) << c.label;
        }
        if (c.label.find("Freq") != std::string::npos || c.label.find("HPF") != std::string::npos) {
            EXPECT_EQ(c.unit, Unit::Hz) << c.label;
        }
    }
    EXPECT_EQ(db, 14);
    EXPECT_EQ(hz, 3);
    EXPECT_EQ(controls[ctl::kDnrSensitivity].unit, Unit::Declared);
    EXPECT_EQ(controls[ctl::kDnrSensitivity].declaredUnit, "x");
    EXPECT_EQ(controls[ctl::kLowpassFilter].unit, Unit::Hz);
}

TEST(Lv2Ports, HostRatesBecomeWholeProcessorRates) {
    EXPECT_EQ(Plugin::processorRate(44100.0), 44100);
    EXPECT_EQ(Plugin::processorRate(44100.9), 44100);
    EXPECT_EQ(Plugin::processorRate(0.5), 1);
    EXPECT_EQ(Plugin::processorRate(-1.0), 1);
    EXPECT_EQ(Plugin::processorRate(std::numeric_limits<double>::quiet_NaN()), 1);
    EXPECT_EQ(Plugin::processorRate(1e300), 2147483520);
}

}  // namespace
}  // namespace orvex::lv2
