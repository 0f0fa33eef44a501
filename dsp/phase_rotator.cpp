#include "dsp/phase_rotator.h"

#include "dsp/frame.h"

namespace orvex {

void PhaseRotator::clear() {
    for (auto& s : fSections) s = AllPassState{};
    fOut.clear();
}

void PhaseRotator::process(const float* v, float* r, int n, RingIndex index) {
    float buf[kSubBlock];
    while (n > 0) {
        const int m = n < kSubBlock ? n : kSubBlock;
        for (int i = 0; i < m; ++i) buf[i] = v[i];
        // Section by section over the span: each section's recursion stays in registers.
        for (int j = 0; j < kSections; ++j) {
            const float a = kCoefs[j % 4];
            AllPassState s = fSections[j];
            for (int i = 0; i < m; ++i) buf[i] = stepAllPass(a, s, buf[i]);
            fSections[j] = s;
        }
        for (int i = 0; i < m; ++i) {
            const RingIndex at = index + static_cast<RingIndex>(i);
            fOut.write(at, buf[i]);
            r[i] = fOut.read(at, kDelay);
        }
        v += m;
        r += m;
        index += static_cast<RingIndex>(m);
        n -= m;
    }
}

}  // namespace orvex
