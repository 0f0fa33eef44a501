#pragma once
// The fixed station equaliser: five Butterworth crossovers (lowpass plus a scaled highpass of the
// same order and corner), then four peaking sections. It runs on every sample whether or not
// "Disable KVLN EQ" bypasses it, so switching it back in continues from live state.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/sections.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// lowpass(x) + g * highpass(x), both of odd order: one first-order section, then up to three
// second-order sections per branch.
class Crossover {
public:
    static constexpr int kMaxSections = 3;

    void design(const Rate& rate, float cornerHz, int order, float highGain);
    void clear();
    // In place over at most kSubBlock samples.
    void process(float* buf, int n);

private:
    FirstOrderCoefs fFirst;
    int fSections = 0;
    float fHighGain = 0.0f;
    FirstOrderState fLowFirst, fHighFirst;
    // The second-order sections of both branches: branch 0 low, branch 1 high.
    WavefrontBiquadPair<kMaxSections> fBranches;
};

class KvlnEq {
public:
    static constexpr int kCrossovers = 5;

    void setRate(const Rate& rate);
    void clear();
    // w: the noise reduction's output; v: the equalised signal, or w itself when bypassed.
    void process(const float* w, float* v, int n, bool bypass);

private:
    Crossover fCrossovers[kCrossovers];
    WavefrontBiquads<4> fPeaks;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
