#include "dsp/input_lowpass.h"

namespace orvex {

void InputLowpass::setControls(float cornerHz) {
    const float c = 1.0f / prewarp(fRate, cornerHz);
    for (int i = 0; i < 6; ++i) fCascade.coefs[i] = butterworthLowpass(c, kButterworth12[i]);
    for (int i = 0; i < 3; ++i) fCascade.coefs[6 + i] = designSection(kEllipticLowpass[i], c);
}

}  // namespace orvex
