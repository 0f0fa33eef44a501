#pragma once
// WAV files read and written by the program itself, for builds without libsndfile (the Windows
// build among them). Reading takes integer PCM of 8, 16, 24 and 32 bits and float samples of 32
// and 64 bits, in the plain and in the extensible format header, any channel count; writing gives
// 16-bit, 24-bit or float samples. Sample values convert as libsndfile converts them, so either
// build reads and writes the same numbers:
//   reading  integers are divided by 2^(bits-1) (8-bit samples are unsigned, offset 128);
//   writing  a sample becomes round(x * 2^31) saturated to 32 bits, of which the top 16 or 24
//            bits are kept.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/audio_file.h"

namespace orvex::tools {

class WavReader {
public:
    // Opens `path` and reads its header. Throws FileError: for a file that is not a WAV file
    // (FLAC, AIFF and Ogg files are named as such), for an encoding it does not read, or for a
    // damaged header.
    explicit WavReader(const std::string& path);
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    int rate() const { return rate_; }
    int channels() const { return channels_; }
    // Frames in the data chunk, or as many whole frames as the file holds when it ends early.
    std::int64_t frames() const { return frames_; }
    bool integerSamples() const { return !float_; }
    // "16-bit", "24-bit", "32-bit float" and so on, as the libsndfile build names them.
    std::string encodingName() const;

    // Reads up to `maxFrames` interleaved frames; returns the count read, 0 at the end.
    std::size_t read(float* interleaved, std::size_t maxFrames);

private:
    std::string path_;
    std::FILE* file_ = nullptr;
    int rate_ = 0;
    int channels_ = 0;
    int bits_ = 0;
    bool float_ = false;
    std::int64_t frames_ = 0;
    std::int64_t left_ = 0;  // frames not yet read
    std::vector<unsigned char> raw_;
};

// Writes a WAV file into a file the caller opened for binary writing and closes itself. The
// header goes out first with the sizes still open; finish() fills them in.
class WavWriter {
public:
    WavWriter(std::FILE* file, const std::string& pathForMessages, SampleFormat format, int rate, int channels);

    // Throws FileError when the file cannot take the samples (a full disk).
    void write(const float* interleaved, std::size_t frames);
    // Completes the header and flushes; the caller closes the file.
    void finish();

private:
    void writeHeader(std::uint64_t dataBytes);
    void put(const void* data, std::size_t bytes);

    std::FILE* file_;
    std::string path_;
    SampleFormat format_;
    int rate_;
    int channels_;
    std::uint64_t dataBytes_ = 0;
    std::vector<unsigned char> raw_;
};

}  // namespace orvex::tools
