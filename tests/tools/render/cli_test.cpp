// orvex-render run as a user runs it: exit status, the one-line messages, the report, and that a
// failed run leaves no file behind. With the Orvex module in the build, its parameter list, the
// settings by name and index, and the demo; with zam-plugins installed, third-party plug-ins that
// export only the legacy entry name.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"

using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

using RunResult = orvex::test::Outcome;
using orvex::test::slurp;

RunResult run(const TempDir& dir, const std::vector<std::string>& args) {
    return orvex::test::runIn(dir, ORVEX_RENDER, args);
}





class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeAudio(dir.file("in.wav"), 48000, 1, orvex::test::noise(4800, 1, 0.3f), SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    }
    // The message of a failed run that must be one line, with `status`, and leave no files but
    // those that were there.
    std::string failing(const std::vector<std::string>& args, int status = 1) {
        const auto before = dir.entries();
        const RunResult r = run(dir, args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_EQ(r.errLines(), 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(dir.entries().size(), before.size()) << r.err;
        EXPECT_EQ(r.err.rfind("orvex-render: ", 0), 0u) << r.err;
        return r.err;
    }
    TempDir dir;
};

TEST_F(CliTest, HelpAndMalformedCommandLines) {
    const RunResult help = run(dir, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage:"), std::string::npos);
    EXPECT_NE(help.out.find("--set-normalised INDEX=X"), std::string::npos);

    const std::string plugin = TEST_PLUGIN_GOOD;
    EXPECT_NE(failing({"--plugin", plugin}, 2).find("give an INPUT and an OUTPUT"), std::string::npos);
    EXPECT_NE(failing({"--plugin", plugin, "--frobnicate", "in.wav", "o.wav"}, 2).find("unknown option --frobnicate"),
              std::string::npos);
    EXPECT_NE(failing({"--block", "0", "in.wav", "o.wav"}, 2).find("--block takes a whole number"), std::string::npos);
    EXPECT_NE(failing({"--block"}, 2).find("--block needs a value"), std::string::npos);
    EXPECT_NE(failing({"--block=0", "in.wav", "o.wav"}, 2).find("--block takes a whole number"), std::string::npos);
    // A switch given a value would otherwise be read as on whatever the value says.
    EXPECT_NE(failing({"--keep-latency=no", "in.wav", "o.wav"}, 2).find("--keep-latency takes no value"),
              std::string::npos);
    EXPECT_NE(failing({"--input", "centre", "in.wav", "o.wav"}, 2).find("choose mix, left or right"), std::string::npos);
    EXPECT_NE(failing({"--format", "8", "in.wav", "o.wav"}, 2).find("choose 16, 24 or float"), std::string::npos);
    EXPECT_NE(failing({"--plugin", plugin, dir.file("in.wav"), dir.file("in.wav")}, 2).find("is the input file"),
              std::string::npos);
}

TEST_F(CliTest, EveryBadInputIsOneLineAndNoFile) {
    const std::string good = TEST_PLUGIN_GOOD, in = dir.file("in.wav"), out = dir.file("out.wav");
    writeAudio(dir.file("empty.wav"), 48000, 1, {});
    writeAudio(dir.file("quad.wav"), 48000, 4, std::vector<float>(400, 0.1f));
    std::ofstream(dir.file("in.m4a")) << std::string(2000, '\x5a');
    std::ofstream(dir.file("junk.so")) << "junk";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--plugin", good, dir.file("nothing.wav"), out}, "cannot open \"" + dir.file("nothing.wav") + "\": No such file"},
        {{"--plugin", good, dir.file("."), out}, "it is a directory"},
        {{"--plugin", good, dir.file("in.m4a"), out}, "not an audio file this program reads"},
        {{"--plugin", good, dir.file("junk.so"), out}, "not an audio file this program reads"},
        {{"--plugin", good, dir.file("empty.wav"), out}, "holds no audio (zero length)"},
        {{"--plugin", good, dir.file("quad.wav"), out}, "has 4 channels; give a mono file or a stereo one"},
        {{"--plugin", dir.file("absent.so"), in, out}, "cannot load plug-in"},
        {{"--plugin", dir.file("junk.so"), in, out}, "cannot load plug-in"},
        {{"--plugin", TEST_PLUGIN_NOENTRY, in, out}, "exports neither VSTPluginMain nor main"},
        {{"--plugin", TEST_PLUGIN_NULL, in, out}, "failed to create an effect (VSTPluginMain returned null)"},
        {{"--plugin", TEST_PLUGIN_BADMAGIC, in, out}, "wrong magic number"},
        {{"--plugin", TEST_PLUGIN_NOOUTPUTS, in, out}, "has no audio outputs"},
        {{"--plugin", good, "--format", "float", in, dir.file("out.flac")}, "FLAC holds integer samples only"},
        {{"--plugin", good, in, dir.file("out.ogx")}, "must be a file of a type this program writes"},
        {{"--plugin", good, "--set", "Volume=3", in, out}, "unknown parameter \"Volume\"; choose one of: 0 \"Gain\", 1 \"Invert Right\", 2 \"Colour\""},
        {{"--plugin", good, "--set", "Gain=30", in, out}, "outside its range from -24 to 24 dB"},
        {{"--plugin", good, "--set", "Gain=loud", in, out}, "is not a number"},
        {{"--plugin", good, "--set", "Colour=Blue", in, out}, "\"Clean\", \"Warm\", \"Hot\""},
        {{"--plugin", good, "--set-normalised", "0=2", in, out}, "must be a number from 0 to 1"},
    };
    for (const Case& c : cases) {
        const std::string err = failing(c.args);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_FALSE(orvex::test::exists(out));
}

TEST_F(CliTest, RendersAndReports) {
    const std::string out = dir.file("out.flac");
    const RunResult text = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--block", "100", "--set", "Gain=-6",
                               dir.file("in.wav"), out});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_TRUE(text.err.empty()) << text.err;  // no progress bar when stderr is not a terminal
    EXPECT_NE(text.out.find("entry VSTPluginMain"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("latency 37 samples removed"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\"Gain\" = -6.0"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("LUFS"), std::string::npos);
    EXPECT_NE(text.out.find("real time"), std::string::npos);
    const auto audio = readAudio(out);
    EXPECT_EQ(audio.frames(), 4800u);
    EXPECT_EQ(audio.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);

    // The legacy test plug-in prints on standard output; the report stays a clean JSON line.
    const RunResult json = run(dir, {"--plugin", TEST_PLUGIN_LEGACY, "--json", "--keep-latency", dir.file("in.wav"), dir.file("raw.wav")});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1);
    for (const char* key : {"\"latency_samples\":37", "\"latency_compensated\":false", "\"sample_rate\":48000",
                            "\"frames\":4800", "\"integrated_lufs\":", "\"true_peak_dbtp\":", "\"realtime_factor\":",
                            "\"entry\":\"main\""})
        EXPECT_NE(json.out.find(key), std::string::npos) << key << " in " << json.out;
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_NE(json.err.find("legacy test plug-in opened"), std::string::npos);

    // Silence has no loudness: JSON says null, the text says -inf.
    writeAudio(dir.file("silence.wav"), 48000, 1, std::vector<float>(48000, 0.0f));
    const RunResult quiet = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--json", dir.file("silence.wav"), dir.file("s.wav")});
    EXPECT_NE(quiet.out.find("\"integrated_lufs\":null,\"range_lu\":0.00,\"true_peak_dbtp\":null,\"sample_peak_dbfs\":null"),
              std::string::npos) << quiet.out;
}

TEST_F(CliTest, APluginCrashLeavesNoPartialFile) {
    const auto before = dir.entries().size();
    const RunResult r = run(dir, {"--plugin", TEST_PLUGIN_CRASH, "--block", "64", dir.file("in.wav"), dir.file("out.wav")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("fatal signal during the render; no output written"), std::string::npos) << r.err;
    EXPECT_EQ(dir.entries().size(), before);
}

#ifdef ORVEX_MODULE_PATH
TEST_F(CliTest, OrvexParametersAreListedAndSet) {
    // Found without --plugin: the build puts the module where the program looks.
    const RunResult list = run(dir, {"--list-params"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 21) << list.out;  // heading and 20 rows
    for (const char* row : {"Band 1 Level dB", "Lowpass Filter                               1000 .. 15000  0.621429    9700",
                            "Noisegate Gain Scale dB Per Band             -6.0 .. 6.0    0.558333    0.7",
                            "Disable KVLN EQ                              OFF|ON         0           OFF",
                            "DNR Sensitivity                        x     10 .. 300      1           300"})
        EXPECT_NE(list.out.find(row), std::string::npos) << row << "\n" << list.out;

    const RunResult json = run(dir, {"--plugin", ORVEX_MODULE_PATH, "--list-params", "--json"});
    ASSERT_EQ(json.status, 0);
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '{'), 21);
    EXPECT_NE(json.out.find("{\"index\":19,\"name\":\"DNR LPF Disable\",\"label\":\"\",\"kind\":\"switch\""), std::string::npos);

    const RunResult set = run(dir, {"--json", "--set", "Lowpass Filter=12000", "--set", "9=-2.5", "--set", "Disable KVLN EQ=on",
                              "--set-normalised", "0=0.5", dir.file("in.wav"), dir.file("out.wav")});
    ASSERT_EQ(set.status, 0) << set.err;
    for (const char* s : {"{\"index\":5,\"name\":\"Lowpass Filter\",\"normalised\":0.78571427,\"display\":\"12000\"}",
                          "\"name\":\"Noisegate Gain Scale dB Per Band\",\"normalised\":0.29166666,\"display\":\"-2.5\"}",
                          "{\"index\":10,\"name\":\"Disable KVLN EQ\",\"normalised\":1.00000000,\"display\":\"ON\"}",
                          "{\"index\":0,\"name\":\"Band 1 Level dB\",\"normalised\":0.50000000,\"display\":\"12\"}"})
        EXPECT_NE(set.out.find(s), std::string::npos) << s << "\n" << set.out;

    const std::string err = failing({"--set", "Lowpass Filter=20000", dir.file("in.wav"), dir.file("x.wav")});
    EXPECT_NE(err.find("outside its range from 1000 to 15000"), std::string::npos) << err;
    EXPECT_NE(failing({"--set", "Disable KVLN EQ=maybe", dir.file("in.wav"), dir.file("x.wav")}).find("on, off, 1, 0, true or false"),
              std::string::npos);
}

TEST_F(CliTest, DemoRendersTheBuiltInProgramme) {
    const RunResult demo = run(dir, {"--demo", dir.file("demo"), "--json"});
    ASSERT_EQ(demo.status, 0) << demo.err;
    const auto in = readAudio(dir.file("demo/demo-in.wav"));
    const auto out = readAudio(dir.file("demo/demo-out.wav"));
    EXPECT_EQ(in.rate, 48000);
    EXPECT_EQ(in.frames(), 30u * 48000u);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.frames(), in.frames());
    // The processor holds its outputs at or below -1 dB (0.8912509) however loud the transient.
    float peak = 0.0f;
    for (float v : out.data) peak = std::max(peak, std::fabs(v));
    EXPECT_LE(peak, 0.8912509f + 1e-6f);
    EXPECT_GT(peak, 0.1f);
    EXPECT_NE(demo.out.find("\"name\":\"Kolmar_VELDA-KT19h40\""), std::string::npos) << demo.out;
    std::printf("demo report: %s", demo.out.c_str());
}
#endif

TEST_F(CliTest, ThirdPartyPluginsWithTheLegacyEntry) {
    const std::vector<std::string> names = {"ZamComp-vst.so", "ZamEQ2-vst.so", "ZaMaximX2-vst.so"};
    std::vector<std::string> present;
    for (const auto& n : names)
        if (orvex::test::exists(std::string(THIRD_PARTY_PLUGIN_DIR) + "/" + n)) present.push_back(n);
    if (present.empty())
        GTEST_SKIP() << "zam-plugins is not installed (no plug-ins in " THIRD_PARTY_PLUGIN_DIR
                        "); install it with apt-get install zam-plugins to run this test";
    writeAudio(dir.file("music.wav"), 44100, 2, [] {
        const auto a = orvex::test::musicLike(44100, 44100 * 2, 3);
        std::vector<float> st;
        for (float v : a) st.insert(st.end(), {0.5f * v, 0.4f * v});
        return st;
    }());
    for (const auto& n : present) {
        const std::string plugin = std::string(THIRD_PARTY_PLUGIN_DIR) + "/" + n;
        const RunResult list = run(dir, {"--plugin", plugin, "--list-params"});
        EXPECT_EQ(list.status, 0) << n << ": " << list.err;
        EXPECT_GT(std::count(list.out.begin(), list.out.end(), '\n'), 1) << n;
        const RunResult r = run(dir, {"--plugin", plugin, "--json", dir.file("music.wav"), dir.file("zam.wav")});
        ASSERT_EQ(r.status, 0) << n << ": " << r.err;
        EXPECT_NE(r.out.find("\"entry\":\"main\""), std::string::npos) << r.out;
        const auto out = readAudio(dir.file("zam.wav"));
        EXPECT_EQ(out.frames(), 88200u) << n;
        double energy = 0.0;
        for (float v : out.data) {
            ASSERT_TRUE(std::isfinite(v)) << n;
            energy += double(v) * v;
        }
        EXPECT_GT(energy, 1.0) << n << " produced silence";
    }
}

}  // namespace
