#pragma once
// The LV2 plug-in over the processor: one instance owns one mydsp, takes its control values from
// the host's control ports and runs it on the host's audio buffers.
//
// Threads (LV2's classes): instantiate and cleanup on the host's instantiation thread;
// connect_port, activate, run and deactivate on the audio thread, never at the same time as each
// other on one instance. run allocates nothing, takes no lock and makes no system call.
#include <cstdint>
#include <memory>

#include <lv2/core/lv2.h>

#include "dsp/controls.h"
#include "dsp/mydsp.h"
#include "lv2/ports.h"

namespace orvex::lv2 {

class Plugin {
public:
    // The instance for a host rate, or null when the processor does not declare the expected
    // controls (or memory runs out).
    static Plugin* create(double sampleRate, Input input = Input::Mono);

    void connect(std::uint32_t port, void* data);
    void activate();
    void run(std::uint32_t sampleCount);

    mydsp& processor() { return *fDsp; }

    // The rate the processor runs at for a host rate: truncated to whole hertz, as the VST
    // plug-in truncates its rate, with anything that is no usable rate held at 1 Hz.
    static int processorRate(double sampleRate);

private:
    Plugin() = default;
    void takeControls();

    struct Limits {
        float init, min, max;
        bool toggle;
    };
    // A host value as the control cell takes it: limited to the range, NaN and infinities become
    // the default, a switch reads LV2's way (above zero is on).
    static float admitted(const Limits& limits, float value);

    void process(std::uint32_t sampleCount);
    void runMixed(std::uint32_t sampleCount);
    void writeMeters();
    void notePiecePeak();

    // The stereo-input plug-in hands the processor its two inputs at half level each, in pieces
    // of this many samples; splitting a run gives the same output.
    static constexpr std::uint32_t kMixBlock = 1024;

    std::unique_ptr<mydsp> fDsp;
    Input fInput = Input::Mono;
    Limits fLimits[ctl::kCount] = {};
    const float* fControls[ctl::kCount] = {};
    // The raw bits last taken from each port: an unchanged port costs one comparison.
    std::uint32_t fSeen[ctl::kCount] = {};
    bool fSeenValid[ctl::kCount] = {};
    const float* fIn = nullptr;
    const float* fInRight = nullptr;
    float* fOutA = nullptr;
    float* fOutB = nullptr;
    float* fLatency = nullptr;
    float* fMeters[kMeterCount] = {};
    float fRunPeakDb = kMeterFloorDb;  // output peak of the run's earlier pieces
    alignas(64) float fMix[kMixBlock] = {};
};

// The descriptors of the bundle's plug-ins: 0 the mono-input one, 1 the stereo-input one; null
// past them.
const LV2_Descriptor* descriptor(std::uint32_t index = 0);

}  // namespace orvex::lv2
