#pragma once
// Release-shaping follower: a peak follower whose release slows after each rise.
//
// Per sample, with input q and output Y:
//   rise   r = 1 when q exceeds the last output, else 0
//   hold   H = max(r, (1 - e(h)) r + e(h) H[n-1])   (1 after a rise, then decaying)
//   shape  xi = max(2 (H - 1/2), 0)
//   peak   P = max(|q|, (1 - c) |q| + c P[n-1]),  c = exp(-T / (xi + tau0))
//   output Y = (1 - e(k)) P + e(k) Y[n-1]
// so the release time constant is tau0 + 1 s right after a rise and falls to tau0 once the hold
// value has decayed below one half.
//
// The bank holds independent followers as lanes, each with its own parameters. The release
// coefficient follows the signal and is evaluated every sample, all lanes in one call of the
// vector exponential.
#include "dsp/blocks/isa.h"
#include <cmath>

#include "dsp/blocks/design.h"
#include "dsp/blocks/vecmath.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

template <int Lanes>
class FollowerBank {
public:
    // Lane parameters: hold decay rate h (e(h)), base release time constant tau0 in seconds,
    // output smoother rate k (e(k)).
    void configure(int lane, const Rate& rate, float h, float tau0, float k) {
        T_ = rate.T;
        eh_[lane] = smoothing(rate, h);
        omh_[lane] = 1.0f - eh_[lane];
        tau0_[lane] = tau0;
        ek_[lane] = smoothing(rate, k);
        omk_[lane] = 1.0f - ek_[lane];
    }

    // Lanes whose release coefficient is evaluated: the first `count` of each group of `stride`
    // (the rest are padding whose output nobody reads; their coefficient is set to 1, so they
    // hold their peak). Default: every lane.
    void setLiveLanes(int stride, int count) {
        stride_ = stride;
        live_ = count;
    }

    // One sample of every lane. `q` and `y` may alias.
    void step(const float* q, float* y) {
        float rise[Lanes], c[Lanes];
        // The rise flags get a loop of their own: folded into the next one, the compiler turns
        // the selects that depend on them into branches and the loop no longer vectorises.
        for (int l = 0; l < Lanes; ++l) rise[l] = q[l] - Y_[l] > 0.0f ? 1.0f : 0.0f;
        for (int l = 0; l < Lanes; ++l) {
            const float r = rise[l];
            const float decayed = omh_[l] * r + eh_[l] * H_[l];
            const float h = r > decayed ? r : decayed;
            H_[l] = h;
            float xi = 2.0f * (h - 0.5f);
            xi = xi > 0.0f ? xi : 0.0f;
            c[l] = -T_ / (xi + tau0_[l]);
        }
        if (live_ == stride_) {
            vectorMath().exp(c, Lanes);
        } else {
            for (int g = 0; g < Lanes; g += stride_) vectorMath().exp(c + g, live_);
            for (int g = 0; g < Lanes; g += stride_)
                for (int l = live_; l < stride_; ++l) c[g + l] = 1.0f;
        }
        for (int l = 0; l < Lanes; ++l) {
            const float a = std::fabs(q[l]);
            const float released = (1.0f - c[l]) * a + c[l] * P_[l];
            const float p = a > released ? a : released;
            P_[l] = p;
            const float out = omk_[l] * p + ek_[l] * Y_[l];
            Y_[l] = out;
            y[l] = out;
        }
    }

    void clear() {
        for (int l = 0; l < Lanes; ++l) H_[l] = P_[l] = Y_[l] = 0.0f;
    }

    float hold(int lane) const { return H_[lane]; }
    float peak(int lane) const { return P_[lane]; }
    float output(int lane) const { return Y_[lane]; }

private:
    float T_ = 1.0f;
    int stride_ = Lanes, live_ = Lanes;
    alignas(16) float eh_[Lanes] = {};
    alignas(16) float omh_[Lanes] = {};
    alignas(16) float tau0_[Lanes] = {};
    alignas(16) float ek_[Lanes] = {};
    alignas(16) float omk_[Lanes] = {};
    alignas(16) float H_[Lanes] = {};
    alignas(16) float P_[Lanes] = {};
    alignas(16) float Y_[Lanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
