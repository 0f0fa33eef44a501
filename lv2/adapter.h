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

namespace orvex::lv2 {

class Plugin {
public:
    // The instance for a host rate, or null when the processor does not declare the expected
    // controls (or memory runs out).
    static Plugin* create(double sampleRate);

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

    std::unique_ptr<mydsp> fDsp;
    Limits fLimits[ctl::kCount] = {};
    const float* fControls[ctl::kCount] = {};
    // The raw bits last taken from each port: an unchanged port costs one comparison.
    std::uint32_t fSeen[ctl::kCount] = {};
    bool fSeenValid[ctl::kCount] = {};
    const float* fIn = nullptr;
    float* fOutA = nullptr;
    float* fOutB = nullptr;
    float* fLatency = nullptr;
};

// The descriptor of the one plug-in of the bundle.
const LV2_Descriptor* descriptor();

}  // namespace orvex::lv2
