// Parameters of a playing instance by name or index through the test plug-in ("Gain" in dB,
// "Invert Right" on/off, "Colour" a choice), and the live loudness meter against known levels.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/common/param_control.h"
#include "tools/common/vst_loader.h"
#if ORVEX_TOOLS_WITH_EBUR128
#include "tools/common/running_loudness.h"
#endif

using namespace orvex::tools;

TEST(ParameterControl, SetsAndReadsThePlayingInstanceOnly) {
    PluginLibrary library(TEST_PLUGIN_GOOD);
    PluginInstance playing(library, 48000.0, 256);
    ParameterControl control(library, playing, 48000.0, 256);
    ASSERT_EQ(control.parameters().size(), 3u);

    ParameterReading r = control.set("Gain=6");
    EXPECT_EQ(r.name, "Gain");
    EXPECT_EQ(r.display, "6.0");
    EXPECT_EQ(r.label, "dB");
    EXPECT_EQ(playing.parameterDisplay(0), "6.0");
    r = control.set("1", "on");
    EXPECT_EQ(r.name, "Invert Right");
    EXPECT_EQ(playing.parameterDisplay(1), "ON");
    r = control.set("colour", "Hot");
    EXPECT_EQ(control.read("Colour").display, "Hot");
    r = control.setNormalised("0=0.25");
    EXPECT_EQ(control.read(0).display, "-12.0");

    // What cannot be done changes nothing.
    const float gain = playing.getParameter(0), invert = playing.getParameter(1);
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"Gain", "nan"}, {"Gain", "inf"}, {"Gain", "30"}, {"Gain", "loud"}, {"Gain", ""}, {"Invert Right", "maybe"},
             {"Volume", "1"}, {"3", "1"}, {"-1", "1"}}) {
        EXPECT_THROW(control.set(key, value), ParameterError) << key << "=" << value;
    }
    EXPECT_THROW(control.set("Gain"), ParameterError);
    EXPECT_THROW(control.read("Volume"), ParameterError);
    EXPECT_EQ(playing.getParameter(0), gain);
    EXPECT_EQ(playing.getParameter(1), invert);

    // A probe at another rate reads the same parameters.
    control.setRate(44100.0);
    EXPECT_EQ(control.parameters().size(), 3u);
    EXPECT_EQ(control.set("Gain=-3").display, "-3.0");
}

// The live-host marks: the plug-in hears that it runs in real time on the thread that processes,
// and the host's product name.
TEST(ParameterControl, LiveHostAnswers) {
    PluginLibrary library(TEST_PLUGIN_GOOD);
    PluginInstance playing(library, 48000.0, 256);
    playing.host().realtime = true;
    playing.host().product = "orvex-live";
    char product[kVstMaxProductStrLen + 1] = "";
    hostCallback(playing.effect(), audioMasterGetProductString, 0, 0, product, 0.0f);
    EXPECT_STREQ(product, "orvex-live");
    EXPECT_EQ(hostCallback(playing.effect(), audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0.0f),
              kVstProcessLevelUser);
    const std::size_t logged = playing.host().requests.size();
    playing.resume();
    std::vector<float> in(64, 0.0f), out(64 * 2, 0.0f);
    float* ins[2] = {in.data(), in.data()};
    float* outs[2] = {out.data(), out.data() + 64};
    playing.process(ins, outs, 64);
    EXPECT_EQ(hostCallback(playing.effect(), audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0.0f),
              kVstProcessLevelRealtime);
    EXPECT_EQ(playing.host().requests.size(), logged) << "a live host logs nothing once it runs";
}

#if ORVEX_TOOLS_WITH_EBUR128
// A 997 Hz sine at -20 dBFS on both channels reads -20 LUFS (BS.1770's reference); one channel
// counts twice (dual mono). The true peak comes once and then starts again.
TEST(RunningLoudness, ReadsKnownLevels) {
    const int rate = 48000;
    std::vector<float> mono(static_cast<std::size_t>(3.5 * rate)), stereo(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i) {
        mono[i] = 0.1f * static_cast<float>(std::sin(2.0 * M_PI * 997.0 * static_cast<double>(i) / rate));
        stereo[2 * i] = stereo[2 * i + 1] = mono[i];
    }
    RunningLoudness one(1, rate), two(2, rate);
    EXPECT_TRUE(std::isinf(one.momentaryLufs()));
    one.add(mono.data(), mono.size());
    two.add(stereo.data(), mono.size());
    EXPECT_NEAR(one.momentaryLufs(), -20.0, 0.1);
    EXPECT_NEAR(one.shortTermLufs(), -20.0, 0.1);
    EXPECT_NEAR(two.shortTermLufs(), one.shortTermLufs(), 1e-9);
    EXPECT_NEAR(one.takeTruePeak(), 0.1, 0.002);
    EXPECT_EQ(one.takeTruePeak(), 0.0);
    std::vector<float> silence(static_cast<std::size_t>(rate), 0.0f);
    one.add(silence.data(), silence.size());
    EXPECT_LT(one.momentaryLufs(), -70.0);  // the weighting filters' tail, far below the gate
}
#endif
