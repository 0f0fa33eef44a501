#include "dsp/input_stage.h"

#include "dsp/controls.h"
#include "dsp/frame.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

InputControls inputControlsFrom(const float* cells) {
    InputControls c;
    c.lowpassHz = cells[ctl::kLowpassFilter];
    c.dnrSensitivity = cells[ctl::kDnrSensitivity];
    c.dnrDisabled = cells[ctl::kDnrDisable] > 0.5f;
    c.kvlnBypass = !(cells[ctl::kDisableKvlnEq] < 0.5f);
    return c;
}

void InputStage::setRate(const Rate& rate) {
    fLowpass.setRate(rate);
    fNormaliser.setRate(rate);
    fNoiseReduction.setRate(rate);
    fEq.setRate(rate);
}

void InputStage::setControls(const InputControls& controls) {
    fLowpass.setControls(controls.lowpassHz);
    fNoiseReduction.setControls(controls.dnrSensitivity, controls.dnrDisabled);
    fKvlnBypass = controls.kvlnBypass;
}

void InputStage::clear() {
    fLowpass.clear();
    fNormaliser.clear();
    fNoiseReduction.clear();
    fEq.clear();
    fRotator.clear();
}

void InputStage::process(const float* x, float* v, float* r, int n, RingIndex index) {
    float b[kSubBlock], u[kSubBlock], den[kSubBlock], w[kSubBlock];
    while (n > 0) {
        const int m = n < kSubBlock ? n : kSubBlock;
        for (int i = 0; i < m; ++i) b[i] = x[i];
        fLowpass.process(b, m);
        fNormaliser.process(b, u, den, m, index);
        fNoiseReduction.process(u, den, w, m, index);
        fEq.process(w, v, m, fKvlnBypass);
        fRotator.process(v, r, m, index);
        x += m;
        v += m;
        r += m;
        index += static_cast<RingIndex>(m);
        n -= m;
    }
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
