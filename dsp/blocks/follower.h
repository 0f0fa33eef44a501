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
// The bank holds independent followers as lanes, each with its own parameters; block runs take
// the first Run lanes only (the rest are storage padding and keep their state). The release
// coefficient follows the signal and is evaluated every sample, all lanes in one call of the
// vector exponential.
#include "dsp/blocks/isa.h"
#include <cmath>
#include <cstring>

#include "dsp/blocks/design.h"
#include "dsp/blocks/vecmath.h"
#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

template <int Lanes, int Run = Lanes>
class FollowerBank {
    static_assert(Run <= Lanes);

public:
    FollowerBank() { setLiveLanes(Lanes, Lanes); }

    // Lane parameters: hold decay rate h (e(h)), base release time constant tau0 in seconds,
    // output smoother rate k (e(k)).
    void configure(int lane, const Rate& rate, float h, float tau0, float k) {
        T_ = rate.T;
        eh_[lane] = smoothing(rate, h);
        omh_[lane] = 1.0f - eh_[lane];
        tau0_[lane] = tau0;
        ek_[lane] = smoothing(rate, k);
        omk_[lane] = 1.0f - ek_[lane];
        updateSeries();
    }

    // Lanes whose release coefficient is evaluated: the first `count` of each group of `stride`
    // (the rest are padding whose output nobody reads; their coefficient is set to 1, so they
    // hold their peak). Default: every lane.
    void setLiveLanes(int stride, int count) {
        stride_ = stride;
        live_ = count;
        for (int l = 0; l < Lanes; ++l) liveMask_[l] = l % stride < count ? -1 : 0;
        updateSeries();
    }

    // One sample of every lane in use. `q` and `y` may alias.
    void step(const float* q, float* y) {
        process(reinterpret_cast<const float(*)[Run]>(q), reinterpret_cast<float(*)[Run]>(y), 1);
    }

    // n samples of every lane in use: y[i] = what step(q[i]) gives, in order. `q` and `y` may
    // alias. Rows may be longer than Run (Stride floats apart); their lanes past Run are left
    // alone.
    template <int Stride>
    void process(const float (*q)[Stride], float (*y)[Stride], int n) {
        static_assert(Stride >= Run);
        if constexpr (Run % wavefront::kWidth == 0) {
            if (series_) {
                processInRegisters(q, y, n);
                return;
            }
        }
        for (int i = 0; i < n; ++i) stepWithVectorMath(q[i], y[i]);
    }

    // The release coefficient exp(u) for the arguments u = -T/(xi + tau0) of this bank, which
    // lie in [-1/64, 0) at every rate from about 2 kHz on: 1 + u(1 + u(1/2 + u(1/6 + u/24))).
    // The series is truncated below 1e-11 and its rounding stays below 1e-9, against a spacing
    // of 6e-8 between floats just below 1: the result is the correctly rounded exp(u) or, for
    // arguments within 1e-9 of a midpoint, its neighbour, as close as the vector maths gets.
    template <typename V>
    static V expSeries(V u) {
        return 1.0f + u * (1.0f + u * (0.5f + u * (0.16666667f + u * 0.041666668f)));
    }
    static constexpr float kSeriesLimit = 1.0f / 64.0f;
    void clear() {
        for (int l = 0; l < Lanes; ++l) H_[l] = P_[l] = Y_[l] = 0.0f;
    }

    float hold(int lane) const { return H_[lane]; }
    float peak(int lane) const { return P_[lane]; }
    float output(int lane) const { return Y_[lane]; }

private:
    // The series holds for |u| <= kSeriesLimit; the largest |u| is T/tau0 (xi = 0).
    // After a rise the hold value is max(1, (1 - e(h)) + e(h) H) with H in [0, 1] (as
    // 0 <= e(h) <= 1), which is 1 exactly wherever (1 - e(h)) + e(h) rounds to no more than 1:
    // rounding keeps the order. Then xi is 1 and the release coefficient a constant of the lane,
    // formed here by the same operations the block would do. Should the sum round above 1, the
    // lanes take the general path.
    void updateSeries() {
        series_ = true;
        for (int l = 0; l < Lanes; ++l) {
            if (!(tau0_[l] > 0.0f) || !(T_ / tau0_[l] <= kSeriesLimit)) series_ = false;
            if (!(eh_[l] >= 0.0f && eh_[l] <= 1.0f && omh_[l] + eh_[l] <= 1.0f)) series_ = false;
            const float xiAfterRise = 2.0f * (1.0f - 0.5f);
            kRise_[l] = liveMask_[l] ? expSeries(-T_ / (xiAfterRise + tau0_[l])) : 1.0f;
        }
    }

    // All vectors of lanes go through the block together, sample by sample, with the state in
    // registers: the vectors are independent, so their recursions overlap.
    template <int Stride>
    void processInRegisters(const float (*q)[Stride], float (*y)[Stride], int n) {
        using namespace wavefront;
        constexpr int V = Run / kWidth;
        // With few vectors the recursion's latency decides, and computing both outcomes ahead
        // pays; with many the throughput does, and it would not. (Up to six vectors, the most a
        // multiband unit runs at four lanes per vector, it still pays.)
        constexpr bool kSpeculate = V <= 6;
        const Vec negT = broadcast(-T_);
        Vec eh[V], omh[V], tau0[V], kRise[V], ek[V], omk[V], H[V], P[V], Y[V];
        Mask live[V];
        for (int v = 0; v < V; ++v) {
            const int c = v * kWidth;
            eh[v] = load(eh_ + c);
            omh[v] = load(omh_ + c);
            tau0[v] = load(tau0_ + c);
            kRise[v] = load(kRise_ + c);
            ek[v] = load(ek_ + c);
            omk[v] = load(omk_ + c);
            std::memcpy(&live[v], liveMask_ + c, sizeof live[v]);
            H[v] = load(H_ + c);
            P[v] = load(P_ + c);
            Y[v] = load(Y_ + c);
        }
        for (int i = 0; i < n; ++i) {
            for (int v = 0; v < V; ++v) {
                const Vec zero = broadcast(0.0f), one = broadcast(1.0f);
                const Vec x = load(q[i] + v * kWidth);
                const Mask rise = x - Y[v] > 0.0f;
                Vec k;
                if constexpr (kSpeculate) {
                    // The hold value and release coefficient this sample gets without a rise
                    // depend only on the last hold value, so they are formed before the rise is
                    // known (off the path from one output to the next); with a rise they are 1
                    // and the lane's constant (see updateSeries). Without a rise the decayed
                    // value (1 - e(h)) * 0 + e(h) H is e(h) H itself, and never below 0: the
                    // hold value and e(h) are never negative, and (1 - e(h)) * 0 is +0.
                    const Vec h0 = eh[v] * H[v];
                    Vec xi0 = 2.0f * (h0 - 0.5f);
                    xi0 = xi0 > 0.0f ? xi0 : zero;
                    const Vec k0 = live[v] ? expSeries(negT / (xi0 + tau0[v])) : one;
                    H[v] = rise ? one : h0;
                    k = rise ? kRise[v] : k0;
                } else {
                    const Vec r = rise ? one : zero;
                    const Vec decayed = omh[v] * r + eh[v] * H[v];
                    H[v] = r > decayed ? r : decayed;
                    Vec xi = 2.0f * (H[v] - 0.5f);
                    xi = xi > 0.0f ? xi : zero;
                    k = live[v] ? expSeries(negT / (xi + tau0[v])) : one;
                }
                const Vec a = reinterpret_cast<Vec>(reinterpret_cast<Mask>(x) & 0x7fffffff);
                const Vec released = (1.0f - k) * a + k * P[v];
                P[v] = a > released ? a : released;
                Y[v] = omk[v] * P[v] + ek[v] * Y[v];
                store(y[i] + v * kWidth, Y[v]);
            }
        }
        for (int v = 0; v < V; ++v) {
            store(H_ + v * kWidth, H[v]);
            store(P_ + v * kWidth, P[v]);
            store(Y_ + v * kWidth, Y[v]);
        }
    }

    // Any rate: the release coefficient from the vector maths, one call per sample.
    void stepWithVectorMath(const float* q, float* y) {
        float rise[Run], c[Run];
        // The rise flags get a loop of their own: folded into the next one, the compiler turns
        // the selects that depend on them into branches and the loop no longer vectorises.
        for (int l = 0; l < Run; ++l) rise[l] = q[l] - Y_[l] > 0.0f ? 1.0f : 0.0f;
        for (int l = 0; l < Run; ++l) {
            const float r = rise[l];
            const float decayed = omh_[l] * r + eh_[l] * H_[l];
            const float h = r > decayed ? r : decayed;
            H_[l] = h;
            float xi = 2.0f * (h - 0.5f);
            xi = xi > 0.0f ? xi : 0.0f;
            c[l] = -T_ / (xi + tau0_[l]);
        }
        if (live_ == stride_) {
            vectorMath().exp(c, Run);
        } else {
            for (int g = 0; g < Run; g += stride_) {
                const int end = g + stride_ < Run ? g + stride_ : Run;
                const int live = g + live_ < end ? live_ : end - g;
                vectorMath().exp(c + g, live);
                for (int l = g + live; l < end; ++l) c[l] = 1.0f;
            }
        }
        for (int l = 0; l < Run; ++l) {
            const float a = std::fabs(q[l]);
            const float released = (1.0f - c[l]) * a + c[l] * P_[l];
            const float p = a > released ? a : released;
            P_[l] = p;
            const float out = omk_[l] * p + ek_[l] * Y_[l];
            Y_[l] = out;
            y[l] = out;
        }
    }

    float T_ = 1.0f;
    bool series_ = false;
    int stride_ = Lanes, live_ = Lanes;
    alignas(16) int liveMask_[Lanes] = {};
    alignas(16) float eh_[Lanes] = {};
    alignas(16) float omh_[Lanes] = {};
    alignas(16) float tau0_[Lanes] = {};
    alignas(16) float kRise_[Lanes] = {};  // release coefficient right after a rise
    alignas(16) float ek_[Lanes] = {};
    alignas(16) float omk_[Lanes] = {};
    alignas(16) float H_[Lanes] = {};
    alignas(16) float P_[Lanes] = {};
    alignas(16) float Y_[Lanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
