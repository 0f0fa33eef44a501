#pragma once
// The processor's meters: what the level control, its gates and the output stage did in the
// last processed block, published once per block for other threads (meters in a host's view,
// a live tool's meter row, OSC clients).
//
// Threads: one writer, the thread that runs compute (or clears the state while no compute
// runs); any number of readers on any threads. A sequence counter guards the values: the
// writer never waits, a reader copies the values and starts again when a write overlapped.
#include <atomic>
#include <cstdint>

namespace orvex {

constexpr int kMeterBands = 12;
// Levels and gains below this count as silence (and a closed gate) on every meter.
constexpr float kMeterFloorDb = -120.0f;

// One consistent view of the meters. All values are those at the last sample of the last
// processed block.
struct MeterSnapshot {
    // Per band, the gain the level control applies: gate and level together (gate factor over
    // the level divisor), in dB. Negative when the band is pulled down, positive when lifted.
    float bandGainDb[kMeterBands];
    // The gate's share of bandGainDb (its factor alone, in dB); the rest is the level's share.
    float bandGateDb[kMeterBands];
    // The output stage's peak-normaliser gain (ceiling over the peak envelope), in dB.
    float outputGainDb;
    // Largest absolute sample of the last block, in dBFS: the input (channel 0, as admitted:
    // non-finite samples count as silence) and the outputs (both channels).
    float inputPeakDb;
    float outputPeakDb;
    // Frames processed since the processor was initialised or last cleared.
    std::uint64_t frames;
};

// The writer's linear values.
struct MeterValues {
    float bandGain[kMeterBands];
    float bandGate[kMeterBands];
    float outputGain;
    float inputPeak;
    float outputPeak;
    std::uint64_t frames;
};

class MeterReadout {
public:
    // Writer only; wait-free: one pass of relaxed/release stores.
    void publish(const MeterValues& v) noexcept;
    // Any thread. Fills `out` with the values of one publish (converted to dB, floored at
    // kMeterFloorDb) and returns true; false only when writes kept overlapping every attempt
    // (a writer stalled in the middle of a publish for thousands of the reader's turns).
    bool read(MeterSnapshot& out) const noexcept;
    // The linear values of one publish, as read() takes them.
    bool readValues(MeterValues& out) const noexcept;

private:
    static constexpr int kWords = static_cast<int>(sizeof(MeterValues) / sizeof(std::uint32_t));
    static_assert(sizeof(MeterValues) % sizeof(std::uint32_t) == 0, "values are whole words");
    // Odd while a publish is under way.
    std::atomic<std::uint32_t> sequence_{0};
    // The values as words, each accessed atomically so a torn read is detected, not undefined.
    std::atomic<std::uint32_t> words_[kWords] = {};
};

}  // namespace orvex
