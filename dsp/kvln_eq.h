#pragma once
// The fixed station equaliser: five Butterworth crossovers (lowpass plus a scaled highpass of the
// same order and corner), then four peaking sections. It runs on every sample whether or not
// "Disable KVLN EQ" bypasses it, so switching it back in continues from live state.
#include "dsp/blocks/design.h"
#include "dsp/blocks/sections.h"

namespace orvex {

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
    BiquadCoefs fLowK[kMaxSections], fHighK[kMaxSections];
    FirstOrderState fLowFirst, fHighFirst;
    BiquadState fLow[kMaxSections], fHigh[kMaxSections];
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
    BiquadCascade<4> fPeaks;
};

}  // namespace orvex
