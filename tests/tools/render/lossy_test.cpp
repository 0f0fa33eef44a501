// MP3 in, MP3, Opus and Vorbis out, through orvex-render as a user runs it: the encoded outputs
// decode to the length of the WAV render (libsndfile honours the encoder delay the files record)
// and to its loudness within 0.5 LU; the MP3 input reports the loudness of the WAV it was made
// from; the bitrate and quality options reach the encoder; what an encoder cannot do is one
// clear line and no file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/common/loudness.h"

using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

using orvex::test::Outcome;
using orvex::test::slurp;

Outcome run(const TempDir& dir, const std::vector<std::string>& args) {
    return orvex::test::runIn(dir, ORVEX_RENDER, args);
}





std::string plugin() {
#ifdef ORVEX_MODULE_PATH
    return ORVEX_MODULE_PATH;
#else
    return TEST_PLUGIN_GOOD;
#endif
}

double integrated(const orvex::test::Audio& a) {
    orvex::tools::LoudnessMeter m(a.channels, a.rate);
    m.add(a.data.data(), a.frames());
    return m.report().integratedLufs;
}

// The first MPEG audio frame after the ID3 tag: its bitrate in kbit/s (MPEG-1 layer III) and
// whether it is the Xing frame of a variable-bitrate file or the Info frame of a constant one.
struct FirstFrame {
    int kbps = 0;
    std::string tag;
};

FirstFrame firstFrame(const std::string& bytes) {
    std::size_t at = 0;
    if (bytes.compare(0, 3, "ID3") == 0 && bytes.size() > 10) {
        const auto b = [&](std::size_t i) { return static_cast<std::size_t>(static_cast<unsigned char>(bytes[i])); };
        at = 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9));
    }
    while (at + 40 < bytes.size() && !(static_cast<unsigned char>(bytes[at]) == 0xFF &&
                                        (static_cast<unsigned char>(bytes[at + 1]) & 0xE0) == 0xE0))
        ++at;
    static const int kRates[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    FirstFrame f;
    if (at + 40 >= bytes.size()) return f;
    f.kbps = kRates[static_cast<unsigned char>(bytes[at + 2]) >> 4];
    // The tag follows the side information: 32 bytes for stereo MPEG-1.
    f.tag = bytes.substr(at + 4 + 32, 4);
    return f;
}

class LossyTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto left = orvex::test::musicLike(48000, 3 * 48000, 11);
        const auto right = orvex::test::musicLike(48000, 3 * 48000, 12);
        std::vector<float> x(2 * left.size());
        for (std::size_t i = 0; i < left.size(); ++i) {
            x[2 * i] = left[i];
            x[2 * i + 1] = right[i];
        }
        writeAudio(dir.file("src.wav"), 48000, 2, x);
        writeAudio(dir.file("src.mp3"), 48000, 2, x, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    }
    // Through Orvex where the build has it; `quick` through the small test plug-in, where only
    // the encoder matters.
    nlohmann::json render(const std::vector<std::string>& args, bool quick = false) {
        std::vector<std::string> all = {"--plugin", quick ? std::string(TEST_PLUGIN_GOOD) : plugin(), "--json"};
        all.insert(all.end(), args.begin(), args.end());
        const Outcome o = run(dir, all);
        EXPECT_EQ(o.status, 0) << o.err;
        return o.status == 0 ? nlohmann::json::parse(o.out) : nlohmann::json::object();
    }
    TempDir dir;
};

TEST_F(LossyTest, Mp3InMp3AndOpusOut) {
    const auto wavReport = render({dir.file("src.mp3"), dir.file("out.wav")});
    const auto mp3Report = render({"--bitrate", "192", dir.file("src.mp3"), dir.file("out.mp3")});
    const auto opusReport = render({dir.file("src.mp3"), dir.file("out.opus")});
    const auto sourceReport = render({dir.file("src.wav"), dir.file("from-wav.wav")});
    ASSERT_FALSE(wavReport.empty() || mp3Report.empty() || opusReport.empty() || sourceReport.empty());

    EXPECT_EQ(wavReport.at("input").at("format"), "MP3");
    EXPECT_EQ(wavReport.at("output").at("format"), "WAV 32-bit float");
    EXPECT_EQ(mp3Report.at("output").at("format"), "MP3 192 kbit/s constant");
    EXPECT_EQ(opusReport.at("output").at("format"), "Ogg Opus 128 kbit/s");
    // The MP3 decodes to the loudness of the WAV it was made from.
    EXPECT_NEAR(wavReport.at("input").at("integrated_lufs").get<double>(),
                sourceReport.at("input").at("integrated_lufs").get<double>(), 0.5);

    const auto wav = readAudio(dir.file("out.wav"));
    const auto mp3 = readAudio(dir.file("out.mp3"));
    const auto opus = readAudio(dir.file("out.opus"));
    EXPECT_EQ(wav.frames(), 3u * 48000u);
    // Within the codecs' padding (a frame of 1152 samples, 20 ms); libsndfile in fact trims
    // both exactly.
    EXPECT_LE(std::llabs(static_cast<long long>(mp3.frames()) - static_cast<long long>(wav.frames())), 1152) << mp3.frames();
    EXPECT_LE(std::llabs(static_cast<long long>(opus.frames()) - static_cast<long long>(wav.frames())), 960) << opus.frames();
    EXPECT_EQ(mp3.channels, 2);
    EXPECT_EQ(opus.rate, 48000);
    const double reference = integrated(wav);
    EXPECT_NEAR(integrated(mp3), reference, 0.5);
    EXPECT_NEAR(integrated(opus), reference, 0.5);
    // What the report says of the output is what the decoded files hold, within 0.5 LU.
    EXPECT_NEAR(mp3Report.at("output").at("integrated_lufs").get<double>(), integrated(mp3), 0.5);
    EXPECT_NEAR(opusReport.at("output").at("integrated_lufs").get<double>(), integrated(opus), 0.5);

    // Constant 192 kbit/s by default, LAME's variable bitrate with --quality.
    const FirstFrame constant = firstFrame(slurp(dir.file("out.mp3")));
    EXPECT_EQ(constant.kbps, 192);
    EXPECT_EQ(constant.tag, "Info");
    render({dir.file("src.mp3"), dir.file("default.mp3")}, true);
    EXPECT_EQ(firstFrame(slurp(dir.file("default.mp3"))).kbps, 192);
    render({"--bitrate", "128", dir.file("src.wav"), dir.file("low.mp3")}, true);
    EXPECT_EQ(firstFrame(slurp(dir.file("low.mp3"))).kbps, 128);
    render({"--quality", "2", dir.file("src.wav"), dir.file("vbr.mp3")}, true);
    EXPECT_EQ(firstFrame(slurp(dir.file("vbr.mp3"))).tag, "Xing");
    // Opus by bitrate: a lower one, a smaller file.
    render({"--bitrate", "48", dir.file("src.wav"), dir.file("low.opus")}, true);
    render({"--bitrate", "160", dir.file("src.wav"), dir.file("high.opus")}, true);
    EXPECT_LT(std::filesystem::file_size(dir.file("low.opus")) * 2, std::filesystem::file_size(dir.file("high.opus")));
    // Vorbis by quality.
    const auto vorbis = render({"--quality", "3", dir.file("src.mp3"), dir.file("out.ogg")}, true);
    EXPECT_EQ(vorbis.at("output").at("format"), "Ogg Vorbis quality 3");
    EXPECT_EQ(readAudio(dir.file("out.ogg")).frames(), wav.frames());
}

TEST_F(LossyTest, WhatAnEncoderCannotDoIsOneLineAndNoFile) {
    writeAudio(dir.file("in44.wav"), 44100, 1, orvex::test::noise(44100, 3, 0.3f));
    const auto before = dir.entries().size();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{dir.file("in44.wav"), dir.file("out.opus")}, 1, "Opus only supports sample rates of 8000, 12000, 16000, 24000, and 48000"},
        {{"--bitrate", "192", dir.file("src.wav"), dir.file("out.ogg")}, 2, "the Vorbis encoder is set by --quality"},
        {{"--quality", "5", dir.file("src.wav"), dir.file("out.opus")}, 2, "the Opus encoder is set by --bitrate"},
        {{"--bitrate", "400", dir.file("src.wav"), dir.file("out.mp3")}, 2, "MP3 bitrates run from 8 to 320 kbit/s"},
        {{"--quality", "12", dir.file("src.wav"), dir.file("out.mp3")}, 2, "MP3 quality runs from 0 (best) to 9"},
        {{"--bitrate", "128", "--quality", "2", dir.file("src.wav"), dir.file("out.mp3")}, 2, "not both"},
        {{"--format", "16", dir.file("src.wav"), dir.file("out.mp3")}, 2, "MP3 is encoded: --format 16 does not apply"},
        {{"--bitrate", "128", dir.file("src.wav"), dir.file("out.wav")}, 2, "WAV files are not encoded"},
        {{"--format", "mp3", dir.file("src.wav"), dir.file("out.wav")}, 2, "name the output .mp3"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--plugin", TEST_PLUGIN_GOOD};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome o = run(dir, args);
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(dir.entries().size(), before) << o.err;
    }
}

}  // namespace
