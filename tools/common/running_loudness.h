#pragma once
// Loudness of a programme that never ends, for live meters: momentary (400 ms) and short-term
// (3 s) loudness after EBU R 128, and the true peak of what arrived since the last look. Memory
// stays fixed however long it runs (no integrated loudness, whose history grows). libebur128
// only: builds without it have no live meters.
#include <cstddef>
#include <memory>

namespace orvex::tools {

class RunningLoudness {
public:
    // A single channel is measured as played on both loudspeakers (dual mono), as the
    // programme meters of the renderer do.
    RunningLoudness(int channels, int rate);
    ~RunningLoudness();
    RunningLoudness(const RunningLoudness&) = delete;
    RunningLoudness& operator=(const RunningLoudness&) = delete;

    int channels() const { return channels_; }
    int rate() const { return rate_; }

    void add(const float* interleaved, std::size_t frames);
    // LUFS; -inf while the window holds digital silence (or is not yet filled once).
    double momentaryLufs() const;
    double shortTermLufs() const;
    // The largest true peak (linear, over all channels) since the last call; 0 for silence.
    double takeTruePeak();

private:
    struct State;
    std::unique_ptr<State> state_;
    int channels_;
    int rate_;
    double peak_ = 0.0;
};

}  // namespace orvex::tools
