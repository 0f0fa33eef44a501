#include "dsp/output_stage.h"

#include <cmath>
#include <cstring>

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

    // The peak candidates of the sub-block first; they do not depend on the envelope.
    float* const peak = peaks_ + kPeakHistory;
    float odA[kMaxBlock], odB[kMaxBlock];
    float thr = thr_;
    const float thrIn = 0.001f * gAGC_;
    for (int j = 0; j < n; ++j) {
        const RingIndex idx = index0 + static_cast<RingIndex>(j);
        const float oA = oA_[j], oB = oB_[j];
        delayA_.write(idx, oA);
        delayB_.write(idx, oB);
        odA[j] = delayA_.read(idx, kOutputDelay);
        odB[j] = delayB_.read(idx, kOutputDelay);

        thr = thrIn + 0.999f * thr;

        // The candidate covers both the samples leaving the delay now and those entering it.
        const float aodA = std::fabs(odA[j]), aodB = std::fabs(odB[j]);
        const float aoA = std::fabs(oA), aoB = std::fabs(oB);
        const float p1 = aodA < aodB ? aodB : aodA;
        const float p2 = aoB <= aoA ? aoA : aoB;
        float pk = p1 <= p2 ? p2 : p1;
        if (pk < thr) pk = thr;
        peak[j] = pk;
    }
    thr_ = thr;

    // Largest candidate of the 44-sample window ending at each sample (all positive and finite:
    // each is at least the threshold, so the order of comparison does not matter). Sample by
    // sample over each lag, which vectorises across the sub-block.
    float m[kMaxBlock];
    for (int j = 0; j < n; ++j) m[j] = peak[j];
    for (int d = 1; d < kPeakWindow; ++d) {
        const float* older = peak - d;
        for (int j = 0; j < n; ++j) m[j] = older[j] > m[j] ? older[j] : m[j];
    }

    float env = env_;
    for (int j = 0; j < n; ++j) {
        env = e20_ * env + e20c_ * m[j];
        if (env <= m[j]) env = m[j];

        // The ratio first: |od| <= env makes it at most 1 after rounding, so the product never
        // exceeds the ceiling (ceiling * od / env read left to right can round one ulp above).
        outA[j] = kCeiling * (odA[j] / env);
        outB[j] = kCeiling * (odB[j] / env);
    }
    std::memmove(peaks_, peaks_ + n, sizeof(float) * kPeakHistory);
    env_ = env;
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
