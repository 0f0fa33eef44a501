#include "tools/common/running_loudness.h"

#include <ebur128.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace orvex::tools {

struct RunningLoudness::State {
    ebur128_state* meter = nullptr;
    ~State() {
        if (meter) ebur128_destroy(&meter);
    }
};

RunningLoudness::RunningLoudness(int channels, int rate)
    : state_(std::make_unique<State>()), channels_(channels), rate_(rate) {
    if (channels >= 1 && rate >= 1)
        state_->meter = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                     EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_TRUE_PEAK);
    if (!state_->meter) throw std::runtime_error("cannot set up the loudness meter");
    if (channels == 1) ebur128_set_channel(state_->meter, 0, EBUR128_DUAL_MONO);
}

RunningLoudness::~RunningLoudness() = default;

void RunningLoudness::add(const float* interleaved, std::size_t frames) {
    if (frames == 0) return;
    if (ebur128_add_frames_float(state_->meter, interleaved, frames) != EBUR128_SUCCESS)
        throw std::runtime_error("loudness measurement failed");
    // The oversampled estimate can fall a hair below the sample peak; a true peak never does.
    for (int c = 0; c < channels_; ++c) {
        double p = 0.0;
        if (ebur128_prev_true_peak(state_->meter, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS) peak_ = std::fmax(peak_, p);
        double s = 0.0;
        if (ebur128_prev_sample_peak(state_->meter, static_cast<unsigned>(c), &s) == EBUR128_SUCCESS) peak_ = std::fmax(peak_, s);
    }
}

double RunningLoudness::momentaryLufs() const {
    double v = 0.0;
    if (ebur128_loudness_momentary(state_->meter, &v) != EBUR128_SUCCESS || std::isnan(v))
        return -std::numeric_limits<double>::infinity();
    return v;
}

double RunningLoudness::shortTermLufs() const {
    double v = 0.0;
    if (ebur128_loudness_shortterm(state_->meter, &v) != EBUR128_SUCCESS || std::isnan(v))
        return -std::numeric_limits<double>::infinity();
    return v;
}

double RunningLoudness::takeTruePeak() {
    const double p = peak_;
    peak_ = 0.0;
    return p;
}

}  // namespace orvex::tools
