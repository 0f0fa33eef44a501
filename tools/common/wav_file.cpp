#include "tools/common/wav_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace orvex::tools {
namespace {

// 64-bit file positions on every platform (long is 32 bits on Windows).
bool seekTo(std::FILE* f, std::int64_t at) {
#if defined(_WIN32)
    return _fseeki64(f, at, SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

std::int64_t fileSize(std::FILE* f) {
#if defined(_WIN32)
    if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
    const std::int64_t size = _ftelli64(f);
#else
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    const std::int64_t size = ftello(f);
#endif
    return size;
}

std::uint32_t le16(const unsigned char* p) { return static_cast<std::uint32_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void putLe(unsigned char* p, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

constexpr std::uint32_t kFormatPcm = 1;
constexpr std::uint32_t kFormatFloat = 3;
constexpr std::uint32_t kFormatExtensible = 0xFFFE;
// The sub-format GUID of the extensible header is the format tag followed by these 14 bytes.
constexpr unsigned char kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The containers this reader recognises but leaves to libsndfile.
const char* otherContainer(const unsigned char* head, std::size_t n) {
    if (n >= 4 && std::memcmp(head, "fLaC", 4) == 0) return "FLAC";
    if (n >= 12 && std::memcmp(head, "FORM", 4) == 0 &&
        (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0))
        return "AIFF";
    if (n >= 4 && std::memcmp(head, "OggS", 4) == 0) return "Ogg";
    if (n >= 12 && std::memcmp(head, "RF64", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) return "RF64 WAV";
    return nullptr;
}

// A sample as a full-scale 32-bit integer, saturated. NaN becomes silence.
std::int32_t fullScale(float x) {
    if (!(x == x)) return 0;
    if (x >= 1.0f) return std::numeric_limits<std::int32_t>::max();
    if (x <= -1.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(std::lrint(x * 2147483648.0f));
}

}  // namespace

WavReader::WavReader(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw FileError("cannot open \"" + path + "\": " + std::strerror(errno));
    auto fail = [&](const std::string& why) {
        std::fclose(file_);
        file_ = nullptr;
        throw FileError("cannot read \"" + path + "\": " + why);
    };
    const std::int64_t size = fileSize(file_);
    if (size < 0 || !seekTo(file_, 0)) fail("cannot find its size");

    unsigned char head[12] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file_);
    if (const char* other = otherContainer(head, got))
        fail(std::string("it is a ") + other +
             " file, and this build of orvex-render reads WAV files only (FLAC, AIFF and Ogg need libsndfile)");
    if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        fail("not a WAV audio file");

    bool haveFormat = false;
    std::int64_t dataAt = -1, dataBytes = 0;
    std::uint32_t tag = 0, blockAlign = 0;
    std::int64_t at = 12;
    while (at + 8 <= size && (!haveFormat || dataAt < 0)) {
        unsigned char chunk[8];
        if (!seekTo(file_, at) || std::fread(chunk, 1, 8, file_) != 8) break;
        const std::int64_t bytes = le32(chunk + 4);
        const std::int64_t body = at + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[40] = {};
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(bytes, sizeof fmt));
            if (bytes < 16 || std::fread(fmt, 1, want, file_) != want) fail("its format header is damaged");
            tag = le16(fmt);
            channels_ = static_cast<int>(le16(fmt + 2));
            const std::uint32_t rate = le32(fmt + 4);
            blockAlign = le16(fmt + 12);
            bits_ = static_cast<int>(le16(fmt + 14));
            if (tag == kFormatExtensible) {
                if (bytes < 40 || std::memcmp(fmt + 26, kGuidTail, sizeof kGuidTail) != 0)
                    fail("its extensible format header is damaged or names an unknown sub-format");
                tag = le16(fmt + 24);
            }
            if (rate == 0 || rate > static_cast<std::uint32_t>(INT_MAX)) fail("it declares an invalid sample rate");
            rate_ = static_cast<int>(rate);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            dataAt = body;
            // Streamed files may leave the size open (0 or 0xFFFFFFFF): the data then runs to the end.
            dataBytes = bytes == 0 || bytes == 0xFFFFFFFF ? size - body : std::min<std::int64_t>(bytes, size - body);
        }
        at = body + bytes + (bytes & 1);
    }
    if (!haveFormat) fail("no format header (not a WAV audio file)");
    if (dataAt < 0) fail("no audio data chunk");

    if (tag == kFormatPcm && (bits_ == 8 || bits_ == 16 || bits_ == 24 || bits_ == 32)) {
        float_ = false;
    } else if (tag == kFormatFloat && (bits_ == 32 || bits_ == 64)) {
        float_ = true;
    } else {
        fail("unsupported WAV encoding (format " + std::to_string(tag) + ", " + std::to_string(bits_) +
             " bits); give PCM of 8 to 32 bits or float samples");
    }
    if (channels_ < 1) fail("it declares no channels");
    if (blockAlign != static_cast<std::uint32_t>(channels_ * (bits_ / 8))) fail("its format header is damaged");
    frames_ = left_ = dataBytes / blockAlign;
    if (!seekTo(file_, dataAt)) fail("cannot reach the audio data");
}

WavReader::~WavReader() {
    if (file_) std::fclose(file_);
}

std::string WavReader::encodingName() const {
    if (float_) return bits_ == 64 ? "64-bit float" : "32-bit float";
    return std::to_string(bits_) + "-bit";
}

std::size_t WavReader::read(float* interleaved, std::size_t maxFrames) {
    const std::size_t frames = static_cast<std::size_t>(std::min<std::int64_t>(left_, static_cast<std::int64_t>(maxFrames)));
    if (frames == 0) return 0;
    const std::size_t width = static_cast<std::size_t>(bits_ / 8);
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    raw_.resize(samples * width);
    if (std::fread(raw_.data(), width * static_cast<std::size_t>(channels_), frames, file_) != frames)
        throw FileError("error reading \"" + path_ + "\": " +
                        (std::ferror(file_) ? std::strerror(errno) : "the file ends inside its audio data"));
    left_ -= static_cast<std::int64_t>(frames);
    const unsigned char* p = raw_.data();
    for (std::size_t i = 0; i < samples; ++i, p += width) {
        float v = 0.0f;
        if (float_ && bits_ == 32) {
            const std::uint32_t u = le32(p);
            std::memcpy(&v, &u, sizeof v);
        } else if (float_) {
            const std::uint64_t u = le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
            double d;
            std::memcpy(&d, &u, sizeof d);
            v = static_cast<float>(d);
        } else if (bits_ == 8) {
            v = static_cast<float>(static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
        } else if (bits_ == 16) {
            v = static_cast<float>(static_cast<std::int16_t>(le16(p))) * (1.0f / 32768.0f);
        } else if (bits_ == 24) {
            // Into the top three bytes of a 32-bit integer, which carries the sign.
            const std::uint32_t u = static_cast<std::uint32_t>(p[0]) << 8 | static_cast<std::uint32_t>(p[1]) << 16 |
                                    static_cast<std::uint32_t>(p[2]) << 24;
            v = static_cast<float>(static_cast<std::int32_t>(u)) * (1.0f / 2147483648.0f);
        } else {
            v = static_cast<float>(static_cast<std::int32_t>(le32(p))) * (1.0f / 2147483648.0f);
        }
        interleaved[i] = v;
    }
    return frames;
}

WavWriter::WavWriter(std::FILE* file, const std::string& pathForMessages, SampleFormat format, int rate, int channels)
    : file_(file), path_(pathForMessages), format_(format), rate_(rate), channels_(channels) {
    if (rate <= 0 || channels < 1 || channels > 65535)
        throw FileError("cannot write \"" + path_ + "\" with " + std::to_string(channels) + " channels at " +
                        std::to_string(rate) + " Hz");
    writeHeader(0);
}

void WavWriter::put(const void* data, std::size_t bytes) {
    if (std::fwrite(data, 1, bytes, file_) != bytes)
        throw FileError("error writing \"" + path_ + "\": " + std::strerror(errno));
}

void WavWriter::writeHeader(std::uint64_t dataBytes) {
    const bool isFloat = format_ == SampleFormat::Float32;
    const std::uint32_t width = format_ == SampleFormat::Pcm16 ? 2 : format_ == SampleFormat::Pcm24 ? 3 : 4;
    const std::uint32_t align = width * static_cast<std::uint32_t>(channels_);
    // Float files carry the extended format header (with an empty extension) and a fact chunk.
    const std::uint32_t fmtBytes = isFloat ? 18 : 16;
    const std::uint32_t headerBytes = 12 + 8 + fmtBytes + (isFloat ? 12 : 0) + 8;
    unsigned char h[12 + 8 + 18 + 12 + 8] = {};
    unsigned char* p = h;
    auto tag4 = [&](const char* s) { std::memcpy(p, s, 4); p += 4; };
    auto u32 = [&](std::uint32_t v) { putLe(p, v, 4); p += 4; };
    auto u16 = [&](std::uint32_t v) { putLe(p, v, 2); p += 2; };
    tag4("RIFF");
    u32(static_cast<std::uint32_t>(headerBytes - 8 + dataBytes + (dataBytes & 1)));
    tag4("WAVE");
    tag4("fmt ");
    u32(fmtBytes);
    u16(isFloat ? kFormatFloat : kFormatPcm);
    u16(static_cast<std::uint32_t>(channels_));
    u32(static_cast<std::uint32_t>(rate_));
    u32(static_cast<std::uint32_t>(rate_) * align);
    u16(align);
    u16(width * 8);
    if (isFloat) {
        u16(0);
        tag4("fact");
        u32(4);
        u32(static_cast<std::uint32_t>(dataBytes / align));
    }
    tag4("data");
    u32(static_cast<std::uint32_t>(dataBytes));
    put(h, headerBytes);
}

void WavWriter::write(const float* interleaved, std::size_t frames) {
    const std::size_t width = format_ == SampleFormat::Pcm16 ? 2 : format_ == SampleFormat::Pcm24 ? 3 : 4;
    const std::size_t samples = frames * static_cast<std::size_t>(channels_);
    // The RIFF sizes are 32-bit: the header, the data and a pad byte must fit.
    if (dataBytes_ + samples * width > 0xFFFFFFFFull - 64)
        throw FileError("cannot write \"" + path_ + "\": too long for a WAV file (4 GB)");
    raw_.resize(samples * width);
    unsigned char* p = raw_.data();
    for (std::size_t i = 0; i < samples; ++i, p += width) {
        const float x = interleaved[i];
        switch (format_) {
            case SampleFormat::Float32: {
                std::uint32_t u;
                std::memcpy(&u, &x, sizeof u);
                putLe(p, u, 4);
                break;
            }
            case SampleFormat::Pcm16: putLe(p, static_cast<std::uint32_t>(fullScale(x) >> 16), 2); break;
            case SampleFormat::Pcm24: putLe(p, static_cast<std::uint32_t>(fullScale(x) >> 8), 3); break;
        }
    }
    put(raw_.data(), raw_.size());
    dataBytes_ += raw_.size();
}

void WavWriter::finish() {
    if (dataBytes_ & 1) {
        const unsigned char pad = 0;
        put(&pad, 1);
    }
    if (!seekTo(file_, 0)) throw FileError("error writing \"" + path_ + "\": " + std::strerror(errno));
    writeHeader(dataBytes_);
    if (std::fflush(file_) != 0) throw FileError("error writing \"" + path_ + "\": " + std::strerror(errno));
}

}  // namespace orvex::tools
