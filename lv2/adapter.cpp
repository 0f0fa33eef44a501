#include "lv2/adapter.h"

#include <cmath>
#include <cstring>
#include <new>

#include "dsp/flush_to_zero.h"

namespace orvex::lv2 {

int Plugin::processorRate(double sampleRate) {
    if (!(sampleRate >= 1.0)) return 1;
    if (sampleRate >= 2147483520.0) return 2147483520;
    return static_cast<int>(sampleRate);
}

Plugin* Plugin::create(double sampleRate, Input input) {
    std::unique_ptr<Plugin> plugin(new (std::nothrow) Plugin());
    if (!plugin) return nullptr;
    plugin->fInput = input;
    plugin->fDsp.reset(new (std::nothrow) mydsp());
    if (!plugin->fDsp) return nullptr;

    // The ranges come from the processor's own declarations, as the description's do.
    ControlCollector collector;
    plugin->fDsp->declareControls(&collector);
    const auto& controls = collector.controls();
    if (controls.size() != static_cast<std::size_t>(ctl::kCount)) return nullptr;
    for (int i = 0; i < ctl::kCount; ++i) {
        const ControlPort& c = controls[static_cast<std::size_t>(i)];
        if (c.zone != plugin->fDsp->control(i)) return nullptr;
        plugin->fLimits[i] = {c.init, c.min, c.max, c.toggle};
    }
    plugin->fDsp->init(processorRate(sampleRate));
    return plugin.release();
}

void Plugin::connect(std::uint32_t port, void* data) {
    if (port < static_cast<std::uint32_t>(ctl::kCount)) {
        fControls[port] = static_cast<const float*>(data);
        return;
    }
    switch (port) {
        case kAudioIn: fIn = static_cast<const float*>(data); return;
        case kAudioOutA: fOutA = static_cast<float*>(data); return;
        case kAudioOutB: fOutB = static_cast<float*>(data); return;
        case kLatency: fLatency = static_cast<float*>(data); return;
        default: break;
    }
    // The mono-input plug-in has its first meter where the other has its right input.
    if (port == kAudioInRight && fInput == Input::Stereo) {
        fInRight = static_cast<const float*>(data);
        return;
    }
    const std::uint32_t first = meterPort(fInput, 0);
    if (port >= first && port < first + kMeterCount) fMeters[port - first] = static_cast<float*>(data);
    // Anything else is not a port of this plug-in.
}

void Plugin::activate() { fDsp->clearState(); }

float Plugin::admitted(const Limits& limits, float value) {
    if (!std::isfinite(value)) return limits.init;
    if (limits.toggle) return value > 0.0f ? 1.0f : 0.0f;
    if (value < limits.min) return limits.min;
    return value > limits.max ? limits.max : value;
}

void Plugin::takeControls() {
    for (int i = 0; i < ctl::kCount; ++i) {
        const float* port = fControls[i];
        if (port == nullptr) continue;  // keeps the value it had
        const float value = *port;
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        if (fSeenValid[i] && bits == fSeen[i]) continue;
        fSeen[i] = bits;
        fSeenValid[i] = true;
        // The same cell the VST parameter writes; the processor redesigns only what changed.
        *fDsp->control(i) = admitted(fLimits[i], value);
    }
}

namespace {
float within(const MeterRange& r, float v) { return v < r.min ? r.min : v > r.max ? r.max : v; }
}  // namespace

// Audio thread: the processor's readout, read on the thread that wrote it.
void Plugin::writeMeters() {
    MeterSnapshot m;
    if (!fDsp->readMeters(m)) return;
    for (int b = 0; b < kMeterBands; ++b)
        if (float* port = fMeters[kMeterBandGain + static_cast<std::uint32_t>(b)]) *port = within(kBandGainRange, m.bandGainDb[b]);
    if (float* port = fMeters[kMeterOutputGain]) *port = within(kOutputGainRange, m.outputGainDb);
    // The peak of the whole run, which may have gone through the processor in pieces.
    const float peak = m.outputPeakDb > fRunPeakDb ? m.outputPeakDb : fRunPeakDb;
    if (float* port = fMeters[kMeterOutputPeak]) *port = within(kOutputPeakRange, peak);
}

// Keeps the output peak of a piece of a run that more pieces follow.
void Plugin::notePiecePeak() {
    MeterSnapshot m;
    if (fDsp->readMeters(m) && m.outputPeakDb > fRunPeakDb) fRunPeakDb = m.outputPeakDb;
}

// Audio thread. The meters are written on every run, also one that processes nothing (they
// then still show the last block processed).
void Plugin::run(std::uint32_t sampleCount) {
    if (fLatency != nullptr) *fLatency = static_cast<float>(mydsp::kChainLatency);
    takeControls();
    fRunPeakDb = kMeterFloorDb;
    process(sampleCount);
    writeMeters();
}

void Plugin::process(std::uint32_t sampleCount) {
    if (sampleCount == 0 || fIn == nullptr || fOutA == nullptr || fOutB == nullptr) return;

    FlushToZero ftz;
    // A right input the host left unconnected counts as none: the left one is the programme.
    if (fInput == Input::Stereo && fInRight != nullptr) {
        runMixed(sampleCount);
        return;
    }
    // compute counts in int; a longer run goes in pieces, which gives the same output.
    constexpr std::uint32_t kLongest = 1u << 30;
    for (std::uint32_t done = 0; done < sampleCount;) {
        const std::uint32_t n = sampleCount - done < kLongest ? sampleCount - done : kLongest;
        float* inputs[2] = {const_cast<float*>(fIn + done), nullptr};  // the second is never read
        float* outputs[2] = {fOutA + done, fOutB + done};
        fDsp->compute(static_cast<int>(n), inputs, outputs);
        done += n;
        if (done < sampleCount) notePiecePeak();
    }
}

void Plugin::runMixed(std::uint32_t sampleCount) {
    for (std::uint32_t done = 0; done < sampleCount;) {
        const std::uint32_t n = sampleCount - done < kMixBlock ? sampleCount - done : kMixBlock;
        // Mixed before anything is written, so the outputs may share either input's memory.
        // Halves, not the sum halved, so nothing overflows; two equal inputs pass as they are, so
        // a mono programme on both keeps its bits (tiny values too, which halving under
        // flush-to-zero would lose).
        const float* left = fIn + done;
        const float* right = fInRight + done;
        for (std::uint32_t i = 0; i < n; ++i) fMix[i] = left[i] == right[i] ? left[i] : 0.5f * left[i] + 0.5f * right[i];
        float* inputs[2] = {fMix, nullptr};
        float* outputs[2] = {fOutA + done, fOutB + done};
        fDsp->compute(static_cast<int>(n), inputs, outputs);
        done += n;
        if (done < sampleCount) notePiecePeak();
    }
}

namespace {

Plugin* self(LV2_Handle handle) { return static_cast<Plugin*>(handle); }

LV2_Handle instantiate(Input input, double rate) {
    // Nothing may be thrown across the host boundary.
    try {
        return Plugin::create(rate, input);
    } catch (...) {
        return nullptr;
    }
}
LV2_Handle instantiateMono(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*) {
    return instantiate(Input::Mono, rate);
}
LV2_Handle instantiateStereo(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const*) {
    return instantiate(Input::Stereo, rate);
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) { self(handle)->connect(port, data); }
void activate(LV2_Handle handle) { self(handle)->activate(); }
void run(LV2_Handle handle, uint32_t sampleCount) { self(handle)->run(sampleCount); }
void deactivate(LV2_Handle) {}
void cleanup(LV2_Handle handle) { delete self(handle); }
const void* extensionData(const char*) { return nullptr; }

const LV2_Descriptor kDescriptors[] = {
    {kPluginUri, instantiateMono, connectPort, activate, run, deactivate, cleanup, extensionData},
    {kStereoInPluginUri, instantiateStereo, connectPort, activate, run, deactivate, cleanup, extensionData},
};

}  // namespace

const LV2_Descriptor* descriptor(std::uint32_t index) {
    return index < sizeof kDescriptors / sizeof kDescriptors[0] ? &kDescriptors[index] : nullptr;
}

}  // namespace orvex::lv2
