#include "dsp/output_stage.h"

#include <cmath>

namespace orvex {
inline namespace ORVEX_ISA_NS {

void OutputFilter::setRate(const Rate& rate) {
    shelf_ = firstOrder(1.0f / prewarp(rate, 2000.0f));
    const float c = 1.0f / prewarp(rate, 40.0f);
    for (int i = 0; i < kSections; ++i) highpass_.setAll(i, designSection(kEllipticHighpass[i % 3], c));
}

void OutputFilter::setShelf(float shelfDb) { gShelf_ = std::pow(10.0f, shelfDb / 20.0f); }

void OutputFilter::clear() {
    lp_.clear();
    hp_.clear();
    highpass_.clear();
}

BiquadCoefs OutputFilter::section(int i) const {
    return highpass_.get(i, 0);
}

void OutputFilter::process(const float* zA, const float* zB, float* oA, float* oB, int n) {
    for (int done = 0; done < n; done += kMaxBlock) {
        const int k = n - done < kMaxBlock ? n - done : kMaxBlock;
        processBlock(zA + done, zB + done, oA + done, oB + done, k);
    }
}

void OutputFilter::processBlock(const float* zA, const float* zB, float* oA, float* oB, int n) {
    const float* z[2] = {zA, zB};
    for (int j = 0; j < n; ++j)
        for (int l = 0; l < 2; ++l) {
            const float x = z[l][j];
            const float lo = lp_.lowpass(shelf_, l, x);
            const float hi = hp_.highpass(shelf_, l, x);
            buf_[j][l] = lo + gShelf_ * hi;
        }
    highpass_.process(&buf_[0][0], n);
    for (int j = 0; j < n; ++j) {
        oA[j] = buf_[j][0];
        oB[j] = buf_[j][1];
    }
}

namespace {

// Largest of the 44 values w[0..43] (all positive and finite: each is at least the threshold).
float windowMax(const float* w) {
    static_assert(OutputStage::kPeakWindow % 4 == 0, "window is a whole number of lane vectors");
    using V = LaneVec<4>;
    V m = loadLanes<4>(w);
    for (int i = 4; i < OutputStage::kPeakWindow; i += 4) {
        const V v = loadLanes<4>(w + i);
        m = v > m ? v : m;
    }
    float r = m[0];
    for (int l = 1; l < 4; ++l) r = m[l] > r ? m[l] : r;
    return r;
}

}  // namespace

void OutputStage::setRate(const Rate& rate) {
    filter_.setRate(rate);
    e20_ = smoothing(rate, 20.0f);
    e20c_ = 1.0f - e20_;
}

void OutputStage::setControls(const Controls& c) {
    filter_.setShelf(c.finalShelf);
    gAGC_ = std::pow(10.0f, c.agcThreshold / 20.0f);
}

void OutputStage::clear() {
    filter_.clear();
    delayA_.clear();
    delayB_.clear();
    for (auto& v : peaks_) v = 0.0f;
    thr_ = 0.0f;
    env_ = 0.0f;
}

void OutputStage::process(const float* zA, const float* zB, float* outA, float* outB, int n,
                          RingIndex index0) {
    for (int done = 0; done < n; done += kMaxBlock) {
        const int k = n - done < kMaxBlock ? n - done : kMaxBlock;
        processBlock(zA + done, zB + done, outA + done, outB + done, k,
                     index0 + static_cast<RingIndex>(done));
    }
}

void OutputStage::processBlock(const float* zA, const float* zB, float* outA, float* outB, int n,
                               RingIndex index0) {
    filter_.processBlock(zA, zB, oA_, oB_, n);

    float thr = thr_;
    float env = env_;
    const float thrIn = 0.001f * gAGC_;
    for (int j = 0; j < n; ++j) {
        const RingIndex idx = index0 + static_cast<RingIndex>(j);
        const float oA = oA_[j], oB = oB_[j];
        delayA_.write(idx, oA);
        delayB_.write(idx, oB);
        const float odA = delayA_.read(idx, kOutputDelay);
        const float odB = delayB_.read(idx, kOutputDelay);

        thr = thrIn + 0.999f * thr;

        // The candidate covers both the samples leaving the delay now and those entering it.
        const float aodA = std::fabs(odA), aodB = std::fabs(odB);
        const float aoA = std::fabs(oA), aoB = std::fabs(oB);
        const float p1 = aodA < aodB ? aodB : aodA;
        const float p2 = aoB <= aoA ? aoA : aoB;
        float pk = p1 <= p2 ? p2 : p1;
        if (pk < thr) pk = thr;
        const RingIndex pos = idx & static_cast<RingIndex>(kPeakRing - 1);
        peaks_[pos] = pk;
        peaks_[pos + kPeakRing] = pk;
        const float m = windowMax(peaks_ + ((idx - (kPeakWindow - 1)) & (kPeakRing - 1)));
        env = e20_ * env + e20c_ * m;
        if (env <= m) env = m;

        // The ratio first: |od| <= env makes it at most 1 after rounding, so the product never
        // exceeds the ceiling (ceiling * od / env read left to right can round one ulp above).
        outA[j] = kCeiling * (odA / env);
        outB[j] = kCeiling * (odB / env);
    }
    thr_ = thr;
    env_ = env;
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
