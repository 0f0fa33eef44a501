// The program's own WAV code (the codec of builds without libsndfile, Windows among them) held
// against libsndfile: the same samples read from every encoding libsndfile writes, the same
// samples in the files it writes, the odd layouts real files have, one-line errors for the other
// containers, and the temporary-file behaviour of the writer.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/common/audio_file.h"

using namespace orvex::tools;
using orvex::test::Audio;
using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

// Noise, a sweep of exact and extreme values (full scale, beyond it, a single step of 16 and 24
// bits, rounding midpoints), interleaved over `channels`.
std::vector<float> material(int channels, std::size_t frames) {
    std::vector<float> x = orvex::test::noise(frames * static_cast<std::size_t>(channels), 17, 0.9f);
    const float special[] = {1.0f,          -1.0f,           1.5f,         -1.5f,          0.5f,          -0.5f,
                             1.0f / 32768,  -1.0f / 32768,   1.5f / 32768, -2.5f / 32768,  1.0f / 8388608, -3.5f / 8388608,
                             0.99999f,      -0.99999f,       3e-5f,        -3e-5f,         0.0f,          1e-30f};
    for (std::size_t i = 0; i < std::size(special) && i < x.size(); ++i) x[i * 7 % x.size()] = special[i];
    return x;
}

// Reads a whole file in uneven chunks.
std::vector<float> readAll(AudioReader& r) {
    std::vector<float> all, chunk(static_cast<std::size_t>(r.channels()) * 777);
    for (std::size_t n; (n = r.read(chunk.data(), 777)) > 0;)
        all.insert(all.end(), chunk.begin(), chunk.begin() + static_cast<long>(n * static_cast<std::size_t>(r.channels())));
    return all;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const FileError& e) {
        return e.what();
    }
    return "(no error)";
}

using Encoding = std::tuple<int /*container*/, int /*subformat*/, int /*channels*/>;

class BuiltinWavRead : public ::testing::TestWithParam<Encoding> {};

TEST_P(BuiltinWavRead, SamplesAndDescriptionMatchLibsndfile) {
    const auto [container, sub, channels] = GetParam();
    TempDir dir;
    const std::string path = dir.file("in.wav");
    writeAudio(path, 44100, channels, material(channels, 2000), container | sub);
    const Audio expected = readAudio(path);

    AudioReader library(path);
    AudioReader builtin(path, AudioCodec::Builtin);
    EXPECT_EQ(builtin.rate(), 44100);
    EXPECT_EQ(builtin.channels(), channels);
    EXPECT_EQ(builtin.frames(), 2000);
    EXPECT_EQ(builtin.integerSamples(), library.integerSamples());
    EXPECT_EQ(builtin.formatName(), library.formatName());
    const std::vector<float> got = readAll(builtin);
    ASSERT_EQ(got.size(), expected.data.size());
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected.data[i]) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(
    EveryEncoding, BuiltinWavRead,
    ::testing::Combine(::testing::Values(SF_FORMAT_WAV, SF_FORMAT_WAVEX),
                       ::testing::Values(SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_32,
                                         SF_FORMAT_FLOAT, SF_FORMAT_DOUBLE),
                       ::testing::Values(1, 2)));

// A WAV file assembled by hand: RIFF header, then the given chunks as they are.
std::string riff(const std::vector<std::string>& chunks, std::uint32_t riffSize = 0) {
    std::string body = "WAVE";
    for (const auto& c : chunks) body += c;
    auto le = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    return "RIFF" + le(riffSize ? riffSize : static_cast<std::uint32_t>(body.size())) + body;
}
std::string chunk(const std::string& id, const std::string& body, std::uint32_t declared = 0xDEADBEEF) {
    auto le = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string c = id + le(declared == 0xDEADBEEF ? static_cast<std::uint32_t>(body.size()) : declared) + body;
    if (body.size() % 2) c += '\0';
    return c;
}
std::string pcm16Format(int channels) {
    const std::uint16_t align = static_cast<std::uint16_t>(2 * channels);
    const std::uint32_t rate = 8000, bytes = rate * align;
    return std::string{1, 0, char(channels), 0} + std::string{char(rate), char(rate >> 8), 0, 0} +
           std::string{char(bytes), char(bytes >> 8), char(bytes >> 16), 0} + std::string{char(align), 0, 16, 0};
}
const std::string kSamples = std::string{0, 0x40, 0, char(0xC0), 1, 0, char(0xFF), char(0xFF)};  // .5 -.5 1/32768 -1/32768
const std::vector<float> kValues = {0.5f, -0.5f, 1.0f / 32768, -1.0f / 32768};

std::vector<float> readBuiltin(const std::string& path) {
    AudioReader r(path, AudioCodec::Builtin);
    return readAll(r);
}

TEST(BuiltinWavLayout, OddChunksPaddingAndOpenSizesAreRead) {
    TempDir dir;
    const std::string path = dir.file("x.wav");
    auto put = [&](const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; };

    // A list chunk of odd length (with its pad byte) before the format, another between.
    put(riff({chunk("LIST", "INFOabc"), chunk("fmt ", pcm16Format(1)), chunk("junk", "x"), chunk("data", kSamples)}));
    EXPECT_EQ(readBuiltin(path), kValues);
    // Data declared longer than the file (a file cut short), and sizes left open by a stream.
    put(riff({chunk("fmt ", pcm16Format(2)), chunk("data", kSamples + "\x01", 1000)}));
    EXPECT_EQ(AudioReader(path, AudioCodec::Builtin).frames(), 2);
    EXPECT_EQ(readBuiltin(path), kValues);
    put(riff({chunk("fmt ", pcm16Format(1)), chunk("data", kSamples, 0xFFFFFFFF)}, 0xFFFFFFFF));
    EXPECT_EQ(readBuiltin(path), kValues);

    // Damaged or foreign ones fail in one line that says why.
    put(riff({chunk("data", kSamples)}));
    EXPECT_NE(errorOf([&] { AudioReader r(path, AudioCodec::Builtin); }).find("no format header"), std::string::npos);
    put(riff({chunk("fmt ", pcm16Format(1))}));
    EXPECT_NE(errorOf([&] { AudioReader r(path, AudioCodec::Builtin); }).find("no audio data"), std::string::npos);
    std::string alaw = pcm16Format(1);
    alaw[0] = 6;
    put(riff({chunk("fmt ", alaw), chunk("data", kSamples)}));
    EXPECT_NE(errorOf([&] { AudioReader r(path, AudioCodec::Builtin); }).find("unsupported WAV encoding (format 6"),
              std::string::npos);
    put(riff({chunk("fmt ", pcm16Format(1)), chunk("data", "")}));
    EXPECT_NE(errorOf([&] { AudioReader r(path, AudioCodec::Builtin); }).find("holds no audio"), std::string::npos);
}

TEST(BuiltinWavLayout, OtherContainersGetOneClearLine) {
    TempDir dir;
    const std::vector<float> x = orvex::test::noise(4800, 5, 0.5f);
    const std::pair<const char*, int> others[] = {{"FLAC", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                                                  {"AIFF", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                                                  {"Ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}};
    for (const auto& [name, format] : others) {
        const std::string path = dir.file(std::string("in.") + name);
        writeAudio(path, 48000, 1, x, format);
        EXPECT_NO_THROW(AudioReader library(path));
        const std::string message = errorOf([&] { AudioReader r(path, AudioCodec::Builtin); });
        EXPECT_NE(message.find(std::string("it is a ") + name + " file"), std::string::npos) << message;
        EXPECT_NE(message.find("reads WAV files only"), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
    std::ofstream(dir.file("text.wav")) << "not audio at all";
    EXPECT_NE(errorOf([&] { AudioReader r(dir.file("text.wav"), AudioCodec::Builtin); }).find("not a WAV audio file"),
              std::string::npos);
}

class BuiltinWavWrite : public ::testing::TestWithParam<std::tuple<SampleFormat, int>> {};

TEST_P(BuiltinWavWrite, LibsndfileReadsWhatItWouldHaveWritten) {
    const auto [format, channels] = GetParam();
    TempDir dir;
    const std::vector<float> x = material(channels, 3001);
    for (AudioCodec codec : {AudioCodec::Default, AudioCodec::Builtin}) {
        AudioWriter w(dir.file(codec == AudioCodec::Builtin ? "ours.wav" : "theirs.wav"), Container::Wav, format, 32000,
                      channels, codec);
        const std::size_t split = 1234;  // two calls, one of them an odd frame count
        w.write(x.data(), split);
        w.write(x.data() + split * static_cast<std::size_t>(channels), 3001 - split);
        w.commit();
    }
    const Audio ours = readAudio(dir.file("ours.wav")), theirs = readAudio(dir.file("theirs.wav"));
    EXPECT_EQ(ours.rate, 32000);
    EXPECT_EQ(ours.channels, channels);
    EXPECT_EQ(ours.format & SF_FORMAT_SUBMASK, theirs.format & SF_FORMAT_SUBMASK);
    ASSERT_EQ(ours.data.size(), theirs.data.size());
    for (std::size_t i = 0; i < ours.data.size(); ++i) ASSERT_EQ(ours.data[i], theirs.data[i]) << "sample " << i;
    // And the built-in reader reads its own file as libsndfile does.
    EXPECT_EQ(readBuiltin(dir.file("ours.wav")), ours.data);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, BuiltinWavWrite,
                         ::testing::Combine(::testing::Values(SampleFormat::Pcm16, SampleFormat::Pcm24,
                                                              SampleFormat::Float32),
                                            ::testing::Values(1, 2)));

class WriterFiles : public ::testing::TestWithParam<AudioCodec> {};

TEST_P(WriterFiles, TheTargetAppearsWholeOnCommitOnly) {
    TempDir dir;
    const std::string target = dir.file("out.wav");
    std::ofstream(target) << "old";
    const std::vector<float> x(200, 0.25f);
    {
        AudioWriter w(target, Container::Wav, SampleFormat::Pcm16, 48000, 2, GetParam());
        w.write(x.data(), 100);
        EXPECT_EQ(dir.entries().size(), 2u);  // the old target and the hidden temporary file
        std::string before;
        std::getline(std::ifstream(target), before);
        EXPECT_EQ(before, "old");  // untouched until the commit
        w.commit();
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
    EXPECT_EQ(readAudio(target).frames(), 100u);
    {
        AudioWriter abandoned(dir.file("never.wav"), Container::Wav, SampleFormat::Float32, 48000, 1, GetParam());
        abandoned.write(x.data(), 200);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
}

INSTANTIATE_TEST_SUITE_P(BothCodecs, WriterFiles, ::testing::Values(AudioCodec::Default, AudioCodec::Builtin));

TEST(BuiltinWavWrite, FlacIsRefusedBeforeAnyFileExists) {
    TempDir dir;
    const std::string message = errorOf([&] {
        AudioWriter w(dir.file("out.flac"), Container::Flac, SampleFormat::Pcm16, 48000, 2, AudioCodec::Builtin);
    });
    EXPECT_NE(message.find("writes .wav files only"), std::string::npos) << message;
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
