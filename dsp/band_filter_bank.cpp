#include "dsp/band_filter_bank.h"

#include "dsp/blocks/lanes.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
constexpr float kDamping = 1.4142135f;

// Above this c = 1/t a highpass section switches to the difference form: a1 then has a rounding
// step of 1 or more against the margin 1/g + a1 + a2 = 4 that keeps its poles inside the circle.
constexpr float kDifferenceFormAbove = 2000.0f;

struct CornerCoefs {
    float c, g, a1, a2, invT2;
};

// One coefficient set per corner; both cells meeting at a corner copy the same values.
CornerCoefs cornerCoefs(const Rate& rate, float f) {
    const float t = prewarp(rate, f);  // corners at or above half the rate are held below it
    const float c = 1.0f / t;
    const float invT2 = 1.0f / (t * t);
    CornerCoefs k;
    k.c = c;
    k.g = 1.0f / ((c + kDamping) * c + 1.0f);
    k.a1 = 2.0f * (1.0f - invT2);
    k.a2 = (c - kDamping) * c + 1.0f;
    k.invT2 = invT2;
    return k;
}
}  // namespace

void BandFilterBank::setRate(const Rate& rate) {
    CornerCoefs corner[kBandCount + 1];
    for (int i = 0; i <= kBandCount; ++i) corner[i] = cornerCoefs(rate, kBandCorners[i]);
    for (int cell = 0; cell < kCellLanes; ++cell) {
        const int band = cell % kBandLanes;
        if (band >= kBandCount) continue;  // padding lanes keep zero coefficients
        const CornerCoefs& lo = corner[band];
        const CornerCoefs& hi = corner[band + 1];
        for (int s = 0; s < 4; ++s) {
            const CornerCoefs& k = s < 2 ? lo : hi;
            g_[s][cell] = k.g;
            a1_[s][cell] = k.a1;
            a2_[s][cell] = k.a2;
        }
        hpScale_[cell] = lo.invT2;
    }
    deltaCount_ = 0;
    for (int cell = 0; cell < kCellLanes; ++cell) {
        if (cell % kBandLanes >= kBandCount) continue;
        const CornerCoefs& lo = corner[cell % kBandLanes];
        deltaK1_[cell] = 4.0f * lo.g;
        deltaK2_[cell] = 2.0f * kDamping * lo.c * lo.g;
        if (lo.c > kDifferenceFormAbove) deltaLane_[deltaCount_++] = cell;
    }
}

void BandFilterBank::clear() {
    for (int s = 0; s < 4; ++s)
        for (int l = 0; l < kCellLanes; ++l) w1_[s][l] = w2_[s][l] = 0.0f;
    lines_.clear();
    quadrature_.clear();
}

void BandFilterBank::process(const float* v, const float* r, int n, RingIndex index0) {
    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        // Cells: all lanes through the four sections.
        const float p = v[i] + r[i];
        const float m = v[i] - r[i];
        alignas(64) float x[kCellLanes];
        for (int l = 0; l < kBandLanes; ++l) {
            x[l] = p;
            x[kBandLanes + l] = m;
        }
        for (int s = 0; s < 2; ++s) {
            float keep[kCellLanes][3];
            for (int k = 0; k < deltaCount_; ++k) {
                const int l = deltaLane_[k];
                keep[k][0] = x[l];
                keep[k][1] = w1_[s][l];
                keep[k][2] = w2_[s][l];
            }
            for (int l = 0; l < kCellLanes; ++l) {
                const float w = x[l] - g_[s][l] * (a1_[s][l] * w1_[s][l] + a2_[s][l] * w2_[s][l]);
                x[l] = g_[s][l] * (w - 2.0f * w1_[s][l] + w2_[s][l]) * hpScale_[l];
                w2_[s][l] = w1_[s][l];
                w1_[s][l] = w;
            }
            // The few cells in the difference form overwrite what the plain loop left for them.
            for (int k = 0; k < deltaCount_; ++k) {
                const int l = deltaLane_[k];
                const float in = keep[k][0], w1 = keep[k][1], d1 = keep[k][2];
                const float d = d1 + (in - deltaK1_[l] * w1 - deltaK2_[l] * d1);
                x[l] = g_[s][l] * (d - d1) * hpScale_[l];
                w1_[s][l] = w1 + d;
                w2_[s][l] = d;
            }
        }
        for (int s = 2; s < 4; ++s) {
            for (int l = 0; l < kCellLanes; ++l) {
                const float w = x[l] - g_[s][l] * (a1_[s][l] * w1_[s][l] + a2_[s][l] * w2_[s][l]);
                x[l] = g_[s][l] * (w + 2.0f * w1_[s][l] + w2_[s][l]);
                w2_[s][l] = w1_[s][l];
                w1_[s][l] = w;
            }
        }

        // Band lines: the look-ahead is longer than a block, so every read of this block sees
        // samples written before it. Each delayed row is read before the new row goes in: with the
        // line exactly as long as the look-ahead it is the same row.
        const float* old = lines_.delayed(index, kLookAhead);
        for (int l = 0; l < kCellCount; ++l) delayed_[i][l] = old[l];
        float* slot = lines_.slot(index);
        float* out = newest_[i];
        for (int l = 0; l < kBandCount; ++l) {
            slot[l] = x[l];
            slot[kBandCount + l] = x[kBandLanes + l];
            out[l] = x[l];
            out[kBandCount + l] = x[kBandLanes + l];
        }

        // Envelopes of the newest band signals; the band envelope is the louder channel's.
        alignas(64) float e[kCellLanes];
        quadrature_.step(x, e);
        ORVEX_LANE_LOOP
        for (int b = 0; b < kBandLanes; ++b) {
            const float ep = e[b], em = e[kBandLanes + b];
            env_[i][b] = ep > em ? ep : em;
        }
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
