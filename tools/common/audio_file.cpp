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
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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
// libsndfile keeps the text of its last failure to open a file in one buffer for the process:
// opening and reading that text go together, one thread at a time.
std::mutex gOpenMutex;

// The MP3 decoder inside libsndfile prints notes on standard error while it probes data that
// is not MP3 ("Illegal Audio-MPEG-Header", "Trying to resync..."), and libsndfile offers no way
// to quiet it: standard error goes to /dev/null while a file is opened (under gOpenMutex, so
// the moments stay short and never overlap). What a damaged file makes it say later, while it
// is read, still shows.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

// Without the library's parenthesised long form: "CAF (Apple Core Audio File)" becomes "CAF".
std::string shortMajorName(int major) {
    SF_FORMAT_INFO info{};
    info.format = major;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name) return "audio";
    std::string name = info.name;
    const auto paren = name.find(" (");
    return paren == std::string::npos ? name : name.substr(0, paren);
}

// The readable name of a file's container.
std::string containerName(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_RF64: return "WAV";
        case SF_FORMAT_FLAC: return "FLAC";
        case SF_FORMAT_AIFF: return "AIFF";
        case SF_FORMAT_OGG: return "Ogg";
        case SF_FORMAT_MPEG: return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_MPEG_LAYER_III ? "MP3" : "MPEG";
        default: return shortMajorName(format & SF_FORMAT_TYPEMASK);
    }
}

// libsndfile's messages start with "Error : " at times; the message says it is one already.
std::string libraryMessage(const char* text) {
    std::string s = text ? text : "unknown error";
    if (s.rfind("Error : ", 0) == 0) s.erase(0, 8);
    while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
    return s;
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
        case SF_FORMAT_MPEG_LAYER_I: return "layer I";
        case SF_FORMAT_MPEG_LAYER_II: return "layer II";
        case SF_FORMAT_MPEG_LAYER_III: return "";  // the container says MP3
        case SF_FORMAT_ALAC_16:
        case SF_FORMAT_ALAC_20:
        case SF_FORMAT_ALAC_24:
        case SF_FORMAT_ALAC_32: return "ALAC";
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
        case SF_FORMAT_ALAW:
        case SF_FORMAT_ALAC_16:
        case SF_FORMAT_ALAC_20:
        case SF_FORMAT_ALAC_24:
        case SF_FORMAT_ALAC_32: return true;
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

// Moves `from` to `to` unless `to` exists, in one step: a file that appears at `to` meanwhile is
// not overwritten either.
bool renameUnlessExists(const std::string& from, const std::string& to, std::string& why, bool& existed) {
    existed = false;
#if defined(_WIN32)
    // Without MOVEFILE_REPLACE_EXISTING the move refuses an existing target.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    existed = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
    why = lastErrorText();
    return false;
#else
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        existed = errno == EEXIST;
        why = std::strerror(errno);
        return false;
    }
    // A file system without the flag: a hard link fails in the same way on an existing target.
#endif
    if (::link(from.c_str(), to.c_str()) != 0) {
        existed = errno == EEXIST;
        why = std::strerror(errno);
        return false;
    }
    ::unlink(from.c_str());
    return true;
#endif
}

// Temporary files not yet renamed or removed, as fixed buffers a signal handler can read. A
// slot is free (0), being filled (1) or live (2); writers on several threads claim theirs with
// an atomic exchange. A file beyond the last slot is still removed by its writer, only not by a
// signal handler.
constexpr int kTempSlots = 128;
constexpr std::size_t kTempPathMax = 4096;
char gTempPaths[kTempSlots][kTempPathMax];
std::atomic<int> gTempState[kTempSlots];
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free slot states");

int registerTemp(const std::string& path) {
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        int expected = 0;
        if (gTempState[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
            gTempState[i].store(2);
            return i;
        }
    }
    return -1;
}

void unregisterTemp(int slot) {
    if (slot >= 0) gTempState[slot].store(0);
}

// Creates the hidden temporary file `path` is written under and registers it; returns its
// descriptor. It lives in the target's directory so the final rename stays on one file system
// and is atomic.
int createTemporary(const std::string& path, std::string& tempPath, int& slot) {
    std::string pattern = directoryOf(path) + "/." + baseNameOf(path) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0)
        throw FileError("cannot write \"" + path + "\": " + std::strerror(errno));
    tempPath = name.data();
    slot = registerTemp(tempPath);
#if defined(_WIN32)
    _setmode(fd, _O_BINARY);
#else
    // mkstemp creates the file private to us; give it the usual permissions under the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
#endif
    return fd;
}

// Renames a finished temporary file into place and forgets it; throws FileError naming the
// target (the temporary is then still there for the caller to discard).
void moveIntoPlace(std::string& tempPath, int slot, const std::string& path, bool replace) {
    std::string why;
    bool existed = false;
    if (!(replace ? renameOver(tempPath, path, why) : renameUnlessExists(tempPath, path, why, existed))) {
        if (existed) throw FileError("\"" + path + "\" exists already; not overwritten");
        throw FileError("cannot write \"" + path + "\": " + why);
    }
    tempPath.clear();
    unregisterTemp(slot);
}

// Deletes an unfinished temporary file, if there is one, and forgets it.
void removeTemporary(std::string& tempPath, int slot) {
    if (tempPath.empty()) return;
    ::unlink(tempPath.c_str());
    tempPath.clear();
    unregisterTemp(slot);
}

}  // namespace

bool haveLibsndfile() { return ORVEX_TOOLS_WITH_SNDFILE != 0; }

void removeTemporaryFilesNow() {
    for (int i = 0; i < kTempSlots; ++i) {
        int live = 2;
        if (gTempState[i].compare_exchange_strong(live, 0)) ::unlink(gTempPaths[i]);
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

FileType::FileType(Container c) : container(c) {
    switch (c) {
        case Container::Wav: name = "WAV"; extension = "wav"; break;
        case Container::Flac: name = "FLAC"; extension = "flac"; break;
        case Container::Mp3: name = "MP3"; extension = "mp3"; break;
        case Container::Vorbis: name = "Ogg Vorbis"; extension = "ogg"; break;
        case Container::Opus: name = "Ogg Opus"; extension = "opus"; break;
        case Container::Other: name = "audio"; break;
    }
#if ORVEX_TOOLS_WITH_SNDFILE
    switch (c) {
        case Container::Wav: sndfileFormat = SF_FORMAT_WAV; break;
        case Container::Flac: sndfileFormat = SF_FORMAT_FLAC; break;
        case Container::Mp3: sndfileFormat = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III; break;
        case Container::Vorbis: sndfileFormat = SF_FORMAT_OGG | SF_FORMAT_VORBIS; break;
        case Container::Opus: sndfileFormat = SF_FORMAT_OGG | SF_FORMAT_OPUS; break;
        case Container::Other: break;
    }
#endif
}

namespace {

// The type an extension or name stands for; none for one no writable type has.
std::optional<FileType> typeFor(const std::string& text) {
    const std::string t = lower(text);
    if (t == "wav" || t == "wave") return FileType(Container::Wav);
    if (t == "flac") return FileType(Container::Flac);
    if (t == "mp3") return FileType(Container::Mp3);
    if (t == "opus") return FileType(Container::Opus);
    if (t == "ogg" || t == "oga" || t == "vorbis") return FileType(Container::Vorbis);
#if ORVEX_TOOLS_WITH_SNDFILE
    // The rest of libsndfile's writable types, by the extension it gives them. Headerless files
    // could not be read back, Sound Designer II is written beside a file name and not into an
    // open file, and WAV, FLAC, Ogg and MPEG have their names above.
    const std::string wanted = t == "aif" ? "aiff" : t;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0 || !info.extension) continue;
        switch (info.format) {
            case SF_FORMAT_WAV:
            case SF_FORMAT_WAVEX:
            case SF_FORMAT_NIST:
            case SF_FORMAT_RAW:
            case SF_FORMAT_SD2:
            case SF_FORMAT_FLAC:
            case SF_FORMAT_OGG:
            case SF_FORMAT_MPEG: continue;
            default: break;
        }
        if (lower(info.extension) != wanted) continue;
        // The outputs are stereo: types that cannot hold two channels of 16-bit samples at 48 kHz
        // (voice, sampler and speech formats) are not offered.
        SF_INFO stereo{};
        stereo.samplerate = 48000;
        stereo.channels = 2;
        stereo.format = info.format | SF_FORMAT_PCM_16;
        if (!sf_format_check(&stereo)) continue;
        FileType type(Container::Other);
        type.name = shortMajorName(info.format);
        type.extension = wanted;
        type.sndfileFormat = info.format;
        return type;
    }
#endif
    return std::nullopt;
}

#if ORVEX_TOOLS_WITH_SNDFILE
int pcmSubtype(SampleFormat format) {
    switch (format) {
        case SampleFormat::Pcm16: return SF_FORMAT_PCM_16;
        case SampleFormat::Pcm24: return SF_FORMAT_PCM_24;
        case SampleFormat::Float32: return SF_FORMAT_FLOAT;
    }
    return SF_FORMAT_PCM_24;
}
#endif

constexpr int kMp3Bitrate = 192;
constexpr int kOpusBitrate = 128;
constexpr double kVorbisQuality = 6.0;

std::string numberText(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

#if ORVEX_TOOLS_WITH_SNDFILE
// libsndfile sets every encoder through one compression level from 0 (best) to 1, mapped
// linearly onto the encoder's own scale: the MP3 bitrate between the MPEG version's highest
// and lowest (LAME then takes the nearest bitrate the version has), the Opus bitrate between
// 256 and 6 kbit/s per channel, the LAME and Vorbis qualities between their ends.
void setUpEncoder(SNDFILE* file, const FileType& type, const EncoderSettings& s, int rate, int channels,
                  const std::string& path) {
    double level = 0.0;
    if (type.container == Container::Mp3) {
        int mode = s.quality ? SF_BITRATE_MODE_VARIABLE : SF_BITRATE_MODE_CONSTANT;
        sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
        if (s.quality) {
            level = *s.quality / 10.0;
        } else {
            const double highest = rate >= 32000 ? 320 : rate >= 16000 ? 160 : 64;
            const double lowest = rate >= 32000 ? 32 : 8;
            const double kbps = std::clamp(static_cast<double>(s.bitrateKbps.value_or(kMp3Bitrate)), lowest, highest);
            level = (highest - kbps) / (highest - lowest);
        }
    } else if (type.container == Container::Opus) {
        const double perChannel = std::clamp(1000.0 * s.bitrateKbps.value_or(kOpusBitrate) / channels, 6000.0, 256000.0);
        level = (256000.0 - perChannel) / 250000.0;
    } else if (type.container == Container::Vorbis) {
        level = 1.0 - s.quality.value_or(kVorbisQuality) / 10.0;
    } else {
        return;
    }
    level = std::clamp(level, 0.0, 1.0);
    if (sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level) != SF_TRUE)
        throw FileError("cannot write \"" + path + "\": the " + type.name + " encoder refused its settings (" +
                        libraryMessage(sf_strerror(file)) + ")");
}
#endif

}  // namespace

FileType fileTypeForPath(const std::string& path) {
    const std::string ext = extensionOf(path);
    const std::optional<FileType> type = typeFor(ext);
    if (!type)
        throw FileError("cannot write \"" + path + "\": the output must be a file of a type this program writes (" +
                        fileTypeNames() + ")");
    if (!haveLibsndfile() && type->container != Container::Wav)
        throw FileError("cannot write \"" + path + "\": this build of orvex-render writes .wav files only (" + type->name +
                        " needs libsndfile)");
    return *type;
}

FileType fileTypeNamed(const std::string& name) {
    const std::optional<FileType> type = typeFor(name);
    if (!type) throw FileError("unknown output type \"" + name + "\"; choose " + fileTypeNames());
    if (!haveLibsndfile() && type->container != Container::Wav)
        throw FileError("this build of orvex-render writes WAV files only (" + type->name + " needs libsndfile)");
    return *type;
}

std::string fileTypeNames() {
    if (!haveLibsndfile()) return "wav";
    std::string names = "wav, flac, mp3, opus, ogg (Vorbis)";
#if ORVEX_TOOLS_WITH_SNDFILE
    std::vector<std::string> others;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0 || !info.extension) continue;
        const std::string ext = lower(info.extension);
        const std::optional<FileType> type = typeFor(ext);
        if (type && type->container == Container::Other && std::find(others.begin(), others.end(), ext) == others.end())
            others.push_back(ext);
    }
    for (const auto& ext : others) names += ", " + ext;
#endif
    return names;
}

bool typeHolds(const FileType& type, SampleFormat format) {
    if (type.encoded()) return true;
    if (!haveLibsndfile()) return type.container == Container::Wav;
#if ORVEX_TOOLS_WITH_SNDFILE
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = type.sndfileFormat | pcmSubtype(format);
    return sf_format_check(&info) != 0;
#else
    (void)format;
    return false;
#endif
}

void checkEncoderSettings(const FileType& type, const EncoderSettings& s) {
    if (!s.bitrateKbps && !s.quality) return;
    if (!type.encoded())
        throw FileError("--bitrate and --quality set the MP3, Opus and Vorbis encoders; " + type.name + " files are not encoded");
    if (s.bitrateKbps && s.quality) throw FileError("give --bitrate or --quality, not both");
    switch (type.container) {
        case Container::Mp3:
            if (s.bitrateKbps && (*s.bitrateKbps < 8 || *s.bitrateKbps > 320))
                throw FileError("MP3 bitrates run from 8 to 320 kbit/s, not " + std::to_string(*s.bitrateKbps));
            if (s.quality && (*s.quality < 0.0 || *s.quality > 9.0))
                throw FileError("MP3 quality runs from 0 (best) to 9, not " + numberText(*s.quality));
            break;
        case Container::Opus:
            if (s.quality) throw FileError("the Opus encoder is set by --bitrate, not --quality");
            if (*s.bitrateKbps < 6 || *s.bitrateKbps > 512)
                throw FileError("Opus bitrates run from 6 to 512 kbit/s, not " + std::to_string(*s.bitrateKbps));
            break;
        case Container::Vorbis:
            if (s.bitrateKbps) throw FileError("the Vorbis encoder is set by --quality (0 to 10), not --bitrate");
            if (*s.quality < 0.0 || *s.quality > 10.0)
                throw FileError("Vorbis quality runs from 0 to 10 (best), not " + numberText(*s.quality));
            break;
        default: break;
    }
}

std::string encoderDescription(const FileType& type, const EncoderSettings& s) {
    switch (type.container) {
        case Container::Mp3:
            if (s.quality) return "variable bitrate, quality " + numberText(*s.quality);
            return std::to_string(s.bitrateKbps.value_or(kMp3Bitrate)) + " kbit/s constant";
        case Container::Opus: return std::to_string(s.bitrateKbps.value_or(kOpusBitrate)) + " kbit/s";
        case Container::Vorbis: return "quality " + numberText(s.quality.value_or(kVorbisQuality));
        default: return "";
    }
}

bool hasAudioExtension(const std::string& path) {
    static const char* const kAudio[] = {
        "wav", "wave", "bwf", "rf64", "w64", "flac", "mp3", "mp2", "mp1", "mpga", "m1a", "ogg", "oga", "opus", "spx",
        "aif", "aiff", "aifc", "caf", "au", "snd", "m4a", "m4b", "aac", "alac", "wma", "ape", "wv", "mka", "ac3",
        "eac3", "dts", "amr", "mpc", "tta", "voc", "paf", "sd2", "ircam", "sf", "htk", "iff", "svx", "8svx", "sds",
        "xi", "avr", "wve", "pvf", "dsf", "dff"};
    const std::string ext = extensionOf(path);
    return std::any_of(std::begin(kAudio), std::end(kAudio), [&](const char* e) { return ext == e; });
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
    {
        std::lock_guard<std::mutex> lock(gOpenMutex);
        {
            QuietStderr quiet;
            file_ = sf_open(path.c_str(), SFM_READ, &info);
        }
        if (!file_) {
            // The file is there and readable (checked above): "does not exist" here is the MP3
            // decoder giving up on data it cannot make sense of.
            std::string why = libraryMessage(sf_strerror(nullptr));
            if (why.find("does not exist") != std::string::npos) why = "unrecognised or damaged data";
            throw FileError("cannot read \"" + path + "\": not an audio file this program reads (" + why + ")");
        }
    }
    rate_ = info.samplerate;
    channels_ = info.channels;
    frames_ = info.frames;
    integer_ = isIntegerEncoding(info.format);
    estimated_ = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    const std::string encoding = encodingName(info.format);
    formatName_ = containerName(info.format) + (encoding.empty() ? "" : " " + encoding);
    if (frames_ <= 0) {
        sf_close(file_);
        file_ = nullptr;
        throw FileError("\"" + path + "\" holds no audio (zero length)");
    }
    if (frames_ == SF_COUNT_MAX) {
        // What the Ogg reader answers when it cannot find the stream's end.
        sf_close(file_);
        file_ = nullptr;
        throw FileError("cannot read \"" + path + "\": its length cannot be told (the file is damaged or cut short)");
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
        throw FileError("error reading \"" + path_ + "\": " + libraryMessage(sf_strerror(file_)));
    return static_cast<std::size_t>(got);
#else
    return 0;
#endif
}

AudioWriter::AudioWriter(const std::string& path, const FileType& type, SampleFormat format, int rate,
                         int channels, AudioCodec codec, const EncoderSettings& encoder)
    : path_(path), channels_(channels) {
    if (format == SampleFormat::Float32 && type.container == Container::Flac)
        throw FileError("FLAC holds integer samples only; use --format 16 or 24 for \"" + path + "\"");
    const bool library = useLibsndfile(codec);
    if (!library && type.container != Container::Wav)
        throw FileError("cannot write \"" + path + "\": the built-in codec writes .wav files only (" + type.name +
                        " needs libsndfile)");
    checkEncoderSettings(type, encoder);
#if ORVEX_TOOLS_WITH_SNDFILE
    SF_INFO info{};
    if (library) {
        info.samplerate = rate;
        info.channels = channels;
        info.format = type.encoded() ? type.sndfileFormat : type.sndfileFormat | pcmSubtype(format);
        if (!sf_format_check(&info)) {
            if (type.encoded())
                throw FileError("cannot write \"" + path + "\" as " + type.name + " at " + std::to_string(rate) + " Hz");
            throw FileError("cannot write \"" + path + "\" as " + sampleFormatName(format) + " at " +
                            std::to_string(rate) + " Hz");
        }
    }
#endif

    const int fd = createTemporary(path, tempPath_, slot_);

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
    {
        std::lock_guard<std::mutex> lock(gOpenMutex);
        file_ = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
        if (!file_) {
            const std::string why = libraryMessage(sf_strerror(nullptr));
            ::close(fd);
            discard();
            throw FileError("cannot write \"" + path + "\": " + why);
        }
    }
    try {
        setUpEncoder(file_, type, encoder, rate, channels, path);
    } catch (...) {
        discard();
        throw;
    }
    // Integer outputs saturate at full scale instead of wrapping round.
    if (!type.encoded()) sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
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
        throw FileError("error writing \"" + path_ + "\": " + libraryMessage(sf_strerror(file_)));
#endif
}

void AudioWriter::commit(bool replace) {
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
    try {
        moveIntoPlace(tempPath_, slot_, path_, replace);
    } catch (const FileError&) {
        discard();
        throw;
    }
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
    removeTemporary(tempPath_, slot_);
}

TemporaryFile::TemporaryFile(const std::string& path) : path_(path) {
    const int fd = createTemporary(path, tempPath_, slot_);
    stream_ = ::fdopen(fd, "wb");
    if (!stream_) {
        const int err = errno;
        ::close(fd);
        discard();
        throw FileError("cannot write \"" + path + "\": " + std::strerror(err));
    }
}

TemporaryFile::~TemporaryFile() { discard(); }

void TemporaryFile::commit(bool replace) {
    if (!stream_) throw FileError("error writing \"" + path_ + "\": file already closed");
    const bool failed = std::ferror(stream_) != 0;
    const int closed = std::fclose(stream_);
    const int err = errno;
    stream_ = nullptr;
    if (failed || closed != 0) {
        discard();
        throw FileError("error writing \"" + path_ + "\": " + std::strerror(failed ? EIO : err));
    }
    try {
        moveIntoPlace(tempPath_, slot_, path_, replace);
    } catch (const FileError&) {
        discard();
        throw;
    }
}

void TemporaryFile::discard() {
    if (stream_) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    removeTemporary(tempPath_, slot_);
}

}  // namespace orvex::tools
