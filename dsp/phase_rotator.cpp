#include "dsp/phase_rotator.h"

#include "dsp/blocks/wavefront.h"
#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {

using namespace wavefront;
constexpr int kVectors = PhaseRotator::kLanes / kWidth;

}  // namespace

PhaseRotator::PhaseRotator() {
    for (int k = 0; k < kSections; ++k) fA[k] = kCoefs[k % 4];
}

void PhaseRotator::clear() {
    for (int l = 0; l < kLanes; ++l) fX1[l] = fX2[l] = fY1[l] = fY2[l] = 0.0f;
    fOut.clear();
}

void PhaseRotator::process(const float* v, float* r, int n, RingIndex index) {
    // In spans of at most a sub-block, so every read below finds its sample already written.
    while (n > kSubBlock) {
        process(v, r, kSubBlock, index);
        v += kSubBlock;
        r += kSubBlock;
        index += kSubBlock;
        n -= kSubBlock;
    }
    constexpr int kLastVector = (kSections - 1) / kWidth, kLastLane = (kSections - 1) % kWidth;
    Vec a[kVectors], x1[kVectors], x2[kVectors], y1[kVectors], y2[kVectors];
    for (int j = 0; j < kVectors; ++j) {
        a[j] = load(fA + j * kWidth);
        x1[j] = load(fX1 + j * kWidth);
        x2[j] = load(fX2 + j * kWidth);
        y1[j] = load(fY1 + j * kWidth);
        y2[j] = load(fY2 + j * kWidth);
    }
    for (int i = 0; i < n; ++i) {
        // Section k's input is section k - 1's latest output; section 0 takes the new sample.
        Vec in[kVectors];
        in[0] = shiftIn(broadcast(v[i]), y1[0]);
        for (int j = 1; j < kVectors; ++j) in[j] = shiftIn(y1[j - 1], y1[j]);
        for (int j = 0; j < kVectors; ++j) {
            const Vec y = a[j] * (in[j] + y2[j]) - x2[j];
            x2[j] = x1[j];
            x1[j] = in[j];
            y2[j] = y1[j];
            y1[j] = y;
        }
        fOut.write(index + static_cast<RingIndex>(i) - kLag, y1[kLastVector][kLastLane]);
    }
    for (int j = 0; j < kVectors; ++j) {
        store(fX1 + j * kWidth, x1[j]);
        store(fX2 + j * kWidth, x2[j]);
        store(fY1 + j * kWidth, y1[j]);
        store(fY2 + j * kWidth, y2[j]);
    }
    for (int i = 0; i < n; ++i) r[i] = fOut.read(index + static_cast<RingIndex>(i), kDelay);
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
