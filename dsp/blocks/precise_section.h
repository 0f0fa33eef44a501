#pragma once
// Second-order sections whose poles sit too close to z = 1 for single precision.
//
// In the recursion form of sections.h the denominator at z = 1 is 1 + A1 + A2 = 4*a0*N (A = a*N).
// For a 10 Hz section at 96 kHz that is about 4e-7, at 192 kHz about 1e-7: below the resolution
// of the single-precision coefficients (about 1.2e-7 on A1), so the section's low-frequency gain
// is off by tens of percent and a pole can land outside the unit circle, where the state grows
// until it overflows. Such sections are designed and run in double precision instead; every
// section that single precision resolves keeps the float form untouched.
#include "dsp/blocks/isa.h"
#include <cmath>

#include "dsp/blocks/design.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// True when 4*a0*N is too small for the float recursion to place the poles reliably.
inline bool needsPreciseSection(const Prototype& p, const Rate& r, float f) {
    const double c = 1.0 / std::tan(3.14159265358979323846 * guardCorner(r, f) / r.fs);
    const double n = 1.0 / ((c + p.a1) * c + p.a0);
    return 4.0 * p.a0 * n < 1.0e-6;
}

struct PreciseBiquad {
    double N = 0.0, a1 = 0.0, a2 = 0.0, b0 = 0.0, b1 = 0.0, b2 = 0.0;
    double q1 = 0.0, q2 = 0.0;

    void design(const Prototype& p, const Rate& r, float f) {
        const double c = 1.0 / std::tan(3.14159265358979323846 * guardCorner(r, f) / r.fs);
        const double c2 = c * c;
        N = 1.0 / ((c + p.a1) * c + p.a0);
        a1 = 2.0 * (p.a0 - c2);
        a2 = (c - p.a1) * c + p.a0;
        b0 = p.b2 * c2 + p.b1 * c + p.b0;
        b1 = 2.0 * (p.b0 - p.b2 * c2);
        b2 = p.b2 * c2 - p.b1 * c + p.b0;
    }
    float step(float x) {
        const double q = x - (a1 * q1 + a2 * q2) * N;
        const double y = N * (b0 * q + b1 * q1 + b2 * q2);
        q2 = q1;
        q1 = q;
        return static_cast<float>(y);
    }
    void process(float* buf, int n) {
        for (int i = 0; i < n; ++i) buf[i] = step(buf[i]);
    }
    void clear() { q1 = q2 = 0.0; }
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
