#pragma once
// Running filter sections: state plus a per-sample step. Coefficients come from design.h.
#include "dsp/blocks/isa.h"
#include <cstddef>

#include "dsp/blocks/design.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

// Second-order section memories: the last two values of the internal recursion.
struct BiquadState {
    float q1 = 0.0f, q2 = 0.0f;
};

inline float step(const BiquadCoefs& k, BiquadState& s, float x) {
    const float q = x - (k.a1 * s.q1 + k.a2 * s.q2) * k.N;
    const float y = k.N * (k.b0 * q + k.b1 * s.q1 + k.b2 * s.q2);
    s.q2 = s.q1;
    s.q1 = q;
    return y;
}

// A series of second-order sections with their coefficients.
template <std::size_t Count>
struct BiquadCascade {
    BiquadCoefs coefs[Count];
    BiquadState state[Count];

    float step(float x) {
        for (std::size_t i = 0; i < Count; ++i) x = orvex::step(coefs[i], state[i], x);
        return x;
    }
    // In place over a sub-block, section by section: the same values as stepping sample by
    // sample, with each section's state kept in registers across the span.
    void process(float* buf, int n) {
        for (std::size_t i = 0; i < Count; ++i) {
            const BiquadCoefs k = coefs[i];
            BiquadState s = state[i];
            for (int j = 0; j < n; ++j) buf[j] = orvex::step(k, s, buf[j]);
            state[i] = s;
        }
    }
    void clear() {
        for (auto& s : state) s = BiquadState{};
    }
};

// First-order section memories: last input and last output.
struct FirstOrderState {
    float x1 = 0.0f, y1 = 0.0f;
};

inline float stepLowpass(const FirstOrderCoefs& k, FirstOrderState& s, float x) {
    const float y = (x + s.x1 - k.k * s.y1) * k.g;
    s.x1 = x;
    s.y1 = y;
    return y;
}
inline float stepHighpass(const FirstOrderCoefs& k, FirstOrderState& s, float x) {
    const float y = (k.c * x - k.c * s.x1 - k.k * s.y1) * k.g;
    s.x1 = x;
    s.y1 = y;
    return y;
}

// All-pass section y[n] = a*(x[n] + y[n-2]) - x[n-2].
struct AllPassState {
    float x1 = 0.0f, x2 = 0.0f, y1 = 0.0f, y2 = 0.0f;
};

inline float stepAllPass(float a, AllPassState& s, float x) {
    const float y = a * (x + s.y2) - s.x2;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// A chain of all-pass sections with fixed coefficients.
template <std::size_t Count>
struct AllPassChain {
    AllPassState state[Count];

    float step(const float (&a)[Count], float x) {
        for (std::size_t i = 0; i < Count; ++i) x = stepAllPass(a[i], state[i], x);
        return x;
    }
    void clear() {
        for (auto& s : state) s = AllPassState{};
    }
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
