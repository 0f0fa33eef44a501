#pragma once
// Coefficient design, kept apart from the filters that run the coefficients.
//
// Every section of the processor is a pre-warped bilinear transform of an analogue prototype,
// designed in single precision from c = 1/tan(pi*f/fs). Everything here runs at rate or block
// time, never per sample (the one per-sample tangent of the noise reduction lives in its stage).
#include "dsp/blocks/isa.h"
#include <cmath>

namespace orvex {
inline namespace ORVEX_ISA_NS {

// Rate quantities every stage derives its coefficients from.
struct Rate {
    float fs = 1.0f;   // working rate, clamped to 1..192000
    float T = 1.0f;    // 1/fs
    float piT = 3.14159265f;  // pi/fs: the pre-warp argument per hertz
};

// Clamp an integer host rate to the working range and derive T and pi*T.
inline Rate makeRate(int rate) {
    Rate r;
    const float f = static_cast<float>(rate);
    r.fs = f <= 1.0f ? 1.0f : (f >= 192000.0f ? 192000.0f : f);
    r.T = 1.0f / r.fs;
    r.piT = 3.14159265358979f / r.fs;
    return r;
}

// Corners that reach half the rate are held just below it, so every pre-warp stays finite and
// positive and every section stays stable at low rates. Corners below that are untouched.
inline float guardCorner(const Rate& r, float f) {
    const float limit = 0.4999f * r.fs;
    return f < limit ? f : limit;
}

// t(f) = tan(pi*f/fs), the pre-warped frequency.
inline float prewarp(const Rate& r, float f) { return std::tan(r.piT * guardCorner(r, f)); }

// e(k) = exp(-k/fs): one-pole smoothing coefficient with time constant 1/k seconds.
inline float smoothing(const Rate& r, float k) { return std::exp(-k * r.T); }

// Butterworth dampings 2*cos(pi*(2k-1)/(2M)) (even order M) or 2*cos(pi*k/M) after a first-order
// section (odd order), in the order the sections are applied.
inline constexpr float kButterworth2[] = {1.4142135f};
inline constexpr float kButterworth3[] = {1.0f};
inline constexpr float kButterworth4[] = {1.847759f, 0.76536685f};
inline constexpr float kButterworth5[] = {1.618034f, 0.618034f};
inline constexpr float kButterworth7[] = {1.8019377f, 1.2469796f, 0.44504187f};
inline constexpr float kButterworth12[] = {1.9828898f, 1.847759f,   1.5867066f,
                                           1.2175229f, 0.76536685f, 0.26105237f};

// Analogue second-order prototype (b2 s^2 + b1 s + b0) / (s^2 + a1 s + a0).
struct Prototype {
    float a1, a0, b2, b1, b0;
};

// Sixth-order elliptic prototypes, three sections each, applied in this order.
inline constexpr Prototype kEllipticLowpass[3] = {
    {0.78241307f, 0.2452915f, 0.0001f, 0.0f, 0.0004332272f},
    {0.51247865f, 0.6896214f, 1.0f, 0.0f, 7.6217313f},
    {0.16840488f, 1.0693583f, 1.0f, 0.0f, 53.53615f},
};
inline constexpr Prototype kEllipticHighpass[3] = {
    {3.1897273f, 4.0767817f, 0.0017661728f, 0.0f, 0.0004076782f},
    {0.74313045f, 1.4500711f, 11.0520525f, 0.0f, 1.4500711f},
    {0.15748216f, 0.9351402f, 50.06381f, 0.0f, 0.9351402f},
};

// Bilinear second-order section in the recursion-plus-numerator form:
//   q[n] = x[n] - (a1*q[n-1] + a2*q[n-2]) * N
//   y[n] = N * (b0*q[n] + b1*q[n-1] + b2*q[n-2])
struct BiquadCoefs {
    float N = 0.0f;
    float a1 = 0.0f, a2 = 0.0f;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
};

// The bilinear transform of a prototype at c = 1/t.
inline BiquadCoefs designSection(const Prototype& p, float c) {
    BiquadCoefs k;
    const float c2 = c * c;
    k.N = 1.0f / ((c + p.a1) * c + p.a0);
    k.a1 = 2.0f * (p.a0 - c2);
    k.a2 = (c - p.a1) * c + p.a0;
    k.b0 = p.b2 * c2 + p.b1 * c + p.b0;
    k.b1 = 2.0f * (p.b0 - p.b2 * c2);
    k.b2 = p.b2 * c2 - p.b1 * c + p.b0;
    return k;
}

inline BiquadCoefs butterworthLowpass(float c, float damping) {
    return designSection({damping, 1.0f, 0.0f, 0.0f, 1.0f}, c);
}
inline BiquadCoefs butterworthHighpass(float c, float damping) {
    return designSection({damping, 1.0f, 1.0f, 0.0f, 0.0f}, c);
}

// Peaking section at centre f, bandwidth B (Hz), gain factor g (> 1): a boost raises the band by
// g, a cut lowers it by g.
enum class Peak { Boost, Cut };
// A centre at or above half the rate is held just below it, as for every pre-warped corner, so
// w stays positive and the section stable at low rates.
inline BiquadCoefs peakingSection(const Rate& r, float f, float bandwidth, float g, Peak kind) {
    const float w = r.fs * std::sin(2.0f * r.piT * guardCorner(r, f));
    const float a = 3.14159265358979f * bandwidth / w;
    const float c = 1.0f / prewarp(r, f);
    const Prototype p = kind == Peak::Boost ? Prototype{a, 1.0f, 1.0f, g * a, 1.0f}
                                            : Prototype{g * a, 1.0f, 1.0f, a, 1.0f};
    return designSection(p, c);
}

// First-order section: lowpass y = (x + x1 - k*y1) * g, highpass y = (c*x - c*x1 - k*y1) * g,
// with g = 1/(c+1) and k = 1 - c.
struct FirstOrderCoefs {
    float c = 0.0f;
    float g = 0.0f;
    float k = 0.0f;
};
inline FirstOrderCoefs firstOrder(float c) { return {c, 1.0f / (c + 1.0f), 1.0f - c}; }

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
