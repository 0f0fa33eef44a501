#include "tools/common/audio_file.h"

#if ORVEX_TOOLS_WITH_SNDFILE
#include <sndfile.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include "tools/common/windows_api.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/common/wav_file.h"

namespace orvex::tools {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

#if defined(_WIN32)
constexpr const char* kSeparators = "/\\";
#else
constexpr const char* kSeparators = "/";
#endif

std::string extensionOf(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return lower(path.substr(dot + 1));
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const auto slash = path.find_last_of(kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

#if ORVEX_TOOLS_WITH_SNDFILE
// The readable name of an accepted container, or null for one we do not take.
const char* acceptedContainer(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_RF64: return "WAV";
        case SF_FORMAT_FLAC: return "FLAC";
        case SF_FORMAT_AIFF: return "AIFF";
        case SF_FORMAT_OGG: return "Ogg";
        default: return nullptr;
    }
}

std::string encodingName(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8: return "8-bit";
        case SF_FORMAT_PCM_16: return "16-bit";
        case SF_FORMAT_PCM_24: return "24-bit";
        case SF_FORMAT_PCM_32: return "32-bit";
        case SF_FORMAT_FLOAT: return "32-bit float";
        case SF_FORMAT_DOUBLE: return "64-bit float";
        case SF_FORMAT_VORBIS: return "Vorbis";
        case SF_FORMAT_OPUS: return "Opus";
        case SF_FORMAT_ULAW: return "u-law";
        case SF_FORMAT_ALAW: return "A-law";
        default: return "encoded";
    }
}

bool isIntegerEncoding(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW: return true;
        default: return false;
    }
}
#endif

bool useLibsndfile(AudioCodec codec) { return haveLibsndfile() && codec == AudioCodec::Default; }

#if defined(_WIN32)
std::string lastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

// The file's identity (volume and index), or false when it cannot be opened.
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}
#endif

// Replaces `to` by `from` in one step.
bool renameOver(const std::string& from, const std::string& to, std::string& why) {
#if defined(_WIN32)
    // rename() refuses an existing target on Windows.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    why = lastErrorText();
    return false;
#else
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
#endif
}

// Temporary files not yet renamed or removed, as fixed buffers a signal handler can read.
constexpr int kTempSlots = 4;
constexpr std::size_t kTempPathMax = 4096;
char gTempPaths[kTempSlots][kTempPathMax];
volatile std::sig_atomic_t gTempUsed[kTempSlots];

int registerTemp(const std::string& path) {
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        if (!gTempUsed[i]) {
            std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
            gTempUsed[i] = 1;
            return i;
        }
    }
    return -1;
}

void unregisterTemp(int slot) {
    if (slot >= 0) gTempUsed[slot] = 0;
}

}  // namespace

bool haveLibsndfile() { return ORVEX_TOOLS_WITH_SNDFILE != 0; }

void removeTemporaryFilesNow() {
    for (int i = 0; i < kTempSlots; ++i) {
        if (gTempUsed[i]) {
            ::unlink(gTempPaths[i]);
            gTempUsed[i] = 0;
        }
    }
}

SampleFormat parseSampleFormat(const std::string& text) {
    const std::string t = lower(text);
    if (t == "16") return SampleFormat::Pcm16;
    if (t == "24") return SampleFormat::Pcm24;
    if (t == "float" || t == "32f" || t == "f32" || t == "32") return SampleFormat::Float32;
    throw FileError("unknown sample format \"" + text + "\"; choose 16, 24 or float");
}

const char* sampleFormatName(SampleFormat format) {
    switch (format) {
        case SampleFormat::Pcm16: return "16-bit";
        case SampleFormat::Pcm24: return "24-bit";
        case SampleFormat::Float32: return "32-bit float";
    }
    return "?";
}

Container containerForPath(const std::string& path) {
    const std::string ext = extensionOf(path);
    if (ext == "wav") return Container::Wav;
    if (ext == "flac") {
        if (!haveLibsndfile())
            throw FileError("cannot write \"" + path + "\": this build of orvex-render writes .wav files only (FLAC needs libsndfile)");
        return Container::Flac;
    }
    throw FileError("cannot write \"" + path + "\": the output must be a .wav or .flac file");
}

bool samePath(const std::string& a, const std::string& b) {
#if defined(_WIN32)
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    if (fileIdentity(a, ia) && fileIdentity(b, ib))
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    // At least one does not exist yet: compare the full paths, as the file system does, without case.
    auto resolved = [](const std::string& p) {
        char full[MAX_PATH * 4];
        const DWORD n = GetFullPathNameA(p.c_str(), sizeof full, full, nullptr);
        std::string r = n > 0 && n < sizeof full ? std::string(full, n) : p;
        std::replace(r.begin(), r.end(), '/', '\\');
        return lower(r);
    };
    return resolved(a) == resolved(b);
#else
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    // At least one does not exist yet: compare the resolved directories and the names.
    auto resolved = [](const std::string& p) {
        char* dir = ::realpath(directoryOf(p).c_str(), nullptr);
        std::string r = dir ? std::string(dir) : directoryOf(p);
        std::free(dir);
        return r + "/" + baseNameOf(p);
    };
    return resolved(a) == resolved(b);
#endif
}

AudioReader::AudioReader(const std::string& path, AudioCodec codec) : path_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw FileError("cannot open \"" + path + "\": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw FileError("cannot open \"" + path + "\": it is a directory");
    if (::access(path.c_str(), R_OK) != 0)
        throw FileError("cannot open \"" + path + "\": " + std::strerror(errno));

    if (!useLibsndfile(codec)) {
        wav_ = std::make_unique<WavReader>(path);
        rate_ = wav_->rate();
        channels_ = wav_->channels();
        frames_ = wav_->frames();
        integer_ = wav_->integerSamples();
        formatName_ = "WAV " + wav_->encodingName();
        if (frames_ <= 0) throw FileError("\"" + path + "\" holds no audio (zero length)");
        return;
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    SF_INFO info{};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (!file_)
        throw FileError("cannot read \"" + path + "\": not a WAV, FLAC, AIFF or Ogg audio file (" +
                        sf_strerror(nullptr) + ")");
    const char* container = acceptedContainer(info.format);
    if (!container) {
        sf_close(file_);
        file_ = nullptr;
        throw FileError("cannot read \"" + path +
                        "\": unsupported file format; use WAV, FLAC, AIFF or Ogg");
    }
    rate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = info.frames;
    integer_ = isIntegerEncoding(info.format);
    formatName_ = std::string(container) + " " + encodingName(info.format);
    if (frames_ <= 0) {
        sf_close(file_);
        file_ = nullptr;
        throw FileError("\"" + path + "\" holds no audio (zero length)");
    }
    if (rate_ <= 0) {
        sf_close(file_);
        file_ = nullptr;
        throw FileError("\"" + path + "\" declares an invalid sample rate");
    }
#endif
}

AudioReader::~AudioReader() {
#if ORVEX_TOOLS_WITH_SNDFILE
    if (file_) sf_close(file_);
#endif
}

std::size_t AudioReader::read(float* interleaved, std::size_t maxFrames) {
    if (wav_) return wav_->read(interleaved, maxFrames);
#if ORVEX_TOOLS_WITH_SNDFILE
    const sf_count_t got = sf_readf_float(file_, interleaved, static_cast<sf_count_t>(maxFrames));
    if (got < 0 || (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR))
        throw FileError("error reading \"" + path_ + "\": " + sf_strerror(file_));
    return static_cast<std::size_t>(got);
#else
    return 0;
#endif
}

AudioWriter::AudioWriter(const std::string& path, Container container, SampleFormat format, int rate,
                         int channels, AudioCodec codec)
    : path_(path), channels_(channels) {
    if (format == SampleFormat::Float32 && container == Container::Flac)
        throw FileError("FLAC holds integer samples only; use --format 16 or 24 for \"" + path + "\"");
    const bool library = useLibsndfile(codec);
    if (!library && container != Container::Wav)
        throw FileError("cannot write \"" + path + "\": the built-in codec writes .wav files only (FLAC needs libsndfile)");
#if ORVEX_TOOLS_WITH_SNDFILE
    SF_INFO info{};
    if (library) {
        info.samplerate = rate;
        info.channels = channels;
        int sub = SF_FORMAT_PCM_24;
        if (format == SampleFormat::Pcm16) sub = SF_FORMAT_PCM_16;
        if (format == SampleFormat::Float32) sub = SF_FORMAT_FLOAT;
        info.format = (container == Container::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV) | sub;
        if (!sf_format_check(&info))
            throw FileError("cannot write \"" + path + "\" as " + sampleFormatName(format) + " at " +
                            std::to_string(rate) + " Hz");
    }
#endif

    // The temporary file lives in the target's directory so the final rename stays on one file
    // system and is atomic.
    std::string pattern = directoryOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        throw FileError("cannot write \"" + path + "\": " + std::strerror(errno));
    tempPath_ = name.data();
    slot_ = registerTemp(tempPath_);
#if defined(_WIN32)
    _setmode(fd, _O_BINARY);
#else
    // mkstemp creates the file private to us; give it the usual permissions under the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
#endif

    if (!library) {
        stream_ = ::fdopen(fd, "wb");
        if (!stream_) {
            const int err = errno;
            ::close(fd);
            discard();
            throw FileError("cannot write \"" + path + "\": " + std::strerror(err));
        }
        try {
            wav_ = std::make_unique<WavWriter>(stream_, path, format, rate, channels);
        } catch (...) {
            discard();
            throw;
        }
        return;
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file_) {
        ::close(fd);
        discard();
        throw FileError("cannot write \"" + path + "\": " + sf_strerror(nullptr));
    }
    // Integer outputs saturate at full scale instead of wrapping round.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
#endif
}

AudioWriter::~AudioWriter() { discard(); }

void AudioWriter::write(const float* interleaved, std::size_t frames) {
    if (wav_) {
        wav_->write(interleaved, frames);
        return;
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    const sf_count_t put = sf_writef_float(file_, interleaved, static_cast<sf_count_t>(frames));
    if (put != static_cast<sf_count_t>(frames))
        throw FileError("error writing \"" + path_ + "\": " + sf_strerror(file_));
#endif
}

void AudioWriter::commit() {
    if (!file_ && !stream_) throw FileError("error writing \"" + path_ + "\": file already closed");
    std::string why;
    if (stream_) {
        try {
            wav_->finish();
        } catch (const FileError&) {
            discard();
            throw;
        }
        wav_.reset();
        const int closed = std::fclose(stream_);
        stream_ = nullptr;
        if (closed != 0) why = std::strerror(errno);
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    if (file_) {
        sf_write_sync(file_);
        const int closed = sf_close(file_);
        file_ = nullptr;
        if (closed != 0) why = sf_error_number(closed);
    }
#endif
    if (!why.empty()) {
        discard();
        throw FileError("error writing \"" + path_ + "\": " + why);
    }
    if (!renameOver(tempPath_, path_, why)) {
        discard();
        throw FileError("cannot write \"" + path_ + "\": " + why);
    }
    tempPath_.clear();
    unregisterTemp(slot_);
}

void AudioWriter::discard() {
    wav_.reset();
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    if (file_) {
        sf_close(file_);
        file_ = nullptr;
    }
#endif
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
        unregisterTemp(slot_);
    }
}

}  // namespace orvex::tools
