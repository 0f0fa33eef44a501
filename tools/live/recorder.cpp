#include "tools/live/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace orvex::live {
namespace {

constexpr std::size_t kChunk = 4096;

// A WAV file counts its bytes in 32 bits: past 4 GB its header would lie. The recording stops
// there, whole and valid, rather than run on into a file no program reads correctly.
std::uint64_t framesThatFit(tools::Container container, tools::SampleFormat format) {
    if (container != tools::Container::Wav) return UINT64_MAX;
    const std::uint64_t bytes = format == tools::SampleFormat::Pcm16 ? 4 : format == tools::SampleFormat::Pcm24 ? 6 : 8;
    return (0xFFFFFFFFull - 4096) / bytes;
}

}  // namespace

Recorder::Recorder(const std::string& path, tools::Container container, tools::SampleFormat format, int rate,
                   double bufferSeconds, Console& console)
    : path_(path), rate_(rate), console_(console), limit_(framesThatFit(container, format)) {
    const auto frames = static_cast<std::size_t>(bufferSeconds * rate);
    ring_ = std::make_unique<AudioRing>(2, std::max<std::size_t>(frames, kChunk));
    writer_ = std::make_unique<tools::AudioWriter>(path, tools::FileType(container), format, rate, 2);
    if (const char* delay = std::getenv("ORVEX_LIVE_TEST_WRITER_DELAY_MS")) testDelayMs_ = std::atoi(delay);
    thread_ = std::thread([this] { run(); });
}

Recorder::~Recorder() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::string Recorder::error() const {
    std::lock_guard<std::mutex> lock(errorMutex_);
    return error_;
}

void Recorder::fail(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        error_ = why;
    }
    failed_.store(true);
    console_.line("recording to \"" + path_ + "\" failed: " + why);
}

void Recorder::run() {
    std::vector<float> chunk(kChunk * 2);
    // Drains the ring into the file; after a failed write, into nothing (the ring must not fill
    // up and count the rest of the day as dropped).
    auto drain = [&](bool slow) {
        std::size_t total = 0;
        for (std::size_t n; (n = ring_->read(chunk.data(), kChunk)) > 0;) {
            if (slow && testDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(testDelayMs_));
            std::size_t put = failed_.load() ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, limit_ - written_.load()));
            if (put > 0) {
                try {
                    writer_->write(chunk.data(), put);
                    written_.fetch_add(put);
                } catch (const std::exception& e) {
                    fail(e.what());
                    put = 0;
                }
            }
            if (put < n && !failed_.load() && written_.load() == limit_)
                fail("the WAV file is full (4 GB); record long programmes into FLAC");
            discarded_.fetch_add(n - put);
            total += n;
            if (slow && stopping_.load()) break;
        }
        return total;
    };
    while (!stopping_.load())
        if (drain(true) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drain(false);
}

bool Recorder::finish() {
    if (finished_) return complete_;
    finished_ = true;
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    // Even after a failed write the frames before it are worth keeping.
    try {
        writer_->commit();
        complete_ = !failed_.load();
    } catch (const std::exception& e) {
        if (!failed_.load()) fail(e.what());
        complete_ = false;
    }
    return complete_;
}

}  // namespace orvex::live
