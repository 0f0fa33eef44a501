#include "dsp/band_width.h"

#include <cmath>

#include "dsp/blocks/lanes.h"
#include "dsp/blocks/vecmath.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {
// Output scales of bands 3..12: -26 dB, odd bands inverted; band 11 at -32 dB, band 12 at -24 dB.
constexpr float kBandScale[kWidthLanes] = {-0.050118722f, 0.050118722f, -0.050118722f, 0.050118722f,
                                           -0.050118722f, 0.050118722f, -0.050118722f, 0.050118722f,
                                           -0.025118865f, 0.06309573f};  // padding lanes: 0
constexpr float kMagnitudeFloor = 1.5848931e-05f;  // -96 dB
constexpr float kLowFloor = 0.0031622776f;         // -50 dB: keeps the level ratio finite
constexpr float kWidthGain = 3.1622777f;           // +10 dB
constexpr float kWidthCeiling = 1.7f;

inline float maxOf(float a, float b) { return a > b ? a : b; }
}  // namespace

void BandWidth::setRate(const Rate& rate) {
    ePeak_ = smoothing(rate, 2.5f);
    omPeak_ = 1.0f - ePeak_;
    eSmooth_ = smoothing(rate, 33.333332f);
    omSmooth_ = 1.0f - eSmooth_;
    lp10_ = firstOrder(1.0f / prewarp(rate, 10.0f));
    for (int l = 0; l < 2 * kWidthLanes; ++l) channel_.configure(l, rate, 16.666666f, 0.03f, 1000.0f);
    channel_.setLiveLanes(kWidthLanes, kWidthBands);
}

void BandWidth::clear() {
    quadrature_.clear();
    channel_.clear();
    sumLines_.clear();
    diffLines_.clear();
    for (int b = 0; b < kWidthLanes; ++b) {
        presPeak_[b] = presSmooth_[b] = presIn1_[b] = presence_[b] = 0.0f;
        hiPeak_[b] = hiSmooth_[b] = hiIn1_[b] = hiPresence_[b] = 0.0f;
        loPeak_[b] = loSmooth_[b] = 0.0f;
        widthIn1_[b] = widthSmooth_[b] = 0.0f;
    }
}

void BandWidth::process(const float (*levelled)[kCellCount], const float (*lineOut)[2], int n,
                        RingIndex index0, float* y1, float* y2) {
    const float g10 = lp10_.g, k10 = lp10_.k;
    // Detection runs over the whole block first: it reads only the levelled band signals, and
    // the tangents of the width law are then taken for all of it in one call.
    for (int i = 0; i < n; ++i) {
        const float* lp = levelled[i] + kWidthFirstBand;
        const float* lm = levelled[i] + kBandCount + kWidthFirstBand;

        // Detection on the scaled band signals.
        float mag[2 * kWidthLanes] = {};
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthBands; ++b) {
            mag[b] = kBandScale[b] * lp[b];
            mag[kWidthLanes + b] = kBandScale[b] * lm[b];
        }
        quadrature_.step(mag, mag);

        // Presence factor: saturates at 1 once the smoothed peak magnitude reaches 0.001. The
        // envelope floor lies above that, so it only ramps up after a clear.
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            float m = maxOf(mag[kWidthLanes + b], mag[b]);
            m = m <= kMagnitudeFloor ? kMagnitudeFloor : m;
            const float q = maxOf(m, omPeak_ * m + ePeak_ * presPeak_[b]);
            presPeak_[b] = q;
            const float z = omSmooth_ * q + eSmooth_ * presSmooth_[b];
            presSmooth_[b] = z;
            float u = 1000.0f * z;
            u = u >= 1.0f ? 1.0f : u;
            presence_[b] = (u + presIn1_[b] - k10 * presence_[b]) * g10;
            presIn1_[b] = u;
            presenceTap_[i][b] = presence_[b];
        }

        // Channel levels and their high and low paths.
        float level[2 * kWidthLanes];
        channel_.step(mag, level);
        float* ratio = ratio_[i];
        float* arg = widthTap_[i];  // the tangent's argument until the width is formed
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            const float vp = level[b], vm = level[kWidthLanes + b];
            float hi = maxOf(vp, vm);
            float lo = vp < vm ? vp : vm;
            hi = hi < kMagnitudeFloor ? kMagnitudeFloor : hi;
            lo = lo <= kLowFloor ? kLowFloor : lo;

            const float qh = maxOf(hi, omPeak_ * hi + ePeak_ * hiPeak_[b]);
            hiPeak_[b] = qh;
            const float zh = omSmooth_ * qh + eSmooth_ * hiSmooth_[b];
            hiSmooth_[b] = zh;
            float uh = 1000.0f * zh;
            uh = uh >= 1.0f ? 1.0f : uh;
            hiPresence_[b] = (uh + hiIn1_[b] - k10 * hiPresence_[b]) * g10;
            hiIn1_[b] = uh;

            const float ql = maxOf(lo, omPeak_ * lo + ePeak_ * loPeak_[b]);
            loPeak_[b] = ql;
            const float zl = omSmooth_ * ql + eSmooth_ * loSmooth_[b];
            loSmooth_[b] = zl;

            const float rr = hiPresence_[b] * zh / zl - 1.1f;
            ratio[b] = rr;
            arg[b] = rr > 0.0f ? rr : 0.0f;
        }
    }
    // Tangents only where the width law uses them (a ratio above zero); the others are
    // replaced by zero below whatever they hold.
    {
        float packed[kBandBlock * kWidthBands];
        int count = 0;
        for (int i = 0; i < n; ++i)
            for (int b = 0; b < kWidthBands; ++b)
                if (ratio_[i][b] > 0.0f) packed[count++] = widthTap_[i][b];
        vectorMath().tan(packed, count);
        count = 0;
        for (int i = 0; i < n; ++i)
            for (int b = 0; b < kWidthBands; ++b)
                if (ratio_[i][b] > 0.0f) widthTap_[i][b] = packed[count++];
    }

    for (int i = 0; i < n; ++i) {
        const RingIndex index = index0 + static_cast<RingIndex>(i);
        const float* lp = levelled[i] + kWidthFirstBand;
        const float* lm = levelled[i] + kBandCount + kWidthFirstBand;

        // Sum and difference lines.
        float sumOld[kWidthLanes] = {}, diffOld[kWidthLanes] = {};
        {
            // Read before the new rows go in: the lines are exactly as long as the delay.
            const float* so = sumLines_.delayed(index, kLineDelay);
            const float* dl = diffLines_.delayed(index, kLineDelay);
            ORVEX_LANE_LOOP
            for (int b = 0; b < kWidthBands; ++b) {
                sumOld[b] = so[b];
                diffOld[b] = dl[b];
            }
            float* s = sumLines_.slot(index);
            float* d = diffLines_.slot(index);
            ORVEX_LANE_LOOP
            for (int b = 0; b < kWidthBands; ++b) {
                s[b] = lp[b] + lm[b];
                d[b] = lp[b] - lm[b];
            }
        }

        // Width factor, its compensation and the band parts.
        const float* ratio = ratio_[i];
        float tn[kWidthLanes];
        float c[kWidthLanes], dpart[kWidthLanes];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            const float t = ratio[b] > 0.0f ? widthTap_[i][b] : 0.0f;
            tn[b] = t > 0.0f ? t : 0.0f;
        }
        // (The clamps are split over separate loops: chained in one, they come out as branches.)
        float omega[kWidthLanes];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            const float t = tn[b];
            const float w = (t + widthIn1_[b] - k10 * widthSmooth_[b]) * g10;
            widthIn1_[b] = t;
            widthSmooth_[b] = w;
            const float o = kWidthGain * w;
            omega[b] = o > 0.0f ? o : 0.0f;
        }
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) omega[b] = omega[b] >= kWidthCeiling ? kWidthCeiling : omega[b];
        float room[kWidthLanes];
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            const float r = kWidthCeiling - omega[b];
            room[b] = r <= 0.0f ? 0.0f : r;
        }
        ORVEX_LANE_LOOP
        for (int b = 0; b < kWidthLanes; ++b) {
            const float kappa = 1.0f + 0.414f * room[b];
            const float scale = kBandScale[b] * kappa;
            c[b] = scale * presenceTap_[i][b] * sumOld[b];
            dpart[b] = scale * omega[b] * diffOld[b];
            widthTap_[i][b] = omega[b];
            partTap_[i][b] = c[b] + dpart[b];
        }

        // Band sums, bands in order so that both sums round alike.
        float a = lineOut[i][0] + lineOut[i][1];
        float bsum = a;
        for (int b = 0; b < kWidthBands; ++b) {
            a += c[b] + dpart[b];
            bsum += c[b] - dpart[b];
        }
        y1[i] = a;
        y2[i] = bsum;
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
