#pragma once
// Phase rotator: sixty all-pass sections in series smear the phase of the processed input
// without touching its magnitude spectrum; the last section's output goes into a ring and is
// read 300 samples late.
#include "dsp/blocks/ring.h"
#include "dsp/blocks/sections.h"

namespace orvex {

class PhaseRotator {
public:
    static constexpr int kSections = 60;
    static constexpr RingIndex kDelay = 300;
    // Section j uses kCoefs[j % 4].
    static constexpr float kCoefs[4] = {0.40219212f, 0.8561711f, 0.97229093f, 0.9952885f};

    void clear();
    // v: processed input; r: the rotated signal of kDelay samples before.
    void process(const float* v, float* r, int n, RingIndex index);

private:
    AllPassState fSections[kSections];
    Ring<512> fOut;
};

}  // namespace orvex
