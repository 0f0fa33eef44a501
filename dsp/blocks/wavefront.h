#pragma once
// A series of second-order sections run as a wavefront over a sub-block.
//
// In the sample-by-sample form each section waits for the one before it, so a long cascade costs
// its length times the latency of one section per sample. Here section k is lane k of a row of
// vectors and, in step t, works on sample t - k with the output section k - 1 gave in step t - 1:
// every section advances in the same vector operations. A span of n samples takes n + Count - 1
// steps; in the first and last Count - 1 of them the lanes without a sample of the span keep
// their state. Each section computes exactly what BiquadCascade::step computes, in the same
// order of operations, so the output is the same to the bit.
//
// The state is a plain row of kLanes floats per memory, the same in every instruction-set copy of
// the chain; only the vector width the steps use differs.
#include <cstring>

#include "dsp/blocks/design.h"
#include "dsp/blocks/isa.h"

namespace orvex {
inline namespace ORVEX_ISA_NS {

namespace wavefront {
#if defined(__AVX512F__)
inline constexpr int kWidth = 16;
#elif defined(__AVX2__)
inline constexpr int kWidth = 8;
#else
inline constexpr int kWidth = 4;
#endif
typedef float Vec __attribute__((vector_size(kWidth * sizeof(float))));
typedef int Mask __attribute__((vector_size(kWidth * sizeof(int))));

inline Vec load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, Vec v) { std::memcpy(p, &v, sizeof v); }
inline Vec broadcast(float x) {
    Vec v;
    for (int l = 0; l < kWidth; ++l) v[l] = x;
    return v;
}
inline Mask laneIndex(int first) {
    Mask m;
    for (int l = 0; l < kWidth; ++l) m[l] = first + l;
    return m;
}
// Lanes moved up by one across two neighbouring vectors: {lo[W-1], hi[0], ..., hi[W-2]}.
#if defined(__AVX512F__)
inline constexpr Mask kShift = {15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30};
#elif defined(__AVX2__)
inline constexpr Mask kShift = {7, 8, 9, 10, 11, 12, 13, 14};
#else
inline constexpr Mask kShift = {3, 4, 5, 6};
#endif
inline Vec shiftIn(Vec lo, Vec hi) { return __builtin_shuffle(lo, hi, kShift); }
// The same by two lanes: {lo[W-2], lo[W-1], hi[0], ..., hi[W-3]}.
#if defined(__AVX512F__)
inline constexpr Mask kShift2 = {14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29};
#elif defined(__AVX2__)
inline constexpr Mask kShift2 = {6, 7, 8, 9, 10, 11, 12, 13};
#else
inline constexpr Mask kShift2 = {2, 3, 4, 5};
#endif
inline Vec shiftIn2(Vec lo, Vec hi) { return __builtin_shuffle(lo, hi, kShift2); }
}  // namespace wavefront

template <int Count>
class WavefrontBiquads {
public:
    static constexpr int kLanes = (Count + 15) / 16 * 16;

    void set(int section, const BiquadCoefs& k) {
        N_[section] = k.N;
        a1_[section] = k.a1;
        a2_[section] = k.a2;
        b0_[section] = k.b0;
        b1_[section] = k.b1;
        b2_[section] = k.b2;
    }
    BiquadCoefs get(int section) const {
        return {N_[section], a1_[section], a2_[section], b0_[section], b1_[section], b2_[section]};
    }
    void clear() {
        for (int l = 0; l < kLanes; ++l) q1_[l] = q2_[l] = 0.0f;
    }

    // In place over n samples of any count.
    void process(float* buf, int n) {
        using namespace wavefront;
        constexpr int V = (Count + kWidth - 1) / kWidth;  // vectors that hold a section
        constexpr int kLastVector = (Count - 1) / kWidth, kLastLane = (Count - 1) % kWidth;
        if (n <= 0) return;
        Vec kN[V], ka1[V], ka2[V], kb0[V], kb1[V], kb2[V], s1[V], s2[V], out[V];
        Mask lane[V];
        for (int j = 0; j < V; ++j) {
            const int at = j * kWidth;
            kN[j] = load(N_ + at);
            ka1[j] = load(a1_ + at);
            ka2[j] = load(a2_ + at);
            kb0[j] = load(b0_ + at);
            kb1[j] = load(b1_ + at);
            kb2[j] = load(b2_ + at);
            s1[j] = load(q1_ + at);
            s2[j] = load(q2_ + at);
            out[j] = Vec{};
            lane[j] = laneIndex(at);
        }
        const int steps = n + Count - 1;
        for (int t = 0; t < steps; ++t) {
            Vec in[V];
            in[0] = shiftIn(broadcast(t < n ? buf[t] : 0.0f), out[0]);
            for (int j = 1; j < V; ++j) in[j] = shiftIn(out[j - 1], out[j]);
            if (t >= Count - 1 && t < n) {
                // Every section has a sample of the span.
                for (int j = 0; j < V; ++j) {
                    const Vec q = in[j] - (ka1[j] * s1[j] + ka2[j] * s2[j]) * kN[j];
                    out[j] = kN[j] * (kb0[j] * q + kb1[j] * s1[j] + kb2[j] * s2[j]);
                    s2[j] = s1[j];
                    s1[j] = q;
                }
            } else {
                // Filling or draining: lane k holds sample t - k only when 0 <= t - k < n.
                for (int j = 0; j < V; ++j) {
                    const Mask live = (lane[j] <= t) & (lane[j] > t - n);
                    const Vec q = in[j] - (ka1[j] * s1[j] + ka2[j] * s2[j]) * kN[j];
                    out[j] = kN[j] * (kb0[j] * q + kb1[j] * s1[j] + kb2[j] * s2[j]);
                    s2[j] = live ? s1[j] : s2[j];
                    s1[j] = live ? q : s1[j];
                }
            }
            if (t >= Count - 1) buf[t - (Count - 1)] = out[kLastVector][kLastLane];
        }
        for (int j = 0; j < V; ++j) {
            store(q1_ + j * kWidth, s1[j]);
            store(q2_ + j * kWidth, s2[j]);
        }
    }

private:
    // Per section (lanes past Count stay zero and never reach the output).
    alignas(64) float N_[kLanes] = {}, a1_[kLanes] = {}, a2_[kLanes] = {};
    alignas(64) float b0_[kLanes] = {}, b1_[kLanes] = {}, b2_[kLanes] = {};
    alignas(64) float q1_[kLanes] = {}, q2_[kLanes] = {};
};

// Two independent cascades of up to MaxCount sections each (the branches of a crossover), run as
// one wavefront: lanes 2k and 2k + 1 are section k of branch 0 and branch 1. The number of
// sections in use is set at design time; the same arithmetic as BiquadCascade, to the bit.
template <int MaxCount>
class WavefrontBiquadPair {
public:
    static constexpr int kLanes = (2 * MaxCount + 15) / 16 * 16;

    void setCount(int count) { count_ = count; }
    int count() const { return count_; }
    void set(int section, int branch, const BiquadCoefs& k) {
        const int l = 2 * section + branch;
        N_[l] = k.N;
        a1_[l] = k.a1;
        a2_[l] = k.a2;
        b0_[l] = k.b0;
        b1_[l] = k.b1;
        b2_[l] = k.b2;
    }
    void clear() {
        for (int l = 0; l < kLanes; ++l) q1_[l] = q2_[l] = 0.0f;
    }
    // Branch 0 in place over x0, branch 1 over x1, n samples each.
    void process(float* x0, float* x1, int n) {
        switch (count_) {
            case 1: run<1>(x0, x1, n); break;
            case 2: if constexpr (MaxCount >= 2) run<2>(x0, x1, n); break;
            case 3: if constexpr (MaxCount >= 3) run<3>(x0, x1, n); break;
            default: break;
        }
    }

private:
    template <int Count>
    void run(float* x0, float* x1, int n) {
        using namespace wavefront;
        constexpr int kUsed = 2 * Count;
        constexpr int V = (kUsed + kWidth - 1) / kWidth;
        constexpr int kLastVector = (kUsed - 2) / kWidth, kLastLane = (kUsed - 2) % kWidth;
        if (n <= 0) return;
        Vec kN[V], ka1[V], ka2[V], kb0[V], kb1[V], kb2[V], s1[V], s2[V], out[V];
        Mask section[V];
        for (int j = 0; j < V; ++j) {
            const int at = j * kWidth;
            kN[j] = load(N_ + at);
            ka1[j] = load(a1_ + at);
            ka2[j] = load(a2_ + at);
            kb0[j] = load(b0_ + at);
            kb1[j] = load(b1_ + at);
            kb2[j] = load(b2_ + at);
            s1[j] = load(q1_ + at);
            s2[j] = load(q2_ + at);
            out[j] = Vec{};
            section[j] = laneIndex(at) >> 1;
        }
        const int steps = n + Count - 1;
        for (int t = 0; t < steps; ++t) {
            Vec feed{};
            if (t < n) {
                feed[kWidth - 2] = x0[t];
                feed[kWidth - 1] = x1[t];
            }
            Vec in[V];
            in[0] = shiftIn2(feed, out[0]);
            for (int j = 1; j < V; ++j) in[j] = shiftIn2(out[j - 1], out[j]);
            if (t >= Count - 1 && t < n) {
                for (int j = 0; j < V; ++j) {
                    const Vec q = in[j] - (ka1[j] * s1[j] + ka2[j] * s2[j]) * kN[j];
                    out[j] = kN[j] * (kb0[j] * q + kb1[j] * s1[j] + kb2[j] * s2[j]);
                    s2[j] = s1[j];
                    s1[j] = q;
                }
            } else {
                for (int j = 0; j < V; ++j) {
                    const Mask live = (section[j] <= t) & (section[j] > t - n);
                    const Vec q = in[j] - (ka1[j] * s1[j] + ka2[j] * s2[j]) * kN[j];
                    out[j] = kN[j] * (kb0[j] * q + kb1[j] * s1[j] + kb2[j] * s2[j]);
                    s2[j] = live ? s1[j] : s2[j];
                    s1[j] = live ? q : s1[j];
                }
            }
            if (t >= Count - 1) {
                x0[t - (Count - 1)] = out[kLastVector][kLastLane];
                x1[t - (Count - 1)] = out[kLastVector][kLastLane + 1];
            }
        }
        for (int j = 0; j < V; ++j) {
            store(q1_ + j * kWidth, s1[j]);
            store(q2_ + j * kWidth, s2[j]);
        }
    }

    int count_ = 0;
    alignas(64) float N_[kLanes] = {}, a1_[kLanes] = {}, a2_[kLanes] = {};
    alignas(64) float b0_[kLanes] = {}, b1_[kLanes] = {}, b2_[kLanes] = {};
    alignas(64) float q1_[kLanes] = {}, q2_[kLanes] = {};
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
