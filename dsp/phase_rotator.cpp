#include "dsp/phase_rotator.h"

#include <cstring>

#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace {

// The widest vector this unit's instruction set has, as lanes of floats.
#if defined(__AVX512F__)
constexpr int kWidth = 16;
#elif defined(__AVX2__)
constexpr int kWidth = 8;
#else
constexpr int kWidth = 4;
#endif
typedef float Vec __attribute__((vector_size(kWidth * sizeof(float))));
typedef int VecIndex __attribute__((vector_size(kWidth * sizeof(int))));
constexpr int kVectors = PhaseRotator::kLanes / kWidth;

inline Vec load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, Vec v) { std::memcpy(p, &v, sizeof v); }

// Lanes moved up by one across two neighbouring vectors: {lo[W-1], hi[0], ..., hi[W-2]}.
#if defined(__AVX512F__)
constexpr VecIndex kShift = {15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
#elif defined(__AVX2__)
constexpr VecIndex kShift = {7, 8, 9, 10, 11, 12, 13, 14};
#else
constexpr VecIndex kShift = {3, 4, 5, 6};
#endif

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
        Vec feed;
        for (int l = 0; l < kWidth; ++l) feed[l] = v[i];
        in[0] = __builtin_shuffle(feed, y1[0], kShift);
        for (int j = 1; j < kVectors; ++j) in[j] = __builtin_shuffle(y1[j - 1], y1[j], kShift);
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
