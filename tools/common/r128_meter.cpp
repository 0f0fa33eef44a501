#include "tools/common/r128_meter.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvex::tools {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAbsoluteGate = -70.0;  // LUFS
constexpr double kRelativeGate = -10.0;  // LU, integrated loudness
constexpr double kRangeGate = -20.0;     // LU, loudness range
constexpr std::size_t kBlockSegments = 4;        // 400 ms
constexpr std::size_t kShortTermSegments = 30;   // 3 s
constexpr std::size_t kShortTermHop = 10;        // 1 s

double loudnessOf(double energy) { return -0.691 + 10.0 * std::log10(energy); }
double energyOf(double loudness) { return std::pow(10.0, (loudness + 0.691) / 10.0); }

// Mean energy of the values above `threshold`; 0 when none is.
double meanAbove(const std::vector<double>& energies, double threshold, std::size_t* count = nullptr) {
    double sum = 0.0;
    std::size_t n = 0;
    for (double e : energies) {
        if (e > threshold) {
            sum += e;
            ++n;
        }
    }
    if (count) *count = n;
    return n ? sum / static_cast<double>(n) : 0.0;
}

// Zeroth-order modified Bessel function of the first kind, for the Kaiser window.
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50 && term > 1e-12 * sum; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

}  // namespace

R128Meter::R128Meter(int channels, int rate)
    : channels_(std::max(channels, 1)),
      weight_(channels == 1 ? 2.0 : 1.0),
      state_(static_cast<std::size_t>(std::max(channels, 1))),
      segmentLength_(static_cast<std::size_t>(std::max((rate + 5) / 10, 1))) {
    const double fs = std::max(rate, 1);
    // K-weighting, stage 1: the head's high shelf (+4 dB above about 1.7 kHz).
    {
        const double f0 = 1681.974450955533, gainDb = 3.999843853973347, q = 0.7071752369554196;
        const double k = std::tan(kPi * f0 / fs);
        const double vh = std::pow(10.0, gainDb / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        const double a0 = 1.0 + k / q + k * k;
        shelf_ = {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
                  2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    }
    // Stage 2: the high pass (about 38 Hz, second order).
    {
        const double f0 = 38.13547087602444, q = 0.5003270373238773;
        const double k = std::tan(kPi * f0 / fs);
        const double a0 = 1.0 + k / q + k * k;
        highPass_ = {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
    }
    // The oversampling filter: a Kaiser-windowed sinc cut at the original Nyquist frequency,
    // centred on a tap of phase 0 so that phase 0 gives back the samples themselves. Each phase
    // is scaled to unity gain at DC.
    constexpr int length = kTaps * kPhases;
    constexpr double beta = 6.0;
    std::vector<double> h(static_cast<std::size_t>(length));
    for (int n = 0; n < length; ++n) {
        const double t = static_cast<double>(n - length / 2) / kPhases;
        const double sinc = t == 0.0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
        const double r = static_cast<double>(n - length / 2) / (length / 2);
        h[static_cast<std::size_t>(n)] = sinc * besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
    }
    taps_.assign(static_cast<std::size_t>(length), 0.0f);
    for (int p = 0; p < kPhases; ++p) {
        double sum = 0.0;
        for (int k = 0; k < kTaps; ++k) sum += h[static_cast<std::size_t>(p + kPhases * k)];
        // Row p, oldest sample first: the newest sample meets h[p], the oldest h[p + 4 (taps - 1)].
        for (int j = 0; j < kTaps; ++j)
            taps_[static_cast<std::size_t>(p * kTaps + j)] =
                static_cast<float>(h[static_cast<std::size_t>(p + kPhases * (kTaps - 1 - j))] / sum);
    }
    for (Channel& c : state_) c.history.assign(2 * kTaps, 0.0f);
}

void R128Meter::add(const float* interleaved, std::size_t frames) {
    const std::size_t channels = static_cast<std::size_t>(channels_);
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < channels; ++c) {
            const float x = interleaved[i * channels + c];
            Channel& s = state_[c];
            // Transposed direct form II, in double precision.
            const double in = x;
            const double y1 = shelf_.b0 * in + s.s1[0];
            s.s1[0] = shelf_.b1 * in - shelf_.a1 * y1 + s.s1[1];
            s.s1[1] = shelf_.b2 * in - shelf_.a2 * y1;
            const double y2 = highPass_.b0 * y1 + s.s2[0];
            s.s2[0] = highPass_.b1 * y1 - highPass_.a1 * y2 + s.s2[1];
            s.s2[1] = highPass_.b2 * y1 - highPass_.a2 * y2;
            segmentSum_ += weight_ * y2 * y2;

            // The history holds each sample twice, kTaps apart, so the newest kTaps are always
            // one contiguous window.
            s.history[s.at] = x;
            s.history[s.at + kTaps] = x;
            s.at = (s.at + 1) % kTaps;
            const float* window = s.history.data() + s.at;
            for (int p = 0; p < kPhases; ++p) {
                const float* t = taps_.data() + p * kTaps;
                float acc = 0.0f;
                for (int j = 0; j < kTaps; ++j) acc += t[j] * window[j];
                s.peak = std::max(s.peak, static_cast<double>(std::fabs(acc)));
            }
        }
        if (++segmentFill_ == segmentLength_) endSegment();
    }
}

void R128Meter::endSegment() {
    segments_.push_back(segmentSum_ / static_cast<double>(segmentLength_));
    segmentSum_ = 0.0;
    segmentFill_ = 0;
    const std::size_t n = segments_.size();
    auto meanOfLast = [&](std::size_t count) {
        double sum = 0.0;
        for (std::size_t k = n - count; k < n; ++k) sum += segments_[k];
        return sum / static_cast<double>(count);
    };
    if (n >= kBlockSegments) blocks_.push_back(meanOfLast(kBlockSegments));
    if (n >= kShortTermSegments && (n - kShortTermSegments) % kShortTermHop == 0)
        shortTerm_.push_back(meanOfLast(kShortTermSegments));
}

double R128Meter::integratedLufs() const {
    const double absolute = energyOf(kAbsoluteGate);
    std::size_t count = 0;
    const double ungated = meanAbove(blocks_, absolute, &count);
    if (count == 0) return -std::numeric_limits<double>::infinity();
    const double relative = std::max(absolute, energyOf(loudnessOf(ungated) + kRelativeGate));
    const double gated = meanAbove(blocks_, relative, &count);
    return count ? loudnessOf(gated) : -std::numeric_limits<double>::infinity();
}

double R128Meter::rangeLu() const {
    const double absolute = energyOf(kAbsoluteGate);
    std::size_t count = 0;
    const double ungated = meanAbove(shortTerm_, absolute, &count);
    if (count == 0) return 0.0;
    const double relative = std::max(absolute, energyOf(loudnessOf(ungated) + kRangeGate));
    std::vector<double> kept;
    for (double e : shortTerm_)
        if (e > relative) kept.push_back(e);
    if (kept.size() < 2) return 0.0;
    std::sort(kept.begin(), kept.end());
    auto percentile = [&](double p) {
        return kept[static_cast<std::size_t>(static_cast<double>(kept.size() - 1) * p + 0.5)];
    };
    return loudnessOf(percentile(0.95)) - loudnessOf(percentile(0.10));
}

double R128Meter::truePeak() const {
    double peak = 0.0;
    for (const Channel& c : state_) peak = std::max(peak, c.peak);
    return peak;
}

}  // namespace orvex::tools
