#pragma once
// --record: the processed output, from the recorder ring to a WAV or FLAC file on a writer
// thread of its own. The process callback never waits for it: what does not fit in the ring is
// counted there as dropped. The file is written under a hidden name beside FILE and takes its
// name when the recorder stops (on SIGINT/SIGTERM), complete with its header.
//
// Test hook: ORVEX_LIVE_TEST_WRITER_DELAY_MS=N makes the writer sleep N ms before each chunk it
// writes while the program runs (not while it drains at the end), standing in for a slow disk.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/common/audio_file.h"
#include "tools/live/console.h"
#include "tools/live/ring.h"

namespace orvex::live {

class Recorder {
public:
    // Opens the file (FileError when it cannot be) and starts the writer. The ring holds
    // `bufferSeconds` of audio: how long the disk may stall before frames are dropped.
    Recorder(const std::string& path, tools::Container container, tools::SampleFormat format, int rate,
             double bufferSeconds, Console& console);
    // Without finish(): the writer stops and the file is discarded (a run that failed before it
    // went on air leaves nothing behind).
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    AudioRing& ring() { return *ring_; }
    int rate() const { return rate_; }
    // Writes what the ring still holds, closes the file and gives it its name. True when the
    // file is complete; otherwise error() says why.
    bool finish();
    std::uint64_t framesWritten() const { return written_.load(); }
    // Frames the writer took from the ring but could not put in the file (after a write error,
    // or past what a WAV file can hold).
    std::uint64_t framesDiscarded() const { return discarded_.load(); }
    bool failed() const { return failed_.load(); }
    std::string error() const;
    const std::string& path() const { return path_; }

private:
    void run();
    void fail(const std::string& why);

    std::string path_;
    int rate_;
    Console& console_;
    std::unique_ptr<AudioRing> ring_;
    std::unique_ptr<tools::AudioWriter> writer_;
    std::thread thread_;
    std::atomic<bool> stopping_{false}, failed_{false};
    std::atomic<std::uint64_t> written_{0}, discarded_{0};
    std::uint64_t limit_;  // frames the container can hold
    mutable std::mutex errorMutex_;
    std::string error_;
    int testDelayMs_ = 0;
    bool finished_ = false;
    bool complete_ = false;
};

}  // namespace orvex::live
