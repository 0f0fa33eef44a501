#include "tools/common/loudness.h"

#if ORVEX_TOOLS_WITH_EBUR128
#include <ebur128.h>
#else
#include "tools/common/r128_meter.h"
#endif

#include <cmath>
#include <limits>
#include <stdexcept>

namespace orvex::tools {
namespace {

double toDb(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

#if ORVEX_TOOLS_WITH_EBUR128
struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
};

LoudnessMeter::LoudnessMeter(int channels, int rate) : state_(std::make_unique<State>()), channels_(channels) {
    state_->meter = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                          EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    if (!state_->meter) throw std::runtime_error("cannot set up the loudness meter");
    if (channels == 1) ebur128_set_channel(state_->meter, 0, EBUR128_DUAL_MONO);
}

LoudnessMeter::~LoudnessMeter() {
    if (state_->meter) ebur128_destroy(&state_->meter);
}

void LoudnessMeter::add(const float* interleaved, std::size_t frames) {
    const std::size_t n = frames * static_cast<std::size_t>(channels_);
    for (std::size_t i = 0; i < n; ++i) samplePeak_ = std::fmax(samplePeak_, std::fabs(interleaved[i]));
    if (ebur128_add_frames_float(state_->meter, interleaved, frames) != EBUR128_SUCCESS)
        throw std::runtime_error("loudness measurement failed");
}

LoudnessReport LoudnessMeter::report() const {
    LoudnessReport r{};
    double integrated = 0.0;
    r.integratedLufs = ebur128_loudness_global(state_->meter, &integrated) == EBUR128_SUCCESS
                           ? integrated
                           : -std::numeric_limits<double>::infinity();
    double range = 0.0;
    r.rangeLu = ebur128_loudness_range(state_->meter, &range) == EBUR128_SUCCESS ? range : 0.0;
    double truePeak = 0.0;
    for (int c = 0; c < channels_; ++c) {
        double p = 0.0;
        if (ebur128_true_peak(state_->meter, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS)
            truePeak = std::fmax(truePeak, p);
    }
    // The oversampled estimate can fall a hair below the sample peak; a true peak is never lower.
    truePeak = std::fmax(truePeak, static_cast<double>(samplePeak_));
    r.truePeakDbtp = toDb(truePeak);
    r.samplePeakDbfs = toDb(samplePeak_);
    return r;
}
#else
// Builds without libebur128 measure with the program's own meter.
struct LoudnessMeter::State {
    R128Meter meter;
};

LoudnessMeter::LoudnessMeter(int channels, int rate)
    : state_(std::make_unique<State>(State{R128Meter(channels, rate)})), channels_(channels) {
    if (channels < 1 || rate < 1) throw std::runtime_error("cannot set up the loudness meter");
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::add(const float* interleaved, std::size_t frames) {
    const std::size_t n = frames * static_cast<std::size_t>(channels_);
    for (std::size_t i = 0; i < n; ++i) samplePeak_ = std::fmax(samplePeak_, std::fabs(interleaved[i]));
    state_->meter.add(interleaved, frames);
}

LoudnessReport LoudnessMeter::report() const {
    LoudnessReport r{};
    r.integratedLufs = state_->meter.integratedLufs();
    r.rangeLu = state_->meter.rangeLu();
    // The oversampled estimate can fall a hair below the sample peak; a true peak is never lower.
    const double truePeak = std::fmax(state_->meter.truePeak(), static_cast<double>(samplePeak_));
    r.truePeakDbtp = toDb(truePeak);
    r.samplePeakDbfs = toDb(samplePeak_);
    return r;
}
#endif

}  // namespace orvex::tools
