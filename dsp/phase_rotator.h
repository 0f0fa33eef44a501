#pragma once
// Phase rotator: sixty all-pass sections in series smear the phase of the processed input
// without touching its magnitude spectrum; the last section's output goes into a ring and is
// read 300 samples late.
//
// The sections run as a wavefront: section k is lane k of a row of vectors and, in step t,
// works on sample t - k, taking its input from the output section k - 1 produced in step t - 1.
// All sixty recursions then advance together, one vector operation for many sections, and each
// section computes exactly what it would sample by sample. The last section's output for sample
// t - 59 leaves in step t; the 300-sample read delay covers that lag, so the wavefront's state
// simply carries over from block to block.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/sections.h"
#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class PhaseRotator {
public:
    static constexpr int kSections = 60;
    static constexpr RingIndex kDelay = 300;
    // Section j uses kCoefs[j % 4].
    static constexpr float kCoefs[4] = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};

    // Lanes of the wavefront: the sections padded to a whole number of the widest vectors.
    static constexpr int kLanes = 64;
    static constexpr RingIndex kLag = kSections - 1;
    static_assert(kDelay > kLag + kSubBlock, "the read delay must cover the wavefront's lag and a sub-block");

    PhaseRotator();
    void clear();
    // v: processed input; r: the rotated signal of kDelay samples before.
    void process(const float* v, float* r, int n, RingIndex index);

private:
    // Per lane: coefficient (0 on the padding lanes, which never reach the output) and the
    // section memories x[n-1], x[n-2], y[n-1], y[n-2].
    alignas(64) float fA[kLanes] = {};
    alignas(64) float fX1[kLanes] = {};
    alignas(64) float fX2[kLanes] = {};
    alignas(64) float fY1[kLanes] = {};
    alignas(64) float fY2[kLanes] = {};
    Ring<512> fOut;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
