// The render pipeline with the test gain-and-delay plug-in: latency alignment, block splitting,
// input channel modes, output sample formats, parameter settings, loudness figures, and that no
// failure leaves an output file behind.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/render/render.h"
#include "tools/common/vst_loader.h"

using namespace orvex::tools;
using orvex::test::Audio;
using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

constexpr int kRate = 48000;
constexpr int kDelay = 37;  // what the test plug-in reports once resumed

class RenderTest : public ::testing::Test {
protected:
    RenderOptions options(const std::string& in, const std::string& out) {
        RenderOptions o;
        o.pluginPath = TEST_PLUGIN_GOOD;
        o.inputPath = dir.file(in);
        o.outputPath = dir.file(out);
        o.blockSize = 64;
        return o;
    }
    std::string monoInput(std::size_t frames = 1000, const std::string& name = "in.wav") {
        writeAudio(dir.file(name), kRate, 1, orvex::test::noise(frames, 3, 0.5f));
        return name;
    }
    std::string failure(const RenderOptions& o) {
        try {
            render(o);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(no error)";
    }
    TempDir dir;
};

TEST_F(RenderTest, OutputIsAlignedWithTheInputWhateverTheBlockSize) {
    const std::vector<float> input = orvex::test::noise(1000, 3, 0.5f);
    writeAudio(dir.file("in.wav"), kRate, 1, input);
    for (int block : {1, 37, 64, 999, 4096}) {
        RenderOptions o = options("in.wav", "out.wav");
        o.blockSize = block;
        const RenderReport r = render(o);
        EXPECT_EQ(r.latency, kDelay);
        EXPECT_EQ(r.processedFrames, 1000 + kDelay);
        const Audio out = readAudio(dir.file("out.wav"));
        ASSERT_EQ(out.channels, 2);
        ASSERT_EQ(out.frames(), input.size()) << block;
        // Unit gain: every sample, the flushed tail included, is the input's.
        EXPECT_EQ(out.channel(0), input) << block;
        EXPECT_EQ(out.channel(1), input) << block;
    }
}

TEST_F(RenderTest, KeepLatencyWritesTheRawStream) {
    const std::vector<float> input = orvex::test::noise(500, 4, 0.5f);
    writeAudio(dir.file("in.wav"), kRate, 1, input);
    RenderOptions o = options("in.wav", "out.wav");
    o.keepLatency = true;
    const RenderReport r = render(o);
    EXPECT_FALSE(r.latencyCompensated);
    const std::vector<float> left = readAudio(dir.file("out.wav")).channel(0);
    ASSERT_EQ(left.size(), input.size());
    for (std::size_t i = 0; i < left.size(); ++i) EXPECT_EQ(left[i], i < kDelay ? 0.0f : input[i - kDelay]) << i;
}

TEST_F(RenderTest, StereoInputModes) {
    const std::vector<float> a = orvex::test::noise(300, 5, 0.5f), b = orvex::test::noise(300, 6, 0.5f);
    std::vector<float> stereo;
    for (std::size_t i = 0; i < a.size(); ++i) stereo.insert(stereo.end(), {a[i], b[i]});
    writeAudio(dir.file("st.wav"), kRate, 2, stereo);
    for (InputMode mode : {InputMode::Mix, InputMode::Left, InputMode::Right}) {
        RenderOptions o = options("st.wav", "out.wav");
        o.input = mode;
        render(o);
        const std::vector<float> got = readAudio(dir.file("out.wav")).channel(0);
        ASSERT_EQ(got.size(), a.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
            const float want = mode == InputMode::Mix ? 0.5f * (a[i] + b[i]) : mode == InputMode::Left ? a[i] : b[i];
            ASSERT_EQ(got[i], want) << inputModeName(mode) << " " << i;
        }
    }
}

TEST_F(RenderTest, SampleFormatsRoundTrip) {
    // Each accepted input container in, each output format out: the output holds what the input
    // file holds to within one step of the output's resolution (exactly, for float).
    std::vector<float> ramp(2000);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = -0.9f + 1.8f * static_cast<float>(i) / 1999.0f;
    writeAudio(dir.file("int16.wav"), kRate, 1, ramp, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeAudio(dir.file("float.wav"), kRate, 1, ramp, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    writeAudio(dir.file("in.aiff"), kRate, 1, ramp, SF_FORMAT_AIFF | SF_FORMAT_PCM_24);
    writeAudio(dir.file("in.flac"), kRate, 1, ramp, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    writeAudio(dir.file("in.ogg"), kRate, 1, ramp, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    constexpr double k16 = 1.0 / 32768, k24 = 1.0 / 8388608;
    struct Case {
        const char* in;
        const char* out;
        std::optional<SampleFormat> format;
        int expected;
        double step;
    };
    const Case cases[] = {
        {"int16.wav", "a.wav", std::nullopt, SF_FORMAT_WAV | SF_FORMAT_PCM_24, k24},
        {"float.wav", "b.wav", std::nullopt, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0},
        {"float.wav", "c.wav", SampleFormat::Pcm16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, k16},
        {"int16.wav", "d.wav", SampleFormat::Float32, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0},
        {"float.wav", "e.flac", std::nullopt, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, k24},
        {"in.aiff", "f.flac", SampleFormat::Pcm16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, k16},
        {"in.flac", "g.wav", std::nullopt, SF_FORMAT_WAV | SF_FORMAT_PCM_24, k24},
        {"in.ogg", "h.wav", std::nullopt, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0.0},
    };
    for (const Case& c : cases) {
        RenderOptions o = options(c.in, c.out);
        o.format = c.format;
        render(o);
        const std::vector<float> reference = readAudio(dir.file(c.in)).channel(0);
        const Audio out = readAudio(dir.file(c.out));
        EXPECT_EQ(out.format, c.expected) << c.out;
        ASSERT_EQ(out.frames(), reference.size()) << c.out;
        const std::vector<float> left = out.channel(0), right = out.channel(1);
        double worst = 0.0;
        for (std::size_t i = 0; i < reference.size(); ++i) {
            worst = std::fmax(worst, std::fabs(left[i] - reference[i]));
            ASSERT_EQ(left[i], right[i]);
        }
        EXPECT_LE(worst, c.step) << c.out;
    }
}

TEST_F(RenderTest, SettingsReachThePluginAndAreReadBack) {
    const std::vector<float> input = orvex::test::noise(400, 7, 0.25f);
    writeAudio(dir.file("in.wav"), kRate, 1, input);
    RenderOptions o = options("in.wav", "out.wav");
    o.settings = {{false, "Gain=6"}, {false, "Invert Right=on"}, {true, "2=1"}};
    const RenderReport r = render(o);
    ASSERT_EQ(r.settings.size(), 3u);
    EXPECT_EQ(r.settings[0].display, "6.0");
    EXPECT_EQ(r.settings[1].display, "ON");
    EXPECT_EQ(r.settings[2].display, "Hot");
    const Audio out = readAudio(dir.file("out.wav"));
    const std::vector<float> left = out.channel(0), right = out.channel(1);
    const double gain = std::pow(10.0, 6.0 / 20.0);
    for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_NEAR(left[i], gain * input[i], 1e-5) << i;
        ASSERT_EQ(right[i], -left[i]) << i;
    }
}

TEST_F(RenderTest, LoudnessOfASine) {
    // A 1 kHz sine at -20 dBFS: as mono (counted on both loudspeakers) and as the stereo
    // output it becomes, -20 LUFS, true and sample peaks -20 dB, no loudness range.
    writeAudio(dir.file("sine.wav"), kRate, 1, orvex::test::sine(1000.0, kRate, 10 * kRate, 0.1));
    const RenderReport r = render(options("sine.wav", "out.wav"));
    for (const LoudnessReport& l : {r.inputLoudness, r.outputLoudness}) {
        EXPECT_NEAR(l.integratedLufs, -20.0, 0.1);
        EXPECT_NEAR(l.samplePeakDbfs, -20.0, 0.01);
        EXPECT_NEAR(l.truePeakDbtp, -20.0, 0.1);
        EXPECT_NEAR(l.rangeLu, 0.0, 0.1);
    }
    EXPECT_GT(r.realtimeFactor(), 0.0);
}

TEST_F(RenderTest, FailuresLeaveNoOutput) {
    const std::string in = monoInput();
    writeAudio(dir.file("empty.wav"), kRate, 1, {});
    writeAudio(dir.file("six.wav"), kRate, 6, std::vector<float>(600, 0.1f));
    std::ofstream(dir.file("in.m4a")) << std::string(2000, '\x5a');
    std::ofstream(dir.file("text.wav")) << "RIFF? no, just text\n";
    // An MP3 cut in half: its header still promises the whole length.
    writeAudio(dir.file("whole.mp3"), kRate, 1, orvex::test::noise(kRate, 6, 0.3f), SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    {
        std::ifstream whole(dir.file("whole.mp3"), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(whole)), {});
        std::ofstream(dir.file("cut.mp3"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
        std::filesystem::remove(dir.file("whole.mp3"));
    }
    const auto before = dir.entries().size();

    struct Case {
        std::string in, out, plugin, message;
        bool cancel = false;
    };
    const Case cases[] = {
        {"missing.wav", "out.wav", TEST_PLUGIN_GOOD, "No such file"},
        {"empty.wav", "out.wav", TEST_PLUGIN_GOOD, "holds no audio"},
        {"six.wav", "out.wav", TEST_PLUGIN_GOOD, "has 6 channels; give a mono file or a stereo one (taken as --input mix, left or right)"},
        {"in.m4a", "out.wav", TEST_PLUGIN_GOOD, "not an audio file this program reads"},
        {"text.wav", "out.wav", TEST_PLUGIN_GOOD, "not an audio file this program reads"},
        {"cut.mp3", "out.wav", TEST_PLUGIN_GOOD, "of its 48000 frames: the file is damaged or cut short"},
        {in, in, TEST_PLUGIN_GOOD, "is the input file"},
        {in, "out.xyz", TEST_PLUGIN_GOOD, "must be a file of a type this program writes (wav, flac, mp3, opus, ogg"},
        {in, "out.wav", TEST_PLUGIN_NULL, "returned null"},
        {in, "out.wav", TEST_PLUGIN_NOOUTPUTS, "no audio outputs"},
        {in, "missing-dir/out.wav", TEST_PLUGIN_GOOD, "cannot write"},
        {in, "out.wav", TEST_PLUGIN_GOOD, "interrupted", true},
    };
    for (const Case& c : cases) {
        RenderOptions o = options(c.in, c.out);
        o.pluginPath = c.plugin;
        if (c.cancel) o.cancelled = [] { return true; };
        const std::string message = failure(o);
        EXPECT_NE(message.find(c.message), std::string::npos) << c.in << " -> " << c.out << ": " << message;
        EXPECT_EQ(dir.entries().size(), before) << message;
    }
    // The same file under another spelling is still the input.
    RenderOptions o = options(in, in);
    o.outputPath = dir.file("sub/../" + in);
    std::filesystem::create_directory(dir.file("sub"));
    EXPECT_NE(failure(o).find("is the input file"), std::string::npos);
    // A bad setting fails before anything is written.
    o = options(in, "out.wav");
    o.settings = {{false, "Gain=99"}};
    EXPECT_NE(failure(o).find("outside its range from -24 to 24 dB"), std::string::npos);
    o.format = SampleFormat::Float32;
    o.outputPath = dir.file("out.flac");
    EXPECT_NE(failure(o).find("FLAC holds integer samples only"), std::string::npos);
    EXPECT_FALSE(orvex::test::exists(dir.file("out.wav")));
    EXPECT_FALSE(orvex::test::exists(dir.file("out.flac")));
}

}  // namespace
