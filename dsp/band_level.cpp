#include "dsp/band_level.h"

#include <cmath>

#include "dsp/blocks/lanes.h"

namespace orvex {

namespace {
constexpr float kGateRelease[kBandCount] = {13.333333f, 16.666666f, 20.833334f, 26.041666f,
                                            32.552082f, 40.690105f, 50.86263f,  63.57829f,
                                            79.47286f,  99.34107f,  124.176346f, 155.22043f};
constexpr float kDivisorFloor = 3.1622778e-05f;
constexpr float kLinkedShare = 0.7943282f;  // -2 dB of the linked slow level
constexpr float kBand2Scale = 0.050118722f;  // -26 dB

inline float maxOf(float a, float b) { return a > b ? a : b; }
}  // namespace

void BandLevel::setRate(const Rate& rate) {
    for (int b = 0; b < kBandCount; ++b) {
        eRelease_[b] = smoothing(rate, kGateRelease[b]);
        omRelease_[b] = 1.0f - eRelease_[b];
    }
    eGate_ = smoothing(rate, 33.333332f);
    omGate_ = 1.0f - eGate_;
    for (int b = 0; b < kBandCount; ++b) {
        levels_.configure(b, rate, 2.0f, 0.25f, 66.666664f);              // fast level
        levels_.configure(kBandCount + b, rate, 0.25f, 2.0f, 2.0f);       // slow level
    }
}

void BandLevel::clear() {
    for (int b = 0; b < kBandCount; ++b) gatePeak_[b] = gateSmooth_[b] = 0.0f;
    window_.clear();
    levels_.clear();
    outputLines_.clear();
}

void BandLevel::process(const float (*env)[kBandCount], const float (*delayed)[kCellCount], int n,
                        RingIndex index0) {
    const Settings& st = settings_;
    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        const float* e = env[i];

        // Gate follower: instant attack, per-band release, then a 30 ms smoother.
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            float in = st.gateGain[b] * e[b];
            in = in <= 1.0f ? in : 1.0f;
            in = std::fabs(in);
            const float peak = maxOf(in, omRelease_[b] * in + eRelease_[b] * gatePeak_[b]);
            gatePeak_[b] = peak;
            gateSmooth_[b] = eGate_ * gateSmooth_[b] + omGate_ * peak;
        }
        float* gamma = gate_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) gamma[b] = std::atan(gateSmooth_[b]);

        // Level window over the 44 newest envelopes, floored at the threshold; the fast level
        // follows the window maximum, the slow level the envelope itself.
        float q[2 * kBandCount];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) q[b] = maxOf(st.threshold[b], e[b]);
        window_.push(index, q, q);
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) q[kBandCount + b] = e[b];
        float lv[2 * kBandCount];
        levels_.step(q, lv);
        const float* fast = lv;
        const float* slow = lv + kBandCount;

        // Links read the slow levels of this sample, all formed above.
        float* linked = linked_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            slow_[i][b] = slow[b];
            linked[b] = slow[b];
        }
        linked[0] = maxOf(slow[0], st.link2to1 * slow[1]);
        const float l5 = st.link5678 * slow[4], l6 = st.link5678 * slow[5], l7 = st.link5678 * slow[6],
                    l8 = st.link5678 * slow[7];
        linked[5] = maxOf(maxOf(slow[5], l5), maxOf(l7, l8));
        linked[6] = maxOf(maxOf(slow[6], l5), maxOf(l6, l8));
        linked[11] = maxOf(slow[11], st.link11to12 * slow[10]);

        float* d = divisor_[i];
        float* beta = gain_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            float div = maxOf(kLinkedShare * linked[b], fast[b]);
            div = div <= kDivisorFloor ? kDivisorFloor : div;
            d[b] = div;
            beta[b] = gamma[b] / div;
        }
        const float* s = delayed[i];
        float* l = levelled_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            l[b] = beta[b] * s[b];
            l[kBandCount + b] = beta[b] * s[kBandCount + b];
        }

        // Bands 1 and 2 go to the sums through their output lines.
        float* slot = outputLines_.slot(index);
        slot[0] = st.band1Scale * (l[0] + l[kBandCount]);
        slot[1] = kBand2Scale * (l[1] + l[kBandCount + 1]);
        const float* old = outputLines_.delayed(index, kOutputDelay);
        lineOut_[i][0] = old[0];
        lineOut_[i][1] = old[1];
    }
}

}  // namespace orvex
