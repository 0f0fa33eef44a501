#pragma once
// Quadrature envelope: the magnitude of a signal from a pair of all-pass chains.
//
// Both chains see the same input. The first chain's output one sample old lags the second
// chain's output by about 90 degrees over most of the audio band, so the sum of their squares
// approximates the squared magnitude of the analytic signal. The sum is floored before the
// square root, which keeps every envelope at or above sqrt(kQuadratureFloor) = 0.0056234 and
// every ratio formed from one finite.
//
// The bank runs many independent envelopes as lanes: each state value is an array over lanes,
// and each section is one loop over the lanes. Block runs (process) take the first Run lanes
// only; the rest are storage padding and keep their state.
#include "dsp/blocks/isa.h"
#include <cmath>

#include "dsp/blocks/wavefront.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

inline constexpr int kQuadratureSections = 4;
inline constexpr float kQuadratureChain1[kQuadratureSections] = {0.6923878f, 0.93606544f, 0.9882295f,
                                                                  0.99874884f};
inline constexpr float kQuadratureChain2[kQuadratureSections] = {0.40219212f, 0.8561711f, 0.97229093f,
                                                                  0.9952885f};
inline constexpr float kQuadratureFloor = 3.1622778e-05f;

template <int Lanes, int Run = Lanes>
class QuadratureBank {
    static_assert(Run <= Lanes);

public:
    // Envelopes of one sample of every lane: out[l] = E(in[l]). `in` and `out` may alias.
    void step(const float* in, float* out) {
        if constexpr (Lanes % wavefront::kWidth == 0) {
            stepInRegisters(in, out);
            return;
        }
        float c1[Lanes], c2[Lanes], last1[Lanes];
        for (int l = 0; l < Lanes; ++l) last1[l] = y1a_[kQuadratureSections - 1][l];
        chain(kQuadratureChain1, y1a_, y2a_, in, c1);
        chain(kQuadratureChain2, y1b_, y2b_, in, c2);
        for (int l = 0; l < Lanes; ++l) {
            x2_[l] = x1_[l];
            x1_[l] = in[l];
        }
        for (int l = 0; l < Lanes; ++l) {
            float q = c2[l] * c2[l] + last1[l] * last1[l];
            q = q > kQuadratureFloor ? q : kQuadratureFloor;
            out[l] = std::sqrt(q);
        }
    }

    // Envelopes of n samples of every lane: out[i][l] = E(in[i][l]), exactly what n calls of
    // step give. Each vector of lanes runs through the block with its chain state in registers,
    // one chain at a time, so the only dependency from sample to sample is a section's own
    // feedback. `in` and `out` may alias. Only the first Run lanes of each row take part; rows
    // may be longer (Stride floats apart), and their lanes past Run are left alone.
    template <int Stride>
    void process(const float (*in)[Stride], float (*out)[Stride], int n) {
        run<true>(in, out, n);
    }
    // The same up to the square root: out[i][l] = E(in[i][l])^2, the floored sum of squares whose
    // square root is the envelope (for a caller that takes the root of fewer values, e.g. of the
    // larger of two: the root is monotonic and correctly rounded, so it keeps every order).
    template <int Stride>
    void processSquares(const float (*in)[Stride], float (*out)[Stride], int n) {
        run<false>(in, out, n);
    }

    void clear() {
        for (int l = 0; l < Lanes; ++l) {
            x1_[l] = x2_[l] = 0.0f;
            for (int s = 0; s < kQuadratureSections; ++s) y1a_[s][l] = y2a_[s][l] = y1b_[s][l] = y2b_[s][l] = 0.0f;
        }
    }

private:
    template <bool Root, int Stride>
    void run(const float (*in)[Stride], float (*out)[Stride], int n) {
        static_assert(Stride >= Run);
        static_assert(Run % wavefront::kWidth == 0, "whole vectors of lanes");
        using namespace wavefront;
        // The first chain's output one sample old, per sample of the block.
        alignas(64) float last1[kMaxBlock][Run];
        for (int done = 0; done < n; done += kMaxBlock) {
            const int m = n - done < kMaxBlock ? n - done : kMaxBlock;
            for (int c = 0; c < Run; c += kWidth) {
                runChain(kQuadratureChain1, y1a_, y2a_, in + done, c, m, [&](int i, Vec last, Vec) {
                    store(last1[i] + c, last);
                });
                // Both chains read the same input history; it moves on once both have run (taken
                // now, before the second chain's results may overwrite the input).
                const Vec newX1 = load(in[done + m - 1] + c);
                const Vec newX2 = m >= 2 ? load(in[done + m - 2] + c) : load(x1_ + c);
                runChain(kQuadratureChain2, y1b_, y2b_, in + done, c, m, [&](int i, Vec, Vec y) {
                    Vec e = y * y + load(last1[i] + c) * load(last1[i] + c);
                    const Vec floor = broadcast(kQuadratureFloor);
                    e = e > floor ? e : floor;
                    store(out[done + i] + c, e);
                });
                store(x2_ + c, newX2);
                store(x1_ + c, newX1);
            }
            if constexpr (Root)
                for (int i = 0; i < m; ++i)
                    for (int l = 0; l < Run; ++l) out[done + i][l] = std::sqrt(out[done + i][l]);
        }
    }

    // The same for whole vectors of lanes: each vector runs through both chains with the chain
    // values in registers, instead of every section making a pass over all lanes in memory.
    void stepInRegisters(const float* in, float* out) {
        using namespace wavefront;
        alignas(64) float q[Lanes];
        for (int c = 0; c < Lanes; c += kWidth) {
            const Vec x = load(in + c);
            const Vec x2 = load(x2_ + c);
            const Vec last1 = load(y1a_[kQuadratureSections - 1] + c);
            Vec z1 = x, z1old = x2, z2 = x, z2old = x2;
            for (int s = 0; s < kQuadratureSections; ++s) {
                const Vec oldA = load(y2a_[s] + c), oldB = load(y2b_[s] + c);
                const Vec ya = kQuadratureChain1[s] * (z1 + oldA) - z1old;
                const Vec yb = kQuadratureChain2[s] * (z2 + oldB) - z2old;
                z1old = oldA;
                z2old = oldB;
                store(y2a_[s] + c, load(y1a_[s] + c));
                store(y2b_[s] + c, load(y1b_[s] + c));
                store(y1a_[s] + c, ya);
                store(y1b_[s] + c, yb);
                z1 = ya;
                z2 = yb;
            }
            store(x2_ + c, load(x1_ + c));
            store(x1_ + c, x);
            Vec e = z2 * z2 + last1 * last1;
            const Vec floor = broadcast(kQuadratureFloor);
            e = e > floor ? e : floor;
            store(q + c, e);
        }
        for (int l = 0; l < Lanes; ++l) out[l] = std::sqrt(q[l]);
    }

    static constexpr int kMaxBlock = 128;

    // One chain over m samples of the lanes c .. c + kWidth - 1, state in registers. For each
    // sample, `emit(i, previous output, output)` sees the chain's last section.
    template <int Stride, typename Emit>
    void runChain(const float (&a)[kQuadratureSections], float (&y1)[kQuadratureSections][Lanes],
                  float (&y2)[kQuadratureSections][Lanes], const float (*in)[Stride], int c, int m,
                  Emit emit) {
        using namespace wavefront;
        Vec s1[kQuadratureSections], s2[kQuadratureSections];
        for (int s = 0; s < kQuadratureSections; ++s) {
            s1[s] = load(y1[s] + c);
            s2[s] = load(y2[s] + c);
        }
        Vec x1 = load(x1_ + c), x2 = load(x2_ + c);
        for (int i = 0; i < m; ++i) {
            const Vec x = load(in[i] + c);
            const Vec last = s1[kQuadratureSections - 1];
            Vec z = x, zold = x2;
            for (int s = 0; s < kQuadratureSections; ++s) {
                const Vec old = s2[s];
                const Vec y = a[s] * (z + old) - zold;
                zold = old;
                s2[s] = s1[s];
                s1[s] = y;
                z = y;
            }
            x2 = x1;
            x1 = x;
            emit(i, last, z);
        }
        for (int s = 0; s < kQuadratureSections; ++s) {
            store(y1[s] + c, s1[s]);
            store(y2[s] + c, s2[s]);
        }
    }

    // Sections y[n] = a*(z[n] + y[n-2]) - z[n-2] in series. A section's input history is the
    // output history of the section before it (the input's own for the first), so only the
    // outputs are kept.
    void chain(const float (&a)[kQuadratureSections], float (&y1)[kQuadratureSections][Lanes],
               float (&y2)[kQuadratureSections][Lanes], const float* in, float* out) {
        float z[Lanes], z2[Lanes];
        for (int l = 0; l < Lanes; ++l) {
            z[l] = in[l];
            z2[l] = x2_[l];
        }
        for (int s = 0; s < kQuadratureSections; ++s) {
            const float k = a[s];
            for (int l = 0; l < Lanes; ++l) {
                const float old = y2[s][l];
                const float y = k * (z[l] + old) - z2[l];
                z2[l] = old;
                y2[s][l] = y1[s][l];
                y1[s][l] = y;
                z[l] = y;
            }
        }
        for (int l = 0; l < Lanes; ++l) out[l] = z[l];
    }

    alignas(16) float x1_[Lanes] = {};
    alignas(16) float x2_[Lanes] = {};
    alignas(16) float y1a_[kQuadratureSections][Lanes] = {};
    alignas(16) float y2a_[kQuadratureSections][Lanes] = {};
    alignas(16) float y1b_[kQuadratureSections][Lanes] = {};
    alignas(16) float y2b_[kQuadratureSections][Lanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
