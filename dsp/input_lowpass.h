#pragma once
// The input band limit at "Lowpass Filter": a twelfth-order Butterworth lowpass followed by a
// sixth-order elliptic lowpass at the same corner, nine second-order sections in all.
#include "dsp/blocks/isa.h"
#include "dsp/blocks/design.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

class InputLowpass {
public:
    void setRate(const Rate& rate) { fRate = rate; }
    // Block rate: designs the nine sections at the corner (held below half the rate).
    void setControls(float cornerHz);
    void clear() { fCascade.clear(); }
    // In place over a span of any length.
    void process(float* buf, int n) { fCascade.process(buf, n); }

private:
    Rate fRate;
    WavefrontBiquads<9> fCascade;
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
