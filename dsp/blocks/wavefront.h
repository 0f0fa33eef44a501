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
#include <utility>

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
// Lanes moved up by L across two neighbouring vectors: {lo[W-L], ..., lo[W-1], hi[0], ...,
// hi[W-L-1]} (for L = W, lo itself).
template <int L, int... I>
constexpr Mask shiftMask(std::integer_sequence<int, I...>) {
    return Mask{(kWidth - L + I)...};
}
template <int L>
inline Vec shiftInBy(Vec lo, Vec hi) {
    static_assert(L >= 1 && L <= kWidth);
    constexpr Mask kBy = shiftMask<L>(std::make_integer_sequence<int, kWidth>{});
    return __builtin_shuffle(lo, hi, kBy);
}
inline Vec shiftIn(Vec lo, Vec hi) { return shiftInBy<1>(lo, hi); }
inline Vec shiftIn2(Vec lo, Vec hi) { return shiftInBy<2>(lo, hi); }
}  // namespace wavefront

namespace wavefront {
// Coefficients and state of a row of sections, a section per lane (lanes not in use stay zero
// and never reach an output).
template <int Lanes>
struct SectionRow {
    alignas(64) float N[Lanes] = {}, a1[Lanes] = {}, a2[Lanes] = {};
    alignas(64) float b0[Lanes] = {}, b1[Lanes] = {}, b2[Lanes] = {};
    alignas(64) float q1[Lanes] = {}, q2[Lanes] = {};

    void set(int lane, const BiquadCoefs& k) {
        N[lane] = k.N;
        a1[lane] = k.a1;
        a2[lane] = k.a2;
        b0[lane] = k.b0;
        b1[lane] = k.b1;
        b2[lane] = k.b2;
    }
    BiquadCoefs get(int lane) const { return {N[lane], a1[lane], a2[lane], b0[lane], b1[lane], b2[lane]}; }
    void clear() {
        for (int l = 0; l < Lanes; ++l) q1[l] = q2[l] = 0.0f;
    }
};

// The first V vectors of a row, held in registers over the steps of one span; each step is what
// BiquadCascade::step computes, lane by lane.
template <int V>
struct SectionVectors {
    Vec N[V], a1[V], a2[V], b0[V], b1[V], b2[V], s1[V], s2[V];

    template <int Lanes>
    explicit SectionVectors(const SectionRow<Lanes>& row) {
        static_assert(V * kWidth <= Lanes);
        for (int j = 0; j < V; ++j) {
            const int at = j * kWidth;
            N[j] = load(row.N + at);
            a1[j] = load(row.a1 + at);
            a2[j] = load(row.a2 + at);
            b0[j] = load(row.b0 + at);
            b1[j] = load(row.b1 + at);
            b2[j] = load(row.b2 + at);
            s1[j] = load(row.q1 + at);
            s2[j] = load(row.q2 + at);
        }
    }
    template <int Lanes>
    void save(SectionRow<Lanes>& row) const {
        for (int j = 0; j < V; ++j) {
            store(row.q1 + j * kWidth, s1[j]);
            store(row.q2 + j * kWidth, s2[j]);
        }
    }
    // Vector j of sections on its inputs: every lane advances.
    Vec step(int j, Vec in) {
        const Vec q = in - (a1[j] * s1[j] + a2[j] * s2[j]) * N[j];
        const Vec y = N[j] * (b0[j] * q + b1[j] * s1[j] + b2[j] * s2[j]);
        s2[j] = s1[j];
        s1[j] = q;
        return y;
    }
    // The same where only the lanes of `live` hold a sample; the others keep their state.
    Vec step(int j, Vec in, Mask live) {
        const Vec q = in - (a1[j] * s1[j] + a2[j] * s2[j]) * N[j];
        const Vec y = N[j] * (b0[j] * q + b1[j] * s1[j] + b2[j] * s2[j]);
        s2[j] = live ? s1[j] : s2[j];
        s1[j] = live ? q : s1[j];
        return y;
    }
};
}  // namespace wavefront

// Count second-order sections on each of L independent lanes (a lane cascade), run as a
// wavefront: section k of lane c is wavefront lane k * L + c, and in step t it works on sample
// t - k. Each lane computes what BiquadCascade::step computes, in the same order of operations,
// so the output is the same to the bit as running the sections one after another per sample.
// L divides the narrowest vector width (4), so a sample's L lanes never straddle two vectors.
template <int Count, int L>
class WavefrontLaneCascade {
public:
    static_assert(L == 1 || L == 2 || L == 4);
    static constexpr int kLanes = (Count * L + 15) / 16 * 16;

    void set(int section, int lane, const BiquadCoefs& k) { row_.set(section * L + lane, k); }
    void setAll(int section, const BiquadCoefs& k) {
        for (int c = 0; c < L; ++c) set(section, c, k);
    }
    BiquadCoefs get(int section, int lane) const { return row_.get(section * L + lane); }
    void clear() { row_.clear(); }

    // In place over n rows of a buffer whose rows are Stride floats wide; lanes start at buf[0].
    template <int Stride = L>
    void process(float* buf, int n) {
        using namespace wavefront;
        constexpr int kUsed = Count * L;
        constexpr int V = (kUsed + kWidth - 1) / kWidth;
        constexpr int kLastVector = (kUsed - L) / kWidth, kLastLane = (kUsed - L) % kWidth;
        if (n <= 0) return;
        SectionVectors<V> k(row_);
        Vec out[V];
        Mask section[V];
        for (int j = 0; j < V; ++j) {
            out[j] = Vec{};
            section[j] = laneIndex(j * kWidth) / L;
        }
        const int steps = n + Count - 1;
        for (int t = 0; t < steps; ++t) {
            Vec feed{};
            if (t < n)
                for (int c = 0; c < L; ++c) feed[kWidth - L + c] = buf[t * Stride + c];
            Vec in[V];
            in[0] = shiftInBy<L>(feed, out[0]);
            for (int j = 1; j < V; ++j) in[j] = shiftInBy<L>(out[j - 1], out[j]);
            if (t >= Count - 1 && t < n) {
                for (int j = 0; j < V; ++j) out[j] = k.step(j, in[j]);
            } else {
                for (int j = 0; j < V; ++j) out[j] = k.step(j, in[j], (section[j] <= t) & (section[j] > t - n));
            }
            if (t >= Count - 1) {
                float* row = buf + (t - (Count - 1)) * Stride;
                for (int c = 0; c < L; ++c) row[c] = out[kLastVector][kLastLane + c];
            }
        }
        k.save(row_);
    }

private:
    wavefront::SectionRow<kLanes> row_;
};

// One cascade of Count sections: the lane cascade with a single lane.
template <int Count>
class WavefrontBiquads : public WavefrontLaneCascade<Count, 1> {
    using Base = WavefrontLaneCascade<Count, 1>;

public:
    void set(int section, const BiquadCoefs& k) { Base::set(section, 0, k); }
    BiquadCoefs get(int section) const { return Base::get(section, 0); }
    // In place over n samples of any count.
    void process(float* buf, int n) { Base::template process<1>(buf, n); }
};

}  // namespace ORVEX_ISA_NS
}  // namespace orvex
