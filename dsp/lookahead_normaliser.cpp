#include "dsp/lookahead_normaliser.h"

#include <cmath>

namespace orvex {
inline namespace ORVEX_ISA_NS {

void LookaheadNormaliser::setRate(const Rate& rate) {
    fAttack = smoothing(rate, 500.0f);
    fAttackIn = 1.0f - fAttack;
    fRelease = smoothing(rate, 2.0f);
    fReleaseIn = 1.0f - fRelease;
}

void LookaheadNormaliser::clear() {
    fEnvelope = 0.0f;
    fLookahead.clear();
}

void LookaheadNormaliser::process(const float* b, float* u, float* den, int n, RingIndex index) {
    float env = fEnvelope;
    for (int i = 0; i < n; ++i) {
        const RingIndex at = index + static_cast<RingIndex>(i);
        fLookahead.write(at, b[i]);
        const float bd = fLookahead.read(at, kLookahead);
        const float now = std::fabs(b[i]);
        const float late = std::fabs(bd);
        // The envelope follows the larger of the newest sample and the one now leaving the
        // look-ahead, so it has risen before a peak reaches the output.
        const float m = now <= late ? late : now;
        if (m < env)
            env = m * fReleaseIn + env * fRelease;
        else
            env = m * fAttackIn + env * fAttack;
        const float d = env > kFloor ? env : kFloor;
        u[i] = bd / d;
        den[i] = d;
    }
    fEnvelope = env;
}

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
