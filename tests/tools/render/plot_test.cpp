// Pictures of renders (--plot, --plot-dir). The data behind a picture: its columns follow the
// output file and do not depend on how the audio arrives; through Orvex a loud passage shows as
// lower band gains at the time it plays. The files, made as a user makes them: PNG and SVG of
// 1600 x 900 read back with cairo; a name of another kind refused before anything runs; a picture
// that cannot be written fails the run and keeps the audio; the audio is the same with and
// without a picture; a batch draws one picture per file under the input's relative path.
#include <cairo.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/common/running_loudness.h"
#include "tools/render/plot.h"
#include "tools/render/plot_trace.h"
#include "tools/render/render.h"

using orvex::test::TempDir;
using orvex::test::writeAudio;
using namespace orvex::tools;
namespace fs = std::filesystem;

namespace {

using RunResult = orvex::test::Outcome;
using orvex::test::slurp;

RunResult run(const TempDir& dir, const std::vector<std::string>& args) {
    return orvex::test::runIn(dir, ORVEX_RENDER, args);
}


// Sample for sample the same audio (the files' headers carry a time stamp).
bool sameAudio(const std::string& a, const std::string& b) {
    const auto x = orvex::test::readAudio(a), y = orvex::test::readAudio(b);
    return x.channels == y.channels && x.data.size() == y.data.size() &&
           std::memcmp(x.data.data(), y.data.data(), x.data.size() * sizeof(float)) == 0;
}



// The size of a PNG as cairo reads it back; 0 x 0 when it does not read.
std::pair<int, int> pngSize(const std::string& path) {
    cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
    std::pair<int, int> size{0, 0};
    if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) size = {cairo_image_surface_get_width(s), cairo_image_surface_get_height(s)};
    cairo_surface_destroy(s);
    return size;
}

// The width and height attributes of the root element, units included.
std::pair<std::string, std::string> svgSize(const std::string& path) {
    const std::string text = slurp(path);
    const auto open = text.find("<svg");
    if (open == std::string::npos) return {};
    const std::string tag = text.substr(open, text.find('>', open) - open);
    auto attribute = [&](const std::string& name) {
        const auto at = tag.find(" " + name + "=\"");
        if (at == std::string::npos) return std::string();
        const auto from = at + name.size() + 3;
        return tag.substr(from, tag.find('"', from) - from);
    };
    return {attribute("width"), attribute("height")};
}

// Quiet, then loud: a mix of tones across the bands at -32 dBFS for 3 s, then 26 dB louder.
std::vector<float> quietThenLoud(int rate, double seconds = 6.0) {
    const std::size_t n = static_cast<std::size_t>(seconds * rate);
    std::vector<float> x(n);
    const double freqs[] = {55, 140, 250, 370, 560, 840, 1260, 1890, 2840, 4200, 6300, 9000};
    for (std::size_t i = 0; i < n; ++i) {
        double v = 0;
        for (double f : freqs) v += std::sin(2 * M_PI * f * static_cast<double>(i) / rate + f);
        const double gain = static_cast<double>(i) < seconds / 2 * rate ? 0.025 : 0.5;
        x[i] = static_cast<float>(gain * v / 12 * 2);
    }
    return x;
}

// Renders dir/in.wav through the plug-in into dir/out.wav, keeping the trace.
RenderReport renderWithTrace(const TempDir& dir, const std::string& plugin) {
    RenderOptions o;
    o.pluginPath = plugin;
    o.inputPath = dir.file("in.wav");
    o.outputPath = dir.file("out.wav");
    o.trace = true;
    return render(o);
}

}  // namespace

TEST(PlotTrace, ColumnsFollowTheOutputFileWhateverTheChunks) {
    constexpr int kRate = 48000;
    const std::int64_t frames = 3 * 4800 + 1000;  // three whole columns and a short one
    const std::vector<float> tone = orvex::test::sine(997, kRate, static_cast<std::size_t>(frames), 0.3);
    std::vector<float> stereo(2 * tone.size(), 0.0f);
    stereo[2 * 10000] = 0.5f;  // one peak, in the third column

    TraceRecorder recorder(1, kRate, frames);
    for (std::size_t at = 0; at < tone.size(); at += 777)
        recorder.addInput(tone.data() + at, std::min<std::size_t>(777, tone.size() - at));
    for (std::size_t at = 0; at < tone.size(); at += 5000)
        recorder.addOutput(stereo.data() + 2 * at, std::min<std::size_t>(5000, tone.size() - at));
    const float low[kTraceBands] = {-10, -10, -10, -10, -10, -10, -10, -10, -10, -10, -10, -10};
    const float high[kTraceBands] = {6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6};
    recorder.addBandGains(low, -3000, 4000);   // 3000 frames of latency dropped: 1000 count
    recorder.addBandGains(high, 1000, 3000);   // column 0 is now 1000 x -10 and 3000 x +6
    recorder.addBandGains(high, 4000, 10000);  // the rest of column 0, columns 1 and 2
    recorder.addBandGains(low, 14000, 4000);   // column 2's end and the short column, past the end
    const RenderTrace t = recorder.finish();

    ASSERT_EQ(t.columns(), 4u);
    EXPECT_EQ(t.columnFrames, 4800);
    ASSERT_TRUE(t.hasBands);
    EXPECT_FLOAT_EQ(t.bandGainDb[0][5], (1000 * -10.0f + 3800 * 6.0f) / 4800);
    EXPECT_FLOAT_EQ(t.bandGainDb[1][11], 6.0f);
    EXPECT_FLOAT_EQ(t.bandGainDb[2][0], (4400 * 6.0f + 400 * -10.0f) / 4800);
    EXPECT_FLOAT_EQ(t.bandGainDb[3][0], -10.0f);

    // Momentary loudness at each column's end, as a meter fed the same audio in one piece reads.
    RunningLoudness whole(1, kRate);
    for (std::size_t c = 0; c < 4; ++c) {
        const std::size_t from = c * 4800, to = std::min<std::size_t>(from + 4800, tone.size());
        whole.add(tone.data() + from, to - from);
        EXPECT_DOUBLE_EQ(t.inputMomentaryLufs[c], whole.momentaryLufs()) << "column " << c;
    }
    EXPECT_TRUE(std::isfinite(t.inputMomentaryLufs[3]));
    // The one peak is in its column only; the others are silent.
    EXPECT_EQ(t.outputTruePeakDbtp[0], -HUGE_VAL);
    EXPECT_NEAR(t.outputTruePeakDbtp[2], -6.02, 0.1);
    EXPECT_EQ(t.outputTruePeakDbtp[3], -HUGE_VAL);
    EXPECT_EQ(t.outputMomentaryLufs[1], -HUGE_VAL);
}

#ifdef ORVEX_MODULE_PATH
TEST(PlotTrace, ALoudPassageLowersOrvexsBandGainsWhenItPlays) {
    TempDir dir;
    writeAudio(dir.file("in.wav"), 48000, 1, quietThenLoud(48000));
    const RenderReport r = renderWithTrace(dir, ORVEX_MODULE_PATH);
    ASSERT_TRUE(r.trace);
    const RenderTrace& t = *r.trace;
    ASSERT_TRUE(t.hasBands) << "Orvex answers the meter readout";
    ASSERT_EQ(t.columns(), 60u);

    auto meanGain = [&](std::size_t from, std::size_t to) {
        double sum = 0;
        for (std::size_t c = from; c < to; ++c)
            for (float g : t.bandGainDb[c]) sum += g;
        return sum / static_cast<double>((to - from) * kTraceBands);
    };
    // Settled quiet (1-3 s) against settled loud (4-6 s).
    const double quiet = meanGain(10, 30), loud = meanGain(40, 60);
    EXPECT_LT(loud, quiet - 4.0) << "quiet " << quiet << " dB, loud " << loud << " dB";
    // Input loudness and band gains turn at the same time: 3 s in the output file.
    auto firstColumn = [&](auto predicate) {
        for (std::size_t c = 0; c < t.columns(); ++c)
            if (predicate(c)) return static_cast<int>(c);
        return -1;
    };
    const int inputRises = firstColumn([&](std::size_t c) { return t.inputMomentaryLufs[c] > t.inputMomentaryLufs[25] + 12; });
    const int gainFalls = firstColumn([&](std::size_t c) { return c >= 5 && meanGain(c, c + 1) < quiet - 3; });
    EXPECT_EQ(inputRises, 30);
    EXPECT_GE(gainFalls, 29);
    EXPECT_LE(gainFalls, 32);
    // The output is levelled: its loudness moves far less than the input's 26 dB.
    EXPECT_LT(t.outputMomentaryLufs[55] - t.outputMomentaryLufs[25], 20.0);
}
#endif

TEST(PlotTrace, APluginWithoutReadoutHasNoBandGains) {
    TempDir dir;
    writeAudio(dir.file("in.wav"), 44100, 2, orvex::test::noise(2 * 44100, 3, 0.2f));
    const RenderReport r = renderWithTrace(dir, TEST_PLUGIN_GOOD);
    ASSERT_TRUE(r.trace);
    EXPECT_FALSE(r.trace->hasBands);
    EXPECT_TRUE(r.trace->bandGainDb.empty());
    EXPECT_EQ(r.trace->columns(), 10u);
    writePlot(dir.file("good.png"), r, *r.trace);
    EXPECT_EQ(pngSize(dir.file("good.png")), std::make_pair(kPlotWidth, kPlotHeight));
}

#ifdef ORVEX_MODULE_PATH
class PlotCli : public ::testing::Test {
protected:
    void SetUp() override { writeAudio(dir.file("in.wav"), 48000, 1, quietThenLoud(48000, 2.0), SF_FORMAT_WAV | SF_FORMAT_PCM_24); }
    RunResult render(std::vector<std::string> args) {
        args.insert(args.begin(), {"--plugin", ORVEX_MODULE_PATH});
        return run(dir, args);
    }
    TempDir dir;
};

TEST_F(PlotCli, PngAndSvgOfTheStatedSizeAndTheSameAudio) {
    const std::vector<std::string> settings = {"--set", "Lowpass Filter=12000", "--set", "Band 1 Level dB=8"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), settings.begin(), settings.end());
        return args;
    };
    const RunResult plain = render(with({dir.file("in.wav"), dir.file("plain.wav")}));
    ASSERT_EQ(plain.status, 0) << plain.err;
    const RunResult png = render(with({dir.file("in.wav"), dir.file("png.wav"), "--plot", dir.file("picture.png")}));
    ASSERT_EQ(png.status, 0) << png.err;
    EXPECT_NE(png.out.find("picture      " + dir.file("picture.png")), std::string::npos) << png.out;
    EXPECT_EQ(pngSize(dir.file("picture.png")), std::make_pair(kPlotWidth, kPlotHeight));
    const RunResult svg = render(with({dir.file("in.wav"), dir.file("svg.wav"), "--plot", dir.file("picture.SVG"), "--json"}));
    ASSERT_EQ(svg.status, 0) << svg.err;
    EXPECT_NE(svg.out.find("\"picture\":"), std::string::npos) << svg.out;
    EXPECT_EQ(svgSize(dir.file("picture.SVG")), std::make_pair(std::string("1600px"), std::string("900px")));
    // Bit for bit the same audio, with or without the meters read for a picture.
    EXPECT_TRUE(sameAudio(dir.file("png.wav"), dir.file("plain.wav")));
    EXPECT_TRUE(sameAudio(dir.file("svg.wav"), dir.file("plain.wav")));
    // No temporary files left beside them.
    for (const auto& name : dir.entries()) EXPECT_NE(name.front(), '.') << name;
}

TEST_F(PlotCli, RefusedBeforeRenderingAndFailuresKeepTheAudio) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{dir.file("in.wav"), dir.file("out.wav"), "--plot", dir.file("picture.jpg")},
          {dir.file("in.wav"), dir.file("out.wav"), "--plot", dir.file("png")},
          {dir.file("in.wav"), "--out-dir", dir.file("batch"), "--plot", dir.file("picture.png")},
          {dir.file("in.wav"), dir.file("out.wav"), "--plot-dir", dir.file("pictures")},
          {"--list-params", "--plot", dir.file("picture.png")}}) {
        const RunResult r = render(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("out.wav")));
        EXPECT_FALSE(fs::exists(dir.file("batch")));
    }
    // The picture's folder is a file: the run fails after the audio, which stays.
    const RunResult r = render({dir.file("in.wav"), dir.file("out.wav"), "--plot", dir.file("in.wav") + "/picture.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("picture"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("integrated"), std::string::npos) << "the report still comes";
    EXPECT_TRUE(fs::exists(dir.file("out.wav")));
    EXPECT_EQ(orvex::test::readAudio(dir.file("out.wav")).frames(), 96000u);
}

TEST_F(PlotCli, ABatchDrawsOnePicturePerFile) {
    fs::create_directories(dir.file("library/a"));
    fs::create_directories(dir.file("library/b"));
    writeAudio(dir.file("library/a/one.wav"), 48000, 1, quietThenLoud(48000, 1.0));
    writeAudio(dir.file("library/b/two.flac"), 44100, 2, orvex::test::noise(2 * 44100 / 2, 5, 0.1f), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    writeAudio(dir.file("three.wav"), 48000, 1, quietThenLoud(48000, 0.5));
    const RunResult r = render({dir.file("library"), dir.file("three.wav"), "--out-dir", dir.file("out"), "--plot-dir",
                                dir.file("pictures"), "--jobs", "2", "--json"});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    for (const char* name : {"a/one.png", "b/two.png", "three.png"})
        EXPECT_EQ(pngSize(dir.file("pictures/") + name), std::make_pair(kPlotWidth, kPlotHeight)) << name;
    std::size_t listed = 0;
    for (std::size_t at = r.out.find("\"picture\":"); at != std::string::npos; at = r.out.find("\"picture\":", at + 1)) ++listed;
    EXPECT_EQ(listed, 3u) << "the JSON rows name their pictures";
    std::size_t pictures = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir.file("pictures"))) pictures += e.is_regular_file();
    EXPECT_EQ(pictures, 3u);
    EXPECT_EQ(orvex::test::readAudio(dir.file("out/b/two.wav")).frames(), 44100u / 2);

    // Each output is what a one-file render without a picture gives.
    const RunResult one = render({dir.file("library/a/one.wav"), dir.file("one.wav")});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(sameAudio(dir.file("out/a/one.wav"), dir.file("one.wav")));

    // Again without --overwrite: existing pictures are left alone, as outputs are.
    fs::remove_all(dir.file("out"));
    const RunResult again = render({dir.file("three.wav"), "--out-dir", dir.file("out"), "--plot-dir", dir.file("pictures")});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("exists already"), std::string::npos) << again.out;
    EXPECT_FALSE(fs::exists(dir.file("out/three.wav")));
}
#endif
