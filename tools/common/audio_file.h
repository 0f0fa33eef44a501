#pragma once
// Audio files for the renderer: chunked reading of WAV, FLAC, AIFF and Ogg files and chunked
// writing of WAV or FLAC into a temporary file that only becomes the target once complete.
//
// The files go through libsndfile where the build has it. Builds without it (the Windows build
// among them) use the program's own WAV code (tools/common/wav_file.h): WAV in and out, and one clear
// error for the other containers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

typedef struct sf_private_tag SNDFILE;

namespace orvex::tools {

class WavReader;
class WavWriter;

// Every failure of a file operation: the message is one line meant for the user.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class SampleFormat { Pcm16, Pcm24, Float32 };
enum class Container { Wav, Flac };

// Who encodes and decodes a file: the build's default (libsndfile where the build has it), or
// the program's own WAV code, which every build carries.
enum class AudioCodec { Default, Builtin };
// True when the default codec is libsndfile.
bool haveLibsndfile();

// "16", "24", "float" (also "32f", "f32"); throws FileError naming the choices.
SampleFormat parseSampleFormat(const std::string& text);
const char* sampleFormatName(SampleFormat format);
// From the file name's extension (.wav, .flac); throws FileError for anything else, and for
// .flac in a build without libsndfile.
Container containerForPath(const std::string& path);

// True when both names lead to the same file (or to the same not yet existing path).
bool samePath(const std::string& a, const std::string& b);

class AudioReader {
public:
    // Opens and checks the file: it must exist, be one of the accepted formats and hold audio.
    explicit AudioReader(const std::string& path, AudioCodec codec = AudioCodec::Default);
    ~AudioReader();
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    int rate() const { return rate_; }
    int channels() const { return channels_; }
    std::int64_t frames() const { return frames_; }
    // Integer PCM in the file (as opposed to float samples or a lossy codec).
    bool integerSamples() const { return integer_; }
    const std::string& formatName() const { return formatName_; }

    // Reads up to `maxFrames` interleaved frames; returns the count read, 0 at the end.
    std::size_t read(float* interleaved, std::size_t maxFrames);

private:
    std::string path_;
    SNDFILE* file_ = nullptr;
    std::unique_ptr<WavReader> wav_;
    int rate_ = 0;
    int channels_ = 0;
    std::int64_t frames_ = 0;
    bool integer_ = true;
    std::string formatName_;
};

// Removes every temporary output file still open. Safe to call from a signal handler, so a
// crash inside a plug-in or a second interrupt does not leave a partial file behind either.
void removeTemporaryFilesNow();

// Writes into a hidden temporary file beside the target; `commit` renames it into place.
// Destroyed without a commit (an error on the way), it removes the temporary file, so a failed
// run never leaves a partial output behind.
class AudioWriter {
public:
    AudioWriter(const std::string& path, Container container, SampleFormat format, int rate,
                int channels, AudioCodec codec = AudioCodec::Default);
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void write(const float* interleaved, std::size_t frames);
    void commit();

private:
    void discard();

    std::string path_;
    std::string tempPath_;
    int slot_ = -1;  // in the table removeTemporaryFilesNow works through
    SNDFILE* file_ = nullptr;
    std::FILE* stream_ = nullptr;  // the temporary file under the built-in codec
    std::unique_ptr<WavWriter> wav_;
    int channels_ = 0;
};

}  // namespace orvex::tools
