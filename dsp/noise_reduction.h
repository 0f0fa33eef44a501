#pragma once
// Dynamic noise reduction: a first-order lowpass on the normalised signal whose cutoff follows
// its high-frequency content. The detector (1 kHz highpass, magnitude, 10 Hz and 100 Hz
// lowpasses) sees the newest normalised sample; the lowpass runs on the signal 125 samples late,
// so the cutoff opens before a bright passage arrives. The output is multiplied back by the
// normaliser's divisor.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/precise_section.h"
#include "dsp/blocks/ring.h"
#include "dsp/blocks/sections.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class NoiseReduction {
public:
    static constexpr RingIndex kTap = 125;
    static constexpr float kDetectorFloor = 1e-05f;
    static constexpr float kMinCutoff = 1000.0f;
    static constexpr float kMaxCutoff = 22000.0f;

    void setRate(const Rate& rate);
    // Block rate: the sensitivity multiplies the detected level into hertz; with the switch on,
    // the cutoff floor is raised to the ceiling, so the lowpass stays at 22000 Hz.
    void setControls(float sensitivity, bool disabled);
    void clear();
    // u: normalised signal, den: the normaliser's divisor; w = den * lowpassed u late by kTap.
    void process(const float* u, const float* den, float* w, int n, RingIndex index);

    // The cutoff used for the last processed sample (diagnosis).
    float lastCutoff() const { return fLastCutoff; }

private:
    FirstOrderCoefs fHighpass;    // 1 kHz detector highpass
    BiquadCascade<2> fDetector;   // 10 Hz, then 100 Hz Butterworth lowpass
    // At high rates the 10 Hz section is beyond single precision; it then runs here instead.
    bool fPreciseSlow = false;
    PreciseBiquad fSlowPrecise;
    float fPiT = 0.0f;
    float fCutoffLimit = 0.0f;    // just below half the rate, where the pre-warp stays valid
    float fScale = 0.0f;          // 500 * sensitivity
    float fCutoffFloor = 0.0f;

    float fHighpassOut = 0.0f;    // its last input is the ring's previous value
    float fLowpassOut = 0.0f;
    float fLastCutoff = 0.0f;
    Ring<128> fNormalised;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
