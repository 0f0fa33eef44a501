// The output types the programs offer, each written and read back through libsndfile (the
// encoder settings are checked where users give them, in the renderer's tests); an output that
// must not replace an existing file; the temporary files of many writers at once, all removed
// by the signal-time cleanup; inputs whose length cannot be trusted.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"
#include "tools/common/audio_file.h"

using namespace orvex::tools;
using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;

namespace {

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream s(list);
    std::string item;
    while (std::getline(s, item, ',')) {
        item.erase(0, item.find_first_not_of(' '));
        out.push_back(item.substr(0, item.find(' ')));  // "ogg (Vorbis)" is "ogg"
    }
    return out;
}

std::string errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const FileError& e) {
        return e.what();
    }
    return "no error";
}

int countHidden(const TempDir& dir) {
    int n = 0;
    for (const auto& name : dir.entries()) n += name[0] == '.';
    return n;
}

TEST(OutputTypes, ByExtensionAndByName) {
    // The names that are not libsndfile's own extensions, and a case-blind one.
    EXPECT_EQ(fileTypeForPath("b/A.WAV").container, Container::Wav);
    EXPECT_EQ(fileTypeForPath("x.opus").name, "Ogg Opus");
    EXPECT_EQ(fileTypeForPath("x.oga").extension, "ogg");
    EXPECT_EQ(fileTypeForPath("x.aif").extension, "aiff");
    EXPECT_EQ(fileTypeNamed("vorbis").container, Container::Vorbis);
    EXPECT_EQ(fileTypeNamed("MP3").container, Container::Mp3);
    EXPECT_NE(errorOf([] { fileTypeForPath("x.m4a"); }).find("must be a file of a type this program writes (wav, flac, mp3"),
              std::string::npos);
    EXPECT_NE(errorOf([] { fileTypeForPath("noextension"); }).find("must be a file of a type"), std::string::npos);
    // Types that cannot hold the stereo output are not offered (speech and sampler formats).
    for (const char* mono : {"x.wve", "x.xi", "x.sds", "x.htk", "x.raw"})
        EXPECT_NE(errorOf([&] { fileTypeForPath(mono); }), "no error") << mono;
    EXPECT_TRUE(typeHolds(FileType(Container::Flac), SampleFormat::Pcm24));
    EXPECT_FALSE(typeHolds(FileType(Container::Flac), SampleFormat::Float32));
    EXPECT_TRUE(typeHolds(FileType(Container::Mp3), SampleFormat::Float32));
}

TEST(OutputTypes, EveryOfferedTypeWritesWhatLibsndfileReadsBack) {
    TempDir dir;
    const auto noise = orvex::test::noise(2 * 4800, 17, 0.25f);
    const auto names = split(fileTypeNames());
    EXPECT_GE(names.size(), 10u) << fileTypeNames();
    for (const std::string& name : names) {
        const FileType type = fileTypeNamed(name);
        const SampleFormat format = typeHolds(type, SampleFormat::Pcm24) ? SampleFormat::Pcm24 : SampleFormat::Pcm16;
        const std::string path = dir.file("out." + type.extension);
        {
            AudioWriter w(path, type, format, 48000, 2);
            w.write(noise.data(), 4800);
            w.commit();
        }
        const auto back = readAudio(path);
        EXPECT_EQ(back.frames(), 4800u) << name;
        EXPECT_EQ(back.channels, 2) << name;
        EXPECT_EQ(back.rate, 48000) << name;
        if (!type.encoded()) {
            EXPECT_NEAR(back.data[101], noise[101], 1e-4) << name;
        }
        AudioReader reader(path);
        EXPECT_EQ(reader.frames(), 4800) << name;
    }
    EXPECT_EQ(countHidden(dir), 0);
}

TEST(Writer, WithoutReplaceAnExistingFileStaysAndNothingIsLeft) {
    TempDir dir;
    const std::vector<float> x(2 * 480, 0.1f);
    std::ofstream(dir.file("taken.wav")) << "someone else's";
    {
        AudioWriter w(dir.file("taken.wav"), Container::Wav, SampleFormat::Pcm16, 48000, 2);
        w.write(x.data(), 480);
        EXPECT_NE(errorOf([&] { w.commit(false); }).find("exists already; not overwritten"), std::string::npos);
    }
    std::ifstream f(dir.file("taken.wav"));
    std::string content((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(content, "someone else's");
    EXPECT_EQ(countHidden(dir), 0);
    {
        AudioWriter w(dir.file("free.wav"), Container::Wav, SampleFormat::Pcm16, 48000, 2);
        w.write(x.data(), 480);
        w.commit(false);
    }
    EXPECT_EQ(readAudio(dir.file("free.wav")).frames(), 480u);
    {
        AudioWriter w(dir.file("taken.wav"), Container::Wav, SampleFormat::Pcm16, 48000, 2);
        w.write(x.data(), 480);
        w.commit(true);
    }
    EXPECT_EQ(readAudio(dir.file("taken.wav")).frames(), 480u);
}

TEST(Writer, TheCleanupRemovesTheTemporaryFilesOfManyWritersAtOnce) {
    // As many writers as a batch on a large machine has open: a crash or a second interrupt
    // must leave none of their files behind.
    TempDir dir;
    std::vector<std::unique_ptr<AudioWriter>> writers;
    for (int k = 0; k < 40; ++k) {
        std::string name = "w";
        name += std::to_string(k);
        name += ".wav";
        writers.push_back(std::make_unique<AudioWriter>(dir.file(name), Container::Wav, SampleFormat::Pcm16, 48000, 2));
    }
    EXPECT_EQ(countHidden(dir), 40);
    removeTemporaryFilesNow();
    EXPECT_EQ(countHidden(dir), 0);
    writers.clear();
    EXPECT_TRUE(dir.entries().empty());
}

TEST(Reader, OggWhoseEndCannotBeFoundIsRefused) {
    TempDir dir;
    writeAudio(dir.file("whole.ogg"), 48000, 1, orvex::test::noise(96000, 2, 0.3f), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    std::ifstream f(dir.file("whole.ogg"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(f)), {});
    std::ofstream(dir.file("cut.ogg"), std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    EXPECT_EQ(AudioReader(dir.file("whole.ogg")).frames(), 96000);
    EXPECT_NE(errorOf([&] { AudioReader r(dir.file("cut.ogg")); }).find("its length cannot be told"), std::string::npos);
    // MP3 lengths are the decoder's estimate where the file has no encoder header.
    writeAudio(dir.file("a.mp3"), 48000, 1, orvex::test::noise(4800, 2, 0.3f), SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    EXPECT_TRUE(AudioReader(dir.file("a.mp3")).lengthEstimated());
    EXPECT_FALSE(AudioReader(dir.file("whole.ogg")).lengthEstimated());
    EXPECT_EQ(AudioReader(dir.file("a.mp3")).formatName(), "MP3");
}

}  // namespace
