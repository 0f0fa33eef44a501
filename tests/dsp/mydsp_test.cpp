// The processor's declared interface: controls, metadata, rates, rate codes and lifecycle.
#include "dsp/mydsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/signals.h"

namespace orvex {
namespace {

// Records every collector call as one line of text, with zones as control indices.
class RecordingCollector : public UI {
public:
    explicit RecordingCollector(mydsp& d) : fDsp(d) {}
    std::vector<std::string> calls;

    void openTabGroup(const char* label) override { calls.push_back(std::string("tab ") + label); }
    void openRowGroup(const char* label) override { calls.push_back(std::string("row ") + label); }
    void openColumnGroup(const char* label) override { calls.push_back(std::string("column ") + label); }
    void closeGroup() override { calls.push_back("close"); }
    void addButton(const char* label, float* zone) override { calls.push_back("button " + at(zone) + label); }
    void addCheckButton(const char* label, float* zone) override {
        calls.push_back("check " + at(zone) + label);
    }
    void addVerticalFader(const char* label, float* zone, float, float, float, float) override {
        calls.push_back("vfader " + at(zone) + label);
    }
    void addHorizontalFader(const char* label, float* zone, float init, float min, float max,
                            float step) override {
        calls.push_back("fader " + at(zone) + label + " " + num(init) + " " + num(min) + " " + num(max) + " " +
                        num(step));
    }
    void addNumberBox(const char* label, float* zone, float, float, float, float) override {
        calls.push_back("number " + at(zone) + label);
    }
    void addHorizontalMeter(const char* label, float* zone, float, float) override {
        calls.push_back("hmeter " + at(zone) + label);
    }
    void addVerticalMeter(const char* label, float* zone, float, float) override {
        calls.push_back("vmeter " + at(zone) + label);
    }
    void addSoundSlot(const char* label, const char*, void**) override { calls.push_back(std::string("sound ") + label); }
    void attachMetadata(float* zone, const char* key, const char* value) override {
        calls.push_back("meta " + at(zone) + key + "=" + value);
    }

private:
    mydsp& fDsp;
    std::string at(float* zone) {
        char b[16];
        int index = -1;
        for (int i = 0; i < ctl::kCount; ++i)
            if (fDsp.control(i) == zone) index = i;
        std::snprintf(b, sizeof b, "#%d ", index);
        return b;
    }
    static std::string num(float v) {
        char b[32];
        std::snprintf(b, sizeof b, "%g", static_cast<double>(v));
        return b;
    }
};

TEST(ControlDeclaration, CollectorSeesTheExactSequence) {
    auto d = std::make_unique<mydsp>();  // declaration does not need init
    RecordingCollector rec(*d);
    d->declareControls(&rec);
    const std::vector<std::string> expected = {
        "column Kolmar_VELDA-KT19h40",
        "fader #0 Band 1 Level dB 8 0 24 1",
        "fader #1 Band 1 Noisegate Gain Trim dB -15 -90 50 1",
        "fader #2 Band 2 -> 1 Gain Linking dB -6 -24 0 1",
        "fader #3 Bands 11 -> 12 Gain Linking dB -10 -24 0 1",
        "fader #4 Bands 5678 Gain Linking dB -3 -24 0 1",
        "fader #5 Lowpass Filter 9700 1000 15000 100",
        "fader #6 Master Noisegate Gain 40 0 90 1",
        "fader #7 Multiband EQ Band 1 Threshold -20 -70 0 1",
        "fader #8 Multiband EQ Master Threshold -35 -70 0 1",
        "fader #9 Noisegate Gain Scale dB Per Band 0.7 -6 6 0.1",
        "meta #10 controls=00",
        "check #10 Disable KVLN EQ",
        "meta #11 controls=90",
        "fader #11 Output AGC Threshold -4 -12 3 1",
        "meta #12 controls=94",
        "fader #12 Bandwidth Expansion Input HPF 4900 2000 8000 1",
        "meta #13 controls=95",
        "fader #13 Bandwidth Expansion Limiter Threshold -60 -96 20 1",
        "meta #14 controls=97",
        "fader #14 Bandwidth Expansion HF Detection Freq 8000 5000 10000 100",
        "meta #15 controls=98",
        "fader #15 Bandwidth Expansion HF Detection Gain 28 0 50 1",
        "meta #16 controls=999",
        "fader #16 Final 2k HF Shelf -6 -12 0 1",
        "meta #17 controls=99",
        "fader #17 Bandwidth Expansion Level -33 -96 24 1",
        "meta #18 da=",
        "meta #18 unit=x",
        "fader #18 DNR Sensitivity 300 10 300 1",
        "meta #19 sa=",
        "check #19 DNR LPF Disable",
        "close",
    };
    EXPECT_EQ(rec.calls, expected);

    int groups = 0, metas = 0, faders = 0, checks = 0, closes = 0;
    for (const auto& c : rec.calls) {
        groups += c.rfind("column ", 0) == 0;
        metas += c.rfind("meta ", 0) == 0;
        faders += c.rfind("fader ", 0) == 0;
        checks += c.rfind("check ", 0) == 0;
        closes += c == "close";
    }
    EXPECT_EQ(groups, 1);
    EXPECT_EQ(metas, 11);
    EXPECT_EQ(faders, 18);
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(closes, 1);
}

TEST(ControlDeclaration, ControlAccessorAddressesTheDeclaredCells) {
    mydsp d;
    d.init(48000);
    EXPECT_EQ(d.control(-1), nullptr);
    EXPECT_EQ(d.control(ctl::kCount), nullptr);
    EXPECT_EQ(*d.control(ctl::kGateScalePerBand), 0.7f);
    EXPECT_EQ(*d.control(ctl::kDnrSensitivity), 300.0f);
    EXPECT_EQ(*d.control(ctl::kDisableKvlnEq), 0.0f);
    EXPECT_EQ(*d.control(ctl::kDnrDisable), 0.0f);
    EXPECT_EQ(*d.control(ctl::kLowpassFilter), 9700.0f);
}

TEST(Metadata, TwentyFourEntriesWithIdentity) {
    mydsp d;
    Meta table;
    d.declareMetadata(&table);
    EXPECT_EQ(table.size(), 24u);
    ASSERT_NE(table.get("version"), nullptr);
    EXPECT_STREQ(table.get("version"), "q4t8");
    EXPECT_STREQ(table.get("Unique_ID"), "q4t8");
    EXPECT_STREQ(table.get("author"), "Kolmar");
    EXPECT_STREQ(table.get("name"), "Kolmar_VELDA-KT19h40");
    EXPECT_EQ(table.get("id"), nullptr);
    // Declaring twice replaces, it does not add.
    d.declareMetadata(&table);
    EXPECT_EQ(table.size(), 24u);
}

TEST(RateCodes, ChannelsAndNonChannels) {
    mydsp d;
    EXPECT_EQ(d.inputCount(), 2);
    EXPECT_EQ(d.outputCount(), 2);
    EXPECT_EQ(d.inputRateCode(0), 1);
    EXPECT_EQ(d.inputRateCode(1), 0);
    EXPECT_EQ(d.inputRateCode(2), -1);
    EXPECT_EQ(d.inputRateCode(-1), -1);
    EXPECT_EQ(d.outputRateCode(0), 1);
    EXPECT_EQ(d.outputRateCode(1), 1);
    EXPECT_EQ(d.outputRateCode(2), -1);
    EXPECT_EQ(d.outputRateCode(-1), -1);
}

std::vector<float> render(mydsp& d, const std::vector<float>& in, int channel) {
    std::vector<float> x = in, a(in.size()), b(in.size());
    float* ins[2] = {x.data(), nullptr};
    float* outs[2] = {a.data(), b.data()};
    d.compute(static_cast<int>(in.size()), ins, outs);
    return channel == 0 ? a : b;
}

TEST(Rate, ClampsAndStoresTheGivenInteger) {
    mydsp d;
    for (int rate : {0, -1, -44100}) {
        d.init(rate);
        EXPECT_EQ(d.storedRate(), rate);
        EXPECT_EQ(d.workingRate().fs, 1.0f);
    }
    d.init(384000);
    EXPECT_EQ(d.storedRate(), 384000);
    EXPECT_EQ(d.workingRate().fs, 192000.0f);
    d.init(44100);
    EXPECT_EQ(d.workingRate().fs, 44100.0f);

    // Rates beyond the clamp run on exactly the coefficients of 192000 Hz.
    const auto in = test::musicLike(192000, 40000, 3);
    mydsp lo, hi;
    lo.init(192000);
    hi.init(384000);
    EXPECT_EQ(render(lo, in, 0), render(hi, in, 0));
    EXPECT_EQ(render(lo, in, 1), render(hi, in, 1));
    mydsp zero, minus;
    zero.init(0);
    minus.init(-1);
    const auto tiny = test::noise(3000, 5, 0.5f);
    EXPECT_EQ(render(zero, tiny, 0), render(minus, tiny, 0));
}

TEST(Rate, DesignValuesAt44100) {
    const Rate r = makeRate(44100);
    auto near6 = [](double got, double want) { EXPECT_NEAR(got, want, std::fabs(want) * 5e-6) << want; };
    near6(prewarp(r, 5000.0f), 0.372059);
    near6(1.0f / prewarp(r, 40.0f), 350.936);
    near6(smoothing(r, 500.0f), 0.988726);
    near6(smoothing(r, 2.0f), 0.999955);
    near6(smoothing(r, 20.0f), 0.999547);
}

TEST(Lifecycle, SetupForRateRestoresControlsButRateConstantsAloneDoNot) {
    mydsp d;
    d.init(48000);
    *d.control(ctl::kLowpassFilter) = 3000.0f;
    *d.control(ctl::kDnrDisable) = 1.0f;
    d.computeRateConstants(44100);
    EXPECT_EQ(*d.control(ctl::kLowpassFilter), 3000.0f);
    EXPECT_EQ(*d.control(ctl::kDnrDisable), 1.0f);
    EXPECT_EQ(d.storedRate(), 44100);
    d.setupForRate(44100);
    EXPECT_EQ(*d.control(ctl::kLowpassFilter), 9700.0f);
    EXPECT_EQ(*d.control(ctl::kDnrDisable), 0.0f);
}

TEST(Lifecycle, CloneIsAFreshObjectThatMatchesAfterInit) {
    mydsp d;
    d.init(48000);
    *d.control(ctl::kLowpassFilter) = 2000.0f;
    const auto in = test::musicLike(48000, 6000, 9);
    render(d, in, 0);
    std::unique_ptr<dsp> c(d.clone());
    auto* copy = dynamic_cast<mydsp*>(c.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->storedRate(), 0);
    EXPECT_EQ(*copy->control(ctl::kLowpassFilter), 0.0f);
    copy->init(48000);
    mydsp fresh;
    fresh.init(48000);
    EXPECT_EQ(render(*copy, in, 0), render(fresh, in, 0));
}

TEST(Lifecycle, RateChangeWithoutClearKeepsStateAndRingIndex) {
    mydsp d;
    d.init(48000);
    const auto in = test::musicLike(48000, 1000, 2);
    render(d, in, 0);
    d.computeRateConstants(96000);
    EXPECT_EQ(d.currentRingIndex(), 1000u);
    d.clearState();
    EXPECT_EQ(d.currentRingIndex(), 0u);
    EXPECT_EQ(d.storedRate(), 96000);
}

}  // namespace
}  // namespace orvex
