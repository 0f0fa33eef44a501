#pragma once
// Interleaved audio frames from the process callback to another thread, through JACK's
// lock-free single-reader single-writer ring. The writer puts whole frames in as far as they
// fit and never waits; the reader takes whole frames out.
#include <cstddef>

#include <jack/ringbuffer.h>

namespace orvex::live {

class AudioRing {
public:
    // Room for at least `frames` frames of `channels` channels. The memory is touched (and
    // locked where allowed) here, so the audio thread never takes a page fault on it.
    AudioRing(int channels, std::size_t frames);
    ~AudioRing();
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    int channels() const { return channels_; }
    std::size_t capacityFrames() const;

    // Writer (audio thread): as many leading frames as fit; returns how many went in.
    std::size_t write(const float* interleaved, std::size_t frames);
    // Reader: up to `maxFrames` frames; returns how many came out.
    std::size_t read(float* interleaved, std::size_t maxFrames);
    std::size_t readableFrames() const;

private:
    jack_ringbuffer_t* ring_ = nullptr;
    int channels_;
    std::size_t frameBytes_;
};

}  // namespace orvex::live
