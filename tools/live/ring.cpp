#include "tools/live/ring.h"

#include <jack/ringbuffer.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace orvex::live {

AudioRing::AudioRing(int channels, std::size_t frames)
    : channels_(channels), frameBytes_(sizeof(float) * static_cast<std::size_t>(channels)) {
    // One byte more than the frames: a JACK ring holds one byte less than its size.
    ring_ = jack_ringbuffer_create(frames * frameBytes_ + 1);
    if (!ring_) throw std::bad_alloc();
    if (jack_ringbuffer_mlock(ring_) != 0) {
        // Not allowed to lock: at least fault every page in now, off the audio thread.
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_write_vector(ring_, parts);
        for (const auto& part : parts)
            if (part.len) std::memset(part.buf, 0, part.len);
    }
}

AudioRing::~AudioRing() { jack_ringbuffer_free(ring_); }

std::size_t AudioRing::capacityFrames() const { return (ring_->size - 1) / frameBytes_; }

std::size_t AudioRing::write(const float* interleaved, std::size_t frames) {
    const std::size_t fit = std::min(frames, jack_ringbuffer_write_space(ring_) / frameBytes_);
    if (fit) jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(interleaved), fit * frameBytes_);
    return fit;
}

std::size_t AudioRing::read(float* interleaved, std::size_t maxFrames) {
    const std::size_t n = std::min(maxFrames, readableFrames());
    if (n) jack_ringbuffer_read(ring_, reinterpret_cast<char*>(interleaved), n * frameBytes_);
    return n;
}

std::size_t AudioRing::readableFrames() const { return jack_ringbuffer_read_space(ring_) / frameBytes_; }

}  // namespace orvex::live
