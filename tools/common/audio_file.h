#pragma once
// Audio files for the programs: chunked reading of whatever libsndfile reads (WAV, FLAC, AIFF,
// Ogg Vorbis and Opus, MP3, CAF, ...) and chunked writing into a temporary file that only
// becomes the target once complete. Outputs are PCM in the lossless types (WAV, FLAC, AIFF, CAF,
// W64, RF64, AU and the rest of libsndfile's writable types) or encoded: MP3, Ogg Vorbis, Ogg
// Opus.
//
// The files go through libsndfile where the build has it. Builds without it (the Windows build
// among them) use the program's own WAV code (tools/common/wav_file.h): WAV in and out, and one
// clear error for the other types.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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
// The families of output types the programs treat apart; every other type libsndfile writes is
// Other (PCM like WAV, its libsndfile format in FileType).
enum class Container { Wav, Flac, Mp3, Vorbis, Opus, Other };

// An output file type.
struct FileType {
    FileType() : FileType(Container::Wav) {}
    FileType(Container container);  // Wav, Flac, Mp3, Vorbis or Opus
    Container container = Container::Wav;
    std::string name;       // "WAV", "FLAC", "MP3", "Ogg Vorbis", "Ogg Opus", "AIFF", "CAF", ...
    std::string extension;  // without the dot: what batch outputs are named with
    int sndfileFormat = 0;  // libsndfile's major format, with the codec of the encoded types
    // Encoded (MP3, Vorbis, Opus): a bitrate or quality applies and a sample format does not.
    bool encoded() const { return container == Container::Mp3 || container == Container::Vorbis || container == Container::Opus; }
    bool operator==(const FileType& o) const { return container == o.container && sndfileFormat == o.sndfileFormat; }
};

// How an encoded type is encoded; unset fields take the type's default (MP3: 192 kbit/s constant,
// Opus: 128 kbit/s, Vorbis: quality 6).
struct EncoderSettings {
    std::optional<int> bitrateKbps;  // MP3 (constant bitrate), Opus
    std::optional<double> quality;   // MP3 (variable bitrate, 0 best .. 9), Vorbis (0 .. 10 best)
};

// Who encodes and decodes a file: the build's default (libsndfile where the build has it), or
// the program's own WAV code, which every build carries.
enum class AudioCodec { Default, Builtin };
// True when the default codec is libsndfile.
bool haveLibsndfile();

// "16", "24", "float" (also "32f", "f32"); throws FileError naming the choices.
SampleFormat parseSampleFormat(const std::string& text);
const char* sampleFormatName(SampleFormat format);
// From the file name's extension (.wav, .flac, .mp3, .opus, .ogg/.oga for Vorbis, .aiff, .caf,
// ...); throws FileError for an extension no writable type has, and for every type but WAV in a
// build without libsndfile.
FileType fileTypeForPath(const std::string& path);
// By name: an extension as above, or "vorbis" and "ogg"; throws FileError naming the choices.
FileType fileTypeNamed(const std::string& name);
// The names fileTypeNamed takes, for messages and --help.
std::string fileTypeNames();

// Throws FileError when `settings` ask what `type` cannot do (a bitrate for Vorbis, a quality for
// Opus, either for an unencoded type, values out of range).
void checkEncoderSettings(const FileType& type, const EncoderSettings& settings);
// "192 kbit/s constant", "quality 6", ...: how `type` will be encoded.
std::string encoderDescription(const FileType& type, const EncoderSettings& settings);
// Whether `type` holds samples of `format` (FLAC holds no float, most of the old types no
// 24-bit); the encoded types hold any.
bool typeHolds(const FileType& type, SampleFormat format);

// An extension audio files commonly carry, read by libsndfile or not (wav, mp3, m4a, wma, ...):
// such a file that does not open is a fault to report, where other files are simply not audio.
bool hasAudioExtension(const std::string& path);

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
    // True where frames() is the decoder's estimate (MP3 files without an encoder header).
    bool lengthEstimated() const { return estimated_; }

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
    bool estimated_ = false;
    std::string formatName_;
};

// Removes every temporary output file still open, in any thread. Safe to call from a signal
// handler, so a crash inside a plug-in or a second interrupt does not leave a partial file
// behind either.
void removeTemporaryFilesNow();

// Any other file a program writes whole or not at all (the picture of a render): a hidden
// temporary file beside `path`, renamed into place by `commit`, removed when destroyed without
// one and by removeTemporaryFilesNow.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& path);  // throws FileError
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    std::FILE* stream() const { return stream_; }
    // Closes the stream and renames the file into place; `replace` as for AudioWriter::commit.
    // Throws FileError (a write that failed on the way shows here).
    void commit(bool replace = true);

private:
    void discard();

    std::string path_;
    std::string tempPath_;
    int slot_ = -1;
    std::FILE* stream_ = nullptr;
};

// Writes into a hidden temporary file beside the target; `commit` renames it into place.
// Destroyed without a commit (an error on the way), it removes the temporary file, so a failed
// run never leaves a partial output behind.
class AudioWriter {
public:
    // `format` is ignored by the encoded types.
    AudioWriter(const std::string& path, const FileType& type, SampleFormat format, int rate,
                int channels, AudioCodec codec = AudioCodec::Default, const EncoderSettings& encoder = {});
    ~AudioWriter();
    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void write(const float* interleaved, std::size_t frames);
    // Completes the file and renames it into place. With `replace` false an existing target is
    // left alone and commit throws FileError (checked in the same step as the rename, so a file
    // that appeared meanwhile is not overwritten either).
    void commit(bool replace = true);

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
