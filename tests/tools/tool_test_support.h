#pragma once
// Shared by the renderer tests: scratch directories and audio files written and read with
// libsndfile directly, so the tests do not lean on the code they check.
#include <sndfile.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

namespace orvex::test {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvex-tools-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Every entry, hidden ones included (a leftover temporary file would show here).
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename().string());
        return names;
    }

private:
    std::filesystem::path path_;
};

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<float> data;  // interleaved
    std::size_t frames() const { return channels ? data.size() / static_cast<std::size_t>(channels) : 0; }
    std::vector<float> channel(int c) const {
        std::vector<float> out(frames());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = data[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)];
        return out;
    }
};

inline void writeAudio(const std::string& path, int rate, int channels, const std::vector<float>& interleaved,
                       int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) throw std::runtime_error("cannot write test file " + path + ": " + sf_strerror(nullptr));
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / static_cast<std::size_t>(channels)));
    sf_close(f);
}

inline Audio readAudio(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) throw std::runtime_error("cannot read test file " + path + ": " + sf_strerror(nullptr));
    Audio a;
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    a.data.resize(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    sf_readf_float(f, a.data.data(), info.frames);
    sf_close(f);
    return a;
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }


// `program` with `args` as a user runs it, waited for by its process id; its output caught in
// scratch files in `dir` that are removed afterwards.
inline Outcome runIn(const TempDir& dir, const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string stem = dir.file(".run");
    Outcome o = runProgram(stem, argv);
    std::filesystem::remove(stem + ".out");
    std::filesystem::remove(stem + ".err");
    return o;
}

}  // namespace orvex::test
