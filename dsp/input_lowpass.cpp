#include "dsp/input_lowpass.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

void InputLowpass::setControls(float cornerHz) {
    const float c = 1.0f / prewarp(fRate, cornerHz);
    for (int i = 0; i < 6; ++i) fCascade.set(i, butterworthLowpass(c, kButterworth12[i]));
    for (int i = 0; i < 3; ++i) fCascade.set(6 + i, designSection(kEllipticLowpass[i], c));
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
