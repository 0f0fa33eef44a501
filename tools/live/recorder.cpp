#include "tools/live/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace orvex::live {
namespace {

constexpr std::size_t kChunk = 4096;

}  // namespace

Recorder::Recorder(const std::string& path, tools::Container container, tools::SampleFormat format, int rate,
                   double bufferSeconds, Console& console)
    : path_(path), rate_(rate), console_(console) {
    const auto frames = static_cast<std::size_t>(bufferSeconds * rate);
    ring_ = std::make_unique<AudioRing>(2, std::max<std::size_t>(frames, kChunk));
    writer_ = std::make_unique<tools::AudioWriter>(path, container, format, rate, 2);
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
            if (!failed_.load()) {
                try {
                    writer_->write(chunk.data(), n);
                    written_.fetch_add(n);
                } catch (const std::exception& e) {
                    fail(e.what());
                }
            }
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
