// Mapping typed values onto normalised parameter values, against fake plug-ins whose parameters
// behave like the kinds found in practice: linear sliders that truncate or round their display,
// a switch, a choice, a falling display and a logarithmic one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/params.h"

using namespace orvex::tools;

namespace {

struct FakeParam {
    std::string name, label;
    std::function<float(float)> plain;                // normalised -> stored value
    std::function<std::string(float stored)> display;
    float normalised = 0.0f;
    float stored = 0.0f;
};

// Sliders as Orvex maps them: min + (max - min) * x in single precision, limited, shown with
// "%d" of the truncated value or "%.*f".
FakeParam slider(std::string name, float min, float max, int precision, float init) {
    FakeParam p;
    p.name = std::move(name);
    p.plain = [=](float x) {
        const float v = (max - min) * x + min;
        return std::isnan(v) || v < min ? min : std::fmin(v, max);
    };
    p.display = [=](float z) {
        char buf[32];
        if (precision == 0) std::snprintf(buf, sizeof buf, "%d", static_cast<int>(z));
        else std::snprintf(buf, sizeof buf, "%.*f", precision, static_cast<double>(z));
        return std::string(buf);
    };
    p.normalised = (init - min) / (max - min);
    p.stored = init;
    return p;
}

class FakePlugin : public ParameterAccess {
public:
    std::vector<FakeParam> params;
    int count() override { return static_cast<int>(params.size()); }
    std::string name(int i) override { return params[i].name; }
    std::string label(int i) override { return params[i].label; }
    std::string display(int i) override { return params[i].display(params[i].stored); }
    float get(int i) override { return params[i].normalised; }
    void set(int i, float x) override {
        params[i].normalised = x;
        params[i].stored = params[i].plain(x);
    }
};

class ParamsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.params.push_back(slider("Band 1 Level dB", 0, 24, 0, 8));
        fake.params.push_back(slider("Lowpass Filter", 1000, 15000, 0, 9700));
        fake.params.push_back(slider("Noisegate Gain Scale dB Per Band", -6, 6, 1, 0.7f));
        FakeParam sw;
        sw.name = "Disable KVLN EQ";
        sw.plain = [](float x) { return x > 0.5f ? 1.0f : 0.0f; };
        sw.display = [](float z) { return std::string(z > 0.5f ? "ON" : "OFF"); };
        fake.params.push_back(sw);
        FakeParam choice;
        choice.name = "Mode";
        choice.plain = [](float x) { return std::floor(std::fmin(x * 3.0f, 2.0f)); };
        choice.display = [](float z) { return std::string(z == 0 ? "Clean" : z == 1 ? "Warm" : "Hot"); };
        fake.params.push_back(choice);
        FakeParam falling;  // 100 at 0.0 down to 0 at 1.0, rounded, with a unit
        falling.name = "Dry";
        falling.label = "%";
        falling.plain = [](float x) { return 100.0f * (1.0f - x); };
        falling.display = [](float z) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.0f %%", static_cast<double>(z));
            return std::string(buf);
        };
        fake.params.push_back(falling);
        FakeParam freq;  // logarithmic 20 Hz .. 20 kHz
        freq.name = "Frequency";
        freq.label = "Hz";
        freq.plain = [](float x) { return 20.0f * std::pow(1000.0f, x); };
        freq.display = [](float z) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.0f", static_cast<double>(z));
            return std::string(buf);
        };
        fake.params.push_back(freq);
        for (int i = 0; i < fake.count(); ++i) fake.set(i, fake.get(i));
        info = describeParameters(fake);
    }

    Assignment plain(const std::string& request) { return resolvePlain(fake, info, request); }
    std::string errorOf(const std::string& request) {
        try {
            plain(request);
        } catch (const ParameterError& e) {
            return e.what();
        }
        return "(no error)";
    }
    // The stored value once the assignment reaches the plug-in.
    float storedAfter(const Assignment& a) {
        fake.set(a.index, a.normalised);
        return fake.params[a.index].stored;
    }

    FakePlugin fake;
    std::vector<ParameterInfo> info;
};

TEST_F(ParamsTest, DescribesRangesKindsAndDefaults) {
    ASSERT_EQ(info.size(), 7u);
    EXPECT_EQ(info[1].kind, ParameterInfo::Kind::Numeric);
    EXPECT_EQ(info[1].low, 1000.0);
    EXPECT_EQ(info[1].high, 15000.0);
    EXPECT_EQ(info[1].defaultText, "9700");
    EXPECT_EQ(info[2].rangeText(), "-6.0 .. 6.0");
    EXPECT_EQ(info[2].decimals, 1);
    EXPECT_TRUE(info[3].isSwitch());
    EXPECT_EQ(info[3].rangeText(), "OFF|ON");
    EXPECT_FALSE(info[4].isSwitch());
    EXPECT_EQ(info[4].choices, (std::vector<std::string>{"Clean", "Warm", "Hot"}));
    EXPECT_EQ(info[5].low, 100.0);
    EXPECT_EQ(info[5].high, 0.0);
}

TEST_F(ParamsTest, WholeValuesLandExactlyDespiteTruncatingDisplay) {
    // Every whole number of the range: the linear estimate alone would store values such as
    // 6.9999995 on some of them, which "%d" shows one lower.
    for (int v = 0; v <= 24; ++v) {
        const Assignment a = plain("Band 1 Level dB=" + std::to_string(v));
        EXPECT_TRUE(a.exact) << v;
        EXPECT_EQ(a.display, std::to_string(v));
        EXPECT_EQ(storedAfter(a), static_cast<float>(v));
    }
    for (int v = 1000; v <= 15000; v += 700) {
        const Assignment a = plain("Lowpass Filter=" + std::to_string(v));
        EXPECT_EQ(storedAfter(a), static_cast<float>(v)) << v;
    }
    const Assignment tenth = plain("Noisegate Gain Scale dB Per Band=-2.3");
    EXPECT_EQ(tenth.display, "-2.3");
    EXPECT_NEAR(storedAfter(tenth), -2.3f, 1e-5f);
}

TEST_F(ParamsTest, ValuesFinerThanTheDisplayStillReachALinearControl) {
    const Assignment a = plain("Band 1 Level dB=7.5");
    EXPECT_FALSE(a.exact);
    EXPECT_NEAR(storedAfter(a), 7.5f, 1e-5f);
    EXPECT_EQ(a.display, "7");
}

TEST_F(ParamsTest, NonLinearAndFallingDisplaysAreSearched) {
    const Assignment f = plain("Frequency=1000");
    EXPECT_TRUE(f.exact);
    EXPECT_NEAR(storedAfter(f), 1000.0f, 0.5f);
    const Assignment withUnit = plain("frequency=440 Hz");
    EXPECT_EQ(withUnit.display, "440");
    const Assignment d = plain("Dry=25");
    EXPECT_EQ(d.display, "25 %");
    EXPECT_NEAR(d.normalised, 0.75f, 0.01f);
}

TEST_F(ParamsTest, SwitchesAndChoicesTakeTheirWords) {
    for (const char* on : {"on", "ON", "1", "true", "yes"}) {
        const Assignment a = plain(std::string("Disable KVLN EQ=") + on);
        EXPECT_EQ(a.display, "ON") << on;
        EXPECT_EQ(a.normalised, 1.0f);
    }
    for (const char* off : {"off", "0", "False"}) EXPECT_EQ(plain(std::string("Disable KVLN EQ=") + off).display, "OFF");
    EXPECT_EQ(plain("Mode=warm").display, "Warm");
    EXPECT_EQ(plain("Mode=Hot").normalised, 1.0f);
}

TEST_F(ParamsTest, IndexesAndNormalisedValues) {
    EXPECT_EQ(plain("1=12000").display, "12000");
    EXPECT_EQ(plain("3=on").display, "ON");
    const Assignment n = resolveNormalised(fake, info, "1=0.5");
    EXPECT_EQ(n.normalised, 0.5f);
    EXPECT_EQ(n.display, "8000");
    EXPECT_EQ(resolveNormalised(fake, info, "Lowpass Filter=1").display, "15000");
}

TEST_F(ParamsTest, BadRequestsExplainTheChoices) {
    const std::string unknown = errorOf("Lowpass=12000");
    EXPECT_NE(unknown.find("unknown parameter \"Lowpass\""), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("5 \"Dry\""), std::string::npos) << unknown;

    const std::string outside = errorOf("Lowpass Filter=20000");
    EXPECT_NE(outside.find("outside its range from 1000 to 15000"), std::string::npos) << outside;
    EXPECT_NE(errorOf("Lowpass Filter=999").find("outside"), std::string::npos);

    const std::string notNumber = errorOf("Lowpass Filter=high");
    EXPECT_NE(notNumber.find("is not a number; give a number from 1000 to 15000"), std::string::npos) << notNumber;
    EXPECT_NE(errorOf("Lowpass Filter=12000 Hz").find("not a number"), std::string::npos);  // it has no unit
    EXPECT_NE(errorOf("Lowpass Filter=").find("not a number"), std::string::npos);

    EXPECT_NE(errorOf("Disable KVLN EQ=maybe").find("on, off, 1, 0, true or false"), std::string::npos);
    const std::string choice = errorOf("Mode=Loud");
    EXPECT_NE(choice.find("\"Clean\", \"Warm\", \"Hot\""), std::string::npos) << choice;
    EXPECT_NE(errorOf("9=1").find("indexes run from 0 to 6"), std::string::npos);
    EXPECT_NE(errorOf("no equals sign").find("NAME=VALUE"), std::string::npos);

    EXPECT_THROW(resolveNormalised(fake, info, "1=1.5"), ParameterError);
    EXPECT_THROW(resolveNormalised(fake, info, "1=-0.1"), ParameterError);
    EXPECT_THROW(resolveNormalised(fake, info, "1=half"), ParameterError);
}

TEST(LeadingNumber, ReadsDisplayTexts) {
    EXPECT_EQ(leadingNumber("12000"), 12000.0);
    EXPECT_EQ(leadingNumber(" -6.0 dB"), -6.0);
    EXPECT_EQ(leadingNumber("0.7"), 0.7);
    EXPECT_FALSE(leadingNumber("OFF"));
    EXPECT_FALSE(leadingNumber(""));
    EXPECT_FALSE(leadingNumber("0x1F"));
    EXPECT_FALSE(leadingNumber("nan"));
}

}  // namespace
