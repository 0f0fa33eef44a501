#include "dsp/band_level.h"

#include <cmath>
#include <cstring>

#include "dsp/blocks/lanes.h"
#include "dsp/blocks/vecmath.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
constexpr float kGateRelease[kLevelLanes] = {13.333333f, 16.666666f, 20.833334f, 26.041666f,
                                            32.552082f, 40.690105f, 50.86263f,  63.57829f,
                                            79.47286f,  99.34107f,  124.176346f, 155.22043f,
                                            155.22043f, 155.22043f, 155.22043f, 155.22043f};  // padding
constexpr float kDivisorFloor = 3.1622778e-05f;
constexpr float kLinkedShare = 0.7943282f;  // -2 dB of the linked slow level
constexpr float kBand2Scale = 0.050118722f;  // -26 dB

inline float maxOf(float a, float b) { return a > b ? a : b; }

// The partners each band is linked to: band 1 sees band 2, band 6 sees bands 5, 7 and 8, band 7
// sees bands 5, 6 and 8, band 12 sees band 11 (its own lane where it has none; its link gain is
// 0 there).
#if defined(__AVX512F__)
// One vector holds all sixteen lanes: the partners come from shuffles of it.
inline wavefront::Vec maxOf(wavefront::Vec a, wavefront::Vec b) { return a > b ? a : b; }
constexpr wavefront::Mask kLinkFrom1 = {1, 1, 2, 3, 4, 4, 4, 7, 8, 9, 10, 10, 12, 13, 14, 15};
constexpr wavefront::Mask kLinkFrom2 = {1, 1, 2, 3, 4, 6, 5, 7, 8, 9, 10, 10, 12, 13, 14, 15};
constexpr wavefront::Mask kLinkFrom3 = {1, 1, 2, 3, 4, 7, 7, 7, 8, 9, 10, 10, 12, 13, 14, 15};
#else
// The largest of each band's partners' slow levels, patched onto a copy of the row on the four
// linked lanes.
inline void linkPartners(const float* slow, float* partners) {
    std::memcpy(partners, slow, kLevelLanes * sizeof(float));
    partners[0] = slow[1];
    partners[5] = maxOf(maxOf(slow[4], slow[6]), slow[7]);
    partners[6] = maxOf(maxOf(slow[4], slow[5]), slow[7]);
    partners[11] = slow[10];
}
#endif
}  // namespace

void BandLevel::setSettings(const Settings& s) {
    settings_ = s;
    for (int b = 0; b < kLevelLanes; ++b) {
        gateGain_[b] = b < kBandCount ? s.gateGain[b] : 0.0f;
        threshold_[b] = b < kBandCount ? s.threshold[b] : 1.0f;
        linkGain_[b] = 0.0f;  // unlinked: its own slow level alone
    }
    linkGain_[0] = s.link2to1;
    linkGain_[5] = linkGain_[6] = s.link5678;
    linkGain_[11] = s.link11to12;
}

void BandLevel::setRate(const Rate& rate) {
    for (int b = 0; b < kLevelLanes; ++b) {
        eRelease_[b] = smoothing(rate, kGateRelease[b]);
        omRelease_[b] = 1.0f - eRelease_[b];
    }
    eGate_ = smoothing(rate, 33.333332f);
    omGate_ = 1.0f - eGate_;
    for (int b = 0; b < kLevelLanes; ++b) {
        levels_.configure(b, rate, 2.0f, 0.25f, 66.666664f);              // fast level
        levels_.configure(kLevelLanes + b, rate, 0.25f, 2.0f, 2.0f);      // slow level
    }
    levels_.setLiveLanes(kLevelLanes, kBandCount);
}

void BandLevel::clear() {
    for (int b = 0; b < kLevelLanes; ++b) gatePeak_[b] = gateSmooth_[b] = 0.0f;
    window_.clear();
    levels_.clear();
    outputLines_.clear();
}

void BandLevel::process(const float (*env)[kBandCount], const float (*delayed)[kCellCount], int n,
                        RingIndex index0) {
    alignas(64) float padded[kBandBlock][kBandLanes] = {};
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < kBandCount; ++b) padded[i][b] = env[i][b];
    process(padded, delayed, n, index0);
}

void BandLevel::process(const float (*envelope)[kBandLanes], const float (*delayed)[kCellCount], int n,
                        RingIndex index0) {
    using namespace wavefront;
    static_assert(kLevelLanes % kWidth == 0, "whole vectors of lanes");
    const Settings& st = settings_;
    // Gate follower: instant attack, per-band release, then a 30 ms smoother. It depends on the
    // envelopes alone, so it runs over the whole block first and the arctangent law is applied
    // to all of it in one call.
    for (int i = 0; i < n; ++i) {
        const float* e = envelope[i];
        float* gamma = gate_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kLevelLanes; ++b) {
            float in = gateGain_[b] * e[b];
            in = in <= 1.0f ? in : 1.0f;
            in = std::fabs(in);
            const float peak = maxOf(in, omRelease_[b] * in + eRelease_[b] * gatePeak_[b]);
            gatePeak_[b] = peak;
            const float smooth = eGate_ * gateSmooth_[b] + omGate_ * peak;
            gateSmooth_[b] = smooth;
            gamma[b] = smooth;
        }
    }
    applyToLiveLanes(vectorMath().atan, &gate_[0][0], n, kLevelLanes, kBandCount);

    // Level window over the 44 newest envelopes, floored at the threshold; the fast level
    // follows the window maximum, the slow level the envelope itself. Both followers run over
    // the whole block at once.
    alignas(64) float lv[kBandBlock][2 * kLevelLanes];
    for (int i = 0; i < n; ++i) {
        const float* e = envelope[i];
        float* q = lv[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kLevelLanes; ++b) q[b] = maxOf(threshold_[b], e[b]);
        window_.push(index0 + static_cast<RingIndex>(i), q, q);
        ORVEX_LANE_LOOP
        for (int b = 0; b < kLevelLanes; ++b) q[kLevelLanes + b] = e[b];
    }
    levels_.process(lv, lv, n);

    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        const float* gamma = gate_[i];
        const float* fast = lv[i];
        const float* slow = lv[i] + kLevelLanes;

        // Links read the slow levels of this sample, all formed above. A linked band takes the
        // largest of its own slow level and its partners' scaled by the link gain; scaling by a
        // positive gain keeps the order, so the gain may go onto the partners' maximum.
        alignas(64) float partners[kLevelLanes];
#if defined(__AVX512F__)
        {
            static_assert(kWidth == kLevelLanes);
            // One register holds all lanes: the partners come from three shuffles of it
            // (patching four lanes in memory would stall the load that follows).
            const Vec s = load(slow);
            store(partners, maxOf(maxOf(__builtin_shuffle(s, kLinkFrom1), __builtin_shuffle(s, kLinkFrom2)),
                                  __builtin_shuffle(s, kLinkFrom3)));
        }
#else
        linkPartners(slow, partners);
#endif
        for (int c = 0; c < kLevelLanes; c += kWidth) {
            const Vec s = load(slow + c);
            Vec linked = load(linkGain_ + c) * load(partners + c);
            linked = s > linked ? s : linked;
            store(slow_[i] + c, s);
            store(linked_[i] + c, linked);
            const Vec f = load(fast + c);
            Vec div = kLinkedShare * linked;
            div = div > f ? div : f;
            div = div <= kDivisorFloor ? broadcast(kDivisorFloor) : div;
            store(divisor_[i] + c, div);
            store(gain_[i] + c, load(gamma + c) / div);
        }
        const float* beta = gain_[i];
        const float* s = delayed[i];
        float* l = levelled_[i];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandCount; ++b) {
            l[b] = beta[b] * s[b];
            l[kBandCount + b] = beta[b] * s[kBandCount + b];
        }

        // Bands 1 and 2 go to the sums through their output lines.
        // (Read before the write: the line is exactly as long as the delay.)
        const float* old = outputLines_.delayed(index, kOutputDelay);
        lineOut_[i][0] = old[0];
        lineOut_[i][1] = old[1];
        float* slot = outputLines_.slot(index);
        slot[0] = st.band1Scale * (l[0] + l[kBandCount]);
        slot[1] = kBand2Scale * (l[1] + l[kBandCount + 1]);
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
