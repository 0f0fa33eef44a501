#include "dsp/meter_readout.h"

#include <cmath>
#include <cstring>
#include <thread>

namespace orvex {

// The sequence counter protocol with every access atomic (no fences, so the thread sanitizer
// sees it as it is): the writer makes the counter odd, stores the words with release and makes
// it even with release. A reader that loads any word of a newer publish with acquire also sees
// that publish's odd counter, so its second counter load differs from its first.
void MeterReadout::publish(const MeterValues& v) noexcept {
    std::uint32_t w[kWords];
    std::memcpy(w, &v, sizeof w);
    const std::uint32_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    for (int i = 0; i < kWords; ++i) words_[i].store(w[i], std::memory_order_release);
    sequence_.store(s + 2, std::memory_order_release);
}

bool MeterReadout::readValues(MeterValues& out) const noexcept {
    // A publish takes a few dozen stores, so a reader that overlaps one normally succeeds at the
    // next attempt. A writer preempted in the middle of one (a loaded machine) keeps the counter
    // odd for a whole time slice: after a short spin the reader gives way to it, and gives up
    // only after that many turns. (The writer's own thread never finds the counter odd, so a
    // read on the audio thread, as the LV2 adapter's, never yields.)
    constexpr int kSpins = 64, kAttempts = 20000;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt >= kSpins) std::this_thread::yield();
        const std::uint32_t before = sequence_.load(std::memory_order_acquire);
        if (before & 1u) continue;
        std::uint32_t w[kWords];
        for (int i = 0; i < kWords; ++i) w[i] = words_[i].load(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) != before) continue;
        std::memcpy(&out, w, sizeof w);
        return true;
    }
    return false;
}

namespace {
float toDb(float linear) {
    // NaN compares false too, so anything that is not a positive level reads as the floor.
    if (!(linear > 0.0f)) return kMeterFloorDb;
    const float db = 20.0f * std::log10(linear);
    return db > kMeterFloorDb ? db : kMeterFloorDb;
}
}  // namespace

bool MeterReadout::read(MeterSnapshot& out) const noexcept {
    MeterValues v;
    if (!readValues(v)) return false;
    for (int b = 0; b < kMeterBands; ++b) {
        out.bandGainDb[b] = toDb(v.bandGain[b]);
        out.bandGateDb[b] = toDb(v.bandGate[b]);
    }
    out.outputGainDb = toDb(v.outputGain);
    out.inputPeakDb = toDb(v.inputPeak);
    out.outputPeakDb = toDb(v.outputPeak);
    out.frames = v.frames;
    return true;
}

}  // namespace orvex
