#pragma once
// The input stage: band limit, look-ahead normaliser, noise reduction, station equaliser and
// phase rotator. From the mono input it makes the processed input v and the rotated signal r
// that the band section combines into its plus and minus channels.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/ring.h"
#include "dsp/input_lowpass.h"
#include "dsp/kvln_eq.h"
#include "dsp/lookahead_normaliser.h"
#include "dsp/noise_reduction.h"
#include "dsp/phase_rotator.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// The block-rate inputs of the stage, read from the control cells once per block.
struct InputControls {
    float lowpassHz = 9700.0f;
    float dnrSensitivity = 300.0f;
    bool dnrDisabled = false;  // "DNR LPF Disable" > 0.5
    bool kvlnBypass = false;   // "Disable KVLN EQ" not < 0.5
};

// Reads the stage's four controls from the processor's cells (indexed by ctl::Index).
InputControls inputControlsFrom(const float* cells);

class InputStage {
public:
    // Pure delay of v behind the input, besides the filters' own group delay.
    static constexpr RingIndex kLatency = LookaheadNormaliser::kLookahead + NoiseReduction::kTap;
    // Extra delay of r behind v, besides the all-pass sections' own group delay.
    static constexpr RingIndex kRotatedDelay = PhaseRotator::kDelay;

    void setRate(const Rate& rate);
    void setControls(const InputControls& controls);
    void clear();
    // x: input (finite), v: processed input, r: rotated signal; any n. Sample i is at ring
    // position index + i. x may alias v or r.
    void process(const float* x, float* v, float* r, int n, RingIndex index);

    const NoiseReduction& noiseReduction() const { return fNoiseReduction; }

private:
    InputLowpass fLowpass;
    LookaheadNormaliser fNormaliser;
    NoiseReduction fNoiseReduction;
    KvlnEq fEq;
    PhaseRotator fRotator;
    bool fKvlnBypass = false;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
